// kelpx: loads an ELF file of either class and byte order into memory it owns and decodes its records
// into class-neutral ones. Every read is bounds-checked here; the record layouts come from kelpx_layout.h
// and every multi-byte value goes through kelpbase.
#include "kelpx.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "kelpx_layout.h"

namespace {

using kelpx_layout::class_layout;
using kelpx_layout::field;

constexpr uint8_t elfclass32 = 1;
constexpr uint8_t elfclass64 = 2;
constexpr uint8_t elfdata2lsb = 1;
constexpr uint8_t elfdata2msb = 2;
constexpr uint8_t ev_current = 1;
constexpr unsigned ei_class = 4;
constexpr unsigned ei_data = 5;
constexpr unsigned ei_version = 6;
constexpr uint16_t pn_xnum = 0xffff;
constexpr uint16_t shn_xindex = 0xffff;
constexpr uint32_t sht_dynamic = 6;
constexpr uint32_t sht_nobits = 8;

const class_layout &layout_of(uint8_t elfclass) {
    assert(elfclass == elfclass32 || elfclass == elfclass64);
    return kelpx_layout::layouts[elfclass == elfclass32 ? 0 : 1];
}

const class_layout &layout_of(const kelpx_handle *elf) {
    return layout_of(elf->elfclass);
}

uint64_t get(std::span<const uint8_t> record, field f, int msb) {
    assert(uint64_t{f.off} + f.width <= record.size());
    return kelpbase_get_word(record.data() + f.off, f.width, msb);
}

// The narrowing getters: each field's width in the table bounds its value, so nothing is lost.
uint32_t get32(std::span<const uint8_t> record, field f, int msb) {
    assert(f.width <= 4);
    return static_cast<uint32_t>(get(record, f, msb));
}
uint16_t get16(std::span<const uint8_t> record, field f, int msb) {
    assert(f.width <= 2);
    return static_cast<uint16_t>(get(record, f, msb));
}
uint8_t get8(std::span<const uint8_t> record, field f, int msb) {
    assert(f.width == 1);
    return static_cast<uint8_t>(get(record, f, msb));
}

int64_t sign_extend(uint64_t value, unsigned width) {
    const unsigned shift = 64 - 8 * width;
    // Moving the sign bit to the top and back replicates it; the right shift of a signed value is
    // arithmetic in C++20.
    return static_cast<int64_t>(value << shift) >> shift;
}

// The record of size bytes at off, or an empty span when it does not lie inside bytes (size > 0).
std::span<const uint8_t> record_at(std::span<const uint8_t> bytes, uint64_t off, uint64_t size) {
    if (!kelpbase_fits(off, size, bytes.size()))
        return {};
    return bytes.subspan(static_cast<size_t>(off), static_cast<size_t>(size));
}

std::span<const uint8_t> section_bytes(const kelpx_section *section) {
    if (section->data == nullptr)
        return {};
    return {section->data, static_cast<size_t>(section->data_size)};
}

struct shdr_fields {
    uint32_t sh_name, sh_type, sh_link, sh_info;
    uint64_t sh_flags, sh_addr, sh_offset, sh_size, sh_addralign, sh_entsize;
};

// Reads section header index of a table at e_shoff with entries of e_shentsize bytes, or fails.
bool decode_shdr(const kelpx_handle *elf, uint64_t index, shdr_fields *out) {
    const auto &l = layout_of(elf).shdr;
    const uint64_t off = elf->e_shoff + index * elf->e_shentsize;  // index < shnum: checked at load not to wrap
    const auto r = record_at(elf->file, off, l.size);
    if (r.empty())
        return false;
    const int msb = elf->msb;
    *out = shdr_fields{get32(r, l.sh_name, msb),    get32(r, l.sh_type, msb),   get32(r, l.sh_link, msb),
                       get32(r, l.sh_info, msb),    get(r, l.sh_flags, msb),    get(r, l.sh_addr, msb),
                       get(r, l.sh_offset, msb),    get(r, l.sh_size, msb),     get(r, l.sh_addralign, msb),
                       get(r, l.sh_entsize, msb)};
    return true;
}

// The bytes a section occupies in the file; none for SHT_NOBITS or when they lie (partly) outside it.
std::span<const uint8_t> file_bytes_of(const kelpx_handle *elf, const shdr_fields &sh) {
    if (sh.sh_type == sht_nobits)
        return {};
    return record_at(elf->file, sh.sh_offset, sh.sh_size);
}

// Checks a header table of num entries of entsize bytes at off; min is the class's record size.
bool table_fits(uint64_t off, uint64_t num, uint16_t entsize, uint32_t min, uint64_t file_size) {
    if (num == 0)
        return true;
    if (off == 0 || entsize < min)  // offset 0 would overlay the ELF header
        return false;
    // num < 2^32 and entsize < 2^16, so the product cannot wrap.
    return kelpbase_fits(off, num * entsize, file_size);
}

// Decodes the file that h.file shows; on success moves h into *elf (a vector's buffer moves along,
// so h.file stays valid).
int load_handle(kelpx_handle *elf, kelpx_handle &&h) {
    const std::span<const uint8_t> file = h.file;
    const uint64_t size = file.size();

    if (!kelpx_ident_ok(file.data(), size))
        return -1;
    h.elfclass = file[ei_class];
    h.msb = file[ei_data] == elfdata2msb ? 1 : 0;
    const auto &l = layout_of(h.elfclass);
    const auto ehdr = record_at(file, 0, l.ehdr.size);
    if (ehdr.empty())
        return -1;

    const int msb = h.msb;
    if (get16(ehdr, l.ehdr.e_ehsize, msb) < l.ehdr.size)
        return -1;
    h.e_machine = get16(ehdr, l.ehdr.e_machine, msb);
    h.e_flags = get32(ehdr, l.ehdr.e_flags, msb);
    h.e_phoff = get(ehdr, l.ehdr.e_phoff, msb);
    h.e_shoff = get(ehdr, l.ehdr.e_shoff, msb);
    h.e_phentsize = get16(ehdr, l.ehdr.e_phentsize, msb);
    h.e_shentsize = get16(ehdr, l.ehdr.e_shentsize, msb);
    const uint16_t e_phnum = get16(ehdr, l.ehdr.e_phnum, msb);
    const uint16_t e_shnum = get16(ehdr, l.ehdr.e_shnum, msb);
    const uint16_t e_shstrndx = get16(ehdr, l.ehdr.e_shstrndx, msb);

    // Section 0 carries the counts that do not fit the ELF header's 16-bit fields (gABI, "Extended
    // section numbering"); read it only when one of those escapes is in use.
    shdr_fields sh0{};
    const bool shnum_escaped = e_shnum == 0 && h.e_shoff != 0;
    if (shnum_escaped || e_phnum == pn_xnum || e_shstrndx == shn_xindex) {
        if (!table_fits(h.e_shoff, 1, h.e_shentsize, l.shdr.size, size))
            return -1;
        h.shnum = 1;  // lets decode_shdr read entry 0
        if (!decode_shdr(&h, 0, &sh0))
            return -1;
    }
    if (shnum_escaped && sh0.sh_size > UINT32_MAX)
        return -1;
    h.shnum = shnum_escaped ? static_cast<uint32_t>(sh0.sh_size) : e_shnum;
    h.phnum = e_phnum == pn_xnum ? sh0.sh_info : e_phnum;
    h.shstrndx = e_shstrndx == shn_xindex ? sh0.sh_link : e_shstrndx;
    if (!table_fits(h.e_shoff, h.shnum, h.e_shentsize, l.shdr.size, size) ||
        !table_fits(h.e_phoff, h.phnum, h.e_phentsize, l.phdr.size, size))
        return -1;

    // Names are resolved once here so that every later lookup is an index into this vector.
    h.section_names.assign(h.shnum, kelp_string{});
    // e_shstrndx 0 (SHN_UNDEF) means no table; section 0 holds counts, never strings.
    shdr_fields strtab{};
    std::span<const uint8_t> strtab_bytes;
    if (h.shstrndx != 0 && h.shstrndx < h.shnum && decode_shdr(&h, h.shstrndx, &strtab))
        strtab_bytes = file_bytes_of(&h, strtab);
    // Visited by name offset, so that the scan for each name's NUL picks up where the last one ended:
    // sections that all name one long string cost its length once, not once per section.
    std::vector<std::pair<uint32_t, uint32_t>> by_name;  // (sh_name, index)
    for (uint32_t i = 0; i < h.shnum && !strtab_bytes.empty(); ++i) {
        shdr_fields sh{};
        if (decode_shdr(&h, i, &sh) && sh.sh_name < strtab_bytes.size())
            by_name.emplace_back(sh.sh_name, i);
    }
    std::sort(by_name.begin(), by_name.end());
    size_t nul = 0;
    bool nul_found = false;  // strtab_bytes[nul] is the first NUL at or after the current name
    for (const auto &[sh_name, index] : by_name) {
        if (!nul_found || nul < sh_name) {
            const auto rest = strtab_bytes.subspan(sh_name);
            const void *found = std::memchr(rest.data(), 0, rest.size());
            if (found == nullptr)
                break;  // no later name ends either
            nul = static_cast<size_t>(static_cast<const uint8_t *>(found) - strtab_bytes.data());
            nul_found = true;
        }
        // The text stays inside h.file, whose buffer moves along with the handle below. The library
        // never writes through it (kelp_string_clear replaces a borrowed text instead).
        char *text = const_cast<char *>(reinterpret_cast<const char *>(strtab_bytes.data() + sh_name));
        h.section_names[index] = kelp_string{text, nul - sh_name, 0, 0};
    }

    *elf = std::move(h);
    return 0;
}

// What a file is read to at most. The bound matters for inputs without a size, a pipe or a device
// that never ends; an image of fewer than 4 GiB comes from far smaller files.
constexpr size_t max_file_size = size_t{1} << 30;

bool read_file(const char *path, std::vector<uint8_t> *bytes) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    // Read to the end in chunks rather than trust a size query: that also serves pipes, and ftell is
    // only 32 bits wide on some hosts. The identification comes first, so that anything else (a
    // device full of zeros) is refused before the rest is read.
    bool ok = true;
    try {
        uint8_t chunk[65536];
        size_t n = std::fread(chunk, 1, kelpx_ident_size, f);
        ok = kelpx_ident_ok(chunk, n);
        for (; ok && n > 0 && bytes->size() <= max_file_size; n = std::fread(chunk, 1, sizeof chunk, f))
            bytes->insert(bytes->end(), chunk, chunk + n);
        ok = ok && bytes->size() <= max_file_size && std::ferror(f) == 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        ok = false;
    }
    std::fclose(f);
    return ok;
}

}  // namespace

