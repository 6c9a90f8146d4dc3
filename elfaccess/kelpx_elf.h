// Machine-independent ELF constants (gABI) that the tool needs by name. Kept here, not taken from the
// system's <elf.h>, so that the tool builds where no such header exists.
#pragma once

#include <cstdint>

namespace elf {
inline constexpr uint32_t SHT_NULL = 0;
inline constexpr uint32_t SHT_PROGBITS = 1;
inline constexpr uint32_t SHT_SYMTAB = 2;
inline constexpr uint32_t SHT_STRTAB = 3;
inline constexpr uint32_t SHT_RELA = 4;
inline constexpr uint32_t SHT_HASH = 5;
inline constexpr uint32_t SHT_DYNAMIC = 6;
inline constexpr uint32_t SHT_NOBITS = 8;
inline constexpr uint32_t SHT_REL = 9;
inline constexpr uint32_t SHT_DYNSYM = 11;
inline constexpr uint32_t SHT_INIT_ARRAY = 14;
inline constexpr uint32_t SHT_FINI_ARRAY = 15;
inline constexpr uint32_t SHT_PREINIT_ARRAY = 16;
inline constexpr uint32_t SHT_RELR = 19;
inline constexpr uint32_t SHT_ANDROID_REL = 0x60000001;  // packed relocations (lld --pack-dyn-relocs)
inline constexpr uint32_t SHT_ANDROID_RELA = 0x60000002;
inline constexpr uint32_t SHT_ANDROID_RELR = 0x6fffff00;
inline constexpr uint32_t SHT_GNU_HASH = 0x6ffffff6;
inline constexpr uint32_t SHT_GNU_verdef = 0x6ffffffd;
inline constexpr uint32_t SHT_GNU_verneed = 0x6ffffffe;
inline constexpr uint32_t SHT_GNU_versym = 0x6fffffff;

inline constexpr uint32_t SHF_WRITE = 0x1;
inline constexpr uint32_t SHF_ALLOC = 0x2;
inline constexpr uint32_t SHF_EXECINSTR = 0x4;
inline constexpr uint32_t SHF_TLS = 0x400;

inline constexpr uint32_t PT_LOAD = 1;
inline constexpr uint32_t PF_RWX = 7;
inline constexpr uint16_t ET_EXEC = 2;
inline constexpr uint32_t EV_CURRENT = 1;

inline constexpr uint32_t DT_NEEDED = 1;
inline constexpr uint32_t DT_PLTRELSZ = 2;
inline constexpr uint32_t DT_PLTGOT = 3;
inline constexpr uint32_t DT_STRTAB = 5;
inline constexpr uint32_t DT_SYMTAB = 6;
inline constexpr uint32_t DT_RELA = 7;
inline constexpr uint32_t DT_RELASZ = 8;
inline constexpr uint32_t DT_RELAENT = 9;
inline constexpr uint32_t DT_SYMENT = 11;
inline constexpr uint32_t DT_REL = 17;
inline constexpr uint32_t DT_RELSZ = 18;
inline constexpr uint32_t DT_RELENT = 19;
inline constexpr uint32_t DT_PLTREL = 20;
inline constexpr uint32_t DT_JMPREL = 23;

inline constexpr uint16_t SHN_UNDEF = 0;
inline constexpr uint16_t SHN_LORESERVE = 0xff00;  // SHN_ABS, SHN_COMMON, SHN_XINDEX, ...
inline constexpr uint16_t SHN_ABS = 0xfff1;
inline constexpr uint8_t STB_LOCAL = 0;
inline constexpr uint8_t STB_WEAK = 2;
}  // namespace elf
