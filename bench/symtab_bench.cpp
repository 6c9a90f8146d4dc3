// The user's definitions at the scale of a large symbol file: 100 000 names looked up by the
// relocation walk's question ("did the user define this?"), and symbol files loaded line by line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "symfile.h"
#include "symtab.h"

namespace {

constexpr int num_names = 100000;

std::string name_of(int i) {
    return "__board_symbol_" + std::to_string(i);
}

// The tool never frees its table; a benchmark that makes one per iteration must.
void free_symtab(symtab *t) {
    for (htsumax_entry *e = htsumax_first(&t->defs); e != nullptr; e = htsumax_next(&t->defs, e))
        std::free(const_cast<void *>(e->key));
    htsumax_uninit(&t->defs);
    std::free(t);
}

void BM_symtab_lookup(benchmark::State &state) {
    const bool hit = state.range(0) != 0;
    symtab *t = symtab_create();
    std::vector<std::string> sought;
    for (int i = 0; i < num_names; i++) {
        if (symtab_add(t, name_of(i).c_str(), static_cast<uint64_t>(i)) != 0)
            return state.SkipWithError("out of memory");
        sought.push_back(hit ? name_of(i) : name_of(i) + "_absent");
    }
    for (auto _ : state)
        for (const std::string &name : sought) {
            uint64_t value;
            benchmark::DoNotOptimize(symtab_redefine(t, &value, name.c_str(), name.size()));
        }
    state.SetItemsProcessed(state.iterations() * num_names);
    free_symtab(t);
}
BENCHMARK(BM_symtab_lookup)->ArgName("hit")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_symfile_load(benchmark::State &state) {
    char path[] = "/tmp/pieshift_symfile_XXXXXX";
    std::FILE *f = nullptr;
    if (int fd = mkstemp(path); fd >= 0)
        f = fdopen(fd, "w");
    if (f == nullptr)
        return state.SkipWithError("no temporary file");
    std::fputs("# generated for the benchmark\n", f);
    for (int i = 0; i < num_names; i++)
        std::fprintf(f, "0x%08x %s\n", 0x10000000 + 16 * i, name_of(i).c_str());
    std::fclose(f);
    context ctx{};
    for (auto _ : state) {
        symtab *t = symtab_create();
        if (symfile_load(&ctx, t, path, 1, 2) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        free_symtab(t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * num_names);
    std::remove(path);
}
BENCHMARK(BM_symfile_load)->Unit(benchmark::kMillisecond);

}  // namespace
