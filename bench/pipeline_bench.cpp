// Times the whole pipeline on synthetic static PIEs of realistic size: the relocation walk
// dominates (one symbol read and one store per entry), with symbol-table lookups for named entries.
// The image goes to the null device.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "kelpx.h"
#include "pieshift.h"
#include "support/elfbuild.h"
#include "symtab.h"

namespace {

// n RELATIVE entries over a data section of n words, plus n/16 GLOB_DAT entries against a few
// undefined symbols that the user defines.
elfbuild::Bytes make_input(size_t n) {
    elfbuild::Pie p;
    p.text = elfbuild::Bytes(0x1000, 0x90);
    p.data = elfbuild::Bytes(n * 8, 0);
    for (size_t i = 0; i < 8; i++)
        p.dynsyms.push_back({"ext" + std::to_string(i), elfbuild::st_info(elfbuild::STB_GLOBAL, elfbuild::STT_OBJECT),
                             elfbuild::SHN_UNDEF, 0});
    p.data_addr = 0x2000;
    for (size_t i = 0; i < n; i++) {
        uint64_t where = 0x2000 + i * 8;
        if (i % 16 == 15)
            p.relocs.push_back({where, 1 + i % 8, elfbuild::R_X86_64_GLOB_DAT, 0});
        else
            p.relocs.push_back({where, 0, elfbuild::R_X86_64_RELATIVE, 0x1000 + i});
    }
    return elfbuild::build_pie(p).bytes;
}

void BM_pipeline(benchmark::State &state) {
    auto n = static_cast<size_t>(state.range(0));
    elfbuild::Bytes file = make_input(n);
    symtab *table = symtab_create();
    for (size_t i = 0; i < 8; i++)
        (void)symtab_add(table, ("ext" + std::to_string(i)).c_str(), 0x10000000 + i);
    kelpx_handle elf{};
    if (kelpx_load_memory(&elf, file.data(), file.size()) != 0) {
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
