// kelpx: read access to an ELF file of either class and byte order. Every value comes back widened
// to 64 bits; every decode is bounds-checked against the loaded bytes. Records are caller-owned and
// stay valid until kelpx_unload of the handle they came from. Status results: 0 = success.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kelpbase.h"

struct kelpx_handle {
    std::vector<uint8_t> owned;     // the input's bytes when the library made its own copy
    std::span<const uint8_t> file;  // the whole input, every decode reads here: owned, or the caller's memory
    uint8_t elfclass;           // 1 = ELFCLASS32, 2 = ELFCLASS64
    uint8_t msb;                // 0 = ELFDATA2LSB, 1 = ELFDATA2MSB
    uint16_t e_machine;
    uint32_t e_flags;
    uint64_t e_phoff;
    uint64_t e_shoff;
    uint32_t phnum;             // after extended numbering is resolved
    uint32_t shnum;
    uint32_t shstrndx;
    uint16_t e_phentsize;
    uint16_t e_shentsize;
    std::vector<kelp_string> section_names;  // one per section; text null when it has no readable name

    // Moved, never copied: a copy's file would still show the bytes the original owns.
    kelpx_handle() = default;
    kelpx_handle(const kelpx_handle &) = delete;
    kelpx_handle &operator=(const kelpx_handle &) = delete;
    kelpx_handle(kelpx_handle &&) = default;
    kelpx_handle &operator=(kelpx_handle &&) = default;
};

struct kelpx_ehdr {
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint64_t e_entry;
    uint64_t e_phoff;
    uint64_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};

struct kelpx_program {
    uint32_t p_type;
    uint32_t p_flags;
    uint64_t p_offset;
    uint64_t p_vaddr;
    uint64_t p_paddr;
    uint64_t p_filesz;
    uint64_t p_memsz;
    uint64_t p_align;
};

struct kelpx_section {
    const kelpx_handle *elf;
    uint32_t index;
    uint32_t sh_name;
    uint32_t sh_type;
    uint64_t sh_flags;
    uint64_t sh_addr;
    uint64_t sh_offset;
    uint64_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint64_t sh_addralign;
    uint64_t sh_entsize;
    const uint8_t *data;  // the section's bytes inside the file; null for SHT_NOBITS or when they lie outside it
    uint64_t data_size;   // bytes at data; 0 when data is null
};

struct kelpx_dyn {
    uint64_t d_tag;
    uint64_t d_un;
};

struct kelpx_rel {
    uint64_t r_offset;
    uint64_t r_info;
    uint64_t r_addend;  // 0 for REL entries
    uint64_t r_sym;
    uint32_t r_type;
};

struct kelpx_sym {
    uint32_t st_name;
    uint8_t st_info;
    uint8_t st_other;
    uint16_t st_shndx;
    uint64_t st_value;
    uint64_t st_size;
};

// How a loader applies one relocation type, named as loaders and linkers name them. B is the load
// bias, S the symbol's value, A the addend.
enum class kelpx_rel_kind : uint8_t {
    unapplied,  // a type of the machine that the tool refuses (TLS, COPY, IRELATIVE, static-only types)
    none,       // no relocation at all (R_*_NONE): skipped
    relative,   // B + A
    symbolic,   // S + A: a data word against a symbol
    got,        // S + A: a GOT word; S alone in a REL table, whose GOT word is no addend
    plt,        // S + A: a PLT slot. In a REL table the slot holds a lazy-binding stub's address, not an
                // addend, so the value is S alone.
    sym_or_relative,  // S + A against a symbol, B + A with symbol 0 (one type for both, as MIPS has)
};

struct relevant_rels_info {
    const char *name;  // null where the machine defines no type of this number
    kelpx_rel_kind kind;
};
// A GOT that the machine's loaders relocate with no relocation entries (MIPS), at DT_PLTGOT. Its
// first local_gotno entries are local: each moves by B, except the reserved first one, and the second
// when its top bit marks it reserved too. Then one global entry for each dynamic symbol from gotsym
// up to symtabno, which gets the symbol's value S. The three counts are dynamic entries of these tags.
struct kelpx_implicit_got {
    const char *local_gotno_name, *gotsym_name, *symtabno_name;
    uint32_t local_gotno_tag, gotsym_tag, symtabno_tag;
};
// What the relocation engine needs to know about one machine: every type's name and kind.
struct relevant_rels {
    uint32_t num_types;  // info holds the types 0 .. num_types - 1
    const relevant_rels_info *info;
    const kelpx_implicit_got *implicit_got;  // null: every GOT word has its relocation entry
};

