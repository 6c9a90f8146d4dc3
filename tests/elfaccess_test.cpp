// The ELF access layer against files composed by elfbuild, in all four kinds (ELF32/ELF64 x LSB/MSB):
// decoded values, the exact edge of every bounds check, malformed headers and extended numbering.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "kelpx.h"
#include "support/elfbuild.h"

using namespace elfbuild;

namespace {

Section &add(Elf &e, const char *name, uint32_t type, Bytes data) {
    Section &s = e.sections.emplace_back();
    s.name = name, s.type = type, s.data = std::move(data);
    return s;
}

// Indices: 1 .text, 2 .bss, 3 .dynamic, 4 .rel, 5 .rela, 6 .sym, 7 .str, 8 .blob, 9 .shstrtab.
Elf sample(Format f) {
    Elf e;
    e.fmt = f, e.machine = EM_ARM, e.flags = 0x5000400, e.entry = 0x1004;
    Section &text = add(e, ".text", SHT_PROGBITS, {1, 2, 3, 4, 5, 6, 7, 8});
    text.flags = 0x100000006, text.addr = 0x1000, text.addralign = 4;
    Section &bss = add(e, ".bss", SHT_NOBITS, {});
    bss.flags = SHF_ALLOC | SHF_WRITE, bss.addr = 0x2000, bss.size = 0x30;
    Section &dynamic = add(e, ".dynamic", SHT_DYNAMIC, dyn(f, {{DT_RELA, 0x3100}, {DT_RELASZ, 0x80000000}}));
    dynamic.flags = 3, dynamic.addr = 0x3000, dynamic.link = 6, dynamic.entsize = dyn_size(f);
    add(e, ".rel", SHT_REL, rel(f, {{0x2000, 0, 0, 0, 0x8000000a}, {0x2004, 0x123, 0x17}}));
    add(e, ".rela", SHT_RELA, rela(f, {{0x2008, 3, 2, static_cast<uint64_t>(-8)}}));
    Section &syms = add(e, ".sym", SHT_DYNSYM, sym(f, {{0, 0, 0, 0, 0, 0}, {1, 0x22, 3, SHN_ABS, 0x1004, 4}}));
    syms.link = 7, syms.info = 1;
    add(e, ".str", SHT_STRTAB, {0, 'a', 'b', 0, 'c'});
    add(e, ".blob", SHT_PROGBITS, Bytes(100, 'x'));
    for (auto [flags, vaddr, align] : {std::tuple{PF_R | PF_X, 0x1000, 0x1000}, {PF_R | PF_W, 0x2000, 0x10000}}) {
        Segment &s = e.segments.emplace_back();
        s.flags = flags, s.vaddr = uint64_t(vaddr), s.memsz = 0x30, s.align = uint64_t(align);
    }
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
};

TEST_P(Kelpx, HeadersMatchWhatWasBuilt) {
    const Elf e = sample(f());
    Layout lay;
    ASSERT_TRUE(load(build(e, &lay)));
    kelpx_ehdr eh{};
    ASSERT_EQ(kelpx_get_ehdr(&h, &eh), 0);
    EXPECT_EQ(std::tuple(eh.e_type, eh.e_machine, eh.e_flags, eh.e_entry, eh.e_phoff, eh.e_shoff),
              std::tuple(ET_DYN, EM_ARM, 0x5000400u, 0x1004u, lay.phoff, lay.shoff));
    kelpx_program p{};
    ASSERT_EQ(kelpx_get_num_of_programs(&h), 2u);
    ASSERT_EQ(kelpx_get_program(&h, &p, 1), 0);
    EXPECT_EQ(std::tuple(p.p_type, p.p_flags, p.p_vaddr, p.p_paddr, p.p_memsz, p.p_align),
              std::tuple(PT_LOAD, PF_R | PF_W, 0x2000u, 0x2000u, 0x30u, 0x10000u));
    EXPECT_NE(kelpx_get_program(&h, &p, 2), 0);

    ASSERT_EQ(kelpx_get_num_of_sections(&h), e.sections.size() + 2);  // + the null section and .shstrtab
    for (uint32_t i = 1; i <= e.sections.size(); ++i) {
        const Section &want = e.sections[i - 1];
        SCOPED_TRACE(want.name);
        const kelpx_section s = section(i);
        const uint64_t sh_flags = f().elfclass == 64 ? want.flags : static_cast<uint32_t>(want.flags);
        EXPECT_EQ(std::tuple(s.sh_type, s.sh_flags, s.sh_addr, s.sh_size, s.sh_offset, s.sh_link, s.sh_info,
                             s.sh_addralign, s.sh_entsize),
                  std::tuple(want.type, sh_flags, want.addr, want.size.value_or(want.data.size()), lay.sh_offset[i],
                             want.link, want.info, want.addralign, want.entsize));
        EXPECT_EQ(kelpx_section_get_flags(&s), static_cast<uint32_t>(want.flags));
        EXPECT_EQ(kelpx_section_is_dynamic(&s) != 0, want.type == SHT_DYNAMIC);
        EXPECT_EQ(name_of(i), want.name);
        EXPECT_EQ(Bytes(s.data, s.data + s.data_size), want.type == SHT_NOBITS ? Bytes{} : want.data);
    }
    kelpx_section s{};
    EXPECT_NE(kelpx_get_section(&h, &s, kelpx_get_num_of_sections(&h)), 0);
}

TEST_P(Kelpx, EntriesDecodeWithClassSplitAndSign) {
    ASSERT_TRUE(load(build(sample(f()))));
    const bool is64 = f().elfclass == 64;
    const kelpx_section dynamic = section(3), rels = section(4), relas = section(5), syms = section(6);
    kelpx_dyn d{};
    ASSERT_EQ(kelpx_section_get_dyn(&dynamic, &d, 1), 0);
    EXPECT_EQ(std::tuple(d.d_tag, d.d_un), std::tuple(DT_RELASZ, 0x80000000u));  // d_un is not sign-extended
    kelpx_rel r{};
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, 0), 0);  // r_info 0x8000000a
    EXPECT_EQ(std::tuple(r.r_sym, r.r_type), is64 ? std::tuple(0u, 0x8000000au) : std::tuple(0x800000u, 0xau));
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, rel_size(f())), 0);
    EXPECT_EQ(std::tuple(r.r_offset, r.r_sym, r.r_type, r.r_addend), std::tuple(0x2004u, 0x123u, 0x17u, 0u));
    ASSERT_EQ(kelpx_section_get_rela_offs(&relas, &r, 0), 0);
    EXPECT_EQ(std::tuple(r.r_offset, r.r_sym, r.r_type, r.r_addend), std::tuple(0x2008u, 3u, 2u, uint64_t(-8)));
    kelpx_sym y{};
    ASSERT_EQ(kelpx_section_get_sym_offs(&syms, &y, sym_size(f())), 0);
    EXPECT_EQ(std::tuple(y.st_name, y.st_info, y.st_other, y.st_shndx, y.st_value, y.st_size),
              std::tuple(1u, 0x22, 3, SHN_ABS, 0x1004u, 4u));
}

