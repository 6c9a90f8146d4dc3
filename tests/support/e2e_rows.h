// e2e_rows: the table-driven end-to-end run that the relocation-table, resolution and symbol-table
// tests share. A row builds one input in memory for one ELF kind and says what a run on it must give:
// exit status, exact stdout and stderr, and the whole output image (or no output file at all).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/elfbuild.h"

namespace e2e {

namespace eb = elfbuild;
using F = eb::Format;
using Opts = std::vector<std::string>;
using Stores = std::vector<std::pair<uint64_t, uint64_t>>;  // (link-time address, word stored there)

inline constexpr F L32{32, false}, B32{32, true}, L64{64, false}, B64{64, true};
// With .text at 0x1000, the image's first byte, relocating to `target` moves every address by `bias`.
inline constexpr uint64_t target = 0x80000000, bias = target - 0x1000;
inline constexpr uint64_t nowhere = 0x900000;  // an address that no section holds
inline const std::string reloc_failed = "ERROR: Failed to apply relocations\n";

struct Case {
    eb::Bytes input;
    Opts opts = {};
    int status = 0;
    std::string out = {}, err = {};
    std::optional<eb::Bytes> image = {};  // none: the run must leave no output file
    uint64_t address = target;
};

std::string hex(uint64_t v);
// x86-64 unless told otherwise; .text is 0x40 bytes at 0x1000, .data 0x40 zero bytes at 0x2000.
eb::Pie pie(F f, uint16_t machine = eb::EM_X86_64);
eb::PieSym sym(const char *name, uint16_t shndx, uint64_t value, uint8_t bind = eb::STB_GLOBAL);
// The link-time address of the last word of p's image.
uint64_t last_word(const eb::Pie &p);
// Success: the unrelocated image with each store written as a word of the input's kind.
Case applied(const eb::BuiltPie &b, const Stores &stores, Opts opts = {});
inline Case applied(const eb::Pie &p, const Stores &stores, Opts opts = {}) {
    return applied(eb::build_pie(p), stores, std::move(opts));
}
// Failure while relocating: `err`, then the stage's own line.
Case failing(const eb::BuiltPie &b, const std::string &err, Opts opts = {});
inline Case failing(const eb::Pie &p, const std::string &err, Opts opts = {}) {
    return failing(eb::build_pie(p), err, std::move(opts));
}
// The progress lines that come before the relocation stage's own, at the given -v level (1 or more).
std::string preamble(const eb::BuiltPie &b, int verbose);

struct Row {
    std::string name;
    std::vector<F> kinds;  // the row runs once in each
    std::function<Case(F)> make;
};
struct Param {
    std::string name;
    F fmt;
    std::function<Case(F)> make;
};
void PrintTo(const Param &p, std::ostream *os);
std::vector<Param> params(const std::vector<Row> &rows);
std::string param_name(const testing::TestParamInfo<Param> &info);

// Runs pieshift on the case's input, relocated to its address, and checks everything the case expects.
void run(const Case &c);

}  // namespace e2e
