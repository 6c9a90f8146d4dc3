// The ELF access layer against files composed by elfbuild, in all four kinds (ELF32/ELF64 x LSB/MSB):
// decoded values, the exact edge of every bounds check, malformed headers and extended numbering.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "kelpx.h"
#include "support/elfbuild.h"

using namespace elfbuild;

namespace {

// Indices: 1 .text, 2 .bss, 3 .dynamic, 4 .rel, 5 .rela, 6 .sym, 7 .str, 8 .blob, then three sections whose
// bytes are not in the file: 9 .wraps, 10 .past, 11 .long; 12 .shstrtab.
Elf sample(Format f) {
    Elf e{.fmt = f, .machine = EM_ARM, .flags = 0x5000400, .entry = 0x1004};
    e.sections = {
        {.name = ".text", .flags = 0x100000006, .addr = 0x1000, .data = {1, 2, 3, 4, 5, 6, 7, 8}, .addralign = 4},
        {.name = ".bss", .type = SHT_NOBITS, .flags = SHF_ALLOC | SHF_WRITE, .addr = 0x2000, .size = 0x30},
        {.name = ".dynamic", .type = SHT_DYNAMIC, .flags = 3, .addr = 0x3000,
         .data = dyn(f, {{DT_RELA, 0x3100}, {DT_RELASZ, 0x80000000}}), .link = 6, .entsize = dyn_size(f)},
        {.name = ".rel", .type = SHT_REL, .data = rel(f, {{0x2000, 0, 0, 0, 0x8000000a}, {0x2004, 0x123, 0x17}})},
        {.name = ".rela", .type = SHT_RELA, .data = rela(f, {{0x2008, 3, 2, static_cast<uint64_t>(-8)}})},
        {.name = ".sym", .type = SHT_DYNSYM, .data = sym(f, {{}, {1, 0x22, 3, SHN_ABS, 0x1004, 4}}), .link = 7,
         .info = 1},
        {.name = ".str", .type = SHT_STRTAB, .data = {0, 'a', 'b', 0, 'c'}},
        {.name = ".blob", .data = Bytes(100, 'x')},
        {.name = ".wraps", .data = Bytes(16, 1), .offset = 0 - uint64_t{8}},
        {.name = ".past", .data = Bytes(16, 1), .offset = 0x10000000},
        {.name = ".long", .data = Bytes(16, 1), .size = uint64_t{1} << 40 | 0x80000000}};
    e.segments = {{.flags = PF_R | PF_X, .vaddr = 0x1000, .memsz = 0x30},
                  {.flags = PF_R | PF_W, .vaddr = 0x2000, .memsz = 0x30, .align = 0x10000}};
    return e;
}

class Kelpx : public ::testing::TestWithParam<Format> {
   protected:
    Format f() const { return GetParam(); }
    bool load(const Bytes &b) { return kelpx_load_memory(&h, b.data(), b.size()) == 0; }
    kelpx_section section(uint32_t index) {
        kelpx_section s{};
        EXPECT_EQ(kelpx_get_section(&h, &s, index), 0) << "section " << index;
        return s;
    }
    std::string name_of(uint32_t index) {
        const kelpx_section s = section(index);
        const kelp_string *n = kelpx_section_get_name_str(&s);
        return n == nullptr ? "(none)" : std::string(n->text, n->length);
    }
    kelpx_handle h{};
    struct {  // what the decoders fill in
        kelpx_ehdr eh; kelpx_program p; kelpx_section s; kelpx_dyn d; kelpx_rel r; kelpx_sym y; uint8_t buf[8];
    } out{};
};

TEST_P(Kelpx, HeadersAndEntriesMatchWhatWasBuilt) {
    const Elf e = sample(f());
    Layout lay;
    ASSERT_TRUE(load(build(e, &lay)));
    const bool is64 = f().elfclass == 64;
    auto &[eh, p, sec, d, r, y, buf] = out;
    ASSERT_EQ(kelpx_get_ehdr(&h, &eh), 0);
    EXPECT_EQ(std::tuple(eh.e_type, eh.e_machine, eh.e_flags, eh.e_entry, eh.e_phoff, eh.e_shoff),
              std::tuple(ET_DYN, EM_ARM, 0x5000400u, 0x1004u, lay.phoff, lay.shoff));
    ASSERT_EQ(kelpx_get_program(&h, &p, 1), 0);
    EXPECT_EQ(std::tuple(p.p_type, p.p_flags, p.p_vaddr, p.p_paddr, p.p_memsz, p.p_align),
              std::tuple(PT_LOAD, PF_R | PF_W, 0x2000u, 0x2000u, 0x30u, 0x10000u));
    EXPECT_NE(kelpx_get_program(&h, &p, 2), 0);
    ASSERT_EQ(kelpx_get_num_of_sections(&h), e.sections.size() + 2);  // + the null section and .shstrtab
    for (uint32_t i = 1; i <= 8; ++i) {
        const Section &want = e.sections[i - 1];
        SCOPED_TRACE(want.name);
        const kelpx_section s = section(i);
        const uint64_t sh_flags = is64 ? want.flags : static_cast<uint32_t>(want.flags);
        EXPECT_EQ(std::tuple(s.sh_type, s.sh_flags, s.sh_addr, s.sh_size, s.sh_offset, s.sh_link, s.sh_info,
                             s.sh_addralign, s.sh_entsize),
                  std::tuple(want.type, sh_flags, want.addr, want.size.value_or(want.data.size()), lay.sh_offset[i],
                             want.link, want.info, want.addralign, want.entsize));
        EXPECT_EQ(name_of(i), want.name);
        EXPECT_EQ(Bytes(s.data, s.data + s.data_size), want.type == SHT_NOBITS ? Bytes{} : want.data);
    }
    EXPECT_NE(kelpx_get_section(&h, &sec, kelpx_get_num_of_sections(&h)), 0);
    // Entries: r_info split by class, r_addend sign-extended, d_un not.
    const kelpx_section dynamic = section(3), rels = section(4), relas = section(5), syms = section(6);
    ASSERT_EQ(kelpx_section_get_dyn(&dynamic, &d, 1), 0);
    EXPECT_EQ(std::tuple(d.d_tag, d.d_un), std::tuple(DT_RELASZ, 0x80000000u));
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, 0), 0);  // r_info 0x8000000a
    EXPECT_EQ(std::tuple(r.r_sym, r.r_type), is64 ? std::tuple(0u, 0x8000000au) : std::tuple(0x800000u, 0xau));
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, rel_size(f())), 0);
    EXPECT_EQ(std::tuple(r.r_offset, r.r_sym, r.r_type, r.r_addend), std::tuple(0x2004u, 0x123u, 0x17u, 0u));
    ASSERT_EQ(kelpx_section_get_rela_offs(&relas, &r, 0), 0);
    EXPECT_EQ(std::tuple(r.r_offset, r.r_sym, r.r_type, r.r_addend), std::tuple(0x2008u, 3u, 2u, uint64_t(-8)));
    ASSERT_EQ(kelpx_section_get_sym_offs(&syms, &y, sym_size(f())), 0);
    EXPECT_EQ(std::tuple(y.st_name, y.st_info, y.st_other, y.st_shndx, y.st_value, y.st_size),
              std::tuple(1u, 0x22, 3, SHN_ABS, 0x1004u, 4u));
}