// The entry of r_type, or null when the machine names no such type.
inline const relevant_rels_info *kelpx_rels_get_info(const relevant_rels *rels, uint32_t r_type) {
    if (r_type >= rels->num_types || rels->info[r_type].name == nullptr)
        return nullptr;
    return &rels->info[r_type];
}

// File
[[nodiscard]] int kelpx_load(kelpx_handle *elf, const char *path);
// The number of leading bytes that identify an ELF file, and whether bytes (at least that many) are
// an identification this library reads: magic, class, byte order, version.
constexpr uint32_t kelpx_ident_size = 16;
bool kelpx_ident_ok(const uint8_t *bytes, uint64_t size);
// Loads from memory (copies the bytes); same checks as kelpx_load.
[[nodiscard]] int kelpx_load_memory(kelpx_handle *elf, const uint8_t *bytes, uint64_t size);
// Loads from memory without a copy: the caller keeps the bytes alive and readable until kelpx_unload.
[[nodiscard]] int kelpx_load_view(kelpx_handle *elf, const uint8_t *bytes, uint64_t size);
void kelpx_unload(kelpx_handle *elf);
const char *kelpx_get_version();

// ELF header
[[nodiscard]] int kelpx_get_ehdr(const kelpx_handle *elf, kelpx_ehdr *ehdr);
uint64_t kelpx_ehdr_get_entry(const kelpx_ehdr *ehdr);

// Program headers
uint32_t kelpx_get_num_of_programs(const kelpx_handle *elf);
[[nodiscard]] int kelpx_get_program(const kelpx_handle *elf, kelpx_program *program, uint32_t index);
uint32_t kelpx_program_get_type(const kelpx_program *program);
uint64_t kelpx_program_get_vaddr(const kelpx_program *program);
uint64_t kelpx_program_get_memsz(const kelpx_program *program);
uint64_t kelpx_program_get_align(const kelpx_program *program);

// Sections
uint32_t kelpx_get_num_of_sections(const kelpx_handle *elf);
[[nodiscard]] int kelpx_get_section(const kelpx_handle *elf, kelpx_section *section, uint32_t index);
uint32_t kelpx_section_get_type(const kelpx_section *section);
uint32_t kelpx_section_get_flags(const kelpx_section *section);  // low 32 bits of sh_flags
uint64_t kelpx_section_get_addr(const kelpx_section *section);
uint64_t kelpx_section_get_size(const kelpx_section *section);
int kelpx_section_is_dynamic(const kelpx_section *section);
const kelp_string *kelpx_section_get_name_str(const kelpx_section *section);
// sh_size (0 for SHT_NOBITS) even when the bytes lie outside the file, so that reading them fails
// rather than the section passing for empty; saturates at 0xffffffff.
uint32_t kelpx_section_data_size(const kelpx_section *section);
// Copies length bytes of the section's data starting at offset into destination. flags must be 0.
// Non-zero = success; 0 when the bytes are not there (also for SHT_NOBITS and data outside the file).
[[nodiscard]] int kelpx_section_data_read(const kelpx_section *section, void *destination, uint64_t offset,
                                          uint64_t length, int flags);
// The same bytes without a copy: a pointer into the loaded file, valid until unload. Null for
// length 0 and when the bytes are not there.
const uint8_t *kelpx_section_data_at(const kelpx_section *section, uint64_t offset, uint64_t length);
// Copies the NUL-terminated text at offset of the section's data. Fails when no NUL stands before
// the end of the data.
[[nodiscard]] int kelpx_section_data_readname(const kelpx_section *section, kelp_string *string, uint32_t offset);
// The same text without a copy: *text points into the loaded file, NUL-terminated, valid until unload.
[[nodiscard]] int kelpx_section_data_name_at(const kelpx_section *section, uint32_t offset, const char **text,
                                             size_t *length);

// Dynamic entries (index counts entries of kelpx_get_sizeof_Dyn bytes)
[[nodiscard]] int kelpx_section_get_dyn(const kelpx_section *section, kelpx_dyn *dyn, uint32_t index);
uint64_t kelpx_dyn_get_tag(const kelpx_dyn *dyn);
uint64_t kelpx_dyn_get_val(const kelpx_dyn *dyn);
uint64_t kelpx_dyn_get_ptr(const kelpx_dyn *dyn);

