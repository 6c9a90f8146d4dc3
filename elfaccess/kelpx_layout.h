// Private to elfaccess: where each field of the ELF records lies, per class. The decoders in kelpx.cpp
// read every record through these tables, so the ELF32 and ELF64 paths are one code path.
#pragma once

#include <array>
#include <cstdint>

namespace kelpx_layout {

struct field {
    uint8_t off;
    uint8_t width;  // 1, 2, 4 or 8 bytes
};

struct ehdr_layout {
    uint32_t size;
    field e_type, e_machine, e_version, e_entry, e_phoff, e_shoff, e_flags, e_ehsize, e_phentsize, e_phnum,
        e_shentsize, e_shnum, e_shstrndx;
};
struct phdr_layout {
    uint32_t size;
    field p_type, p_flags, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz, p_align;
};
struct shdr_layout {
    uint32_t size;
    field sh_name, sh_type, sh_flags, sh_addr, sh_offset, sh_size, sh_link, sh_info, sh_addralign, sh_entsize;
};
struct sym_layout {
    uint32_t size;
    field st_name, st_info, st_other, st_shndx, st_value, st_size;
};
struct dyn_layout {
    uint32_t size;
    field d_tag, d_un;
};
// Rel is Rela without its last field; r_addend is unused for REL entries.
struct rel_layout {
    uint32_t rel_size, rela_size;
    field r_offset, r_info, r_addend;
};

struct class_layout {
    ehdr_layout ehdr;
    phdr_layout phdr;
    shdr_layout shdr;
    sym_layout sym;
    dyn_layout dyn;
    rel_layout rel;
    uint32_t addr_size;    // Elf32_Addr / Elf64_Addr
    uint32_t sxword_size;  // Elf32_Sword / Elf64_Sxword: an addend, and the word a REL entry patches
};

// Index 0 = ELFCLASS32, 1 = ELFCLASS64.
inline constexpr std::array<class_layout, 2> layouts = {{
    {
        {52, {16, 2}, {18, 2}, {20, 4}, {24, 4}, {28, 4}, {32, 4}, {36, 4}, {40, 2}, {42, 2}, {44, 2}, {46, 2},
         {48, 2}, {50, 2}},
        // ELF32 puts p_flags late; ELF64 moves it up so that the 8-byte fields stay aligned.
        {32, {0, 4}, {24, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 4}, {20, 4}, {28, 4}},
        {40, {0, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 4}, {20, 4}, {24, 4}, {28, 4}, {32, 4}, {36, 4}},
        // ELF32 Sym: name value size info other shndx
        {16, {0, 4}, {12, 1}, {13, 1}, {14, 2}, {4, 4}, {8, 4}},
        {8, {0, 4}, {4, 4}},
        {8, 12, {0, 4}, {4, 4}, {8, 4}},
        4,
        4,
    },
    {
        {64, {16, 2}, {18, 2}, {20, 4}, {24, 8}, {32, 8}, {40, 8}, {48, 4}, {52, 2}, {54, 2}, {56, 2}, {58, 2},
         {60, 2}, {62, 2}},
        {56, {0, 4}, {4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 8}, {48, 8}},
        {64, {0, 4}, {4, 4}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 4}, {44, 4}, {48, 8}, {56, 8}},
        // ELF64 Sym: name info other shndx value size
        {24, {0, 4}, {4, 1}, {5, 1}, {6, 2}, {8, 8}, {16, 8}},
        {16, {0, 8}, {8, 8}},
        {16, 24, {0, 8}, {8, 8}, {16, 8}},
        8,
        8,
    },
}};

// Every field must lie inside its record; a typo in the tables above stops the build here.
constexpr bool inside(field f, uint32_t size) {
    return (f.width == 1 || f.width == 2 || f.width == 4 || f.width == 8) && uint32_t{f.off} + f.width <= size;
}
constexpr bool consistent(const class_layout &l) {
    const auto &e = l.ehdr;
    const auto &p = l.phdr;
    const auto &s = l.shdr;
    const auto &y = l.sym;
    const auto &r = l.rel;
    return inside(e.e_type, e.size) && inside(e.e_machine, e.size) && inside(e.e_version, e.size) &&
           inside(e.e_entry, e.size) && inside(e.e_phoff, e.size) && inside(e.e_shoff, e.size) &&
           inside(e.e_flags, e.size) && inside(e.e_ehsize, e.size) && inside(e.e_phentsize, e.size) &&
           inside(e.e_phnum, e.size) && inside(e.e_shentsize, e.size) && inside(e.e_shnum, e.size) &&
           inside(e.e_shstrndx, e.size) && inside(p.p_type, p.size) && inside(p.p_flags, p.size) &&
           inside(p.p_offset, p.size) && inside(p.p_vaddr, p.size) && inside(p.p_paddr, p.size) &&
           inside(p.p_filesz, p.size) && inside(p.p_memsz, p.size) && inside(p.p_align, p.size) &&
           inside(s.sh_name, s.size) && inside(s.sh_type, s.size) && inside(s.sh_flags, s.size) &&
           inside(s.sh_addr, s.size) && inside(s.sh_offset, s.size) && inside(s.sh_size, s.size) &&
           inside(s.sh_link, s.size) && inside(s.sh_info, s.size) && inside(s.sh_addralign, s.size) &&
           inside(s.sh_entsize, s.size) && inside(y.st_name, y.size) && inside(y.st_info, y.size) &&
           inside(y.st_other, y.size) && inside(y.st_shndx, y.size) && inside(y.st_value, y.size) &&
           inside(y.st_size, y.size) && inside(l.dyn.d_tag, l.dyn.size) && inside(l.dyn.d_un, l.dyn.size) &&
           inside(r.r_offset, r.rel_size) && inside(r.r_info, r.rel_size) && inside(r.r_addend, r.rela_size) &&
           uint32_t{r.r_addend.off} == r.rel_size;
}
static_assert(consistent(layouts[0]) && consistent(layouts[1]));

}  // namespace kelpx_layout