// Each decoder reads the last record that fits in the 100 bytes of .blob, and not one byte further.
TEST_P(Kelpx, EveryDecodeStopsAtTheEndOfItsData) {
    ASSERT_TRUE(load(build(sample(f()))));
    const kelpx_section blob = section(8), bss = section(2), str = section(7);
    kelpx_dyn d;
    kelpx_rel r;
    kelpx_sym y;
    uint8_t buf[8];
    kelp_string name{};
    const std::pair<uint64_t, std::function<int(const kelpx_section *, uint64_t)>> rows[] = {
        {100 / dyn_size(f()) - 1, [&](auto s, uint64_t i) { return !kelpx_section_get_dyn(s, &d, uint32_t(i)); }},
        {100 - rel_size(f()), [&](auto s, uint64_t o) { return !kelpx_section_get_rel_offs(s, &r, uint32_t(o)); }},
        {100 - rela_size(f()), [&](auto s, uint64_t o) { return !kelpx_section_get_rela_offs(s, &r, uint32_t(o)); }},
        {100 - sym_size(f()), [&](auto s, uint64_t o) { return !kelpx_section_get_sym_offs(s, &y, uint32_t(o)); }},
        {92, [&](auto s, uint64_t o) { return kelpx_section_data_read(s, buf, o, 8, 0); }},
    };
    for (const auto &[last, ok] : rows) {
        SCOPED_TRACE(last);
        EXPECT_TRUE(ok(&blob, 0));
        EXPECT_TRUE(ok(&blob, last));
        EXPECT_FALSE(ok(&blob, last + 1));
        EXPECT_FALSE(ok(&blob, UINT32_MAX));
        EXPECT_FALSE(ok(&bss, 0));  // no data in the file
    }
    EXPECT_EQ(kelpx_section_data_read(&blob, buf, UINT64_MAX - 3, 8, 0), 0);  // offset + length wraps
    EXPECT_NE(kelpx_section_data_read(&blob, nullptr, 500, 0, 0), 0);
    // .str is "\0ab\0c": the last name that ends inside the data is the empty one at 3.
    for (const auto &[sec, off, want] : {std::tuple{&str, 1u, "ab"}, {&str, 3u, ""}, {&str, 4u, nullptr},
                                         {&str, 5u, nullptr}, {&blob, 0u, nullptr}, {&bss, 0u, nullptr}}) {
        const int status = kelpx_section_data_readname(sec, &name, off);
        EXPECT_EQ(status == 0 ? std::string(name.text) : "(fails)", want ? want : "(fails)") << off;
    }
    kelp_string_free(&name);
}

