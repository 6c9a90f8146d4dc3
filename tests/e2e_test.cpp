// The tool run as a user runs it, on built static PIEs: one row per case, run in the kinds (class and
// byte order) it lists. A row gives the input (PIE parameters plus byte patches), the command line
// (run in a fresh directory holding the input as "in"), the exit status, stdout and stderr exactly
// ("%P" stands for the program's path), and either the words the image must hold beyond the
// unrelocated sections or, for a failing run, that no image is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <span>

#include "support/pie.h"
#include "support/run.h"

namespace {

using namespace pie;
using Patch = std::function<void(Built &)>;
using Stores = std::vector<std::pair<uint64_t, uint64_t>>;

struct Case {
    const char *name, *kinds;  // "L32 L64 B32 B64" or some, "all", "machines" (and some of them)
    Pie pie;
    Patch patch;
    std::string args;
    int status = 0;
    std::string err = "";
    Stores stores = {};  // (link-time address, word) a successful run must store
    std::string out = "";
    std::vector<std::pair<std::string, std::string>> files = {};  // more files in the directory
    std::string output = "in.out";
    uint64_t size = 0x200;  // of the image
};

const std::string IN = " 0x10000000 in", F = "ERROR: Failed to apply relocations\n",
                  LOAD = "%P: Could not load 'in' as ELF\n", SYMTAB = "ERROR: Could not load symtab information\n";
constexpr uint64_t BIAS = 0x10000000 - 0x200;  // what relocation adds to a link-time address
constexpr uint64_t NEG(uint64_t v) { return 0 - v; }
const Pie EACH_TYPE = {.rels = {{0x300, 0, RR, 0x10}, {0x308, 1, RA, NEG(4)}}, .plt = {{0x310, 1, RB, 0}}, .syms = {{"f"}}};
const Stores EACH_STORED = {{0x300, BIAS + 0x10}, {0x308, 0x204 + BIAS - 4}, {0x310, 0x204 + BIAS}};
const Pie REL = {.rels = {{0x300, 0, RR, 1}}, .rela = false}, RELA = {.rels = {{0x300, 0, RR, 1}}};
const Pie PLT = {.plt = {{0x300, 0, RR, 1}}}, UNDEF = {.rels = {{0x300, 1, RA, 2}}, .syms = {{"u", 0x10, 0, 0}}};

// Patches: a dynamic entry's value (words of the class plus bytes), its removal, any field.
Patch dv(uint64_t tag, uint64_t words, uint64_t bytes = 0) {
    return [=](Built &b) { b.put(b.dyn(tag) + b.k.w, b.k.w, words * b.k.w + bytes); };
}
Patch drop(uint64_t tag) { return [=](Built &b) { b.put(b.dyn(tag), b.k.w, 0x6fff0000); }; }
// A field of the ELF header or, given its index, of a section header. Width 0: a word of the class.
Patch at(unsigned off64, unsigned off32, unsigned width, uint64_t v, int section = -1) {
    return [=](Built &b) { b.put((section < 0 ? 0 : b.sh(static_cast<unsigned>(section), 0)) + (b.k.w == 8 ? off64 : off32), width ? width : b.k.w, v); };
}
Patch both(Patch a, Patch b) { return [=](Built &x) { a(x), b(x); }; }

// The file cut short at a mark of the layout ("" = its start, "end"), moved by delta bytes.
Patch cut(const std::string &mark, int64_t delta) {
    return [=](Built &b) { b.bytes.resize(static_cast<size_t>(static_cast<int64_t>(mark == "end" ? b.bytes.size() : mark.empty() ? 0 : b.at.at(mark)) + delta)); };
}
// A dynamic entry that points at a mark of the layout plus delta; one whose tag becomes another.
Patch dref(uint64_t tag, const std::string &mark, uint64_t delta) { return [=](Built &b) { b.put(b.dyn(tag) + b.k.w, b.k.w, b.at.at(mark) + delta); }; }
Patch retag(uint64_t tag, uint64_t to) { return [=](Built &b) { b.put(b.dyn(tag), b.k.w, to); }; }
const std::string ALIGN = "ERROR: Could not determine virtual space\n", GET_DYN = "ERROR: Could not get dynamic\n", SYM1 = "ERROR: Could not get symbol info for sym 1\n" + F;
const std::string FIELDS = "Relocating 'in' to 0x10000000, and save to 'in.out'\n";
const std::string LONG = std::string(300, 'c');

const std::string V1 = "Relocating 'in' to 0x10000000, and save to 'in.out'\nSearch dynamic section...\n"
                       "Determine virtual space...\nVirtual space: 0x200..0x400\nLoad bias: 0xffffe00\nCopy section contents to output space...\n";

const Case cases[] = {
    // Relocation: every applied type, both tables, negative addends (sign-extended from 32 bits).
    {"each_type", "all", EACH_TYPE, {}, "--expect-rel --expect-pltrel" + IN, 0, "", EACH_STORED},
    {"machine", "machines", EACH_TYPE, {}, IN, 0, "", EACH_STORED},
    {"each_type_rel", "all", {.rels = EACH_TYPE.rels, .plt = EACH_TYPE.plt, .rela = false, .plt_rela = false, .syms = {{"f"}}},
     {}, IN, 0, "", EACH_STORED},
    {"no_tables", "all", {}, {}, "--no-expect-rel --no-expect-pltrel" + IN, 0},
    {"entry_file", "L32 B64", {}, {}, "-o img --output-entry entry" + IN, 0, "", {}, "", {}, "img"},
    // The image replaces the input, whose header is read again for the entry point afterwards.
    {"output_over_input", "L64 B32", EACH_TYPE, {}, "-o in --output-entry e" + IN, 0, "", EACH_STORED, "", {}, "in"},
    // A REL addend is what the entries before stored there.
    {"rel_entries_chain", "L32", {.rels = {{0x300, 0, RR, 1}, {0x300, 0, RR, 1}}, .rela = false}, {}, IN, 0, "", {{0x300, 1 + 2 * BIAS}}},
    // Symbols: input's own (moved with the image unless absolute), -d over them, weak and undefined.
    {"symbol_sources", "L64 B32", {.rels = {{0x300, 1, RA, 1}, {0x308, 2, RA, 1}, {0x310, 3, RA, 1}, {0x318, 4, RA, 1}, {0x320, 5, RB, 1}},
      .syms = {{"abs", 0x11, 0xfff1, 0x1234}, {"weak", 0x20, 0, 0}, {"def"}, {"undef", 0x10, 0, 0}, {"own", 0x11, 2, 0x300}}},
     {}, "--ignore-weak -d def=0x5000 -d undef=0x7000" + IN, 0, "",
     {{0x300, 0x1235}, {0x308, 1}, {0x310, 0x5001}, {0x318, 0x7001}, {0x320, 0x300 + BIAS + 1}}},
    {"ignore_undefined", "B64", UNDEF, {}, "--ignore-undefined" + IN, 0, "", {{0x300, 2}}},
    {"undefined_symbol", "L32", UNDEF, {}, IN, 1, "ERROR: Symbol \"u\" is undefined\n" + F},
    {"ignore_weak_keeps_global_check", "L64", {.rels = {{0x300, 1, RA, 0}, {0x308, 2, RR, 0}}, .syms = {{"w", 0x20, 0, 0}, {"g", 0x10, 0, 0}}},
     {}, "--ignore-weak" + IN, 1, "ERROR: Symbol \"g\" is undefined\n" + F},
    {"undefined_weak", "B32", {.rels = {{0x300, 1, RR, 0}}, .syms = {{"w", 0x20, 0, 0}}}, {}, IN, 1, "ERROR: Symbol \"w\" is undefined\n" + F},
    // Symbol files: comments, blank lines, extra fields, CR LF, octal, -1, swapped fields; later wins.
    {"symbol_files", "L64", {.rels = {{0x300, 1, RA}, {0x308, 2, RA}, {0x310, 3, RA}, {0x318, 4, RA}, {0x320, 5, RA}},
      .syms = {{"a", 0x10, 0, 0}, {"b", 0x10, 0, 0}, {"c", 0x10, 0, 0}, {"d", 0x10, 0, 0}, {"e", 0x10, 0, 0}}},
     {}, "-f s1 -F ::field::2:1 -f s2 -d d=4 -d d=5" + IN, 0, "", {{0x300, 0x5000}, {0x308, 0100}, {0x310, NEG(1)}, {0x318, 5}, {0x320, 0x99}}, "",
     {{"s1", "# value name\n\n  0x5000 a  more words\r\n\t0100\tb\r\n-1 c\n7 d\n"}, {"s2", "e 0x99 x\n# 1 e\n"}}},
    {"letters_take_words_in_turn", "B32", UNDEF, {}, "-do u=0x50 img" + IN, 0, "", {{0x300, 0x52}}, "", {}, "img"},
    {"store_sign_extended_32", "L32 B32", UNDEF, {}, "-d u=0xffffffff80000000" + IN, 0, "",
     {{0x300, 0x80000002}}},
    {"store_too_wide_32", "L32", UNDEF, {}, "-d u=0x100000000" + IN, 1,
     "ERROR: Could not store 0x100000002 to 0x300 (rel 0x100)\n" + F},
    {"store_too_negative_32", "B32", UNDEF, {}, "-d u=0xffffffff7fffffff" + IN, 1,
     "ERROR: Could not store 0xffffffff80000001 to 0x300 (rel 0x100)\n" + F},
    // ELF32 adds modulo 2^32: a value wraps, and an image linked above 0x80000000 moves down.
    {"store_wraps_32", "L32", UNDEF, {}, "-d u=0xffffffff" + IN, 0, "", {{0x300, 1}}},
    {"high_addend_32_rel", "machines i386 arm riscv32", {.rels = {{0x300, 0, RR, 0x80000010}},
     .rela = false}, {}, "0 in", 0, "", {{0x300, 0x7ffffe10}}},
    {"high_addend_32_rela", "machines i386 arm riscv32", {.rels = {{0x300, 0, RR, 0x80000010}}},
     {}, "0 in", 0, "", {{0x300, 0x7ffffe10}}},
    // Dynamic section and the demands on its tables.
    {"no_dynamic", "B64", RELA, at(4, 4, 4, 1, 8), IN, 1, "ERROR: Dynamic section not found\n"},
    {"not_static", "L32", {.needed = true}, {}, IN, 1, "ERROR: Input is not static\n"},
    {"force_dynamic", "B32", {.rels = RELA.rels, .needed = true}, {}, "--force-dynamic" + IN, 0, "", {{0x300, BIAS + 1}}},
    {"expect_rel", "L64", PLT, {}, "--expect-rel" + IN, 1, "ERROR: REL/RELA section is not present\n"},
    {"no_expect_rel", "L64", RELA, {}, "--no-expect-rel" + IN, 1, "ERROR: REL/RELA section is present, but it is unexpected\n"},
    {"expect_pltrel", "L64", RELA, {}, "--expect-pltrel" + IN, 1, "ERROR: PLTREL section is not present\n"},
    {"no_expect_pltrel", "L64", PLT, {}, "--no-expect-pltrel" + IN, 1, "ERROR: PLTREL section is present, but it is unexpected\n"},
    // Relocation tables: tags, sizes, strides, bounds.
    {"pltrel_unknown", "L32", PLT, dv(20, 0, 9), IN, 1, "ERROR: Relocation type 0x9 is not implemented in DT_PLTREL\n" + F},
    {"plt_rel", "B64", {.plt = {{0x300, 0, RR, 1}}, .plt_rela = false}, {}, IN, 0, "", {{0x300, BIAS + 1}}},
    {"no_jmprel", "B32", PLT, drop(23), IN, 1, "ERROR: DT_JMPREL is not found in DYNAMIC\n" + F},
    {"rela_nowhere", "L64", RELA, dv(7, 0, 0x5000), IN, 1, "ERROR: Could not found RELA section\n" + F},
    {"rel_nowhere", "B32", REL, dv(17, 0, 0x5000), IN, 1, "ERROR: Could not found REL section\n" + F},
    {"plt_nowhere", "L32", PLT, dv(23, 0, 0x5000), IN, 1, "ERROR: Could not found PLTREL section\n" + F},
    {"no_relasz", "B64", RELA, drop(8), IN, 1, "ERROR: DT_RELASZ not found\n" + F},
    {"no_relent", "L32", REL, drop(19), IN, 1, "ERROR: DT_RELENT not found\n" + F},
    {"no_pltrelsz", "L64", PLT, drop(2), IN, 1, "ERROR: DT_PLTRELSZ not found\n" + F},
    {"relaent_small", "all", RELA, dv(9, 3, NEG(1)), IN, 1, "ERROR: DT_RELAENT is smaller than expected\n" + F},
    {"relent_small", "L32 B64", REL, dv(19, 2, NEG(1)), IN, 1, "ERROR: DT_RELENT is smaller than expected\n" + F},
    {"relasz_unaligned", "B32", RELA, dv(8, 3, 1), IN, 1, "ERROR: DT_RELASZ is not multiple of DT_RELAENT\n" + F},
    {"pltrelsz_unaligned", "L64", {.plt = {{0x300, 0, RR, 1}}, .plt_rela = false}, dv(2, 2, 2), IN, 1, "ERROR: DT_PLTRELSZ is not multiple of DT_RELENT\n" + F},
    {"unaligned_allowed", "L64 B32", {.rels = {{0x300, 0, RR, 1}, {0x308, 0, RR, 2}}}, dv(8, 6, NEG(1)),
     "--ignore-unaligned-relsz" + IN, 0, "", {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    {"entry_past_section", "L64", RELA, dv(8, 3, 1), "--ignore-unaligned-relsz" + IN, 1, "ERROR: Could not read RELA entry from 0x18 (rel 0x18)\n" + F},
    // A larger DT_RELAENT is the stride: the record between would fail out of bounds.
    {"relaent_stride", "B64 L32", {.rels = {{0x300, 0, RR, 1}, {0x3fc, 0, RR}, {0x308, 0, RR, 2}}}, both(dv(9, 6), dv(8, 12)), IN, 0, "",
     {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    {"machine_unsupported", "L32", RELA, at(18, 18, 2, 8), IN, 1, "ERROR: Relocations of machine 8, ELF32, are not supported\n" + F},
    {"machine_unsupported_no_relocs", "B64", {}, at(18, 18, 2, 183), IN, 0},
    {"type_unnamed", "L32", {.rels = {{0x300, 0, 200}}}, {}, IN, 1, "ERROR: No relocation info for type 200\n" + F},
    {"type_above_255", "L64", {.rels = {{0x300, 0, 264}}}, {}, IN, 1, "ERROR: No relocation info for type 264\n" + F},
    {"type_not_applied", "L64", {.rels = {{0x300, 0, 5}}}, {}, IN, 1, "ERROR: R_X86_64_COPY is not handled\n" + F},
    // ELFv1 PLT slots hold function descriptors, which the tool does not build: the ABI picks the record.
    {"ppc64_elfv1_jmp_slot", "B64", {.rels = {{0x300, 0, 21}}}, both(at(18, 18, 2, 21), at(48, 36, 4, 1)), IN, 1, "ERROR: R_PPC64_JMP_SLOT is not handled\n" + F},
    // As a loader does: NONE entries are no relocation, wherever they point; a main table that also covers
    // the PLT table stops where it starts; a REL PLT slot holds a stub's address, not an addend.
    {"none_skipped", "all", {.rels = {{0, 0, 0}, {0x300, 0, RR, 1}}, .plt = {{0x5000, 0, 0}}, .rela = false}, {}, IN, 0, "", {{0x300, BIAS + 1}}},
    {"rela_covers_plt", "L64 B64", {.rels = {{0x300, 0, RR, 1}}, .plt = {{0x308, 0, RR, 2}}}, dv(8, 6), IN, 0, "", {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    {"rel_covers_plt", "L32 B64", {.rels = {{0x300, 0, RR, 1}}, .plt = {{0x308, 0, RR, 2}}, .rela = false, .plt_rela = false}, dv(18, 4), IN, 0, "",
     {{0x300, BIAS + 1}, {0x308, BIAS + 2}}},
    {"rel_plt_slot_is_s", "L32", {.plt = {{0x300, 1, 7, 0x1234}}, .plt_rela = false, .syms = {{"f"}}}, {}, IN, 0, "", {{0x300, 0x204 + BIAS}}},
    {"aarch64_abs64", "L64 B64", {.rels = {{0, 0, 0}, {0x308, 1, 257, NEG(4)}}, .syms = {{"f"}}}, at(18, 18, 2, 183), IN, 0, "", {{0x308, 0x204 + BIAS - 4}}},
    // The image must end inside the class's address space.
    {"reach_32_top", "L32 B32", RELA, {}, "0xfffffe00 in", 0, "", {{0x300, 0xfffffc01}}},
    {"reach_32_past", "L32 B32", RELA, {}, "0xfffffe01 in", 1, "ERROR: Image of 0x200 bytes at ADDRESS 0xfffffe01 ends beyond the 32-bit address space\n"},
    {"reach_64_top", "L64 B64", RELA, {}, "0xfffffffffffffe00 in", 0, "", {{0x300, 0xfffffffffffffc01}}},
    {"reach_64_past", "B64", RELA, {}, "0xfffffffffffffe01 in", 1,
     "ERROR: Image of 0x200 bytes at ADDRESS 0xfffffffffffffe01 ends beyond the 64-bit address space\n"},
    {"last_word", "L32", {.rels = {{0x3fc, 0, RR, 1}}}, {}, IN, 0, "", {{0x3fc, BIAS + 1}}},
    {"past_last_word", "L64", {.rels = {{0x3fc, 0, RR, 1}}}, {}, IN, 1, "ERROR: r_offset 0x3fc is out of bounds\n" + F},
    {"below_image", "B32", {.rels = {{0x1fc, 0, RR, 1}}}, {}, IN, 1, "ERROR: r_offset 0x1fc is out of bounds\n" + F},
    {"rel_addend_out_of_image", "B64", {.rels = {{0x400, 0, RR}}, .rela = false}, {}, IN, 1,
     "ERROR: r_offset 0x400 is out of bounds\nERROR: Could not get addend for REL entry at 0x0 (rel 0x0)\n" + F},
    {"symbol_index_out_of_table", "L64", {.rels = {{0x300, 2, RA}}, .syms = {{"f"}}}, {}, IN, 1, "ERROR: Could not get symbol info for sym 2\n" + F},
    // Symbol table entries of the dynamic section.
    {"no_strtab", "L32", {}, drop(5), IN, 1, "ERROR: Incomplete symtab information in DYNAMIC\nERROR: DT_STRTAB is missing\n" + SYMTAB},
    {"no_symtab_syment", "B64", {}, both(drop(6), drop(11)), IN, 1,
     "ERROR: Incomplete symtab information in DYNAMIC\nERROR: DT_SYMTAB is missing\nERROR: DT_SYMENT is missing\n" + SYMTAB},
    {"no_symbol_entries_at_all", "L64", {}, both(drop(5), both(drop(6), drop(11))), IN, 0},
    {"syment_small_64", "L64", {}, dv(11, 0, 23), IN, 1, "ERROR: DT_SYMENT value (23) is smaller than expected\n" + SYMTAB},
    {"syment_small_32", "B32", {}, dv(11, 0, 15), IN, 1, "ERROR: DT_SYMENT value (15) is smaller than expected\n" + SYMTAB},
    {"syment_huge", "B64", {}, dv(11, 0, 0x100000000), IN, 1, "ERROR: DT_SYMENT value is too large: 0x100000000\n" + SYMTAB},
    {"strtab_nowhere", "L32", {}, dv(5, 0, 0x5000), IN, 1, "ERROR: Section not found for DT_STRTAB at 0x5000\n" + SYMTAB},
    {"symtab_nowhere", "L64", {}, dv(6, 0, 0x5000), IN, 1, "ERROR: Section not found for DT_SYMTAB at 0x5000\n" + SYMTAB},
    // The virtual space: bounds from the sections, aligned by their PT_LOAD; copying stays inside.
    {"no_image_sections", "B32", {}, both(at(8, 8, 0, 2, 1), both(at(8, 8, 0, 2, 2), at(8, 8, 0, 2, 3))), IN, 1,
     "ERROR: Could not determine virtual space\n"},
    {"start_outside_load", "L64", {}, at(80, 60, 0, 0x210), IN, 1,
     "ERROR: Virtual address not found in LOAD phdr\nERROR: Could not determine virtual space\n"},
    {"end_outside_load", "B64", {}, at(104, 72, 0, 0x15f), IN, 1,
     "ERROR: Virtual address not found in LOAD phdr\nERROR: Could not determine virtual space\n"},
    {"align_0", "L32", {}, at(112, 80, 0, 0), IN, 0, "", {}, "", {}, "in.out", 0x160},
    {"too_large", "L64", {}, both(at(104, 72, 0, 0x200000000), at(32, 20, 0, 0x100000000, 3)), IN, 1, "ERROR: Virtual space is too large\n"},
    {"section_wraps", "B64", {}, at(32, 20, 0, NEG(0x100), 2), IN, 1,
     "ERROR: Section #2 [.data] (0xffffffffffffff00 octets at 0x300) does not fit in the virtual space\nERROR: Could not copy sections\n"},
    {"section_bytes_outside_file", "L32", {}, at(24, 16, 0, 0x100000, 2), IN, 1, "ERROR: Could not copy sections\n"},
    {"init_array_copied", "B32", {}, at(4, 4, 4, 14, 2), IN, 0},
    // Read-only .data and .bss stay out, and relocations into them warn, once; --include-readonly puts
    // them in, but never the loader's own tables.
    {"readonly_left_out", "L64", {.rels = {{0x200, 0, RR, 0x300}, {0x208, 0, RR, 0x310}}}, both(at(8, 8, 0, 2, 2), at(8, 8, 0, 2, 3)), IN, 0,
     "WARNING: A relocation points to 0x300 in section [.data], which is not in the image; --include-readonly puts it in\n",
     {{0x200, BIAS + 0x300}, {0x208, BIAS + 0x310}}, "", {}, "in.out", 0x100},
    {"readonly_high_32", "L32 B32", {.rels = {{0x200, 0, RR, 0x80000004}}},
     both(both(at(8, 8, 0, 2, 2), at(8, 8, 0, 2, 3)), at(16, 12, 0, 0x80000000, 2)), IN, 0,
     "WARNING: A relocation points to 0x80000004 in section [.data], which is not in the image; "
     "--include-readonly puts it in\n",
     {{0x200, 0x8ffffe04}}, "", {}, "in.out", 0x100},
    {"readonly_included", "B32", {.rels = {{0x208, 0, RR, 0x400}}}, both(at(8, 8, 0, 2, 2), at(8, 8, 0, 2, 3)), "--include-readonly" + IN, 0,
     "WARNING: A relocation points to 0x400 in section [.dynsym], which is not in the image\n", {{0x208, BIAS + 0x400}}},
    // Malformed headers: the loader refuses them.
    {"bad_magic", "L64", {}, at(1, 1, 1, 'X'), IN, 255, LOAD},
    {"bad_class", "B32", {}, at(4, 4, 1, 3), IN, 255, LOAD},
    {"bad_data", "L32", {}, at(5, 5, 1, 0), IN, 255, LOAD},
    {"bad_version", "B64", {}, at(6, 6, 1, 2), IN, 255, LOAD},
    {"small_ehsize", "L64", {}, at(52, 40, 2, 63), IN, 255, LOAD},
    {"truncated", "L32", {}, [](Built &b) { b.bytes.resize(0x30); }, IN, 255, LOAD},
    {"sections_past_end", "B64", {}, [](Built &b) { b.bytes.resize(b.bytes.size() - 1); }, IN, 255, LOAD},
    {"small_phentsize", "L64", {}, at(54, 42, 2, 55), IN, 255, LOAD},
    {"phoff_0", "B32", {}, at(28, 28, 4, 0), IN, 255, LOAD},
    // The command line.
    {"no_operands", "L64", {}, {}, "", 1, "%P: missing operand\nType \"%P --help\" for usage\n"},
    {"one_operand", "L64", {}, {}, "-v 0", 1, "%P: missing operand\nType \"%P --help\" for usage\n"},
    {"three_operands", "L64", {}, {}, IN + " x", 1, "%P: unexpected operand: \"x\"\n"},
    {"bad_letter", "L64", {}, {}, "-vx" + IN, 1, "%P: Invalid option: -x\n"},
    {"bad_long", "L64", {}, {}, "--verbose" + IN, 1, "%P: Invalid argument: --verbose\n"},
    {"dash", "L64", {}, {}, "-" + IN, 1, "%P: Invalid argument: -\n"},
    {"missing_argument", "L64", {}, {}, "-o", 1, "%P: Missing argument\n"},
    {"bad_address", "L64", {}, {}, "12a in", 1, "ERROR: Unknown target address format\n"},
    {"no_input", "L64", {}, {}, "0 nothing", 255, "%P: nothing: No such file or directory\n", {}, "", {}, "nothing.out"},
    {"input_path_251", "L64", {}, {}, "0 " + std::string(251, 'a'), 255, "%P: " + std::string(251, 'a') + ": No such file or directory\n"},
    {"input_path_252", "L64", {}, {}, "0 " + std::string(252, 'a'), 1, "ERROR: Input file path is too long.\n"},
    {"define_no_equal", "L64", {}, {}, "-d x" + IN, 1, "ERROR: Missing equal sign ('=') from symbol definition: \"x\"\n"},
    {"define_no_value", "L64", {}, {}, "--define x=" + IN, 1, "ERROR: Missing symbol value from definition: \"x=\"\n"},
    {"define_no_name", "L64", {}, {}, "-d =1" + IN, 1,
     "ERROR: Value syntax error in symbol definition: \"=1\"\n"},
    {"define_bad_value", "L64", {}, {}, "-d x=1z" + IN, 1, "ERROR: Value syntax error in symbol definition: \"x=1z\"\n"},
    {"format_short", "L64", {}, {}, "-F field::1" + IN, 1, "ERROR: Invalid argument to -F, --symfile-format\n"},
    {"format_style", "L64", {}, {}, "--symfile-format word:1:2" + IN, 1, "ERROR: \"word\" is not a known symfile format style\n"},
    {"format_symval", "L64", {}, {}, "-F field:x:2" + IN, 1, "ERROR: Could not set symval field: \"x\" is not a valid number\n"},
    {"format_symname", "L64", {}, {}, "-F field:1:2y" + IN, 1, "ERROR: Could not set symname field: \"2y\" is not a valid number\n"},
    {"symfile_missing", "L64", {}, {}, "--symfile none" + IN, 1,
     "ERROR: Could not open 'none' for reading: No such file or directory\nERROR: Could not load symfile 'none'\n"},
    {"symfile_directory", "L64", {}, {}, "-f ." + IN, 1, "ERROR: Could not open '.' for reading: Is a directory\nERROR: Could not load symfile '.'\n"},
    {"symfile_incomplete", "L64", {}, {}, "-F field:3:1 -f s" + IN, 1, "ERROR: Incomplete record in line 2\nERROR: Could not load symfile 's'\n",
     {}, "", {{"s", "a b 1\n1 2\n"}}},
    {"symfile_bad_value", "L64", {}, {}, "-f s" + IN, 1, "ERROR: Symbol value syntax error in line 1: \"0x1g\"\nERROR: Could not load symfile 's'\n",
     {}, "", {{"s", "0x1g a\n"}}},
    {"output_unwritable", "L64", {}, {}, "-o no/img" + IN, 1,
     "ERROR: Could not open 'no/img' for write: No such file or directory\nERROR: Could not save output.\n", {}, "", {}, "no/img"},
    {"entry_full", "L64", {}, {}, "--output-entry /dev/full" + IN, 1,  // the entry line is only buffered until the close
     "ERROR: Could write: No space left on device\nERROR: Could not save entry point to '/dev/full'.\n", {}, "", {}, "none"},
    {"output_full", "L64", {}, {}, "-o /dev/full" + IN, 1, "ERROR: Could write: No space left on device\nERROR: Could not save output.\n",
     {}, "", {}, "full"},
    {"entry_unwritable", "B32", {}, {}, "-o img --output-entry no/e" + IN, 1,
     "ERROR: Could not open 'no/e' for write: No such file or directory\n"
     "ERROR: Could not save entry point to 'no/e'.\n", {}, "", {}, "img"},
    // Each trace level, once.
    {"trace_1", "L64", EACH_TYPE, {}, "-v" + IN, 0, "", EACH_STORED, V1 + "Apply relocations at 0x438...\nApply relocations at 0x468...\n"},
    {"trace_2", "L32", {.rels = {{0x300, 0, RR, NEG(0x10)}}, .syms = {{"f"}}}, at(0, 0, 4, 0xffff, 2),
     "-vv -f s --output-entry e" + IN, 0, "", {{0x300, BIAS - 0x10}},
     "Loading symbol file 's' (format is field:1:2)\n  x = 0x10\nDone.\nRelocating 'in' to 0x10000000, and save to 'in.out'\n"
     "Search dynamic section...\nDetermine virtual space...\nVirtual space: 0x200..0x400\nLoad bias: 0xffffe00\nCopy section contents to output space...\n"
     "  Section #1 [.text], 16 octets at 0x200 (rel 0x0)\n  Section #2 [?], 64 octets at 0x300 (rel 0x100)\nDone.\n"
     "Apply relocations at 0x428...\n  R_386_RELATIVE, 0x0 + 0xfffffffffffffff0\nDone.\nSaving entry point...\n  0x10000004 (old: 0x204)\nDone.\n",
     {{"s", "0x10 x\n"}}},
    {"trace_4", "B64", {.rels = {{0, 0, 0}, {0x300, 1, RA, 1}, {0x308, 2, RB, 0}, {0x310, 3, RB, 0}}, .syms = {{"f"}, {"w", 0x20, 0, 0}, {"u", 0x10, 0, 0}}},
     {}, "-vvvv -d f=0x40 --ignore-undefined" + IN, 0, "", {{0x300, 0x41}},
     V1 + "  Section #1 [.text], 16 octets at 0x200 (rel 0x0)\n  Section #2 [.data], 64 octets at 0x300 (rel 0x100)\nDone.\n"
     "Apply relocations at 0x468...\n  R_390_NONE skipped\n  R_390_GLOB_DAT, 0x204 (f) + 0x1\n    Symbol redefined to 0x40\n    0x41 -> 0x300 (rel 0x100)\n"
     "  R_390_JMP_SLOT, 0x0 (w) + 0x0\n    Keep undefined weak symbol as 0x0\n    0x0 -> 0x308 (rel 0x108)\n"
     "  R_390_JMP_SLOT, 0x0 (u) + 0x0\n    Keep undefined symbol as 0x0\n    0x0 -> 0x310 (rel 0x110)\nDone.\n"},
    // Malformed input: truncated at each header and table boundary; the loader refuses it whole.
    {"cut_empty", "L32", {}, cut("", 0), IN, 255, LOAD},
    {"cut_in_magic", "B64", {}, cut("", 3), IN, 255, LOAD},
    {"cut_after_ident", "L64", {}, cut("", 16), IN, 255, LOAD},
    {"cut_in_ehdr", "B32", {}, cut("ph", -1), IN, 255, LOAD},
    {"cut_before_phdrs", "L64", {}, cut("ph", 0), IN, 255, LOAD},
    {"cut_in_phdrs", "B64", {}, cut("ph", 20), IN, 255, LOAD},
    {"cut_at_dynsym", "L32", RELA, cut("sym", 0), IN, 255, LOAD},
    {"cut_at_dynamic", "B32", RELA, cut("dyn", 0), IN, 255, LOAD},
    {"cut_at_shdrs", "L64", RELA, cut("sh", 0), IN, 255, LOAD},
    {"cut_last_byte", "L32", RELA, cut("end", -1), IN, 255, LOAD},
    // Header offsets past the end or wrapping; entry sizes of the header tables.
    {"phoff_past_end", "L64", {}, at(32, 28, 0, 0x100000), IN, 255, LOAD},
    {"shoff_past_end", "B32", {}, at(40, 32, 0, 0x100000), IN, 255, LOAD},
    {"phoff_wraps", "B64", {}, at(32, 28, 0, NEG(8)), IN, 255, LOAD},
    {"shoff_wraps", "L64", {}, at(40, 32, 0, NEG(8)), IN, 255, LOAD},
    {"phentsize_0", "L32", {}, at(54, 42, 2, 0), IN, 255, LOAD},
    {"shentsize_0", "B64", {}, at(58, 46, 2, 0), IN, 255, LOAD},
    {"shentsize_huge", "L64", {}, at(58, 46, 2, 0xffff), IN, 255, LOAD},
    // Section counts: e_shnum 0 with and without extended numbering, e_phnum and e_shstrndx escaped.
    {"shnum_0", "L64", {}, at(60, 48, 2, 0), IN, 1, "ERROR: Dynamic section not found\n"},
    {"shnum_0_shoff_0", "B32", {}, both(at(60, 48, 2, 0), at(40, 32, 0, 0)), IN, 1, "ERROR: Dynamic section not found\n"},
    {"shnum_extended", "all", RELA, both(at(60, 48, 2, 0), at(32, 20, 0, 10, 0)), IN, 0, "", {{0x300, BIAS + 1}}},
    {"shnum_extended_past_end", "L32", {}, both(at(60, 48, 2, 0), at(32, 20, 0, 1000, 0)), IN, 255, LOAD},
    {"shnum_extended_beyond_32_bits", "B64", {}, both(at(60, 48, 2, 0), at(32, 20, 0, 0x10000000a, 0)), IN, 255, LOAD},
    {"phnum_extended", "L64 B32", RELA, both(at(56, 44, 2, 0xffff), at(44, 28, 4, 3, 0)), IN, 0, "", {{0x300, BIAS + 1}}},
    {"phnum_extended_past_end", "B64", {}, both(at(56, 44, 2, 0xffff), at(44, 28, 4, 0x10000, 0)), IN, 255, LOAD},
    {"shstrndx_extended", "L32", {}, both(at(62, 50, 2, 0xffff), at(40, 24, 4, 9, 0)), IN, 0},
    // Section contents past the end of the file, or at offsets that wrap.
    {"dynamic_past_end", "L64", {}, at(24, 16, 0, 0x100000, 8), IN, 1, GET_DYN},
    {"dynamic_size_wraps", "B32", {}, at(32, 20, 0, NEG(8), 8), IN, 1, GET_DYN},
    {"dynsym_past_end", "B64", UNDEF, at(24, 16, 0, 0x100000, 4), IN, 1, SYM1},
    {"dynstr_past_end", "L32", UNDEF, at(24, 16, 0, 0x100000, 5), IN, 1, SYM1},
    {"data_offset_wraps", "L64", {}, at(24, 16, 0, NEG(8), 2), IN, 1, "ERROR: Could not copy sections\n"},
    {"rela_past_end", "B32", RELA, at(24, 16, 0, 0x100000, 6), IN, 1, "ERROR: Could not read RELA entry from 0x0 (rel 0x0)\n" + F},
    {"text_size_beyond_load", "L32", {}, at(32, 20, 0, 0xffffff00, 1), IN, 1, "ERROR: Virtual address not found in LOAD phdr\n" + ALIGN},
    {"memsz_wraps", "B64", {}, at(104, 72, 0, NEG(0x100)), IN, 1, "ERROR: Virtual address not found in LOAD phdr\n" + ALIGN},
    // Names: without NUL, st_name at and past the end of the string table.
    {"name_without_nul", "L64", UNDEF, at(32, 20, 0, 2, 5), IN, 1, SYM1},
    {"st_name_at_end", "B32", UNDEF, at(0x418, 0x410, 4, 3), IN, 1, SYM1},
    {"st_name_wraps", "B64", UNDEF, at(0x418, 0x410, 4, 0xffffffff), IN, 1, SYM1},
    {"syment_0", "L32", UNDEF, dv(11, 0), IN, 1, "ERROR: DT_SYMENT value (0) is smaller than expected\n" + SYMTAB},
    // Table sizes and entry sizes: zero, huge, beyond 32 bits, past their section.
    {"relasz_4gib", "L64", RELA, dv(8, 0, 0x100000000), IN, 1, "ERROR: DT_RELASZ value is too large: 0x100000000\n" + F},
    {"relasz_wraps", "B64", RELA, dv(8, 0, NEG(24)), IN, 1, "ERROR: DT_RELASZ value is too large: 0xffffffffffffffe8\n" + F},
    {"relsz_upper_bits", "L64", REL, dv(18, 0, 0x100000010), IN, 1, "ERROR: DT_RELSZ value is too large: 0x100000010\n" + F},
    {"pltrelsz_upper_bits", "B64", PLT, dv(2, 0, 0x8000000000000018), IN, 1, "ERROR: DT_PLTRELSZ value is too large: 0x8000000000000018\n" + F},
    {"relaent_upper_bits", "L64", RELA, dv(9, 0, 0x100000018), IN, 1, "ERROR: DT_RELAENT value is too large: 0x100000018\n" + F},
    {"relent_upper_bits", "B64", REL, dv(19, 0, 0x200000000), IN, 1, "ERROR: DT_RELENT value is too large: 0x200000000\n" + F},
    {"relaent_0", "L32", RELA, dv(9, 0), IN, 1, "ERROR: DT_RELAENT is smaller than expected\n" + F},
    {"relent_0", "B32", REL, dv(19, 0), IN, 1, "ERROR: DT_RELENT is smaller than expected\n" + F},
    {"relaent_huge", "B64", RELA, dv(9, 0, 0xffffffff), IN, 1, "ERROR: DT_RELASZ is not multiple of DT_RELAENT\n" + F},
    {"table_past_section", "L32", RELA, dv(8, 6), IN, 1, "ERROR: Could not read RELA entry from 0xc (rel 0xc)\n" + F},
    {"table_off_by_one", "L64", RELA, dref(7, "rel", 1), IN, 1, "ERROR: Could not read RELA entry from 0x1 (rel 0x0)\n" + F},
    {"both_rel_and_rela", "all", RELA, retag(10, 17), IN, 1, "ERROR: Both DT_REL and DT_RELA are present\n"},
    // r_offset at and past the last byte of the image.
    {"last_word_64", "B64", {.rels = {{0x3f8, 0, RR, 1}}}, {}, IN, 0, "", {{0x3f8, BIAS + 1}}},
    {"r_offset_last_byte", "L32", {.rels = {{0x3ff, 0, RR, 1}}}, {}, IN, 1, "ERROR: r_offset 0x3ff is out of bounds\n" + F},
    {"r_offset_past_end", "B64", {.rels = {{0x400, 0, RR, 1}}}, {}, IN, 1, "ERROR: r_offset 0x400 is out of bounds\n" + F},
    {"r_offset_wraps", "L64", {.rels = {{NEG(1), 0, RR, 1}}}, {}, IN, 1, "ERROR: r_offset 0xffffffffffffffff is out of bounds\n" + F},
    {"rel_addend_last_byte", "L32", {.rels = {{0x3ff, 0, RR}}, .rela = false}, {}, IN, 1,
     "ERROR: r_offset 0x3ff is out of bounds\nERROR: Could not get addend for REL entry at 0x0 (rel 0x0)\n" + F},
    // PT_LOAD alignments that are not powers of two, on the segment used and on the other one.
    {"align_not_power_of_two", "L64 B32", {}, at(112, 80, 0, 0x7fffffff), IN, 1,
     "ERROR: PT_LOAD segment #0 has alignment 0x7fffffff, neither 0 nor a power of two\n" + ALIGN},
    {"align_all_ones_32", "L32", {}, at(168, 112, 0, 0xffffffff), IN, 1,
     "ERROR: PT_LOAD segment #1 has alignment 0xffffffff, neither 0 nor a power of two\n" + ALIGN},
    // Containers, read back by objcopy; gap fill (.bss stays zero) and padding in each; what they refuse.
    {"gap_fill_pad_to", "all", EACH_TYPE, {}, "--gap-fill 0xff --pad-to 0x10000280" + IN, 0, "", EACH_STORED, "", {}, "in.out", 0x280},
    {"ihex", "L32 B64", EACH_TYPE, {}, "-O ihex --gap-fill 0x5a" + IN, 0, "", EACH_STORED},
    {"srec", "L64 B32", EACH_TYPE, {}, "-O srec --pad-to 0x10000300 --output-entry e" + IN, 0, "", EACH_STORED, "", {}, "in.out", 0x300},
    {"pad_to_image_end", "B32", {}, {}, "--output-format ihex --pad-to 0x10000200" + IN, 0},
    {"ihex_up_to_4gib", "B64", {}, {}, "-O ihex 0xfffffe00 in", 0},
    {"pad_to_below_end", "L64", {}, {}, "--pad-to 0x100001ff" + IN, 1, "ERROR: --pad-to 0x100001ff lies below the image's end 0x10000200\n"},
    {"pad_to_below_address", "B64", {}, {}, "--pad-to 0xfffffff" + IN, 1, "ERROR: --pad-to 0xfffffff lies below the image's end 0x10000200\n"},
    {"pad_to_4gib", "L64", {}, {}, "--pad-to 0x110000000" + IN, 1, "ERROR: Virtual space is too large\n"},
    {"pad_to_past_32_bits", "L32", {}, {}, "--pad-to 0x100000001 0xfffffe00 in", 1,
     "ERROR: Image of 0x201 bytes at ADDRESS 0xfffffe00 ends beyond the 32-bit address space\n"},
    {"pad_to_bad", "L64", {}, {}, "--pad-to 1x" + IN, 1, "ERROR: Unknown --pad-to address format: '1x'\n"},
    {"gap_fill_above_byte", "L64", {}, {}, "--gap-fill 0x100" + IN, 1, "ERROR: --gap-fill needs a byte value from 0 to 0xff: '0x100'\n"},
    {"format_unknown", "L64", {}, {}, "-O hex" + IN, 1, "ERROR: Unknown output format 'hex' (binary, ihex, srec or elf)\n"},
    {"ihex_past_4gib", "L64", {}, {}, "-O ihex 0xfffffe01 in", 1, "ERROR: Intel HEX holds 32-bit addresses only: the image at "
     "0xfffffe01..0x100000000 with entry point 0xfffffe05 reaches beyond 0xffffffff\n"},
    {"srec_entry_past_4gib", "B64", {}, at(24, 24, 0, 0x100000200), "-O srec 0 in", 1, "ERROR: S-record holds 32-bit addresses only: the image at "
     "0x0..0x1ff with entry point 0x100000000 reaches beyond 0xffffffff\n"},
    // Outputs naming one file; numbers too large for 64 bits.
    {"outputs_same_file", "L64", {}, {}, "-o both --output-entry both" + IN, 1, "ERROR: The image and the entry point would both be written to 'both'\n", {}, "", {}, "both"},
    {"outputs_same_file_spelt_twice", "B32", {}, {}, "--output-entry ./in.out" + IN, 1, "ERROR: The image and the entry point would both be written to './in.out'\n"},
    {"address_overflows", "L64", {}, {}, "99999999999999999999 in", 1, "ERROR: Unknown target address format\n"},
    {"define_overflows", "L32", UNDEF, {}, "-d u=-99999999999999999999" + IN, 1, "ERROR: Value syntax error in symbol definition: \"u=-99999999999999999999\"\n"},
    {"symfile_value_overflows", "B64", UNDEF, {}, "-f s" + IN, 1, "ERROR: Symbol value syntax error in line 1: \"0x10000000000000000\"\n"
     "ERROR: Could not load symfile 's'\n", {}, "", {{"s", "0x10000000000000000 u\n"}}},
    // Symbol files: long lines read whole, a NUL byte refused with its line.
    {"symfile_long_comment", "L64", UNDEF, {}, "-f s" + IN, 1, "ERROR: Symbol \"u\" is undefined\n" + F, {}, "", {{"s", "# " + LONG + "0xdead u\n"}}},
    {"symfile_long_name", "B32", {.rels = {{0x300, 1, RA, 2}}, .syms = {{LONG, 0x10, 0, 0}}}, {}, "-f s" + IN, 0, "", {{0x300, 0x52}}, "", {{"s", "0x50 " + LONG}}},
    {"symfile_line_after_long_line", "L32", {}, {}, "-f s" + IN, 1, "ERROR: Incomplete record in line 2\nERROR: Could not load symfile 's'\n", {}, "", {{"s", "1 " + LONG + "\nx\n"}}},
    {"symfile_nul", "L64", {}, {}, "-f s" + IN, 1, "ERROR: NUL byte in line 2 of 's'\nERROR: Could not load symfile 's'\n", {}, "", {{"s", std::string("1 a\n2 b\0c\n", 10)}}},
    {"symfile_dev_zero", "B64", {}, {}, "-f /dev/zero" + IN, 1, "ERROR: NUL byte in line 1 of '/dev/zero'\nERROR: Could not load symfile '/dev/zero'\n"},
    // Bounded cost: a device as INPUT; thousands of entries against one long name.
    {"input_dev_zero", "L64", {}, {}, "-o img 0 /dev/zero", 255, "%P: Could not load '/dev/zero' as ELF\n", {}, "", {}, "img"},
    {"one_long_name_many_entries", "L64", {.rels = std::vector<Rel>(20000, {0x300, 1, RA, 2}), .syms = {{std::string(4 << 20, 'n'), 0x10, 0, 0}}}, {},
     "--ignore-undefined" + IN, 0, "", {{0x300, 2}}},
};

// Every machine with the three types the tool applies for it, in the class and byte order it uses.
const Kind machines[] = {{"x86_64", 8, false, 62, 0, 8, 6, 7}, {"x32", 4, false, 62, 0, 8, 6, 7}, {"i386", 4, false, 3, 0, 8, 1, 6},
    {"arm", 4, false, 40, 0x05000000, 23, 2, 21}, {"riscv32", 4, false, 243, 0, 3, 1, 5}, {"riscv64", 8, false, 243, 5, 3, 2, 5},
    {"ppc", 4, true, 20, 0, 22, 1, 21}, {"ppc64_elfv2", 8, true, 21, 2, 22, 38, 21}, {"ppc64_elfv1", 8, true, 21, 1, 22, 38, 20},
    {"ppc64_abi_unset", 8, true, 21, 0, 22, 38, 20}, {"ppc64le", 8, false, 21, 0x80000002, 22, 38, 21}, {"s390x", 8, true, 22, 0, 12, 10, 11},
    {"loongarch32", 4, false, 258, 0, 3, 1, 5}, {"loongarch64", 8, false, 258, 0x43, 3, 2, 5}, {"aarch64_ilp32", 4, false, 183, 0, 183, 181, 182},
    {"aarch64", 8, false, 183, 0, 1027, 1025, 1026}};

const Kind basic[] = {L32, L64, B32, B64};
struct Param { const Case *c; const Kind *k; };

std::vector<Param> params() {
    std::vector<Param> p;
    for (const Case &c : cases)
        for (const std::string kinds = c.kinds;
             const Kind &k : kinds.starts_with("machines") ? std::span<const Kind>(machines)
                                                           : std::span<const Kind>(basic))
            if (kinds == "all" || kinds == "machines" || kinds.find(k.name) != std::string::npos) p.push_back({&c, &k});
    return p;
}

class E2E : public testing::TestWithParam<Param> {};

TEST_P(E2E, Run) {
    const Case &c = *GetParam().c;
    const Kind &k = *GetParam().k;
    const testrun::TempDir dir;
    Built b = build(k, c.pie);
    if (c.patch) c.patch(b);
    dir.write("in", b.bytes);
    for (const auto &[name, text] : c.files) dir.write(name, text);
    const std::vector<std::string> args = testrun::split(c.args);
    const testrun::Result r = testrun::run_pieshift(args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, std::regex_replace(c.out, std::regex("%P"), testrun::bin()));
    EXPECT_EQ(r.err, std::regex_replace(c.err, std::regex("%P"), testrun::bin()));
    const bool written = std::filesystem::exists(dir.file(c.output));
    if (c.status != 0) {
        EXPECT_FALSE(written) << "an image was written although the run failed";
        return;
    }
    // Gaps (not .bss) and padding hold the fill byte; a text container is read back to binary by objcopy.
    const size_t g = c.args.find("--gap-fill ");
    const char fill = static_cast<char>(g == std::string::npos ? 0 : std::stoi(c.args.substr(g + 11), nullptr, 0));
    std::string image = image_of(k, c.pie).replace(0x10, 0xf0, 0xf0, fill).replace(0x160, 0xa0, 0xa0, fill);
    Built want{k, image.append(c.size > image.size() ? c.size - image.size() : 0, fill).substr(0, c.size), {}};
    for (const char *format : {"ihex", "srec"})
        if (c.args.find(format) != std::string::npos) {
            EXPECT_EQ(testrun::run({"objcopy", "-I", format, "-O", "binary", c.output, c.output}, dir.path).status, 0);
        }
    for (const auto &[addr, word] : c.stores) want.put(addr - 0x200, k.w, word);
    const std::string have = dir.read(c.output);
    EXPECT_EQ(have.size(), want.bytes.size());
    const size_t n = std::min(have.size(), want.bytes.size());
    const auto diff = static_cast<size_t>(std::mismatch(have.begin(), have.begin() + static_cast<ptrdiff_t>(n), want.bytes.begin()).first - have.begin());
    EXPECT_EQ(diff, n) << "the image differs first at 0x" << std::hex << 0x200 + diff;
    if (c.args.find("--output-entry e") != std::string::npos && c.status == 0) {
        EXPECT_EQ(dir.read(args[args.size() - 3]), "0x10000004\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, E2E, testing::ValuesIn(params()), [](const testing::TestParamInfo<Param> &i) {
    return std::string(i.param.c->name) + "_" + i.param.k->name;
});

// The help names every option; the version names the tool. Both go to stdout and end the run.
TEST(E2E, HelpAndVersion) {
    const testrun::Result help = testrun::run_pieshift({"-v", "--help", "0"}, ""), version = testrun::run_pieshift({"-vV", "--help"}, "");
    EXPECT_EQ(std::tuple(help.status, help.out.substr(0, help.out.find('\n')), version.status, version.out.substr(0, 10)),
              std::tuple(0, "Usage: " + testrun::bin() + " [OPTION]... ADDRESS INPUT", 0, "pieshift v"));
    for (const std::string &option : testrun::split("-d --define --expect-pltrel --expect-rel -f --symfile -F --symfile-format --force-dynamic "
                                                    "--help --ignore-unaligned-relsz --ignore-undefined --ignore-weak --include-readonly --no-expect-pltrel "
                                                    "--no-expect-rel -o -O --output-format --gap-fill --pad-to --output-entry -v -V --version"))
        EXPECT_TRUE(std::regex_search(help.out, std::regex("\\s" + option + "[\\s,]"))) << option;
}

// An alignment beyond the largest page rounds the image to 2 MiB, not to itself; a name with a
// blank is no symbol name.
TEST(E2E, HugeAlignmentAndBlankName) {
    const testrun::TempDir dir;
    Built b = build(L64, {});
    b.put(112, 8, 0x8000000000000000);
    dir.write("in", b.bytes);
    EXPECT_EQ(testrun::run_pieshift({"0", "in"}, dir.path).status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir.file("in.out")), 0x200000u);
    const testrun::Result r = testrun::run_pieshift({"-d", "a b=1", "0", "in"}, dir.path);
    EXPECT_EQ(r.err, "ERROR: Value syntax error in symbol definition: \"a b=1\"\n");
}

// Outputs are replaced whole or not at all: through links, dangling ones too; not in place where
// no temporary file can be made; not when a signal ends the run, which leaves no temporary file.
TEST(E2E, OutputsReplacedWholeOrNotAtAll) {
    if (std::getenv("PIESHIFT_TEST_WRAPPER")) GTEST_SKIP() << "links, modes and signals of POSIX";
    namespace fs = std::filesystem;
    const testrun::TempDir dir;
    const auto count = [&] { return std::distance(fs::directory_iterator(dir.path), {}); };
    Built b = build(L64, {});
    dir.write("in", b.bytes);
    dir.write("old", "old");
    fs::create_symlink("img", dir.file("dangling")), fs::create_symlink("old", dir.file("link"));
    const auto run = [&](const std::string &a) {
        return testrun::run_pieshift(testrun::split(a), dir.path);
    };
    EXPECT_EQ(run("-o img --output-entry dangling 0 in").err,
              "ERROR: The image and the entry point would both be written to 'dangling'\n");
    EXPECT_EQ(run("-o dangling --output-entry link 0 in").status, 0);
    const auto link = std::tuple(
        fs::is_symlink(dir.file("link")), dir.read("link"), dir.read("img").size());
    EXPECT_EQ(link, std::tuple(true, std::string("0x4\n"), size_t{0x200}));
    dir.write("victim", "old");
    // The entry file is a FIFO that nobody reads: the run waits there, the image in its temporary file.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path.c_str()) == 0 && freopen("/dev/null", "w", stderr))
            execl(testrun::bin().c_str(), "pieshift", "-o", "victim", "--output-entry", "fifo", "0", "in",
                  nullptr);
        _exit(127);
    }
    for (int i = 0; i < 10000 && count() == 7; i++) usleep(1000);  // till the temporary file exists
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(std::tuple(WIFSIGNALED(status), WTERMSIG(status), dir.read("victim"), count()),
              std::tuple(true, SIGTERM, std::string("old"), 7));
    if (geteuid() == 0) return;  // a directory closed to writing is open to root
    fs::create_directory(dir.file("ro")), dir.write("ro/img", "old");
    fs::permissions(dir.file("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(run("-o ro/img 0 in").err,
              "ERROR: Could not make a temporary file beside 'ro/img', which stays as it was: "
              "Permission denied\nERROR: Could not save output.\n");
    EXPECT_EQ(dir.read("ro/img"), "old");
    fs::permissions(dir.file("ro"), fs::perms::owner_all);
}

// A write that fails midway (here at the file size limit) leaves the old image as it was, and nothing beside it.
TEST(E2E, FailedWriteKeepsOldImage) {
    if (std::getenv("PIESHIFT_TEST_WRAPPER")) GTEST_SKIP() << "the file size limit is set by a POSIX shell";
    const testrun::TempDir dir;
    dir.write("in", build(L64, RELA).bytes);
    dir.write("in.out", "old");
    const testrun::Result r = testrun::run({"sh", "-c", "ulimit -f 0 && exec \"$0\" \"$@\"", testrun::bin(), "0", "in"}, dir.path);
    EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("ERROR: Could write: File too large\nERROR: Could not save output.\n")));
    EXPECT_EQ(dir.read("in.out"), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2);
}

}  // namespace