bool kelpx_ident_ok(const uint8_t *bytes, uint64_t size) {
    return size >= kelpx_ident_size && bytes[0] == 0x7f && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F' &&
           (bytes[ei_class] == elfclass32 || bytes[ei_class] == elfclass64) &&
           (bytes[ei_data] == elfdata2lsb || bytes[ei_data] == elfdata2msb) && bytes[ei_version] == ev_current;
}

int kelpx_load(kelpx_handle *elf, const char *path) {
    kelpx_unload(elf);
    try {
        kelpx_handle h{};
        if (!read_file(path, &h.owned))
            return -1;
        h.file = h.owned;
        return load_handle(elf, std::move(h));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

namespace {

// The bytes either copied into the handle or only viewed, the caller keeping them alive.
int load_bytes(kelpx_handle *elf, const uint8_t *bytes, uint64_t size, bool copy) {
    kelpx_unload(elf);
    if (size > SIZE_MAX || (bytes == nullptr && size != 0))
        return -1;
    try {
        kelpx_handle h{};
        if (copy) {
            h.owned.assign(bytes, bytes + size);
            h.file = h.owned;
        } else {
            h.file = std::span<const uint8_t>(bytes, static_cast<size_t>(size));
        }
        return load_handle(elf, std::move(h));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

}  // namespace

int kelpx_load_memory(kelpx_handle *elf, const uint8_t *bytes, uint64_t size) {
    return load_bytes(elf, bytes, size, true);
}

int kelpx_load_view(kelpx_handle *elf, const uint8_t *bytes, uint64_t size) {
    return load_bytes(elf, bytes, size, false);
}

void kelpx_unload(kelpx_handle *elf) {
    // Assigning a fresh handle frees both vectors' buffers, which clear() would keep.
    *elf = kelpx_handle{};
}

const char *kelpx_get_version() {
    return "1.0.0";
}

int kelpx_get_ehdr(const kelpx_handle *elf, kelpx_ehdr *ehdr) {
    if (elf->elfclass == 0)
        return -1;
    const auto &l = layout_of(elf).ehdr;
    const auto r = record_at(elf->file, 0, l.size);
    if (r.empty())
        return -1;
    const int msb = elf->msb;
    *ehdr = kelpx_ehdr{get16(r, l.e_type, msb),      get16(r, l.e_machine, msb),   get32(r, l.e_version, msb),
                       get(r, l.e_entry, msb),       get(r, l.e_phoff, msb),       get(r, l.e_shoff, msb),
                       get32(r, l.e_flags, msb),     get16(r, l.e_ehsize, msb),    get16(r, l.e_phentsize, msb),
                       get16(r, l.e_phnum, msb),     get16(r, l.e_shentsize, msb), get16(r, l.e_shnum, msb),
                       get16(r, l.e_shstrndx, msb)};
    return 0;
}

uint64_t kelpx_ehdr_get_entry(const kelpx_ehdr *ehdr) {
    return ehdr->e_entry;
}

uint32_t kelpx_get_num_of_programs(const kelpx_handle *elf) {
    return elf->phnum;
}

int kelpx_get_program(const kelpx_handle *elf, kelpx_program *program, uint32_t index) {
    if (index >= elf->phnum)
        return -1;
    const auto &l = layout_of(elf).phdr;
    const auto r = record_at(elf->file, elf->e_phoff + uint64_t{index} * elf->e_phentsize, l.size);
    if (r.empty())
        return -1;
    const int msb = elf->msb;
    *program = kelpx_program{get32(r, l.p_type, msb),  get32(r, l.p_flags, msb), get(r, l.p_offset, msb),
                             get(r, l.p_vaddr, msb),   get(r, l.p_paddr, msb),   get(r, l.p_filesz, msb),
                             get(r, l.p_memsz, msb),   get(r, l.p_align, msb)};
    return 0;
}

uint32_t kelpx_program_get_type(const kelpx_program *program) {
    return program->p_type;
}

uint64_t kelpx_program_get_vaddr(const kelpx_program *program) {
    return program->p_vaddr;
}

uint64_t kelpx_program_get_memsz(const kelpx_program *program) {
    return program->p_memsz;
}

uint64_t kelpx_program_get_align(const kelpx_program *program) {
    return program->p_align;
}

uint32_t kelpx_get_num_of_sections(const kelpx_handle *elf) {
    return elf->shnum;
}

int kelpx_get_section(const kelpx_handle *elf, kelpx_section *section, uint32_t index) {
    shdr_fields sh{};
    if (index >= elf->shnum || !decode_shdr(elf, index, &sh))
        return -1;
    const auto bytes = file_bytes_of(elf, sh);
    *section = kelpx_section{elf,        index,      sh.sh_name, sh.sh_type,      sh.sh_flags,   sh.sh_addr,
                             sh.sh_offset, sh.sh_size, sh.sh_link, sh.sh_info,    sh.sh_addralign, sh.sh_entsize,
                             bytes.empty() ? nullptr : bytes.data(), bytes.size()};
    return 0;
}

uint32_t kelpx_section_get_type(const kelpx_section *section) {
    return section->sh_type;
}

uint32_t kelpx_section_get_flags(const kelpx_section *section) {
    // Every flag the tool tests (SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR) lives in the low 32 bits.
    return static_cast<uint32_t>(section->sh_flags);
}

uint64_t kelpx_section_get_addr(const kelpx_section *section) {
    return section->sh_addr;
}

uint64_t kelpx_section_get_size(const kelpx_section *section) {
    return section->sh_size;
}

int kelpx_section_is_dynamic(const kelpx_section *section) {
    return section->sh_type == sht_dynamic;
}

const kelp_string *kelpx_section_get_name_str(const kelpx_section *section) {
    const kelpx_handle *elf = section->elf;
    if (elf == nullptr || section->index >= elf->section_names.size())
        return nullptr;
    const kelp_string *name = &elf->section_names[section->index];
    return name->text != nullptr ? name : nullptr;
}

uint32_t kelpx_section_data_size(const kelpx_section *section) {
    // The declared size, also when the bytes are not in the file: a reader of such a section then
    // fails on its first read instead of taking the section for empty and going on.
    if (section->sh_type == sht_nobits)
        return 0;
    return section->sh_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(section->sh_size);
}

int kelpx_section_data_read(const kelpx_section *section, void *destination, uint64_t offset, uint64_t length,
                            int flags) {
    if (flags != 0)
        return 0;
    if (length == 0)
        return 1;
    const auto bytes = record_at(section_bytes(section), offset, length);
    if (bytes.empty())
        return 0;
    std::memcpy(destination, bytes.data(), bytes.size());
    return 1;
}

const uint8_t *kelpx_section_data_at(const kelpx_section *section, uint64_t offset, uint64_t length) {
    const auto bytes = record_at(section_bytes(section), offset, length);
    return bytes.empty() ? nullptr : bytes.data();
}

int kelpx_section_data_readname(const kelpx_section *section, kelp_string *string, uint32_t offset) {
    const auto bytes = section_bytes(section);
    if (offset >= bytes.size())
        return -1;
    const auto rest = bytes.subspan(offset);
    const void *nul = std::memchr(rest.data(), 0, rest.size());
    if (nul == nullptr)
        return -1;
    const size_t length = static_cast<size_t>(static_cast<const uint8_t *>(nul) - rest.data());
    return kelp_string_assign(string, reinterpret_cast<const char *>(rest.data()), length);
}

int kelpx_section_data_name_at(const kelpx_section *section, uint32_t offset, const char **text, size_t *length) {
    const auto bytes = section_bytes(section);
    if (offset >= bytes.size())
        return -1;
    const auto rest = bytes.subspan(offset);
    const void *nul = std::memchr(rest.data(), 0, rest.size());
    if (nul == nullptr)
        return -1;
    *text = reinterpret_cast<const char *>(rest.data());
    *length = static_cast<size_t>(static_cast<const uint8_t *>(nul) - rest.data());
    return 0;
}

int kelpx_section_get_dyn(const kelpx_section *section, kelpx_dyn *dyn, uint32_t index) {
    if (section->data == nullptr)
        return -1;
    const auto &l = layout_of(section->elf).dyn;
    const auto r = record_at(section_bytes(section), uint64_t{index} * l.size, l.size);
    if (r.empty())
        return -1;
    const int msb = section->elf->msb;
    // d_tag is signed in the gABI, but every tag that matters is positive: zero-extend it like the rest.
    *dyn = kelpx_dyn{get(r, l.d_tag, msb), get(r, l.d_un, msb)};
    return 0;
}

uint64_t kelpx_dyn_get_tag(const kelpx_dyn *dyn) {
    return dyn->d_tag;
}

uint64_t kelpx_dyn_get_val(const kelpx_dyn *dyn) {
    return dyn->d_un;
}

uint64_t kelpx_dyn_get_ptr(const kelpx_dyn *dyn) {
    return dyn->d_un;
}

namespace {

// Relocation entries for one class, byte order and form fixed at compile time, so that every field is one
// load at a constant offset of the class's layout.
template <uint8_t elfclass, bool msb, bool rela>
uint32_t decode_rels(std::span<const uint8_t> bytes, kelpx_rel *rels, uint64_t offset, uint32_t entsize,
                     uint32_t count) {
    constexpr auto &l = kelpx_layout::layouts[elfclass == elfclass32 ? 0 : 1].rel;
    constexpr uint32_t size = rela ? l.rela_size : l.rel_size;
    uint32_t n = 0;
    for (; n < count; n++, offset += entsize) {
        if (!kelpbase_fits(offset, size, bytes.size()))
            break;
        const uint8_t *r = bytes.data() + offset;
        const uint64_t r_info = kelpbase_get_word(r + l.r_info.off, l.r_info.width, msb);
        kelpx_rel &out = rels[n];
        out.r_offset = kelpbase_get_word(r + l.r_offset.off, l.r_offset.width, msb);
        out.r_info = r_info;
        out.r_addend = 0;
        if constexpr (rela)
            out.r_addend = static_cast<uint64_t>(
                sign_extend(kelpbase_get_word(r + l.r_addend.off, l.r_addend.width, msb), l.r_addend.width));
        // The gABI split of r_info. A machine that packs it differently (the little-endian MIPS64
        // layout, say) would be told apart here; none of the supported machines does.
        out.r_sym = elfclass == elfclass32 ? r_info >> 8 : r_info >> 32;
        out.r_type = static_cast<uint32_t>(elfclass == elfclass32 ? r_info & 0xff : r_info & 0xffffffff);
    }
    return n;
}

template <bool rela>
uint32_t decode_rels(const kelpx_section *section, kelpx_rel *rels, uint64_t offset, uint32_t entsize,
                     uint32_t count) {
    // Entry offsets are 32-bit, as the single-entry readers take them: stop before one would not be.
    if (entsize != 0 && count > (UINT32_MAX - uint64_t{offset}) / entsize + 1)
        count = static_cast<uint32_t>((UINT32_MAX - uint64_t{offset}) / entsize + 1);
    const auto bytes = section_bytes(section);
    const kelpx_handle *elf = section->elf;
    if (elf->elfclass == elfclass32)
        return elf->msb ? decode_rels<elfclass32, true, rela>(bytes, rels, offset, entsize, count)
                        : decode_rels<elfclass32, false, rela>(bytes, rels, offset, entsize, count);
    return elf->msb ? decode_rels<elfclass64, true, rela>(bytes, rels, offset, entsize, count)
                    : decode_rels<elfclass64, false, rela>(bytes, rels, offset, entsize, count);
}

}  // namespace

uint32_t kelpx_section_get_rels(const kelpx_section *section, kelpx_rel *rels, uint32_t offset, uint32_t entsize,
                                uint32_t count) {
    return section->data == nullptr ? 0 : decode_rels<false>(section, rels, offset, entsize, count);
}

uint32_t kelpx_section_get_relas(const kelpx_section *section, kelpx_rel *rels, uint32_t offset, uint32_t entsize,
                                 uint32_t count) {
    return section->data == nullptr ? 0 : decode_rels<true>(section, rels, offset, entsize, count);
}

// One entry is a batch of one: a single decoder serves both, so the two cannot disagree.
int kelpx_section_get_rel_offs(const kelpx_section *section, kelpx_rel *rel, uint32_t offset) {
    return kelpx_section_get_rels(section, rel, offset, kelpx_get_sizeof_Rel(section->elf), 1) == 1 ? 0 : -1;
}

int kelpx_section_get_rela_offs(const kelpx_section *section, kelpx_rel *rel, uint32_t offset) {
    return kelpx_section_get_relas(section, rel, offset, kelpx_get_sizeof_Rela(section->elf), 1) == 1 ? 0 : -1;
}

int kelpx_section_get_sym_offs(const kelpx_section *section, kelpx_sym *sym, uint32_t offset) {
    if (section->data == nullptr)
        return -1;
    const auto &l = layout_of(section->elf).sym;
    const auto r = record_at(section_bytes(section), offset, l.size);
    if (r.empty())
        return -1;
    const int msb = section->elf->msb;
    *sym = kelpx_sym{get32(r, l.st_name, msb), get8(r, l.st_info, msb), get8(r, l.st_other, msb),
                     get16(r, l.st_shndx, msb), get(r, l.st_value, msb), get(r, l.st_size, msb)};
    return 0;
}

uint32_t kelpx_get_sizeof_Dyn(const kelpx_handle *elf) {
    return layout_of(elf).dyn.size;
}

uint32_t kelpx_get_sizeof_Rel(const kelpx_handle *elf) {
    return layout_of(elf).rel.rel_size;
}

uint32_t kelpx_get_sizeof_Rela(const kelpx_handle *elf) {
    return layout_of(elf).rel.rela_size;
}

uint32_t kelpx_get_sizeof_Sym(const kelpx_handle *elf) {
    return layout_of(elf).sym.size;
}

uint32_t kelpx_get_sizeof_Addr(const kelpx_handle *elf) {
    return layout_of(elf).addr_size;
}

uint32_t kelpx_get_sizeof_Sxword(const kelpx_handle *elf) {
    return layout_of(elf).sxword_size;
}

// kelpx_load_Sxword and kelpx_store_Addr, inline in the header, take the widths from the class.
static_assert(kelpx_layout::layouts[0].sxword_size == 4 && kelpx_layout::layouts[0].addr_size == 4 &&
              kelpx_layout::layouts[1].sxword_size == 8 && kelpx_layout::layouts[1].addr_size == 8);

// Last: <elf.h> defines macros for every ELF name.
#include "kelpx_layout_check.h"
