// Machine-independent ELF constants (gABI) that the tool needs by name. Kept here, not taken from the
// system's <elf.h>, so that the tool builds where no such header exists.
#pragma once

#include <cstdint>

namespace elf {
inline constexpr uint32_t SHT_PROGBITS = 1;
inline constexpr uint32_t SHT_SYMTAB = 2;
inline constexpr uint32_t SHT_STRTAB = 3;
inline constexpr uint32_t SHT_DYNAMIC = 6;
inline constexpr uint32_t SHT_NOBITS = 8;
inline constexpr uint32_t SHT_INIT_ARRAY = 14;
inline constexpr uint32_t SHT_FINI_ARRAY = 15;
inline constexpr uint32_t SHT_PREINIT_ARRAY = 16;

inline constexpr uint32_t SHF_WRITE = 0x1;
inline constexpr uint32_t SHF_ALLOC = 0x2;
inline constexpr uint32_t SHF_EXECINSTR = 0x4;

inline constexpr uint32_t PT_LOAD = 1;
inline constexpr uint32_t PF_RWX = 7;
inline constexpr uint16_t ET_EXEC = 2;
inline constexpr uint32_t EV_CURRENT = 1;

inline constexpr uint32_t DT_NEEDED = 1;
inline constexpr uint32_t DT_PLTRELSZ = 2;
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