// Each decoder reads the last record that fits in the 100 bytes of .blob, and not one byte further.
TEST_P(Kelpx, EveryDecodeStopsAtTheEndOfItsData) {
    ASSERT_TRUE(load(build(sample(f()))));
    const kelpx_section blob = section(8), bss = section(2), str = section(7);
    const std::pair<uint64_t, std::function<int(const kelpx_section *, uint64_t)>> rows[] = {
        {100 / dyn_size(f()) - 1, [&](auto s, auto i) { return !kelpx_section_get_dyn(s, &out.d, uint32_t(i)); }},
        {100 - rel_size(f()), [&](auto s, auto o) { return !kelpx_section_get_rel_offs(s, &out.r, uint32_t(o)); }},
        {100 - rela_size(f()), [&](auto s, auto o) { return !kelpx_section_get_rela_offs(s, &out.r, uint32_t(o)); }},
        {100 - sym_size(f()), [&](auto s, auto o) { return !kelpx_section_get_sym_offs(s, &out.y, uint32_t(o)); }},
        {92, [&](auto s, auto o) { return kelpx_section_data_read(s, out.buf, o, 8, 0); }},
    };
    for (const auto &[last, ok] : rows) {
        SCOPED_TRACE(last);
        EXPECT_EQ((std::array{ok(&blob, 0), ok(&blob, last), ok(&blob, last + 1), ok(&blob, UINT32_MAX), ok(&bss, 0)}),
                  (std::array{1, 1, 0, 0, 0}));  // .bss has no bytes in the file
    }
    EXPECT_EQ(kelpx_section_data_read(&blob, out.buf, UINT64_MAX - 3, 8, 0), 0);  // offset + length wraps
    // .str is "\0ab\0c": the last name that ends inside the data is the empty one at 3.
    kelp_string name{};
    for (const auto &[off, want] : {std::pair{1u, "ab"}, {3u, ""}, {4u, "(fails)"}, {5u, "(fails)"}})
        EXPECT_EQ(kelpx_section_data_readname(&str, &name, off) == 0 ? name.text : "(fails)", std::string(want)) << off;
    kelp_string_free(&name);
    // Sections whose bytes are not in the file keep their size, so that a reader fails instead of seeing
    // them empty. The size of .long saturates, or is cut by the class.
    for (auto [i, size] : {std::pair{9u, 16u}, {10u, 16u}, {11u, f().elfclass == 64 ? UINT32_MAX : 0x80000000u}}) {
        const kelpx_section s = section(i);
        EXPECT_EQ(std::tuple(s.data, kelpx_section_data_size(&s), kelpx_section_get_dyn(&s, &out.d, 0) != 0),
                  std::tuple(nullptr, size, true));
    }
}

