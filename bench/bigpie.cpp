// Lays a static PIE out the way lld does (read-only headers and tables, then .text, then the writable
// segment), with file offsets equal to virtual addresses. The big parts (.text, the relocation table,
// .data) are streamed in chunks, so a file of any size needs little memory.
#include "bigpie.h"

#include <algorithm>
#include <cstring>

namespace bigpie {

namespace {

struct machine_info {
    uint16_t e_machine;
    bool is64;
    bool msb;
    bool rela;
    uint32_t relative, symbolic, plt;  // relocation types from each machine's psABI
    uint32_t e_flags;
};

constexpr machine_info machines[] = {
    {62, true, false, true, 8, 6, 7, 0},                // R_X86_64_RELATIVE, _GLOB_DAT, _JUMP_SLOT
    {22, true, true, true, 12, 10, 11, 0},              // R_390_RELATIVE, _GLOB_DAT, _JMP_SLOT
    {3, false, false, false, 8, 6, 6, 0},               // R_386_RELATIVE, _GLOB_DAT (JMP_SLOT is not applied)
    {40, false, true, false, 23, 21, 21, 0x05000000},  // R_ARM_RELATIVE, _GLOB_DAT; EABI version 5
};

constexpr size_t chunk_size = 1u << 20;

uint64_t align_up(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

// Little records built field by field in the target byte order.
struct record {
    bool msb;
    std::vector<uint8_t> b;
    void put(uint64_t v, unsigned width) {
        for (unsigned i = 0; i < width; i++)
            b.push_back(static_cast<uint8_t>(v >> (8 * (msb ? width - 1 - i : i))));
    }
};

struct layout {
    machine_info m;
    unsigned addr, ehsize, phentsize, shentsize, symsize, dynsize, relsize;
    uint64_t entries;  // of the main table
    uint64_t dynsym_off, dynstr_off, reldyn_off, relplt_off, ro_end;
    uint64_t text_off, rw_off, dynamic_off, got_off, data_off, data_size, stride, bss_off, bss_size;
    uint64_t shstrtab_off, shdr_off;
    std::string dynstr, shstrtab;
    std::vector<uint32_t> name_off;
};

constexpr unsigned num_phdrs = 4;
constexpr unsigned num_dyn = 12;
constexpr const char *section_names[] = {"",      ".dynsym",  ".dynstr", ".rel.dyn", ".rel.plt", ".text",
                                         ".dynamic", ".got", ".data",   ".bss",     ".shstrtab"};
constexpr unsigned num_sections = sizeof section_names / sizeof section_names[0];

layout plan(const params &p) {
    layout l{};
    l.m = machines[static_cast<int>(p.machine)];
    const bool w = l.m.is64;
    l.addr = w ? 8 : 4;
    l.ehsize = w ? 64 : 52;
    l.phentsize = w ? 56 : 32;
    l.shentsize = w ? 64 : 40;
    l.symsize = w ? 24 : 16;
    l.dynsize = 2 * l.addr;
    l.relsize = (l.m.rela ? 3 : 2) * l.addr;
    l.entries = p.relative + p.symbolic;

    l.dynstr.push_back('\0');
    for (uint32_t i = 0; i < p.symbols; i++) {
        l.name_off.push_back(static_cast<uint32_t>(l.dynstr.size()));
        l.dynstr += symbol_name(i);
        l.dynstr.push_back('\0');
    }
    l.dynsym_off = align_up(l.ehsize + num_phdrs * l.phentsize, 8);
    l.dynstr_off = l.dynsym_off + (p.symbols + 1) * l.symsize;
    l.reldyn_off = align_up(l.dynstr_off + l.dynstr.size(), 8);
    l.relplt_off = l.reldyn_off + l.entries * l.relsize;
    l.ro_end = l.relplt_off + p.plt * l.relsize;
    l.text_off = align_up(l.ro_end, p.page);
    l.rw_off = align_up(l.text_off + p.text_size, p.page);
    l.dynamic_off = l.rw_off;
    l.got_off = align_up(l.dynamic_off + num_dyn * l.dynsize, 16);
    l.data_off = align_up(l.got_off + std::max<uint64_t>(p.plt, 1) * l.addr, p.page);
    l.data_size = std::max(p.data_size, l.entries * l.addr);
    l.stride = l.entries == 0 ? l.addr : std::max<uint64_t>(l.data_size / l.entries / l.addr * l.addr, l.addr);
    l.bss_off = l.data_off + l.data_size;
    l.bss_size = p.page;
    for (const char *name : section_names) {
        if (l.m.rela && std::strncmp(name, ".rel.", 5) == 0)
            l.shstrtab += ".rela";
        l.shstrtab += l.m.rela && std::strncmp(name, ".rel.", 5) == 0 ? name + 4 : name;
        l.shstrtab.push_back('\0');
    }
    l.shstrtab_off = l.bss_off;  // .bss takes no room in the file
    l.shdr_off = align_up(l.shstrtab_off + l.shstrtab.size(), 8);
    return l;
}

uint64_t relative_addend(const layout &l, const params &p, uint64_t i) {
    return p.text_size != 0 ? l.text_off + i * 64 % p.text_size : l.data_off;
}

uint32_t symbol_of(const params &p, uint64_t i) {
    return 1 + static_cast<uint32_t>(i % std::max<uint32_t>(p.symbols, 1));
}

// One relocation entry: r_offset, r_info, and r_addend for RELA.
void put_rel(const layout &l, record *r, uint64_t r_offset, uint64_t sym, uint32_t type, uint64_t addend) {
    r->put(r_offset, l.addr);
    r->put(l.m.is64 ? sym << 32 | type : sym << 8 | type, l.addr);
    if (l.m.rela)
        r->put(addend, l.addr);
}

record headers(const layout &l, const params &p) {
    const bool w = l.m.is64;
    const unsigned a = l.addr;
    record r{l.m.msb, {}};
    const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', static_cast<uint8_t>(w ? 2 : 1),
                               static_cast<uint8_t>(l.m.msb ? 2 : 1), 1};
    r.b.assign(ident, ident + 16);
    r.put(3, 2);  // ET_DYN
    r.put(l.m.e_machine, 2);
    r.put(1, 4);
    r.put(l.text_off, a);  // e_entry
    r.put(l.ehsize, a);    // e_phoff
    r.put(l.shdr_off, a);
    r.put(l.m.e_flags, 4);
    r.put(l.ehsize, 2);
    r.put(l.phentsize, 2);
    r.put(num_phdrs, 2);
    r.put(l.shentsize, 2);
    r.put(num_sections, 2);
    r.put(num_sections - 1, 2);

    struct phdr { uint32_t type, flags; uint64_t off, filesz, memsz; };
    const phdr phdrs[num_phdrs] = {
        {1, 4, 0, l.ro_end, l.ro_end},                                             // PT_LOAD R
        {1, 5, l.text_off, p.text_size, p.text_size},                             // PT_LOAD RX
        {1, 6, l.rw_off, l.bss_off - l.rw_off, l.bss_off + l.bss_size - l.rw_off},  // PT_LOAD RW
        {2, 6, l.dynamic_off, num_dyn * l.dynsize, num_dyn * l.dynsize},          // PT_DYNAMIC
    };
    for (const phdr &ph : phdrs) {
        const uint64_t align = ph.type == 1 ? p.page : a;
        r.put(ph.type, 4);
        if (w)
            r.put(ph.flags, 4);
        for (uint64_t v : {ph.off, ph.off, ph.off, ph.filesz, ph.memsz})  // p_offset, p_vaddr, p_paddr, ...
            r.put(v, a);
        if (!w)
            r.put(ph.flags, 4);
        r.put(align, a);
    }

    r.b.resize(l.dynsym_off);
    r.b.resize(l.dynsym_off + l.symsize);  // symbol 0
    for (uint32_t i = 0; i < p.symbols; i++) {
        r.put(l.name_off[i], 4);
        if (!w)
            r.put(0, 8);   // st_value, st_size
        r.put(0x11, 1);    // STB_GLOBAL, STT_OBJECT
        r.put(0, 1);
        r.put(0, 2);       // SHN_UNDEF
        if (w)
            r.put(0, 16);  // st_value, st_size
    }
    r.b.insert(r.b.end(), l.dynstr.begin(), l.dynstr.end());
    r.b.resize(l.reldyn_off);
    return r;
}

// The PLT table, the padding up to .text, and nothing else: the main table is streamed before it.
record plt_table(const layout &l, const params &p) {
    record r{l.m.msb, {}};
    for (uint64_t j = 0; j < p.plt; j++)
        put_rel(l, &r, l.got_off + j * l.addr, symbol_of(p, j), l.m.plt, 0);
    return r;
}

record writable_head(const layout &l, const params &p) {
    record r{l.m.msb, {}};
    const unsigned a = l.addr;
    const uint64_t rel_tag = l.m.rela ? 7 : 17;  // DT_RELA or DT_REL
    const uint64_t dyn[num_dyn][2] = {
        {6, l.dynsym_off},                      // DT_SYMTAB
        {5, l.dynstr_off},                      // DT_STRTAB
        {10, l.dynstr.size()},                  // DT_STRSZ
        {11, l.symsize},                        // DT_SYMENT
        {rel_tag, l.reldyn_off},
        {rel_tag + 1, l.entries * l.relsize},   // DT_RELASZ or DT_RELSZ
        {rel_tag + 2, l.relsize},               // DT_RELAENT or DT_RELENT
        {23, l.relplt_off},                     // DT_JMPREL
        {2, p.plt * l.relsize},                 // DT_PLTRELSZ
        {20, rel_tag},                          // DT_PLTREL
        {0x6ffffffb, 0x08000000},               // DT_FLAGS_1: DF_1_PIE
        {0, 0},                                 // DT_NULL
    };
    for (const auto &d : dyn) {
        r.put(d[0], a);
        r.put(d[1], a);
    }
    r.b.resize(l.got_off - l.rw_off);
    return r;
}

record trailer(const layout &l, const params &p) {
    record r{l.m.msb, {}};
    r.b.assign(l.shstrtab.begin(), l.shstrtab.end());
    r.b.resize(l.shdr_off - l.shstrtab_off);
    struct shdr { uint32_t type; uint64_t flags, addr, size; uint32_t link, info; uint64_t align, entsize; };
    const uint32_t rel_type = l.m.rela ? 4 : 9;  // SHT_RELA or SHT_REL
    const shdr shdrs[num_sections] = {
        {0, 0, 0, 0, 0, 0, 0, 0},
        {11, 2, l.dynsym_off, (p.symbols + 1) * l.symsize, 2, 1, 8, l.symsize},  // SHT_DYNSYM, A
        {3, 2, l.dynstr_off, l.dynstr.size(), 0, 0, 1, 0},
        {rel_type, 2, l.reldyn_off, l.entries * l.relsize, 1, 0, 8, l.relsize},
        {rel_type, 0x42, l.relplt_off, p.plt * l.relsize, 1, 7, 8, l.relsize},  // A, INFO_LINK to .got
        {1, 6, l.text_off, p.text_size, 0, 0, 16, 0},                            // AX
        {6, 3, l.dynamic_off, num_dyn * l.dynsize, 2, 0, 8, l.dynsize},          // WA
        {1, 3, l.got_off, std::max<uint64_t>(p.plt, 1) * l.addr, 0, 0, 8, l.addr},
        {1, 3, l.data_off, l.data_size, 0, 0, 16, 0},
        {8, 3, l.bss_off, l.bss_size, 0, 0, 16, 0},                               // SHT_NOBITS
        {3, 0, 0, l.shstrtab.size(), 0, 0, 1, 0},
    };
    size_t name = 0;
    for (unsigned i = 0; i < num_sections; i++) {
        const shdr &s = shdrs[i];
        const uint64_t offset = i == num_sections - 1 ? l.shstrtab_off : s.addr;
        const unsigned a = l.addr;
        r.put(i == 0 ? 0 : name, 4);
        r.put(s.type, 4);
        for (uint64_t v : {s.flags, s.addr, offset, s.size})
            r.put(v, a);
        r.put(s.link, 4);
        r.put(s.info, 4);
        r.put(s.align, a);
        r.put(s.entsize, a);
        name += std::strlen(&l.shstrtab[name]) + 1;
    }
    return r;
}

void put_record(sink *out, const record &r) {
    out->put(r.b.data(), r.b.size());
}

void stream_main_table(const layout &l, const params &p, sink *out) {
    record r{l.m.msb, {}};
    for (uint64_t i = 0; i < l.entries && out->ok; i++) {
        const uint64_t r_offset = l.data_off + i * l.stride;
        if (i < p.relative)
            put_rel(l, &r, r_offset, 0, l.m.relative, relative_addend(l, p, i));
        else
            put_rel(l, &r, r_offset, symbol_of(p, i), l.m.symbolic, 0);
        if (r.b.size() >= chunk_size) {
            put_record(out, r);
            r.b.clear();
        }
    }
    put_record(out, r);
}

void stream_text(const params &p, sink *out) {
    std::vector<uint8_t> chunk(chunk_size);
    for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = static_cast<uint8_t>(0x90 ^ (i * 37 >> 3));  // not all one byte, not all zero
    for (uint64_t done = 0; done < p.text_size && out->ok; done += chunk.size())
        out->put(chunk.data(), static_cast<size_t>(std::min<uint64_t>(chunk.size(), p.text_size - done)));
}

// .data is zero but for the relocated words of a REL table, which hold their addends.
void stream_data(const layout &l, const params &p, sink *out) {
    record r{l.m.msb, std::vector<uint8_t>(chunk_size)};
    uint64_t i = 0;
    for (uint64_t base = 0; base < l.data_size && out->ok; base += chunk_size) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_size, l.data_size - base));
        std::fill(r.b.begin(), r.b.end(), 0);
        for (; !l.m.rela && i < p.relative && i * l.stride + l.addr <= base + n; i++) {
            record word{l.m.msb, {}};
            word.put(relative_addend(l, p, i), l.addr);
            std::memcpy(&r.b[i * l.stride - base], word.b.data(), l.addr);
        }
        out->put(r.b.data(), n);
    }
}

}  // namespace

