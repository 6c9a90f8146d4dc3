// Private to elfaccess: proves the record layout tables against the platform's <elf.h> where there is
// one. Included last by kelpx.cpp, because <elf.h> defines macros for every ELF name.
#pragma once

#include "kelpx_layout.h"

#if __has_include(<elf.h>)
#include <elf.h>

#include <cstddef>

#define KELPX_LAYOUT_CHECK(cls, rec, type, name)                                                              \
    static_assert(kelpx_layout::layouts[cls].rec.name.off == offsetof(type, name) &&                          \
                  kelpx_layout::layouts[cls].rec.name.width == sizeof(type{}.name))
#define KELPX_LAYOUT_CHECK_CLASS(cls, B)                                                                      \
    static_assert(kelpx_layout::layouts[cls].ehdr.size == sizeof(Elf##B##_Ehdr));                            \
    static_assert(kelpx_layout::layouts[cls].phdr.size == sizeof(Elf##B##_Phdr));                            \
    static_assert(kelpx_layout::layouts[cls].shdr.size == sizeof(Elf##B##_Shdr));                            \
    static_assert(kelpx_layout::layouts[cls].sym.size == sizeof(Elf##B##_Sym));                              \
    static_assert(kelpx_layout::layouts[cls].dyn.size == sizeof(Elf##B##_Dyn));                              \
    static_assert(kelpx_layout::layouts[cls].rel.rel_size == sizeof(Elf##B##_Rel));                          \
    static_assert(kelpx_layout::layouts[cls].rel.rela_size == sizeof(Elf##B##_Rela));                        \
    static_assert(kelpx_layout::layouts[cls].addr_size == sizeof(Elf##B##_Addr));                            \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_type);                                                     \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_machine);                                                  \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_version);                                                  \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_entry);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_phoff);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_shoff);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_flags);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_ehsize);                                                   \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_phentsize);                                                \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_phnum);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_shentsize);                                                \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_shnum);                                                    \
    KELPX_LAYOUT_CHECK(cls, ehdr, Elf##B##_Ehdr, e_shstrndx);                                                 \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_type);                                                     \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_flags);                                                    \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_offset);                                                   \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_vaddr);                                                    \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_paddr);                                                    \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_filesz);                                                   \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_memsz);                                                    \
    KELPX_LAYOUT_CHECK(cls, phdr, Elf##B##_Phdr, p_align);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_name);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_type);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_flags);                                                   \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_addr);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_offset);                                                  \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_size);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_link);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_info);                                                    \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_addralign);                                               \
    KELPX_LAYOUT_CHECK(cls, shdr, Elf##B##_Shdr, sh_entsize);                                                 \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_name);                                                      \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_info);                                                      \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_other);                                                     \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_shndx);                                                     \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_value);                                                     \
    KELPX_LAYOUT_CHECK(cls, sym, Elf##B##_Sym, st_size);                                                      \
    KELPX_LAYOUT_CHECK(cls, dyn, Elf##B##_Dyn, d_tag);                                                        \
    KELPX_LAYOUT_CHECK(cls, dyn, Elf##B##_Dyn, d_un);                                                         \
    KELPX_LAYOUT_CHECK(cls, rel, Elf##B##_Rela, r_offset);                                                    \
    KELPX_LAYOUT_CHECK(cls, rel, Elf##B##_Rela, r_info);                                                      \
    KELPX_LAYOUT_CHECK(cls, rel, Elf##B##_Rela, r_addend)

KELPX_LAYOUT_CHECK_CLASS(0, 32);
KELPX_LAYOUT_CHECK_CLASS(1, 64);

#undef KELPX_LAYOUT_CHECK_CLASS
#undef KELPX_LAYOUT_CHECK
#endif
