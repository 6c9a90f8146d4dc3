// The whole pipeline in process, on generated inputs kept in memory: layout, copy, both tables and
// the image written to the null device.
#include <benchmark/benchmark.h>

#include "bigpie.h"
#include "kelpx.h"
#include "pieshift.h"
#include "symtab.h"

namespace {

void BM_pipeline(benchmark::State &state) {
    bigpie::params p;
    p.text_size = 1u << 20;
    p.data_size = 0;
    p.relative = static_cast<uint64_t>(state.range(0));
    p.symbolic = p.relative / 16;
    const std::vector<uint8_t> file = bigpie::generate(p);
    symtab *table = symtab_create();
    for (uint32_t i = 0; i < p.symbols; i++)
        (void)symtab_add(table, bigpie::symbol_name(i).c_str(), 0x10000000u + i);
    kelpx_handle elf{};
    if (kelpx_load_view(&elf, file.data(), file.size()) != 0)
        return state.SkipWithError("input does not load");
    for (auto _ : state) {
        context ctx{};
        ctx.progname = "bench";
        ctx.output_path = "/dev/null";
        ctx.address = 0x80000000;
        ctx.symtab = table;
        if (pieshift(&ctx, &elf) != 0) {
            state.SkipWithError("pipeline failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(p.relative + p.symbolic + p.plt));
    symtab_drop_section_reference(table);
    kelpx_unload(&elf);
}
BENCHMARK(BM_pipeline)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
