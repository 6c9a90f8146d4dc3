// elfbuild: composes ELF files of either class and byte order in memory, valid or deliberately broken,
// for every test of the project. A writer of its own, sharing no code with elfaccess, so a test always
// compares two independent readings of the format. No <elf.h>: it must build on Windows too.
// build_pie() gives a ready static PIE; edit its `elf` and build() again, or patch bytes with put().
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace elfbuild {

using Bytes = std::vector<uint8_t>;

// Constants (gABI and the psABIs) the tests use. Qualify them (elfbuild::SHT_DYNAMIC) in files that
// also see elfaccess's `elf` namespace.
inline constexpr uint8_t ELFCLASS32 = 1, ELFCLASS64 = 2, ELFDATA2LSB = 1, ELFDATA2MSB = 2, EV_CURRENT = 1;
inline constexpr uint16_t ET_DYN = 3;
inline constexpr uint16_t EM_386 = 3, EM_MIPS = 8, EM_PPC = 20, EM_PPC64 = 21, EM_ARM = 40, EM_X86_64 = 62,
                          EM_AARCH64 = 183, EM_RISCV = 243;
inline constexpr uint32_t SHT_NULL = 0, SHT_PROGBITS = 1, SHT_STRTAB = 3, SHT_RELA = 4, SHT_DYNAMIC = 6,
                          SHT_NOTE = 7, SHT_NOBITS = 8, SHT_REL = 9, SHT_DYNSYM = 11, SHT_INIT_ARRAY = 14;
inline constexpr uint64_t SHF_WRITE = 0x1, SHF_ALLOC = 0x2, SHF_EXECINSTR = 0x4;
inline constexpr uint16_t SHN_UNDEF = 0, SHN_ABS = 0xfff1, SHN_XINDEX = 0xffff;
inline constexpr uint32_t PT_LOAD = 1, PT_DYNAMIC = 2, PT_NOTE = 4;
inline constexpr uint32_t PF_X = 1, PF_W = 2, PF_R = 4;
inline constexpr uint16_t PN_XNUM = 0xffff;
inline constexpr uint64_t DT_NULL = 0, DT_NEEDED = 1, DT_PLTRELSZ = 2, DT_STRTAB = 5, DT_SYMTAB = 6, DT_RELA = 7,
                          DT_RELASZ = 8, DT_RELAENT = 9, DT_STRSZ = 10, DT_SYMENT = 11, DT_REL = 17, DT_RELSZ = 18,
                          DT_RELENT = 19, DT_PLTREL = 20, DT_JMPREL = 23;
inline constexpr uint8_t STB_LOCAL = 0, STB_GLOBAL = 1, STB_WEAK = 2;
inline constexpr uint8_t STT_NOTYPE = 0, STT_OBJECT = 1, STT_FUNC = 2;
constexpr uint8_t st_info(uint8_t bind, uint8_t type) { return static_cast<uint8_t>((bind << 4) | (type & 0xf)); }
inline constexpr uint32_t R_X86_64_NONE = 0, R_X86_64_64 = 1, R_X86_64_GLOB_DAT = 6, R_X86_64_JUMP_SLOT = 7,
                          R_X86_64_RELATIVE = 8;
inline constexpr uint32_t R_386_32 = 1, R_386_GLOB_DAT = 6, R_386_JMP_SLOT = 7, R_386_RELATIVE = 8;
inline constexpr uint32_t R_ARM_ABS32 = 2, R_ARM_GLOB_DAT = 21, R_ARM_JUMP_SLOT = 22, R_ARM_RELATIVE = 23;

// Encoding primitives. Values wider than the field are truncated to its low bytes: that is how a test
// writes an out-of-range value into a 32-bit field.
struct Format {
    int elfclass = 64;  // 32 or 64
    bool msb = false;
};
inline const std::vector<Format> &all_formats() {
    static const std::vector<Format> f = {{32, false}, {32, true}, {64, false}, {64, true}};
    return f;
}
std::string format_name(Format f);  // "ELF32LSB", ..., usable as a gtest parameter name

void put(Bytes &b, size_t at, unsigned width, uint64_t v, bool msb);  // overwrite; grows b when needed
inline void append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }
uint64_t get(const Bytes &b, size_t at, unsigned width, bool msb);  // throws std::out_of_range past the end