// Header edits. A row with names loads, and names sections 1 and 5; one without refuses the file.
struct EditRow {
    const char *name;
    std::function<void(Elf &, Format)> edit;
    const char *text = nullptr, *rela = nullptr;
};
const EditRow edit_rows[] = {
    {"shorter_than_magic", [](Elf &e, Format) { e.file_size = 3; }},
    {"class_3", [](Elf &e, Format) { e.ident_class = 3; }},
    {"data_0", [](Elf &e, Format) { e.ident_data = 0; }},
    {"version_2", [](Elf &e, Format) { e.ident_version = 2; }},
    {"shorter_than_ehdr", [](Elf &e, Format f) { e.file_size = ehdr_size(f) - 1; }},
    {"ehsize_small", [](Elf &e, Format f) { e.ehsize = uint16_t(ehdr_size(f) - 1); }},
    {"shentsize_small", [](Elf &e, Format f) { e.shentsize = uint16_t(shdr_size(f) - 1); }},
    {"phentsize_small", [](Elf &e, Format f) { e.phentsize = uint16_t(phdr_size(f) - 1); }},
    // offset + count * entsize wraps to exactly 0 in 64 bits
    {"shoff_wraps", [](Elf &e, Format f) { e.shoff = 0 - (e.sections.size() + 2) * shdr_size(f); }},
    {"phoff_wraps", [](Elf &e, Format f) { e.phoff = 0 - uint64_t{2} * phdr_size(f); }},
    {"shoff_zero", [](Elf &e, Format) { e.shoff = 0; }},
    {"phnum_past_eof", [](Elf &e, Format) { e.phnum = 0xfff0; }},
    {"xnum_without_sections", [](Elf &e, Format) { e.e_phnum = PN_XNUM, e.shoff = 0, e.e_shnum = 0; }},
    {"extended_shnum_past_eof", [](Elf &e, Format) { e.extended_numbering = true, e.shnum = 0x10000; }},
    // The counts and the name table's index come from section 0.
    {"extended_numbering", [](Elf &e, Format) { e.extended_numbering = true; }, ".text", ".rela"},
    {"no_shstrtab", [](Elf &e, Format) { e.shstrtab = false; }, "(none)", "(none)"},
    // Section 0 then holds the section count in sh_size: it must not pass for a string table.
    {"xnum_no_shstrtab", [](Elf &e, Format) { e.shstrtab = false, e.extended_numbering = true; }, "(none)", "(none)"},
    {"shstrtab_nobits", [](Elf &e, Format) { e.shstrndx = 2; }, "(none)", "(none)"},
    {"shstrtab_unterminated", [](Elf &e, Format) { e.shstrndx = 8; }, "(none)", "(none)"},  // .blob: all 'x'
    {"names_in_str", [](Elf &e, Format) { e.shstrndx = 7, e.sections[0].name_off = 1, e.sections[4].name_off = 4; },
     "ab", "(none)"},
};