// Sections whose bytes are not in the file are still listed, without data but with their size, so
// that a reader fails instead of seeing an empty section.
TEST_P(Kelpx, SectionDataOutsideTheFileIsNull) {
    Elf e = sample(f());
    add(e, ".wraps", SHT_PROGBITS, Bytes(16, 1)).offset = 0 - uint64_t{8};
    add(e, ".past", SHT_PROGBITS, Bytes(16, 1)).offset = 0x10000000;
    add(e, ".long", SHT_PROGBITS, Bytes(16, 1)).size = uint64_t{1} << 40 | 0x80000000;
    ASSERT_TRUE(load(build(e)));
    kelpx_dyn d;
    const uint32_t long_size = f().elfclass == 64 ? UINT32_MAX : 0x80000000;  // saturated, or cut by the class
    for (const auto &[i, size] : {std::pair{9u, 16u}, {10u, 16u}, {11u, long_size}}) {
        const kelpx_section s = section(i);
        EXPECT_EQ(s.data, nullptr);
        EXPECT_EQ(kelpx_section_data_size(&s), size);
        EXPECT_NE(kelpx_section_get_dyn(&s, &d, 0), 0);
    }
}

const std::pair<const char *, std::function<void(Elf &, Format)>> broken_rows[] = {
    {"shorter_than_magic", [](Elf &e, Format) { e.file_size = 3; }},
    {"class_0", [](Elf &e, Format) { e.ident_class = 0; }},
    {"class_3", [](Elf &e, Format) { e.ident_class = 3; }},
    {"data_0", [](Elf &e, Format) { e.ident_data = 0; }},
    {"data_3", [](Elf &e, Format) { e.ident_data = 3; }},
    {"version_0", [](Elf &e, Format) { e.ident_version = 0; }},
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
};

TEST_P(Kelpx, MalformedHeadersFailAndLeaveTheHandleEmpty) {
    for (const auto &[name, edit] : broken_rows) {
        SCOPED_TRACE(name);
        Elf e = sample(f());
        edit(e, f());
        ASSERT_TRUE(load(build(sample(f()))));
        EXPECT_FALSE(load(build(e)));
        EXPECT_TRUE(h.file.empty() && h.section_names.empty() && h.shnum == 0);
    }
    Bytes b = build(sample(f()));
    b[3] = 'G';
    EXPECT_FALSE(load(b));
}

TEST_P(Kelpx, HeaderTablesMayEndAtEofOrBeAbsent) {
    Elf e = sample(f());
    e.shentsize = uint16_t(shdr_size(f()) + 8), e.phentsize = uint16_t(phdr_size(f()) + 8);
    Layout lay;
    const Bytes b = build(e, &lay);
    const auto end = std::ptrdiff_t(lay.shoff + (e.sections.size() + 2) * e.shentsize.value());
    ASSERT_LE(size_t(end), b.size());
    EXPECT_TRUE(load(Bytes(b.begin(), b.begin() + end)));
    EXPECT_EQ(name_of(9), ".shstrtab");
    kelpx_program p{};
    EXPECT_EQ(std::pair(kelpx_get_program(&h, &p, 1), p.p_vaddr), std::pair(0, uint64_t{0x2000}));
    EXPECT_FALSE(load(Bytes(b.begin(), b.begin() + end - 1)));
    e.sections.clear(), e.shstrtab = false, e.shoff = 0, e.e_shnum = 0;
    EXPECT_TRUE(load(build(e)));
}

TEST_P(Kelpx, ExtendedNumberingComesFromSectionZero) {
    Elf e = sample(f());
    e.extended_numbering = true;
    ASSERT_TRUE(load(build(e)));
    kelpx_ehdr eh{};
    ASSERT_EQ(kelpx_get_ehdr(&h, &eh), 0);
    EXPECT_EQ(std::tuple(eh.e_shnum, eh.e_phnum, eh.e_shstrndx), std::tuple(0, PN_XNUM, SHN_XINDEX));
    EXPECT_EQ(kelpx_get_num_of_sections(&h), e.sections.size() + 2);
    EXPECT_EQ(kelpx_get_num_of_programs(&h), 2u);
    EXPECT_EQ(name_of(5), ".rela");
}

