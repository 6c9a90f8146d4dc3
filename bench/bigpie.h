// Synthetic static PIEs of any size, for timing: one generator serves the benchmark programs (in
// memory) and the side-by-side comparison with other tools (streamed to a file of hundreds of MB).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bigpie {

// The four ELF kinds, each with a machine that applies relocations of that kind.
enum class kind { x86_64, s390x, i386, arm_be };  // 64 LSB RELA, 64 MSB RELA, 32 LSB REL, 32 MSB REL

struct params {
    kind machine = kind::x86_64;
    uint64_t text_size = 16u << 20;
    uint64_t data_size = 256u << 20;  // grown when the relocated words need more room
    uint64_t relative = 8u << 20;     // RELATIVE entries of the main table
    uint64_t symbolic = 64;           // GLOB_DAT entries of the main table, against undefined symbols
    uint64_t plt = 8;                 // entries of the PLT table, against the same symbols
    uint32_t symbols = 8;             // undefined symbols ext0, ext1, ...; the user defines them
    uint64_t page = 0x1000;           // segment alignment; a power of two, small only for tiny inputs
};

// Writes bytes either to a file or to a vector.
struct sink {
    std::FILE *file = nullptr;
    std::vector<uint8_t> *bytes = nullptr;
    bool ok = true;
    void put(const uint8_t *p, size_t n);
};

bool parse_kind(const std::string &name, kind *k);
std::string symbol_name(uint32_t index);
// Writes the whole file; false when the sink failed or the parameters cannot make a valid input.
bool generate(const params &p, sink *out);
std::vector<uint8_t> generate(const params &p);

}  // namespace bigpie