TEST_P(Kelpx, HeaderEditsLoadOrFailWhole) {
    for (const auto &[name, edit, text, rela] : edit_rows) {
        SCOPED_TRACE(name);
        Elf e = sample(f());
        edit(e, f());
        ASSERT_TRUE(load(build(sample(f()))));  // a failed load must also empty a loaded handle
        ASSERT_EQ(load(build(e)), text != nullptr);
        if (text == nullptr)
            EXPECT_TRUE(h.file.empty() && h.section_names.empty() && h.shnum == 0);
        else
            EXPECT_EQ(std::tuple(name_of(1), name_of(5), kelpx_get_num_of_programs(&h)), std::tuple(text, rela, 2u));
    }
    EXPECT_FALSE(load([&] { Bytes b = build(sample(f())); b[3] = 'G'; return b; }()));
}

TEST_P(Kelpx, HeaderTablesMayEndAtEofOrBeAbsent) {
    Elf e = sample(f());
    e.shentsize = uint16_t(shdr_size(f()) + 8), e.phentsize = uint16_t(phdr_size(f()) + 8);
    Layout lay;
    const Bytes b = build(e, &lay);
    const auto end = std::ptrdiff_t(lay.shoff + (e.sections.size() + 2) * e.shentsize.value());
    ASSERT_LE(size_t(end), b.size());
    EXPECT_TRUE(load(Bytes(b.begin(), b.begin() + end)));
    EXPECT_EQ(name_of(12), ".shstrtab");
    EXPECT_EQ(std::pair(kelpx_get_program(&h, &out.p, 1), out.p.p_vaddr), std::pair(0, uint64_t{0x2000}));
    EXPECT_FALSE(load(Bytes(b.begin(), b.begin() + end - 1)));
    e.sections.clear(), e.shstrtab = false, e.shoff = 0, e.e_shnum = 0;
    EXPECT_TRUE(load(build(e)));
}

TEST_P(Kelpx, WordsRoundTripAndThe32BitStoreRefusesWideValues) {
    ASSERT_TRUE(load(build(sample(f()))));
    const bool is32 = f().elfclass == 32;
    // A 32-bit image holds only 32-bit quantities, zero- or sign-extended: the edges on either side.
    for (const auto &[value, fits32] : {std::pair{uint64_t{0x12345678}, true}, {0xffffffff, true}, {0x100000000, false},
                                        {0xffffffff7fffffff, false}, {0xffffffff80000000, true}}) {
        Bytes buf(8, 0xaa);
        const bool stored = kelpx_store_Addr(&h, buf.data(), value) == 0;
        const unsigned w = !stored ? 0 : is32 ? 4 : 8;  // nothing is written beyond the word
        SCOPED_TRACE(value);
        EXPECT_EQ(std::pair(stored, Bytes(buf.begin() + w, buf.end())), std::pair(!is32 || fits32, Bytes(8 - w, 0xaa)));
        // Read back as a signed word: ELF32 sign-extends the low 32 bits.
        if (!stored)
            continue;
        EXPECT_EQ(std::pair(get(buf, 0, w, f().msb), kelpx_load_Sxword(&h, buf.data())),
                  std::pair(is32 ? value & 0xffffffff : value, is32 ? int64_t(int32_t(value)) : int64_t(value)));
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Kelpx, ::testing::ValuesIn(all_formats()),
                         [](const auto &info) { return format_name(info.param); });

}  // namespace