inline unsigned word_size(Format f) { return f.elfclass == 64 ? 8 : 4; }
inline unsigned ehdr_size(Format f) { return f.elfclass == 64 ? 64 : 52; }
inline unsigned phdr_size(Format f) { return f.elfclass == 64 ? 56 : 32; }
inline unsigned shdr_size(Format f) { return f.elfclass == 64 ? 64 : 40; }
inline unsigned dyn_size(Format f) { return 2 * word_size(f); }
inline unsigned rel_size(Format f) { return 2 * word_size(f); }
inline unsigned rela_size(Format f) { return 3 * word_size(f); }
inline unsigned sym_size(Format f) { return f.elfclass == 64 ? 24 : 16; }

Bytes word(Format f, uint64_t v);                                                // address-sized word
Bytes dyn(Format f, const std::vector<std::pair<uint64_t, uint64_t>> &entries);  // (d_tag, d_un), no DT_NULL added

struct Reloc {
    uint64_t offset = 0, sym = 0;
    uint32_t type = 0;
    uint64_t addend = 0;                // RELA only; REL tables carry the addend in the image
    std::optional<uint64_t> info = {};  // raw r_info, replacing the sym/type composition
};
// r_info: ELF32 sym << 8 | (type & 0xff); ELF64 sym << 32 | type. A `stride` above the record size pads
// each entry with zeros (a DT_RELENT/DT_RELAENT larger than the record).
Bytes rel(Format f, const std::vector<Reloc> &r, unsigned stride = 0);
Bytes rela(Format f, const std::vector<Reloc> &r, unsigned stride = 0);

struct Sym {
    uint32_t name = 0;
    uint8_t info = 0, other = 0;
    uint16_t shndx = 0;
    uint64_t value = 0, size = 0;
};
Bytes sym(Format f, const std::vector<Sym> &s, unsigned stride = 0);  // no implicit null symbol

struct Section {
    std::string name = {};
    uint32_t type = SHT_PROGBITS;
    uint64_t flags = 0, addr = 0;
    Bytes data = {};                      // written to the file at sh_offset (whatever the type)
    std::optional<uint64_t> size = {};    // sh_size when not data.size() (NOBITS sections, malformed sizes)
    std::optional<uint64_t> offset = {};  // sh_offset; else laid out after the previous data, aligned to
                                          // addralign. Data is written there only when it ends below 256 MiB.
    uint32_t link = 0, info = 0;
    uint64_t addralign = 1, entsize = 0;
    std::optional<uint32_t> name_off = {};  // sh_name instead of the name's offset in .shstrtab
};

struct Segment {
    uint32_t type = PT_LOAD, flags = 0;
    uint64_t vaddr = 0, memsz = 0, align = 0x1000;
    // Unset: offset and filesz span the file data of the sections whose addresses lie in
    // [vaddr, vaddr + memsz) (NOBITS ones excluded), or are 0 when there are none. p_paddr = vaddr.
    std::optional<uint64_t> offset = {}, filesz = {};
};

struct Elf {
    Format fmt = {};
    uint16_t machine = EM_X86_64, type = ET_DYN;
    uint32_t flags = 0;
    uint64_t entry = 0;
    std::vector<Section> sections = {};  // the null section 0 is implicit: sections[i] gets index i + 1
    bool shstrtab = true;                // append ".shstrtab" as the last section (and point e_shstrndx at it)
    std::vector<Segment> segments = {};  // the program header table follows the ELF header

    // Raw overrides, for malformed inputs. The tables stay where they were laid out; only fields change.
    std::optional<uint64_t> shoff = {}, phoff = {};
    // The counts and the index as recorded: in the header, or in section 0 under extended numbering.
    std::optional<uint32_t> shnum = {}, phnum = {}, shstrndx = {};
    std::optional<uint16_t> e_shnum = {}, e_phnum = {};  // the header fields themselves, applied last
    // A *entsize above the record size also spaces the table's entries out; a smaller one changes only the field.
    std::optional<uint16_t> ehsize = {}, shentsize = {}, phentsize = {};
    std::optional<uint8_t> ident_class = {}, ident_data = {}, ident_version = {};  // e_ident[4..6]
    // e_shnum = 0, e_phnum = PN_XNUM, e_shstrndx = SHN_XINDEX; the real values go to section 0's
    // sh_size / sh_info / sh_link.
    bool extended_numbering = false;
    std::optional<uint64_t> file_size = {};  // truncate or zero-extend the finished file
};

// Where build() put things, for tests that patch the bytes afterwards.
struct Layout {
    uint64_t phoff = 0, shoff = 0;         // where the tables really are (not the overridden fields)
    std::vector<uint64_t> sh_offset = {};  // by section index, 0 and .shstrtab included
};

