// The ELF access layer against files composed by elfbuild, in all four kinds (ELF32/ELF64 x LSB/MSB):
// decoded values, the exact edge of every bounds check, malformed headers and extended numbering.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "kelpx.h"
#include "support/elfbuild.h"

using namespace elfbuild;

namespace {

Section& add(Elf &e, const char *name, uint32_t type, Bytes data) {
    Section &s = e.sections.emplace_back();
    s.name = name, s.type = type, s.data = std::move(data);
    return s;
}

Segment load_segment(uint32_t flags, uint64_t vaddr, uint64_t memsz, uint64_t align) {
    Segment s;
    s.flags = flags, s.vaddr = vaddr, s.memsz = memsz, s.align = align;
    return s;
}

// The sample file: one section of each kind the tool reads, two segments.
Elf sample(Format f) {
    Elf e;
    e.fmt = f;
    e.machine = EM_ARM;
    e.flags = 0x5000400;
    e.entry = 0x1004;
    Section &text = add(e, ".text", SHT_PROGBITS, {1, 2, 3, 4, 5, 6, 7, 8});
    text.flags = 0x100000006, text.addr = 0x1000, text.addralign = 4;
    Section &bss = add(e, ".bss", SHT_NOBITS, {});
    bss.flags = SHF_ALLOC | SHF_WRITE, bss.addr = 0x2000, bss.size = 0x30;
    Section &dynamic =
        add(e, ".dynamic", SHT_DYNAMIC, dyn(f, {{DT_RELA, 0x3100}, {DT_RELASZ, 0x80000000}, {DT_NULL, 0}}));
    dynamic.flags = 3, dynamic.addr = 0x3000, dynamic.link = 6, dynamic.entsize = dyn_size(f);
    add(e, ".rel", SHT_REL, rel(f, {{0x2000, 0, 0, 0, 0x8000000a}, {0x2004, 0x123, 0x17}}));
    add(e, ".rela", SHT_RELA, rela(f, {{0x2008, 3, 2, static_cast<uint64_t>(-8)}}));
    Section &syms = add(e, ".sym", SHT_DYNSYM,
                        sym(f, {{0, 0, 0, 0, 0, 0}, {1, st_info(STB_WEAK, STT_FUNC), 3, SHN_ABS, 0x1004, 4}}));
    syms.link = 7, syms.info = 1;
    add(e, ".str", SHT_STRTAB, {0, 'a', 'b', 0});
    add(e, ".blob", SHT_PROGBITS, Bytes(100, 'x'));
    e.segments = {load_segment(PF_R | PF_X, 0x1000, 8, 0x1000), load_segment(PF_R | PF_W, 0x2000, 0x30, 0x10000)};
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
    kelpx_section named(const Elf &e, const char *name) { return section(section_index(e, name)); }
    std::string name_of(uint32_t index) {
        kelpx_section s = section(index);
        const kelp_string *n = kelpx_section_get_name_str(&s);
        return n == nullptr ? "(none)" : std::string(n->text, n->length);
    }
    kelpx_handle h{};
};

TEST_P(Kelpx, HeadersMatchWhatWasBuilt) {
    const Elf e = sample(f());
    Layout lay;
    const Bytes b = build(e, &lay);
    ASSERT_TRUE(load(b));
    kelpx_ehdr eh{};
    ASSERT_EQ(kelpx_get_ehdr(&h, &eh), 0);
    EXPECT_EQ(eh.e_type, ET_DYN);
    EXPECT_EQ(eh.e_machine, EM_ARM);
    EXPECT_EQ(eh.e_flags, 0x5000400u);
    EXPECT_EQ(kelpx_ehdr_get_entry(&eh), 0x1004u);
    EXPECT_EQ(eh.e_phoff, lay.phoff);
    EXPECT_EQ(eh.e_shoff, lay.shoff);

    ASSERT_EQ(kelpx_get_num_of_programs(&h), 2u);
    kelpx_program p{};
    ASSERT_EQ(kelpx_get_program(&h, &p, 1), 0);
    EXPECT_EQ(kelpx_program_get_type(&p), PT_LOAD);
    EXPECT_EQ(p.p_flags, PF_R | PF_W);
    EXPECT_EQ(kelpx_program_get_vaddr(&p), 0x2000u);
    EXPECT_EQ(p.p_paddr, 0x2000u);
    EXPECT_EQ(kelpx_program_get_memsz(&p), 0x30u);
    EXPECT_EQ(kelpx_program_get_align(&p), 0x10000u);
    EXPECT_EQ(kelpx_get_program(&h, &p, 2), -1);

    ASSERT_EQ(kelpx_get_num_of_sections(&h), e.sections.size() + 2);  // + null section + .shstrtab
    for (uint32_t i = 1; i <= e.sections.size(); ++i) {
        const Section &want = e.sections[i - 1];
        SCOPED_TRACE(want.name);
        const kelpx_section s = section(i);
        const uint64_t sh_flags = f().elfclass == 64 ? want.flags : static_cast<uint32_t>(want.flags);
        EXPECT_EQ(kelpx_section_get_type(&s), want.type);
        EXPECT_EQ(s.sh_flags, sh_flags);
        EXPECT_EQ(kelpx_section_get_flags(&s), static_cast<uint32_t>(want.flags));
        EXPECT_EQ(kelpx_section_get_addr(&s), want.addr);
        EXPECT_EQ(kelpx_section_get_size(&s), want.size.value_or(want.data.size()));
        EXPECT_EQ(s.sh_offset, lay.sh_offset[i]);
        EXPECT_EQ(s.sh_link, want.link);
        EXPECT_EQ(s.sh_info, want.info);
        EXPECT_EQ(s.sh_addralign, want.addralign);
        EXPECT_EQ(s.sh_entsize, want.entsize);
        EXPECT_EQ(kelpx_section_is_dynamic(&s) != 0, want.type == SHT_DYNAMIC);
        EXPECT_EQ(name_of(i), want.name);
        if (want.type == SHT_NOBITS) {
            EXPECT_EQ(s.data, nullptr);
        } else {
            EXPECT_EQ(Bytes(s.data, s.data + s.data_size), want.data);
        }
    }
    kelpx_section s{};
    EXPECT_EQ(kelpx_get_section(&h, &s, kelpx_get_num_of_sections(&h)), -1);
}

TEST_P(Kelpx, EntriesDecodeWithClassSplitAndSign) {
    const Elf e = sample(f());
    ASSERT_TRUE(load(build(e)));
    const bool is64 = f().elfclass == 64;
    kelpx_dyn d{};
    const kelpx_section dynamic = named(e, ".dynamic");
    ASSERT_EQ(kelpx_section_get_dyn(&dynamic, &d, 1), 0);
    EXPECT_EQ(kelpx_dyn_get_tag(&d), DT_RELASZ);
    EXPECT_EQ(kelpx_dyn_get_val(&d), 0x80000000u);  // zero-extended: a size, not a signed value

    kelpx_rel r{};
    const kelpx_section rels = named(e, ".rel");
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, 0), 0);
    EXPECT_EQ(kelpx_rel_get_r_sym(&r), is64 ? 0u : 0x800000u);
    EXPECT_EQ(kelpx_rel_get_r_type(&r), is64 ? 0x8000000au : 0x0au);
    ASSERT_EQ(kelpx_section_get_rel_offs(&rels, &r, rel_size(f())), 0);
    EXPECT_EQ(kelpx_rel_get_offset(&r), 0x2004u);
    EXPECT_EQ(kelpx_rel_get_r_sym(&r), 0x123u);
    EXPECT_EQ(kelpx_rel_get_r_type(&r), 0x17u);
    EXPECT_EQ(kelpx_rel_get_addend(&r), 0u);
    const kelpx_section relas = named(e, ".rela");
    ASSERT_EQ(kelpx_section_get_rela_offs(&relas, &r, 0), 0);
    EXPECT_EQ(kelpx_rel_get_addend(&r), static_cast<uint64_t>(-8));

    kelpx_sym y{};
    const kelpx_section syms = named(e, ".sym");
    ASSERT_EQ(kelpx_section_get_sym_offs(&syms, &y, sym_size(f())), 0);
    EXPECT_EQ(kelpx_sym_get_name_offs(&y), 1u);
    EXPECT_EQ(kelpx_sym_get_info(&y), st_info(STB_WEAK, STT_FUNC));
    EXPECT_EQ(y.st_other, 3);
    EXPECT_EQ(kelpx_sym_get_shndx(&y), SHN_ABS);
    EXPECT_EQ(kelpx_sym_get_value(&y), 0x1004u);
    EXPECT_EQ(y.st_size, 4u);
}