// Relocations, at a byte offset of the section's data. The getters of this and the symbol records
// are inline: the relocation walk calls them for every entry.
[[nodiscard]] int kelpx_section_get_rel_offs(const kelpx_section *section, kelpx_rel *rel, uint32_t offset);
[[nodiscard]] int kelpx_section_get_rela_offs(const kelpx_section *section, kelpx_rel *rel, uint32_t offset);
// Decode count entries of a table, entsize bytes apart, the first at offset; the same result as count
// single reads. Give how many were decoded: fewer than count when the next entry cannot be read
// (or its offset does not fit 32 bits). For walks over large tables.
uint32_t kelpx_section_get_rels(const kelpx_section *section, kelpx_rel *rels, uint32_t offset, uint32_t entsize,
                                uint32_t count);
uint32_t kelpx_section_get_relas(const kelpx_section *section, kelpx_rel *rels, uint32_t offset, uint32_t entsize,
                                 uint32_t count);
inline uint64_t kelpx_rel_get_offset(const kelpx_rel *rel) {
    return rel->r_offset;
}
inline uint64_t kelpx_rel_get_r_sym(const kelpx_rel *rel) {
    return rel->r_sym;
}
inline uint32_t kelpx_rel_get_r_type(const kelpx_rel *rel) {
    return rel->r_type;
}
inline uint64_t kelpx_rel_get_addend(const kelpx_rel *rel) {
    return rel->r_addend;
}

// Symbols, at a byte offset of the section's data
[[nodiscard]] int kelpx_section_get_sym_offs(const kelpx_section *section, kelpx_sym *sym, uint32_t offset);
inline uint32_t kelpx_sym_get_name_offs(const kelpx_sym *sym) {
    return sym->st_name;
}
inline uint64_t kelpx_sym_get_value(const kelpx_sym *sym) {
    return sym->st_value;
}
inline uint16_t kelpx_sym_get_shndx(const kelpx_sym *sym) {
    return sym->st_shndx;
}
inline uint8_t kelpx_sym_get_info(const kelpx_sym *sym) {
    return sym->st_info;
}

// Sizes and target words in the input's class and byte order
uint32_t kelpx_get_sizeof_Dyn(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Rel(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Rela(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Sym(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Addr(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Sxword(const kelpx_handle *elf);
// These two are inline, for the relocation walk; the widths are the class's (checked in kelpx.cpp).
inline int64_t kelpx_load_Sxword(const kelpx_handle *elf, const void *pointer) {
    const auto *p = static_cast<const uint8_t *>(pointer);
    if (elf->elfclass == 1)  // Elf32_Sword, widened with its sign
        return static_cast<int32_t>(kelpbase_get_u32(p, elf->msb));
    return static_cast<int64_t>(kelpbase_get_u64(p, elf->msb));
}
// Writes an address-sized word of the input's class and byte order: in ELF32 the low 32 bits, as a
// 32-bit machine adds modulo 2^32 (the caller refuses values that are no address there). Gives 0.
[[nodiscard]] inline int kelpx_store_Addr(const kelpx_handle *elf, void *pointer, uint64_t value) {
    const unsigned width = elf->elfclass == 1 ? 4 : 8;
    kelpbase_put_word(static_cast<uint8_t *>(pointer), width, value, elf->msb);
    return 0;
}

// Encoders for writing an ELF file of the handle's class and byte order: each record is stored at p,
// which must hold kelpx_get_sizeof_* bytes. kelpx_put_ehdr fills e_ident from the handle.
uint32_t kelpx_get_sizeof_Ehdr(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Phdr(const kelpx_handle *elf);
uint32_t kelpx_get_sizeof_Shdr(const kelpx_handle *elf);
void kelpx_put_ehdr(const kelpx_handle *elf, uint8_t *p, const kelpx_ehdr *ehdr);
void kelpx_put_program(const kelpx_handle *elf, uint8_t *p, const kelpx_program *program);
void kelpx_put_section(const kelpx_handle *elf, uint8_t *p, const kelpx_section *section);
void kelpx_put_sym(const kelpx_handle *elf, uint8_t *p, const kelpx_sym *sym);

// The machine's relocation record, or null when the machine (with this class and ABI) has none.
const relevant_rels *kelpx_get_relevant_rels(const kelpx_handle *elf);
