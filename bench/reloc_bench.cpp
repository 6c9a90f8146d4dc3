// Times the whole pipeline on synthetic static PIEs of realistic size: the relocation walk
// dominates (one symbol read and one store per entry), with symbol-table lookups for named entries.
// The image goes to the null device.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "kelpx.h"
#include "pieshift.h"
#include "support/pie.h"
#include "symtab.h"

namespace {

// n entries over the 8 words of the test builder's .data: RELATIVE ones, and every 16th a GLOB_DAT
// against one of a few undefined symbols that the user defines.
std::string make_input(size_t n) {
    pie::Pie p;
    for (size_t i = 0; i < 8; i++)
        p.syms.push_back({"ext" + std::to_string(i), 0x11, 0, 0});
    for (size_t i = 0; i < n; i++) {
        uint64_t where = 0x300 + (i % 8) * 8;
        if (i % 16 == 15)
            p.rels.push_back({where, 1 + i % 8, pie::RA, 0});
        else
            p.rels.push_back({where, 0, pie::RR, 0x1000 + i});
    }
    return pie::build(pie::L64, p).bytes;
}

void BM_pipeline(benchmark::State &state) {
    auto n = static_cast<size_t>(state.range(0));
    std::string file = make_input(n);
    symtab *table = symtab_create();
    for (size_t i = 0; i < 8; i++)
        (void)symtab_add(table, ("ext" + std::to_string(i)).c_str(), 0x10000000 + i);
    kelpx_handle elf{};
    if (kelpx_load_memory(&elf, reinterpret_cast<const uint8_t *>(file.data()), file.size()) != 0) {
        state.SkipWithError("input does not load");
        return;
    }
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
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    symtab_drop_section_reference(table);
    kelpx_unload(&elf);
}
BENCHMARK(BM_pipeline)->Arg(1000)->Arg(100000);

}  // namespace