// Each decoder reads the last record that fits in a 100-byte section, and not one byte further.
TEST_P(Kelpx, EveryDecodeStopsAtTheEndOfItsData) {
    const Elf e = sample(f());
    ASSERT_TRUE(load(build(e)));
    const kelpx_section blob = named(e, ".blob");
    ASSERT_EQ(kelpx_section_data_size(&blob), 100u);
    kelpx_dyn d;
    kelpx_rel r;
    kelpx_sym y;
    uint8_t buf[8];
    struct Row {
        const char *what;
        uint32_t last;  // last valid byte offset, or entry index for dyn
        std::function<int(uint64_t)> ok;
    };
    const Row rows[] = {
        {"dyn", 100 / dyn_size(f()) - 1, [&](uint64_t i) { return !kelpx_section_get_dyn(&blob, &d, uint32_t(i)); }},
        {"rel", 100 - rel_size(f()), [&](uint64_t o) { return !kelpx_section_get_rel_offs(&blob, &r, uint32_t(o)); }},
        {"rela", 100 - rela_size(f()), [&](uint64_t o) { return !kelpx_section_get_rela_offs(&blob, &r, uint32_t(o)); }},
        {"sym", 100 - sym_size(f()), [&](uint64_t o) { return !kelpx_section_get_sym_offs(&blob, &y, uint32_t(o)); }},
        {"data_read", 92, [&](uint64_t o) { return kelpx_section_data_read(&blob, buf, o, 8, 0) != 0; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(row.ok(row.last));
        EXPECT_FALSE(row.ok(row.last + 1));
        EXPECT_FALSE(row.ok(UINT32_MAX));
    }
    EXPECT_EQ(kelpx_section_data_read(&blob, buf, UINT64_MAX - 3, 8, 0), 0);  // offset + length wraps
    EXPECT_NE(kelpx_section_data_read(&blob, nullptr, 500, 0, 0), 0);

    // No decoder reads a section whose bytes are not in the file.
    const kelpx_section bss = named(e, ".bss");
    EXPECT_NE(kelpx_section_get_dyn(&bss, &d, 0), 0);
    EXPECT_NE(kelpx_section_get_rel_offs(&bss, &r, 0), 0);
    EXPECT_NE(kelpx_section_get_sym_offs(&bss, &y, 0), 0);
    EXPECT_EQ(kelpx_section_data_read(&bss, buf, 0, 1, 0), 0);
}

TEST_P(Kelpx, ReadnameNeedsANulBeforeTheEnd) {
    Elf e = sample(f());
    add(e, ".names", SHT_PROGBITS, {'a', 'b', 0, 'c', 'd'});
    ASSERT_TRUE(load(build(e)));
    const kelpx_section names = named(e, ".names");
    kelp_string s{};
    ASSERT_NE(kelp_string_init(&s, 0), 0);
    EXPECT_EQ(kelpx_section_data_readname(&names, &s, 0), 0);
    EXPECT_STREQ(s.text, "ab");
    EXPECT_EQ(kelpx_section_data_readname(&names, &s, 2), 0);  // the last NUL: an empty name
    EXPECT_EQ(s.length, 0u);
    EXPECT_NE(kelpx_section_data_readname(&names, &s, 3), 0);
    EXPECT_NE(kelpx_section_data_readname(&names, &s, 5), 0);
    const kelpx_section bss = named(e, ".bss");
    EXPECT_NE(kelpx_section_data_readname(&bss, &s, 0), 0);
    kelp_string_free(&s);
}

// Sections whose bytes lie outside the file are still listed, without data.
TEST_P(Kelpx, SectionDataOutsideTheFileIsNull) {
    Elf e = sample(f());
    add(e, ".wraps", SHT_PROGBITS, Bytes(16, 1)).offset = 0 - uint64_t{8};
    add(e, ".past", SHT_PROGBITS, Bytes(16, 1)).offset = 0x10000000;
    add(e, ".long", SHT_PROGBITS, Bytes(16, 1)).size = uint64_t{1} << 40;
    ASSERT_TRUE(load(build(e)));
    uint8_t byte;
    for (const char *name : {".wraps", ".past", ".long"}) {
        SCOPED_TRACE(name);
        const kelpx_section s = named(e, name);
        EXPECT_EQ(s.data, nullptr);
        EXPECT_EQ(kelpx_section_data_size(&s), 0u);
        EXPECT_EQ(kelpx_section_data_read(&s, &byte, 0, 1, 0), 0);
    }
}

struct Broken {
    const char *name;
    std::function<void(Elf &, Format)> edit;
    bool loads;
    int patch_at = -1;  // then the file's byte there becomes patch_value
    uint8_t patch_value = 0;
};

Broken broken_rows[] = {
    {"intact", [](Elf &, Format) {}, true},
    {"bad_magic", [](Elf &, Format) {}, false, 3, 'G'},
    {"shorter_than_magic", [](Elf &e, Format) { e.file_size = 3; }, false},
    {"class_0", [](Elf &e, Format) { e.ident_class = 0; }, false},
    {"class_3", [](Elf &e, Format) { e.ident_class = 3; }, false},
    {"data_0", [](Elf &e, Format) { e.ident_data = 0; }, false},
    {"data_3", [](Elf &e, Format) { e.ident_data = 3; }, false},
    {"version_0", [](Elf &e, Format) { e.ident_version = 0; }, false},
    {"version_2", [](Elf &e, Format) { e.ident_version = 2; }, false},
    {"shorter_than_ehdr", [](Elf &e, Format f) { e.file_size = ehdr_size(f) - 1; }, false},
    {"ehsize_small", [](Elf &e, Format f) { e.ehsize = uint16_t(ehdr_size(f) - 1); }, false},
    {"shentsize_small", [](Elf &e, Format f) { e.shentsize = uint16_t(shdr_size(f) - 1); }, false},
    {"phentsize_small", [](Elf &e, Format f) { e.phentsize = uint16_t(phdr_size(f) - 1); }, false},
    {"entsizes_larger", [](Elf &e, Format f) { e.shentsize = uint16_t(shdr_size(f) + 8), e.phentsize = uint16_t(phdr_size(f) + 8); }, true},
    // Offsets chosen so that offset + count * entsize wraps to exactly 0 in 64 bits.
    {"shoff_wraps", [](Elf &e, Format f) { e.shoff = 0 - (e.sections.size() + 2) * shdr_size(f); }, false},
    {"phoff_wraps", [](Elf &e, Format f) { e.phoff = 0 - uint64_t{2} * phdr_size(f); }, false},
    {"shoff_zero", [](Elf &e, Format) { e.shoff = 0; }, false},
    {"phnum_past_eof", [](Elf &e, Format) { e.phnum = 0xfff0; }, false},
    {"xnum_without_sections", [](Elf &e, Format) { e.e_phnum = PN_XNUM, e.shoff = 0, e.e_shnum = 0; }, false},
    {"extended_shnum_past_eof", [](Elf &e, Format) { e.extended_numbering = true, e.shnum = 0x10000; }, false},
    {"no_sections_at_all", [](Elf &e, Format) { e.sections.clear(), e.shstrtab = false, e.shoff = 0, e.e_shnum = 0; }, true},
};

TEST_P(Kelpx, MalformedHeadersFailCleanly) {
    for (const Broken &row : broken_rows) {
        SCOPED_TRACE(row.name);
        Elf e = sample(f());
        row.edit(e, f());
        Bytes b = build(e);
        if (row.patch_at >= 0)
            b[size_t(row.patch_at)] = row.patch_value;
        h.shnum = 99;
        EXPECT_EQ(load(b), row.loads);
        if (!row.loads) {
            EXPECT_TRUE(h.file.empty());
            EXPECT_EQ(kelpx_get_num_of_sections(&h), 0u);
        }
    }
}

// The section table ends exactly at the end of the file; one byte less and it no longer fits.
TEST_P(Kelpx, SectionTableEndingAtEofIsTheLimit) {
    Elf e = sample(f());
    Layout lay;
    const Bytes b = build(e, &lay);
    const uint64_t end = lay.shoff + (e.sections.size() + 2) * shdr_size(f());
    ASSERT_LE(end, b.size());
    EXPECT_TRUE(load(Bytes(b.begin(), b.begin() + std::ptrdiff_t(end))));
    EXPECT_FALSE(load(Bytes(b.begin(), b.begin() + std::ptrdiff_t(end) - 1)));
}

TEST_P(Kelpx, ExtendedNumberingComesFromSectionZero) {
    Elf e = sample(f());
    e.extended_numbering = true;
    ASSERT_TRUE(load(build(e)));
    kelpx_ehdr eh{};
    ASSERT_EQ(kelpx_get_ehdr(&h, &eh), 0);
    EXPECT_EQ(eh.e_shnum, 0);
    EXPECT_EQ(eh.e_phnum, PN_XNUM);
    EXPECT_EQ(eh.e_shstrndx, SHN_XINDEX);
    EXPECT_EQ(kelpx_get_num_of_sections(&h), e.sections.size() + 2);
    EXPECT_EQ(kelpx_get_num_of_programs(&h), 2u);
    EXPECT_EQ(name_of(section_index(e, ".rela")), ".rela");
}

TEST_P(Kelpx, SectionNamesNeedATerminatedEntryInAReadableTable) {
    struct Row {
        const char *name;
        std::function<void(Elf &)> edit;
        const char *text, *rela_text;
    };
    const Row rows[] = {
        {"present", [](Elf &) {}, ".text", ".rela"},
        {"no_shstrtab", [](Elf &e) { e.shstrtab = false; }, "(none)", "(none)"},
        // Section 0 then holds the section count in sh_size: it must not pass for a string table.
        {"extended_without_shstrtab", [](Elf &e) { e.shstrtab = false, e.extended_numbering = true; }, "(none)",
         "(none)"},
        {"shstrndx_out_of_range", [](Elf &e) { e.shstrndx = 500; }, "(none)", "(none)"},
        {"shstrtab_nobits", [](Elf &e) { e.shstrndx = 2; }, "(none)", "(none)"},
        // .blob holds 'x' throughout: no name in it is terminated.
        {"unterminated", [](Elf &e) { e.shstrndx = 8; }, "(none)", "(none)"},
        {"offsets_into_str", [](Elf &e) { e.shstrndx = 7, e.sections[0].name_off = 1, e.sections[4].name_off = 4; },
         "ab", "(none)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Elf e = sample(f());
        row.edit(e);
        ASSERT_TRUE(load(build(e)));
        EXPECT_EQ(name_of(1), row.text);
        EXPECT_EQ(name_of(5), row.rela_text);
    }
}

TEST_P(Kelpx, WordsRoundTripAndThe32BitStoreRefusesWideValues) {
    ASSERT_TRUE(load(build(sample(f()))));
    const bool is32 = f().elfclass == 32;
    EXPECT_EQ(kelpx_get_sizeof_Addr(&h), is32 ? 4u : 8u);
    struct Row {
        uint64_t value;
        bool fits32;
    };
    const Row rows[] = {{0x12345678, true},           {0xffffffff, true},          {0x100000000, false},
                        {0xffffffff7fffffff, false},  {0xffffffff80000000, true},  {0x8000000000000000, false},
                        {0xfffffffffffffffe, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.value);
        Bytes buf(8, 0xaa);
        const bool ok = kelpx_store_Addr(&h, buf.data(), row.value) == 0;
        EXPECT_EQ(ok, !is32 || row.fits32);
        if (!ok) {
            EXPECT_EQ(buf, Bytes(8, 0xaa));
            continue;
        }
        const unsigned w = is32 ? 4 : 8;
        EXPECT_EQ(get(buf, 0, w, f().msb), is32 ? static_cast<uint32_t>(row.value) : row.value);
        if (is32) {
            EXPECT_EQ(Bytes(buf.begin() + 4, buf.end()), Bytes(4, 0xaa));
        }
        // The same bytes read back as a signed word: the low 32 bits, sign-extended, for ELF32.
        const int64_t want = is32 ? int64_t(int32_t(uint32_t(row.value))) : int64_t(row.value);
        EXPECT_EQ(kelpx_load_Sxword(&h, buf.data()), want);
    }
}

TEST_P(Kelpx, LoadFromPathKeepsItsOwnCopy) {
    const Elf e = sample(f());
    const Bytes b = build(e);
    const std::string path = ::testing::TempDir() + "elfaccess_" + format_name(f());
    std::FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(b.data(), 1, b.size(), out);
    std::fclose(out);
    ASSERT_EQ(kelpx_load(&h, path.c_str()), 0);
    out = std::fopen(path.c_str(), "wb");  // the tool may write its output over the input
    std::fclose(out);
    const kelpx_section text = named(e, ".text");
    EXPECT_EQ(Bytes(text.data, text.data + text.data_size), e.sections[0].data);
    std::remove(path.c_str());
    EXPECT_NE(kelpx_load(&h, path.c_str()), 0);
    EXPECT_TRUE(h.file.empty() && h.section_names.empty());
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Kelpx, ::testing::ValuesIn(all_formats()),
                         [](const auto &info) { return format_name(info.param); });

TEST(KelpString, AssignGrowsAndSurvivesAliasing) {
    kelp_string s{};
    ASSERT_NE(kelp_string_init(&s, 0), 0);
    EXPECT_STREQ(s.text, "");
    const std::string long_text(300, 'q');
    ASSERT_EQ(kelp_string_assign(&s, long_text.data(), long_text.size()), 0);
    EXPECT_EQ(std::string(s.text), long_text);
    ASSERT_EQ(kelp_string_assign(&s, s.text + 290, 10), 0);  // source inside its own buffer
    EXPECT_EQ(std::string(s.text), std::string(10, 'q'));
    kelp_string_clear(&s);
    EXPECT_EQ(s.length, 0u);
    EXPECT_STREQ(s.text, "");
    kelp_string_free(&s);
    EXPECT_EQ(s.text, nullptr);
    EXPECT_EQ(kelp_string_init(&s, 1), 0);
}

}  // namespace