TEST_P(Kelpx, SectionNamesNeedATerminatedEntryInAReadableTable) {
    const std::tuple<const char *, std::function<void(Elf &)>, const char *, const char *> rows[] = {
        {"present", [](Elf &) {}, ".text", ".rela"},
        {"no_shstrtab", [](Elf &e) { e.shstrtab = false; }, "(none)", "(none)"},
        // Section 0 then holds the section count in sh_size: it must not pass for a string table.
        {"extended_without_shstrtab", [](Elf &e) { e.shstrtab = false, e.extended_numbering = true; }, "(none)",
         "(none)"},
        {"shstrtab_nobits", [](Elf &e) { e.shstrndx = 2; }, "(none)", "(none)"},
        {"unterminated", [](Elf &e) { e.shstrndx = 8; }, "(none)", "(none)"},  // .blob: 'x' throughout
        {"offsets_into_str", [](Elf &e) { e.shstrndx = 7, e.sections[0].name_off = 1, e.sections[4].name_off = 4; },
         "ab", "(none)"},
    };
    for (const auto &[name, edit, text, rela] : rows) {
        SCOPED_TRACE(name);
        Elf e = sample(f());
        edit(e);
        ASSERT_TRUE(load(build(e)));
        EXPECT_EQ(std::pair(name_of(1), name_of(5)), std::pair(std::string(text), std::string(rela)));
    }
}

TEST_P(Kelpx, WordsRoundTripAndThe32BitStoreRefusesWideValues) {
    ASSERT_TRUE(load(build(sample(f()))));
    const bool is32 = f().elfclass == 32;
    const std::pair<uint64_t, bool> rows[] = {  // value, whether a 32-bit image can hold it
        {0x12345678, true},          {0xffffffff, true},         {0x100000000, false}, {0xffffffff7fffffff, false},
        {0xffffffff80000000, true},  {0x8000000000000000, false}, {uint64_t(-2), true}};
    for (const auto &[value, fits32] : rows) {
        SCOPED_TRACE(value);
        Bytes buf(8, 0xaa);
        const bool stored = kelpx_store_Addr(&h, buf.data(), value) == 0;
        EXPECT_EQ(stored, !is32 || fits32);
        const unsigned w = !stored ? 0 : is32 ? 4 : 8;
        EXPECT_EQ(Bytes(buf.begin() + w, buf.end()), Bytes(8 - w, 0xaa));  // nothing beyond the word
        if (!stored)
            continue;
        EXPECT_EQ(get(buf, 0, w, f().msb), is32 ? value & 0xffffffff : value);
        // Read back as a signed word: ELF32 sign-extends the low 32 bits.
        EXPECT_EQ(kelpx_load_Sxword(&h, buf.data()), is32 ? int64_t(int32_t(uint32_t(value))) : int64_t(value));
    }
}

TEST_P(Kelpx, LoadFromPathKeepsItsOwnCopy) {
    const Bytes b = build(sample(f()));
    const std::string path = ::testing::TempDir() + "elfaccess_" + format_name(f());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
    ASSERT_EQ(kelpx_load(&h, path.c_str()), 0);
    std::ofstream(path, std::ios::binary).put('x');  // the tool may write its output over its input
    const kelpx_section text = section(1);
    EXPECT_EQ(Bytes(text.data, text.data + text.data_size), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    std::remove(path.c_str());
    EXPECT_NE(kelpx_load(&h, path.c_str()), 0);
    EXPECT_TRUE(h.file.empty() && h.section_names.empty());
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Kelpx, ::testing::ValuesIn(all_formats()),
                         [](const auto &info) { return format_name(info.param); });

TEST(KelpString, AssignGrowsAndSurvivesAliasing) {
    kelp_string s{};
    ASSERT_NE(kelp_string_init(&s, 0), 0);
    ASSERT_EQ(kelp_string_assign(&s, std::string(300, 'q').c_str(), 300), 0);
    ASSERT_EQ(kelp_string_assign(&s, s.text + 290, 10), 0);  // the source lies in the string's own buffer
    EXPECT_EQ(std::string(s.text), std::string(10, 'q'));
    kelp_string_clear(&s);
    EXPECT_EQ(std::pair(std::string(s.text), s.length), std::pair(std::string(), size_t{0}));
    kelp_string_free(&s);
    EXPECT_EQ(s.text, nullptr);
    EXPECT_EQ(kelp_string_init(&s, 1), 0);
}

}  // namespace
