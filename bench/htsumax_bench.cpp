// htsumax at the scale of a large symbol file: 10k string keys under a PJW-style hash, the way
// the symbol table uses it.
#include "htsumax.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t pjw_hash(const void *key) {
    uint32_t h = 0;
    for (const char *p = static_cast<const char *>(key); *p; ++p) {
        h = (h << 4) + static_cast<unsigned char>(*p);
        const uint32_t high = h & 0xf0000000u;
        if (high)
            h ^= high >> 24;
        h &= ~high;
    }
    return h;
}

int cstring_equal(const void *stored, const void *key) {
    return std::strcmp(static_cast<const char *>(stored), static_cast<const char *>(key)) == 0;
}

const std::vector<std::string> &names() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        for (int i = 0; i < 10000; ++i)
            v.push_back("__pieshift_symbol_" + std::to_string(i));
        return v;
    }();
    return all;
}

void BM_Insert(benchmark::State &state) {
    for (auto _ : state) {
        htsumax t;
        if (htsumax_init(&t, pjw_hash, cstring_equal) != 0) {
            state.SkipWithError("out of memory");
            break;
        }
        for (const std::string &n : names())
            benchmark::DoNotOptimize(htsumax_insert(&t, n.c_str(), n.size()));
        htsumax_uninit(&t);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(names().size()));
}
BENCHMARK(BM_Insert);

void BM_Lookup(benchmark::State &state) {
    htsumax t;
    if (htsumax_init(&t, pjw_hash, cstring_equal) != 0) {
        state.SkipWithError("out of memory");
        return;
    }
    for (const std::string &n : names())
        htsumax_insert(&t, n.c_str(), n.size());
    // Fresh copies, so every hit goes through the string comparison rather than pointer luck.
    const std::vector<std::string> sought = names();
    for (auto _ : state) {
        for (const std::string &n : sought)
            benchmark::DoNotOptimize(htsumax_getentry(&t, n.c_str()));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sought.size()));
    htsumax_uninit(&t);
}
BENCHMARK(BM_Lookup);

}  // namespace