Bytes build(const Elf &e, Layout *layout = nullptr);
Section &section(Elf &e, const std::string &name);  // the first section so named; throws std::out_of_range if none

// A ready static PIE for end-to-end tests. Memory layout (every address can be moved): .text (AX) at
// text_addr, default 0x1000, in a R+X PT_LOAD; .data (WA) then .bss (WA, NOBITS) at data_addr, default
// the page after .text, in a R+W PT_LOAD; then, at tables_addr (default the page after .bss), .dynsym,
// .dynstr, .rel(a).dyn, .rel(a).plt (all A) and last .dynamic (WA), in a third R+W PT_LOAD, with
// PT_DYNAMIC over .dynamic. The tables lie outside the image and their addresses never depend on the
// dynamic entries: build once to learn an address, then again with dyn_set or extra_dyn using it.
// Section indices: 1 .text, 2 .data, 3 .bss (always present, possibly empty); the rest follow in the
// order above, each only when present; .shstrtab last.
// Dynamic entries, in order: DT_NEEDED (one per `needed`); DT_SYMTAB, DT_STRTAB, DT_STRSZ, DT_SYMENT;
// DT_REL(A), DT_REL(A)SZ, DT_REL(A)ENT for the main table; DT_PLTREL, DT_JMPREL, DT_PLTRELSZ (and the
// entry-size tag of its kind unless the main table gave it) for the PLT table; then the `dyn_set` tags
// the builder had not emitted, then `extra_dyn`, then DT_NULL.
inline constexpr uint16_t pie_shndx_text = 1;

struct PieSym {
    std::string name = {};
    uint8_t info = 0;
    uint16_t shndx = 0;
    uint64_t value = 0, size = 0;
    uint8_t other = 0;
    std::optional<uint32_t> name_off = {};  // st_name instead of the name's offset in .dynstr
};

struct Pie {
    Format fmt = {};
    uint16_t machine = EM_X86_64;
    std::optional<uint64_t> entry = {};  // default text_addr
    Bytes text = {}, data = {};
    uint64_t bss_size = 0;
    std::optional<uint64_t> text_addr = {}, data_addr = {}, tables_addr = {};
    uint64_t align = 0x1000;  // p_align of the PT_LOADs, written as given; the page of the default layout (0 acts as 1)

    bool symtab = true;                    // .dynsym/.dynstr and their tags (with the null symbol alone if no dynsyms)
    std::vector<PieSym> dynsyms = {};      // symbol 0 (null) is implicit: dynsyms[i] is index i + 1
    std::optional<Bytes> dynstr = {};      // raw .dynstr contents instead of the names (then set name_off)
    unsigned syment = 0;                   // symbol stride and DT_SYMENT; 0 = record size
    std::vector<std::string> needed = {};  // DT_NEEDED names (added to .dynstr)

    std::vector<Reloc> relocs = {};  // main table: DT_RELA or DT_REL
    bool rela = true;
    bool force_reltab = false;           // emit the table and its tags even when relocs is empty
    std::vector<Reloc> plt_relocs = {};  // DT_JMPREL table
    bool plt_rela = true;
    unsigned relent = 0, relaent = 0;  // entry strides and DT_RELENT / DT_RELAENT; 0 = record size

    // Replace the value of a tag (nullopt drops it). A tag the builder would not emit is appended.
    std::map<uint64_t, std::optional<uint64_t>> dyn_set = {};
    std::vector<std::pair<uint64_t, uint64_t>> extra_dyn = {};  // appended before the final DT_NULL (may hold DT_NULLs)
};

struct BuiltPie {
    Bytes bytes = {};  // the file
    Elf elf = {};      // what was built: edit and build() again for variants the knobs do not reach
    Format fmt = {};
    uint64_t text_addr = 0, data_addr = 0, dynsym_addr = 0, dynstr_addr = 0, reltab_addr = 0, plttab_addr = 0;
    uint64_t plttab_size = 0;  // bytes
    // The image bounds a correct tool derives: lowest/highest of .text, .data and .bss, rounded out to `align`.
    uint64_t vspace_start = 0, vspace_end = 0;
    // The unrelocated image: zeros, with .text and .data copied in. Patch expected relocations into it.
    Bytes image() const;
    size_t image_off(uint64_t addr) const { return static_cast<size_t>(addr - vspace_start); }  // of a link-time address

 private:
    friend BuiltPie build_pie(const Pie &p);
    Bytes text_, data_;
};
BuiltPie build_pie(const Pie &p);

}  // namespace elfbuild