void sink::put(const uint8_t *p, size_t n) {
    if (!ok || n == 0)
        return;
    if (bytes != nullptr)
        bytes->insert(bytes->end(), p, p + n);
    else
        ok = std::fwrite(p, n, 1, file) == 1;
}

bool parse_kind(const std::string &name, kind *k) {
    const char *names[] = {"x86_64", "s390x", "i386", "arm-be"};
    for (int i = 0; i < 4; i++)
        if (name == names[i]) {
            *k = static_cast<kind>(i);
            return true;
        }
    return false;
}

std::string symbol_name(uint32_t index) {
    return "ext" + std::to_string(index);
}

bool generate(const params &p, sink *out) {
    const layout l = plan(p);
    if ((p.symbolic != 0 || p.plt != 0) && p.symbols == 0)
        return false;
    if (p.page < 16 || (p.page & (p.page - 1)) != 0)
        return false;
    if (!l.m.is64 && l.shdr_off + num_sections * l.shentsize > UINT32_MAX)
        return false;
    put_record(out, headers(l, p));
    stream_main_table(l, p, out);
    record tail = plt_table(l, p);
    tail.b.resize(l.text_off - l.relplt_off);
    put_record(out, tail);
    stream_text(p, out);
    record pad{l.m.msb, std::vector<uint8_t>(l.rw_off - l.text_off - p.text_size)};
    put_record(out, pad);
    record head = writable_head(l, p);
    head.b.resize(l.data_off - l.rw_off);
    put_record(out, head);
    stream_data(l, p, out);
    put_record(out, trailer(l, p));
    return out->ok;
}

std::vector<uint8_t> generate(const params &p) {
    std::vector<uint8_t> bytes;
    sink out;
    out.bytes = &bytes;
    if (!generate(p, &out))
        bytes.clear();
    return bytes;
}

}  // namespace bigpie
