// The tool run as a user runs it, on built static PIEs: one row per case, run in the kinds (class
// and byte order) it lists. A row gives the input (PIE parameters plus named patches), the command
// line (run in a fresh directory holding the input as "in"), the exit status, stdout and stderr
// exactly ("%P" is the program's path), and the words the image must hold beyond the unrelocated
// sections; a failing run writes no image.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <span>

#include "support/pie.h"
#include "support/run.h"

namespace {

using namespace pie;
using namespace testrun;
namespace fs = std::filesystem;
using namespace std::string_literals;
using Patch = std::function<void(Built &)>;
using Stores = std::vector<std::pair<uint64_t, uint64_t>>;  // link-time address, word
// More files: name, text ("@x": a link to x).
using Files = std::vector<std::pair<std::string, std::string>>;

struct Case {
    const char *name, *kinds;  // any of "L32 L64 B32 B64", "all", "machines" (and some)
    Pie pie;
    std::vector<Patch> patch;
    std::string args;
    int status = 0;
    std::string err = "";
    Stores stores = {};
    std::string out = "";
    Files files = {};
    std::string output = "in.out";
    uint64_t size = 0x200;  // of the image
};

// Named patches: a record field; a dynamic entry's value (words of the class plus bytes), its
// address (a layout mark plus bytes), its tag.
Patch field(const char *name, uint64_t v, unsigned index = 0) {
    return [=](Built &b) { b.set(name, v, index); };
}
Patch dyn_value(uint64_t tag, uint64_t words, uint64_t bytes = 0) {
    return [=](Built &b) { b.put(b.dyn(tag) + b.k.w, b.k.w, words * b.k.w + bytes); };
}
Patch dyn_ref(uint64_t tag, const char *mark, uint64_t bytes) {
    return [=](Built &b) { b.put(b.dyn(tag) + b.k.w, b.k.w, b.at.at(mark) + bytes); };
}
Patch dyn_tag(uint64_t tag, uint64_t to = 0x6fff0000) {  // by default a tag nothing reads
    return [=](Built &b) { b.put(b.dyn(tag), b.k.w, to); };
}
std::string E(const std::string &s) { return "ERROR: " + s + "\n"; }
std::string W(const std::string &at, const std::string &sec, const char *tail = "") {
    return "WARNING: A relocation points to " + at + " in section [" + sec +
           "], which is not in the image" + tail + "\n";
}
const std::string IN = " 0x10000000 in", F = E("Failed to apply relocations"),
                  LOAD = "%P: Could not load 'in' as ELF\n", LONG(252, 'c'),
                  SYMTAB = E("Could not load symtab information"),
                  NOSPACE = E("Could not determine virtual space"),
                  PHDR = E("Virtual address not found in LOAD phdr") + NOSPACE,
                  SYM1 = E("Could not get symbol info for sym 1") + F,
                  SYMFILE = E("Could not load symfile 's'"), SAVE = E("Could not save output.");
const std::string V1 = "Relocating 'in' to 0x10000000, and save to 'in.out'\n"
                       "Search dynamic section...\nDetermine virtual space...\n"
                       "Virtual space: 0x200..0x400\nLoad bias: 0xffffe00\n"
                       "Copy section contents to output space...\n",
                  V2 = V1 + "  Section #1 [.text], 16 octets at 0x200 (rel 0x0)\n"
                       "  Section #2 [.data], 64 octets at 0x300 (rel 0x100)\nDone.\n";
const char *const PUTS = "; --include-readonly puts it in";
constexpr uint64_t BIAS = 0x10000000 - 0x200;  // what relocation adds to a link-time address
constexpr uint64_t NEG(uint64_t v) { return 0 - v; }
Sym und(const char *name) { return {name, 0x10, 0, 0}; }  // undefined, global
const Pie EACH_TYPE = {.rels = {{0x300, 0, RR, 0x10}, {0x308, 1, RS, NEG(4)}, {0x310, 1, RG, 2}},
                       .plt = {{0x318, 1, RP, 0}}, .syms = {{"f"}}};
const Stores EACH_STORED = {{0x300, BIAS + 0x10}, {0x308, 0x204 + BIAS - 4}, {0x310, 0x206 + BIAS},
                            {0x318, 0x204 + BIAS}};
const Pie RELA = {.rels = {{0x300, 0, RR, 1}}};
const Pie PLT = {.plt = {{0x300, 0, RR, 1}}};
const Pie UNDEF = {.rels = {{0x300, 1, RS, 2}}, .syms = {und("u")}};
const Pie PLT_REL = {.plt = {{0x300, 0, RR, 1}}, .plt_rela = false};
const Stores ONE = {{0x300, BIAS + 1}};
const Patch READONLY_DATA = field("sh_flags", SHF_ALLOC, 2);
const Patch READONLY_BSS = field("sh_flags", SHF_ALLOC, 3);
// .data named .interp, in the place of ".rela.plt" among the section names.
const Patch INTERP = [](Built &b) {
    const size_t names = b.bytes.find(std::string("\0.text\0", 7)), at = b.bytes.find(".rela.plt");
    b.bytes.replace(at, 8, std::string(".interp", 8)), b.set("sh_name", at - names, 2);
};
// A MIPS GOT at 0x300 (dynamic entries in place of the PLT table's): local entries, then one per
// symbol from gotsym; entry 1 holds 0x80000000 (marked) or 0x10, entry 2 0x1234.
std::vector<Patch> mips_got(uint64_t local, uint64_t gotsym, uint64_t symtabno,
                            bool marked = true) {
    return {dyn_value(DT_PLTREL, 0, 0x300), dyn_tag(DT_PLTREL, DT_PLTGOT),
            dyn_value(DT_JMPREL, 0, local), dyn_tag(DT_JMPREL, DT_MIPS_LOCAL_GOTNO),
            dyn_value(DT_PLTRELSZ, 0, gotsym), dyn_tag(DT_PLTRELSZ, DT_MIPS_GOTSYM),
            dyn_value(DT_STRSZ, 0, symtabno), dyn_tag(DT_STRSZ, DT_MIPS_SYMTABNO),
            field("e_machine", EM_MIPS),
            [=](Built &b) {
                b.put(0x304, 4, marked ? 0x80000000 : 0x10), b.put(0x308, 4, 0x1234);
            }};
}
const Pie GOT = {.plt = {{0x300, 0, 0}}, .plt_rela = false, .syms = {{"f"}, und("u")}};

const Case cases[] = {
    // Relocation: every applied type of every machine, both tables, both table formats.
    {"machine", "machines", EACH_TYPE, {}, "--expect-rel --expect-pltrel" + IN, 0, "", EACH_STORED},
    // In REL tables a GOT slot's word is no addend: S alone.
    {"each_type_rel", "all", {.rels = EACH_TYPE.rels, .plt = EACH_TYPE.plt, .rela = false,
     .plt_rela = false, .syms = {{"f"}}}, {}, IN, 0, "",
     {EACH_STORED[0], EACH_STORED[1], {0x310, 0x204 + BIAS}, EACH_STORED[3]}},
    // The image replaces the input, whose header is read again for the entry point afterwards.
    {"output_over_input", "L32", RELA, {}, "--output-entry e -o in" + IN, 0, "", ONE, "", {}, "in"},
    // With a name of 249 characters no temporary name fits beside it: never written in place.
    {"output_not_in_place", "B64", RELA, {}, "-o " + LONG.substr(3) + IN, 1,
     E("Could not make a temporary file beside '" + LONG.substr(3) +
       "', which stays as it was: File name too long") + SAVE, {}, "",
     {{LONG.substr(3), "old"}}, "none"},
    // A symbolic link as output: the file it names gets the image.
    {"output_through_links", "B64", RELA, {}, "-o link --output-entry e" + IN, 0, "", ONE, "",
     {{"link", "@img"}, {"e", "@old"}, {"old", "old"}}, "img"},
    // Symbols: input's own (moved with the image unless absolute), -d over them, weak, undefined
    // (kept as 0 with --ignore-undefined).
    {"symbol_sources", "L64 B32", {.rels = {{0x300, 1, RS, 1}, {0x308, 2, RS, 1}, {0x310, 3, RS, 1},
     {0x318, 4, RS, 1}, {0x320, 5, RP, 1}, {0x328, 6, RS, 1}}, .syms = {{"abs", 0x11, SHN_LORESERVE,
     0x1234}, {"weak", 0x20, 0, 0}, {"def"}, und("undef"), {"own", 0x11, 2, 0x300}, und("kept")}},
     {},
     "--ignore-undefined -d def=0x5000 -d undef=0x7000" + IN, 0, "", {{0x300, 0x1235}, {0x308, 1},
     {0x310, 0x5001}, {0x318, 0x7001}, {0x320, 0x300 + BIAS + 1}, {0x328, 1}}},
    {"ignore_weak_not_global", "L64",
     {.rels = {{0x300, 1, RS}, {0x308, 2, RR}}, .syms = {{"w", 0x20, 0, 0}, und("g")}}, {},
     "--ignore-weak" + IN, 1, E("Symbol \"g\" is undefined") + F},
    // Symbol files: comments, blank lines, extra fields, CR LF, octal, -1, swapped fields (what
    // follows the format's third field is ignored); the later definition wins.
    {"symbol_files", "L64",
     {.rels = {{0x300, 1, RS}, {0x308, 2, RS}, {0x310, 3, RS}, {0x318, 4, RS}, {0x320, 5, RS}},
     .syms = {und("a"), und("b"), und("c"), und("d"),
     und("e")}}, {}, "-f s1 -F ::field::2:1:x -f s2 -d d=4 -d d=5" + IN, 0, "",
     {{0x300, 0x5000}, {0x308, 0100}, {0x310, NEG(1)}, {0x318, 5}, {0x320, 0x99}}, "",
     {{"s1", "# value name\n\n  0x5000 a  more words\r\n\t0100\tb\r\n-1 c\n7 d\n"},
     {"s2", "e 0x99 x\n# 1 e\n"}}},
    // ELF32 adds modulo 2^32: a value wraps, and an image linked above 0x80000000 moves down; a
    // value that is no 32-bit quantity is refused.
    {"store_sign_extended_32", "L32 B32", UNDEF, {}, "-d u=0xffffffff80000000" + IN, 0, "",
     {{0x300, 0x80000002}}},
    {"store_too_negative_32", "B32", UNDEF, {}, "-do u=0xffffffff7fffffff img" + IN, 1,
     E("Could not store 0xffffffff80000001 to 0x300 (rel 0x100)") + F, {}, "", {}, "img"},
    {"store_top_32", "B32", UNDEF, {}, "-d u=0xffffffff" + IN, 0, "", {{0x300, 1}}},
    {"store_too_wide_32", "L32", UNDEF, {}, "-d u=0x100000000" + IN, 1,
     E("Could not store 0x100000002 to 0x300 (rel 0x100)") + F},
    {"high_addend_32_rel", "machines i386 arm riscv32",
     {.rels = {{0x300, 0, RR, 0x80000010}}, .rela = false}, {}, "0 in", 0, "",
     {{0x300, 0x7ffffe10}}},
    // The dynamic section, all of it, and the demands on its tables.
    {"no_dynamic", "B64", RELA, {field("sh_type", SHT_PROGBITS, 8)}, IN, 1,
     E("Dynamic section not found")},
    {"needed_after_null", "B64", {.needed_after_null = true}, {}, IN, 1,
     E("Input is not static")},
    {"force_dynamic", "B32", {.rels = RELA.rels, .needed = true}, {}, "--force-dynamic" + IN, 0, "",
     ONE},
    {"expect_rel", "L64", PLT, {}, "--expect-rel" + IN, 1,
     E("REL/RELA section is not present")},
    // Relocation tables: tags, sizes, strides, bounds.
    {"relaent_small", "all", RELA, {dyn_value(DT_RELAENT, 3, NEG(1))}, IN, 1,
     E("DT_RELAENT is smaller than expected") + F},
    {"jmprel_missing", "B32", PLT, {dyn_tag(DT_JMPREL)}, IN, 1,
     E("DT_JMPREL is not found in DYNAMIC") + F},
    {"pltrelsz_unaligned", "L64", PLT_REL, {dyn_value(DT_PLTRELSZ, 2, 2)}, IN, 1,
     E("DT_PLTRELSZ is not multiple of DT_RELENT") + F},
    {"unaligned_allowed", "L64 B32", {.rels = {{0x300, 0, RR, 1}, {0x308, 0, RR, 2}}},
     {dyn_value(DT_RELASZ, 3, 1)}, "--ignore-unaligned-relsz" + IN, 0, "",
     {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    // A larger DT_RELAENT is the stride: the record between would fail out of bounds.
    {"relaent_stride", "B64 L32", {.rels = {{0x300, 0, RR, 1}, {0x3fc, 0, RR}, {0x308, 0, RR, 2}}},
     {dyn_value(DT_RELAENT, 6), dyn_value(DT_RELASZ, 12)}, IN, 0, "",
     {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    {"machine_unsupported", "L32", RELA, {field("e_machine", EM_SPARC)}, IN, 1,
     E("Relocations of machine 2, ELF32, are not supported") + F},
    {"type_not_applied", "L64", {.rels = {{0x300, 0, R_X86_64_COPY}}}, {}, IN, 1,
     E("R_X86_64_COPY is not handled") + F},
    // MIPS: the loader relocates its GOT from dynamic entries: local entries move, global ones get
    // their symbol's value; entry 0, and 1 when marked (here the only local ones), stay. -v says
    // so.
    {"mips_got", "L32 B32", GOT, mips_got(2, 1, 3), "-v -f s" + IN, 0, "",
     {{0x304, 0x80000000}, {0x308, 0x204 + BIAS}, {0x30c, 0x5000}},
     "Loading symbol file 's' (format is field:1:2)\n" + V1 +
         "Apply relocations to the GOT at 0x300...\n",
     {{"s", "0x5000 u\n"}}},
    {"mips_got_unmarked", "B32", GOT, mips_got(4, 1, 3, false), "-d u=0x5000" + IN, 0, "",
     {{0x304, 0x10 + BIAS}, {0x308, 0x1234 + BIAS}, {0x30c, BIAS}, {0x310, 0x204 + BIAS},
      {0x314, 0x5000}}},
    {"mips_got_gotsym_above", "B32", GOT, mips_got(4, 3, 2), IN, 1,
     E("DT_MIPS_GOTSYM (3) is above DT_MIPS_SYMTABNO (2)") + F},
    {"mips_got_past_image", "L32", GOT, mips_got(0x41, 1, 1), IN, 1,
     E("r_offset 0x400 is out of bounds") + F},
    {"ppc64_elfv1_jmp_slot", "B64", {.rels = {{0x300, 0, R_PPC64_JMP_SLOT}}},
     {field("e_machine", EM_PPC64), field("e_flags", 1)}, IN, 1,
     E("R_PPC64_JMP_SLOT is not handled") + F},
    // A main table that also covers the PLT table stops where it starts, as a loader's does, but
    // not where the PLT table runs past its end.
    {"plt_inside_main", "L32", {.rels = {{0x300, 0, RR, 1}, {0x308, 0, RR, 2}},
     .plt = {{0x310, 0, RR, 3}}, .rela = false, .plt_rela = false},
     {dyn_ref(DT_JMPREL, "rel", 8), dyn_value(DT_PLTRELSZ, 4), field("sh_size", 24, 6)}, IN, 0, "",
     {{0x300, BIAS + 1}, {0x308, 2 * BIAS + 2}, {0x310, BIAS + 3}}},
    // The image must end inside the class's address space; stores stay inside the image.
    {"reach_32_past", "L32 B32", RELA, {}, "0xfffffe01 in", 1,
     E("Image of 0x200 bytes at ADDRESS 0xfffffe01 ends beyond the 32-bit address space")},
    {"reach_64_top", "L64", RELA, {}, "0xfffffffffffffe00 in", 0, "", {{0x300, NEG(0x3ff)}}},
    {"reach_64_past", "B64", RELA, {}, "0xfffffffffffffe01 in", 1,
     E("Image of 0x200 bytes at ADDRESS 0xfffffffffffffe01 ends beyond the 64-bit address space")},
    {"past_last_word", "L64", {.rels = {{0x3fc, 0, RR, 1}}}, {}, IN, 1,
     E("r_offset 0x3fc is out of bounds") + F},
    // Symbol table entries of the dynamic section.
    {"no_syment", "L32", {}, {dyn_tag(DT_SYMENT)}, IN, 1,
     E("Incomplete symtab information in DYNAMIC") + E("DT_SYMENT is missing") + SYMTAB},
    {"syment_small_64", "L64", {}, {dyn_value(DT_SYMENT, 0, 23)}, IN, 1,
     E("DT_SYMENT value (23) is smaller than expected") + SYMTAB},
    // Without a symbol table only symbol 0 exists, as the relative types need.
    {"no_symbols", "B32", {.rels = {{0x300, 0, RR, 1}, {0x308, 1, RR}}},
     {dyn_tag(DT_STRTAB), dyn_tag(DT_SYMTAB), dyn_tag(DT_SYMENT)}, IN, 1, SYM1},
    {"syment_huge", "B64", {}, {dyn_value(DT_SYMENT, 0, 0x100000000)}, IN, 1,
     E("DT_SYMENT value is too large: 0x100000000") + SYMTAB},
    // The virtual space: bounds from the sections, aligned by their PT_LOAD; copying stays inside.
    {"no_image_sections", "B32", {}, {field("sh_flags", SHF_ALLOC, 1), READONLY_DATA, READONLY_BSS},
     IN, 1, NOSPACE},
    {"start_outside_load", "L64", {}, {field("p_vaddr", 0x210)}, IN, 1, PHDR},
    {"end_outside_load", "B64", {}, {field("p_memsz", 0x15f)}, IN, 1, PHDR},
    {"align_0", "L32", {}, {field("p_align", 0)}, IN, 0, "", {}, "", {}, "in.out", 0x160},
    {"too_large", "L64", {}, {field("p_memsz", 0x200000000), field("sh_size", 0xfffffec0, 3)}, IN,
     1, E("Virtual space is too large")},
    // .data as an init (L64), fini (B32) and preinit (B64) array.
    {"arrays_copied", "L64 B32 B64", {},
     {[](Built &b) { b.set("sh_type", SHT_INIT_ARRAY + b.k.msb * b.k.w / 4, 2); }}, IN, 0},
    // .tbss (here .bss made thread-local and far larger) has addresses but no memory.
    {"tbss_takes_no_room", "L64 B32", {},
     {field("sh_flags", SHF_ALLOC | SHF_WRITE | SHF_TLS, 3), field("sh_size", 0x1000, 3)}, IN, 0},
    // Read-only .data and .bss stay out, and relocations into them warn, once, naming the section
    // that holds the target, not one that ends there; --include-readonly puts them in, but never
    // the loader's own tables.
    {"readonly_left_out", "L64",
     {.rels = {{0x200, 0, RR, 0x360}, {0x208, 0, RR, 0x340}, {0x210, 0, RR, 0x300}}},
     {READONLY_DATA, READONLY_BSS}, IN, 0,
     W("0x340", ".bss", PUTS),
     {{0x200, BIAS + 0x360}, {0x208, BIAS + 0x340}, {0x210, BIAS + 0x300}}, "", {}, "in.out",
     0x100},
    {"readonly_included", "B32", {.rels = {{0x208, 0, RR, 0x400}}}, {READONLY_DATA, READONLY_BSS},
     "--include-readonly" + IN, 0,
     W("0x400", ".dynsym"),
     {{0x208, BIAS + 0x400}}},
    // Any type but the loader's with --include-readonly (.data as SHT_ARM_EXIDX; .interp stays
    // out).
    {"readonly_any_type", "B64 L32", {}, {READONLY_DATA, field("sh_type", SHT_ARM_EXIDX, 2)},
     "--include-readonly" + IN, 0},
    {"interp_left_out", "L64", {.rels = {{0x200, 0, RR, 0x300}}}, {READONLY_DATA, INTERP},
     "--include-readonly" + IN, 0,
     W("0x300", ".interp"),
     {{0x200, BIAS + 0x300}, {0x320, 0}, {0x328, 0}, {0x330, 0}, {0x338, 0}}},
    // Malformed headers and files cut short: the loader refuses them.
    {"bad_version", "B64", {}, {field("EI_VERSION", 2)}, IN, 255, LOAD},
    {"small_ehsize", "L64", {}, {field("e_ehsize", 63)}, IN, 255, LOAD},
    {"phoff_0", "B32", {}, {field("e_phoff", 0)}, IN, 255, LOAD},
    {"cut_last_byte", "L32", RELA, {[](Built &b) { b.bytes.pop_back(); }}, IN, 255, LOAD},
    // Section and segment counts beyond the header's fields.
    {"shnum_extended", "all", RELA, {field("e_shnum", 0), field("sh_size", 10)}, IN, 0, "", ONE},
    {"phnum_extended", "L64 B32", RELA, {field("e_phnum", PN_XNUM), field("sh_info", 3)}, IN, 0, "",
     ONE},
    // Contents past the end of the file, or at offsets that wrap; a name without its NUL.
    {"dynamic_past_end", "L64", {}, {field("sh_offset", 0x100000, 8)}, IN, 1,
     E("Could not get dynamic")},
    {"data_offset_wraps", "L64", {}, {field("sh_offset", NEG(8), 2)}, IN, 1,
     E("Could not copy sections")},
    {"name_without_nul", "L64", UNDEF, {field("sh_size", 2, 5)}, IN, 1, SYM1},
    // Table sizes beyond 32 bits and tables starting inside an entry.
    {"relasz_4gib", "L64", RELA, {dyn_value(DT_RELASZ, 0, 0x100000000)}, IN, 1,
     E("DT_RELASZ value is too large: 0x100000000") + F},
    {"table_off_by_one", "L64", RELA, {dyn_ref(DT_RELA, "rel", 1)}, IN, 1,
     E("Could not read RELA entry from 0x1 (rel 0x0)") + F},
    {"both_rel_and_rela", "all", RELA, {dyn_tag(DT_STRSZ, DT_REL)}, IN, 1,
     E("Both DT_REL and DT_RELA are present")},
    // A PT_LOAD alignment that is not a power of two.
    {"align_not_power_of_two", "L64 B32", {}, {field("p_align", 0x7fffffff)}, IN, 1,
     E("PT_LOAD segment #0 has alignment 0x7fffffff, neither 0 nor a power of two") + NOSPACE},
    // The command line, and numbers too large for 64 bits.
    {"input_path_252", "L64", {}, {}, "0 " + LONG, 1,
     E("Input file path is too long.")},
    {"define_no_name", "L64", {}, {}, "-d =1" + IN, 1,
     E("Value syntax error in symbol definition: \"=1\"")},
    {"define_no_value", "L64", {}, {}, "--define x=" + IN, 1,
     E("Missing symbol value from definition: \"x=\"")},
    {"format_short", "L64", {}, {}, "-F field::1" + IN, 1,
     E("Invalid argument to -F, --symfile-format")},
    // Symbol files: a NUL byte refused with its line.
    {"symfile_nul", "L64", {}, {}, "-f s" + IN, 1, E("NUL byte in line 2 of 's'") + SYMFILE,
     {}, "", {{"s", std::string("1 a\n2 b\0c\n", 10)}}},
    // Containers, read back by objcopy (of ELF, what its sections hold); gap fill (.bss stays
    // zero) and padding; what they refuse (an alignment beyond 2 MiB rounds the image as 2 MiB).
    {"gap_fill_pad_to", "all", EACH_TYPE, {}, "--gap-fill 0xff --pad-to 0x10000280" + IN, 0, "",
     EACH_STORED, "", {}, "in.out", 0x280},
    {"elf", "all", {.rels = EACH_TYPE.rels, .plt = EACH_TYPE.plt,
     .syms = {{"f"}, {"a", 0x11, SHN_ABS, 5}, und("u")}}, {field("sh_type", SHT_SYMTAB, 4)},
     "-O elf" + IN, 0, "", EACH_STORED, "", {}, "in.out", 0x140},
    // (.shstrtab at 0x10, where a relocation points: no section of the program, no warning)
    {"ihex", "L32 B64", EACH_TYPE, {field("sh_addr", 0x10, 9)}, "-O ihex --gap-fill 0x5a" + IN, 0,
     "", EACH_STORED},
    {"srec", "L64 B32", EACH_TYPE, {}, "-O srec --pad-to 0x10000200 --output-entry e" + IN, 0, "",
     EACH_STORED},
    {"pad_to_below_end", "L64", {}, {field("p_align", 1ull << 63)}, "--pad-to 0x100001ff" + IN, 1,
     E("--pad-to 0x100001ff lies below the image's end 0x10200000")},
    {"pad_to_past_32_bits", "L32", {}, {}, "--pad-to 0x100000001 0xfffffe00 in", 1,
     E("Image of 0x201 bytes at ADDRESS 0xfffffe00 ends beyond the 32-bit address space")},
    {"gap_fill_above_byte", "L64", {}, {}, "--gap-fill 0x100" + IN, 1,
     E("--gap-fill needs a byte value from 0 to 0xff: '0x100'")},
    {"format_unknown", "L64", {}, {}, "-O hex" + IN, 1,
     E("Unknown output format 'hex' (binary, ihex, srec or elf)")},
    {"ihex_past_4gib", "L64", {}, {}, "-O ihex 0xfffffe01 in", 1,
     E("Intel HEX holds 32-bit addresses only: the image at 0xfffffe01..0x100000000 with entry "
       "point 0xfffffe05 reaches beyond 0xffffffff")},
    // Outputs: one file named twice (not there yet, and spelt two ways), a full device.
    {"outputs_same_file", "L64", {}, {}, "-o ./img --output-entry d" + IN, 1,
     E("The image and the entry point would both be written to 'd'"), {}, "", {{"d", "@img"}},
     "img"},
    {"entry_full", "L64", {}, {}, "--output-entry /dev/full" + IN, 1,
     E("Could write: No space left on device") + E("Could not save entry point to '/dev/full'.")},
    // The command line: each mistake refused alone.
    {"no_operand", "L64", {}, {}, "", 1, "%P: missing operand\nType \"%P --help\" for usage\n"},
    {"third_operand", "L64", {}, {}, "0 in x", 1, "%P: unexpected operand: \"x\"\n"},
    {"option_bad", "L64", {}, {}, "-q" + IN, 1, "%P: Invalid option: -q\n"},
    {"argument_missing", "L64", {}, {}, "-d", 1, "%P: Missing argument\n"},
    // Intel HEX across a 64 KiB boundary: a new upper address record.
    {"ihex_64k", "B32", {}, {}, "-O ihex 0x1ff00 in", 0},
    // The trace (its stages at -v: see mips_got): each section and relocation (-vv).
    {"trace_2", "L32", {.rels = {{0x300, 0, RR, NEG(0x10)}}}, {}, "-vv" + IN, 0, "",
     {{0x300, BIAS - 0x10}}, V2 + "Apply relocations at 0x418...\n  R_386_RELATIVE, 0x0 + "
     "0xfffffffffffffff0\nDone.\n"},
};

// Every machine with the four types the tool applies for it, in the class and byte order it uses:
// relative, symbolic (a GOT type where none is), GOT, PLT (one with S + A where none is).
const Kind machines[] = {
    {"x86_64", 8, false, EM_X86_64, 0, 8, 1, 6, 7},
    {"x32", 4, false, EM_X86_64, 0, 8, 10, 6, 7},
    {"i386", 4, false, EM_386, 0, 8, 1, 6, 7},
    {"arm", 4, false, EM_ARM, 0x05000000, 23, 2, 21, 22},
    {"riscv32", 4, false, EM_RISCV, 0, 3, 1, 1, 5},
    {"riscv64", 8, false, EM_RISCV, 5, 3, 2, 2, 5},
    {"ppc", 4, true, EM_PPC, 0, 22, 1, 20, 21},
    {"ppc64_elfv2", 8, true, EM_PPC64, 2, 22, 38, 20, 21},
    {"ppc64_elfv1", 8, true, EM_PPC64, 1, 22, 38, 20, 20},
    {"ppc64_abi_unset", 8, true, EM_PPC64, 0, 22, 38, 20, 20},
    {"ppc64le", 8, false, EM_PPC64, 0x80000002, 22, 38, 20, 21},
    {"s390x", 8, true, EM_S390, 0, 12, 22, 10, 11},
    {"loongarch32", 4, false, 258, 0, 3, 1, 1, 5},
    {"loongarch64", 8, false, 258, 0x43, 3, 2, 2, 5},
    {"aarch64_ilp32", 4, false, EM_AARCH64, 0, 183, 181, 181, 182},
    {"aarch64", 8, false, EM_AARCH64, 0, 1027, 257, 1025, 1026},
    {"mips", 4, true, EM_MIPS, 0, 3, 3, 3, 127},  // R_MIPS_REL32 both ways, R_MIPS_JUMP_SLOT
    {"mipsel", 4, false, EM_MIPS, 0, 3, 3, 3, 127},
};

const Kind basic[] = {L32, L64, B32, B64};
struct Param {
    const Case *c;
    const Kind *k;
};

std::vector<Param> params() {
    std::vector<Param> p;
    for (const Case &c : cases)
        for (const std::string kinds = c.kinds;
             const Kind &k :
             kinds.starts_with("machines") ? std::span<const Kind>(machines)
                                           : std::span<const Kind>(basic))
            if (kinds == "all" || kinds == "machines" || kinds.find(k.name) != std::string::npos)
                p.push_back({&c, &k});
    return p;
}

class E2E : public testing::TestWithParam<Param> {};

TEST_P(E2E, Run) {
    const Case &c = *GetParam().c;
    const Kind &k = *GetParam().k;
    const TempDir dir;
    Built b = build(k, c.pie);
    for (const Patch &patch : c.patch) patch(b);
    dir.write("in", b.bytes);
    for (const auto &[name, text] : c.files)
        if (text[0] == '@')
            fs::create_symlink(text.substr(1), dir.file(name));
        else
            dir.write(name, text);
    const Result r = run_pieshift(split(c.args), dir.path);
    auto expand = [](const std::string &s) {
        return std::regex_replace(s, std::regex("%P"), bin());
    };
    EXPECT_EQ(std::tuple(r.status, r.out, r.err),
              std::tuple(c.status, expand(c.out), expand(c.err)));
    if (c.status != 0) {  // and leaves every file as it was, every link naming nothing
        for (const auto &[name, text] : c.files)
            EXPECT_EQ(dir.read(name), text[0] == '@' ? "" : text) << name;
        EXPECT_FALSE(fs::exists(dir.file(c.output)));
        return;
    }
    // Gaps (not .bss) and padding hold the fill byte; a text container is read back by objcopy.
    const size_t g = c.args.find("--gap-fill ");
    const char fill = char(g == c.args.npos ? 0 : std::stoi(c.args.substr(g + 11), 0, 0));
    std::string image = image_of(k, c.pie).replace(0x10, 0xf0, 0xf0, fill);
    image.replace(0x160, 0xa0, 0xa0, fill).resize(std::max<size_t>(c.size, 0x200), fill);
    Built want{k, image.substr(0, c.size), {}};
    for (const char *format : {"ihex", "srec", "elf"})
        if (c.args.find(format) != c.args.npos) {
            std::string in = format, img = dir.read(c.output);
            if (in == "elf") {  // an executable; its sections by name; the input's symbols moved
                in += std::to_string(8 * k.w) + (k.msb ? "-big" : "-little") + " -j .text -j .data";
                const std::string z(k.w * 2 - 8, '0');
                EXPECT_EQ(img[16 + k.msb], ET_EXEC);
                EXPECT_EQ(run({"nm", c.output}, dir.path).out,
                          z + "00000005 A a\n" + z + "10000004 T f\n");
            }
            if (in == "srec") {  // the header record's address, the count of data records
                EXPECT_EQ(img.substr(4, 4) + img.substr(img.rfind("S5"), 10), "0000S5030020DC");
            }
            EXPECT_EQ(run(split("objcopy -O binary -I " + in + " " + c.output + " " + c.output),
                          dir.path).status, 0);
        }
    for (const auto &[addr, word] : c.stores) want.put(addr - 0x200, k.w, word);
    EXPECT_TRUE(dir.read(c.output) == want.bytes);
    // A replaced file keeps its mode; a new one gets what creating it would give, as "in" did.
    const auto mode = [&](const std::string &f) { return fs::status(dir.file(f)).permissions(); };
    EXPECT_EQ(mode(c.output), mode("in"));
    for (const auto &[name, text] : c.files)
        EXPECT_EQ(fs::is_symlink(dir.file(name)), text[0] == '@') << name;
    if (c.args.find("--output-entry e") != c.args.npos) {
        EXPECT_EQ(dir.read("e"), "0x10000004\n");
    }
}

std::string name(const testing::TestParamInfo<Param> &i) {
    std::string n = i.param.c->name;  // appended in steps: g++ 12 -O3 warns falsely on operator+
    return n.append("_").append(i.param.k->name);
}
INSTANTIATE_TEST_SUITE_P(Cases, E2E, testing::ValuesIn(params()), name);

// A write that fails midway (at the file size limit) or a signal leaves the old file as it was
// and no temporary file.
TEST(E2E, OutputsNotLeftHalfWritten) {
    if (std::getenv("PIESHIFT_TEST_WRAPPER")) GTEST_SKIP() << "limits, signals, modes of POSIX";
    const TempDir dir;
    const auto count = [&] { return std::distance(fs::directory_iterator(dir.path), {}); };
    Built b = build(L64, {});
    dir.write("in", b.bytes), dir.write("victim", "old");
    const Result r = run({"sh", "-c", "ulimit -f 0 && exec \"$0\" \"$@\"", bin(), "-o", "victim",
                          "0", "in"}, dir.path);
    EXPECT_EQ(std::tuple(r.status, r.err, dir.read("victim"), count()),
              std::tuple(1, E("Could write: File too large") + SAVE, "old"s, 2));
    // The entry file is a FIFO nobody reads: the run waits there, its image in a temporary file.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path.c_str()) == 0 && freopen("/dev/null", "w", stderr))
            execl(bin().c_str(), "pieshift", "-o", "victim", "--output-entry", "fifo", "0", "in",
                  nullptr);
        _exit(127);
    }
    // Stop it once its temporary file is there.
    for (int i = 0; i < 10000 && count() == 3; i++) usleep(1000);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(std::tuple(WIFSIGNALED(status), WTERMSIG(status), dir.read("victim"), count()),
              std::tuple(true, SIGTERM, "old"s, 3));
}

}  // namespace
