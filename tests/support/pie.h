// Builds small static PIEs of either class and byte order, with its own writer (no code shared with
// the tool's ELF layer). Every address equals its file offset. Memory: .text (16 bytes) at 0x200,
// .data (0x40 bytes) at 0x300, .bss (0x20 bytes) at 0x340, all in one PT_LOAD aligned to 0x100, so
// the image spans 0x200..0x400. From 0x400, in a second PT_LOAD: .dynsym, .dynstr, the main and the
// PLT relocation table, .dynamic (PT_DYNAMIC), then .shstrtab and the section headers.
// Section indices: 1 .text, 2 .data, 3 .bss, 4 .dynsym, 5 .dynstr, 6 main table, 7 PLT table,
// 8 .dynamic, 9 .shstrtab.
#pragma once

#include <elf.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pie {

struct Kind {
    const char *name;
    unsigned w;  // address size: 4 or 8
    bool msb;
    uint16_t machine;
    uint32_t flags;
    uint32_t relative, symbolic, got, plt;  // the types the tool applies
};
// The four kinds the synthetic cases run in.
inline const Kind L32{"L32", 4, false, EM_386, 0, 8, 1, 6, 7},
    L64{"L64", 8, false, EM_X86_64, 0, 8, 1, 6, 7}, B32{"B32", 4, true, EM_PPC, 0, 22, 1, 20, 21},
    B64{"B64", 8, true, EM_S390, 0, 12, 22, 10, 11};

enum : uint32_t { RR = 0x10000, RS, RG, RP };  // the kind's types as above; smaller numbers are raw
struct Rel {
    uint64_t off, sym;
    uint32_t type;
    uint64_t addend = 0;
};
struct Sym {
    std::string name;
    uint8_t info = 0x12;
    uint16_t shndx = 1;
    uint64_t value = 0x204;
};  // global func
struct Pie {
    std::vector<Rel> rels = {}, plt = {};
    bool rela = true, plt_rela = true;  // REL tables carry their addends in .data
    std::vector<Sym> syms = {};
    bool needed = false, needed_after_null = false;  // a DT_NEEDED entry, or one after DT_NULL
};

// Record fields by name: offset in ELF64, in ELF32, width (0: a word of the class).
struct Field {
    unsigned off64, off32, width;
};
inline const std::map<std::string, Field> fields = {
    {"EI_VERSION", {6, 6, 1}},    {"e_type", {16, 16, 2}},     {"e_machine", {18, 18, 2}},
    {"e_version", {20, 20, 4}},   {"e_entry", {24, 24, 0}},    {"e_phoff", {32, 28, 0}},
    {"e_shoff", {40, 32, 0}},     {"e_flags", {48, 36, 4}},    {"e_ehsize", {52, 40, 2}},
    {"e_phentsize", {54, 42, 2}}, {"e_phnum", {56, 44, 2}},    {"e_shentsize", {58, 46, 2}},
    {"e_shnum", {60, 48, 2}},     {"e_shstrndx", {62, 50, 2}}, {"p_type", {0, 0, 4}},
    {"p_flags", {4, 24, 4}},      {"p_offset", {8, 4, 0}},     {"p_vaddr", {16, 8, 0}},
    {"p_filesz", {32, 16, 0}},    {"p_memsz", {40, 20, 0}},    {"p_align", {48, 28, 0}},
    {"sh_name", {0, 0, 4}},       {"sh_type", {4, 4, 4}},      {"sh_flags", {8, 8, 0}},
    {"sh_addr", {16, 12, 0}},     {"sh_offset", {24, 16, 0}},  {"sh_size", {32, 20, 0}},
    {"sh_link", {40, 24, 4}},     {"sh_info", {44, 28, 4}},    {"sh_entsize", {56, 36, 0}},
    {"st_name", {0, 0, 4}},       {"st_info", {4, 12, 1}},     {"st_shndx", {6, 14, 2}},
    {"st_value", {8, 4, 0}}};

struct Built {
    Kind k;
    std::string bytes;
    std::map<std::string, uint64_t> at;  // file offsets: "ph", "sh", "sym", "dyn", "rel", "plt"

    void put(uint64_t off, unsigned width, uint64_t v) {
        if (bytes.size() < off + width) bytes.resize(off + width);
        for (unsigned i = 0; i < width; ++i)
            bytes[off + (k.msb ? width - 1 - i : i)] = char(v >> (8 * i));
    }
    uint64_t get(uint64_t off, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i)
            v |= uint64_t(uint8_t(bytes.at(off + (k.msb ? width - 1 - i : i)))) << (8 * i);
        return v;
    }
    // A field of record `index` of its table: the ELF header, program or section headers, symbols.
    void set(const std::string &name, uint64_t v, unsigned index = 0) {
        const Field f = fields.at(name);
        const bool e64 = k.w == 8;
        const uint64_t base = name[0] == 'e' || name[0] == 'E' ? 0
                              : name[0] == 'p' ? at.at("ph") + index * (e64 ? 56 : 32)
                              : name[1] == 'h' ? at.at("sh") + index * (e64 ? 64 : 40)
                                               : at.at("sym") + index * (e64 ? 24 : 16);
        put(base + (e64 ? f.off64 : f.off32), f.width ? f.width : k.w, v);
    }
    uint64_t dyn(uint64_t tag) const {  // file offset of the dynamic entry with tag
        uint64_t off = at.at("dyn");
        while (get(off, k.w) != tag) off += 2 * k.w;
        return off;
    }
};
inline uint32_t type_of(const Kind &k, uint32_t t) {
    return t == RR ? k.relative : t == RS ? k.symbolic : t == RG ? k.got : t == RP ? k.plt : t;
}
inline unsigned entsize(const Kind &k, bool rela) { return (rela ? 3 : 2) * k.w; }

// .data: REL addends in place, and a pattern in its upper half that copying must keep.
inline std::string data_of(const Kind &k, const Pie &p) {
    Built d{k, std::string(0x20, '\0') + " !\"#$%&'()*+,-./0123456789:;<=>?", {}};
    for (const auto *table : {&p.rels, &p.plt})
        for (const Rel &r : *table)
            if (!(table == &p.rels ? p.rela : p.plt_rela) && r.off >= 0x300 && r.off + k.w <= 0x340)
                d.put(r.off - 0x300, k.w, r.addend);
    return d.bytes;
}
inline const std::string text = "\xa0\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf";

inline Built build(const Kind &k, const Pie &p) {
    const unsigned w = k.w;
    Built b{k, std::string(0x200, '\0') + text, {{"ph", w == 8 ? 64 : 52}, {"sym", 0x400}}};
    auto align = [&] {
        b.bytes.resize((b.bytes.size() + 7) & ~size_t{7});
        return b.bytes.size();
    };
    b.bytes.resize(0x300);
    b.bytes += data_of(k, p);
    const unsigned symsz = w == 8 ? 24 : 16;
    b.bytes.resize(0x400 + symsz * (p.syms.size() + 1));
    std::string dynstr(1, '\0');
    auto str = [&](const std::string &s) {
        dynstr += s + '\0';
        return dynstr.size() - s.size() - 1;
    };
    for (unsigned i = 1; const Sym &s : p.syms) {
        b.set("st_name", str(s.name), i), b.set("st_info", s.info, i),
            b.set("st_shndx", s.shndx, i);
        b.set("st_value", s.value, i++);
    }
    const uint64_t needed = p.needed || p.needed_after_null ? str("libc.so.6") : 0,
                   strtab = b.bytes.size();
    b.bytes += dynstr;
    for (const char *name : {"rel", "plt"}) {
        b.at[name] = align();
        for (const Rel &r : name[0] == 'r' ? p.rels : p.plt) {
            const uint64_t o = b.bytes.size(), t = type_of(k, r.type);
            b.put(o, w, r.off), b.put(o + w, w, w == 8 ? r.sym << 32 | t : r.sym << 8 | (t & 0xff));
            if (name[0] == 'r' ? p.rela : p.plt_rela) b.put(o + 2 * w, w, r.addend);
        }
    }
    const uint64_t relsz = p.rels.size() * entsize(k, p.rela),
                   pltsz = p.plt.size() * entsize(k, p.plt_rela);
    b.at["dyn"] = align();
    auto entry = [&](uint64_t tag, uint64_t val) {
        b.put(b.bytes.size(), w, tag), b.put(b.bytes.size(), w, val);
    };
    if (p.needed) entry(DT_NEEDED, needed);
    entry(DT_SYMTAB, 0x400), entry(DT_STRTAB, strtab), entry(DT_STRSZ, dynstr.size()),
        entry(DT_SYMENT, symsz);
    if (!p.rels.empty())
        entry(p.rela ? DT_RELA : DT_REL, b.at["rel"]), entry(p.rela ? DT_RELASZ : DT_RELSZ, relsz),
            entry(p.rela ? DT_RELAENT : DT_RELENT, entsize(k, p.rela));
    if (!p.plt.empty())
        entry(DT_PLTREL, p.plt_rela ? DT_RELA : DT_REL), entry(DT_JMPREL, b.at["plt"]),
            entry(DT_PLTRELSZ, pltsz);
    if (!p.plt.empty() && (p.rels.empty() || p.rela != p.plt_rela))
        entry(p.plt_rela ? DT_RELAENT : DT_RELENT, entsize(k, p.plt_rela));
    entry(DT_NULL, 0);
    if (p.needed_after_null) entry(DT_NEEDED, needed);
    const uint64_t end = b.bytes.size(), dynsz = end - b.at["dyn"];
    const unsigned rel = p.rela ? SHT_RELA : SHT_REL, plt = p.plt_rela ? SHT_RELA : SHT_REL;
    struct S {
        std::string name;
        uint64_t type, flags, addr, size, link, entsize;
    };
    const S secs[] = {
        {},
        {".text", SHT_PROGBITS, 6, 0x200, 0x10, 0, 0},
        {".data", SHT_PROGBITS, 3, 0x300, 0x40, 0, 0},
        {".bss", SHT_NOBITS, 3, 0x340, 0x20, 0, 0},
        {".dynsym", SHT_DYNSYM, 2, 0x400, strtab - 0x400, 5, symsz},
        {".dynstr", SHT_STRTAB, 2, strtab, dynstr.size(), 0, 0},
        {p.rela ? ".rela.dyn" : ".rel.dyn", rel, 2, b.at["rel"], relsz, 4, entsize(k, p.rela)},
        {p.plt_rela ? ".rela.plt" : ".rel.plt", plt, 2, b.at["plt"], pltsz, 4,
         entsize(k, p.plt_rela)},
        {".dynamic", SHT_DYNAMIC, 3, b.at["dyn"], dynsz, 5, 2 * w},
        {".shstrtab", SHT_STRTAB, 0, end, 0, 0, 0}};
    for (const S &s : secs) b.bytes += s.name + '\0';
    b.at["sh"] = align();
    b.bytes.resize(b.at["sh"] + 10 * (w == 8 ? 64 : 40));
    for (unsigned i = 0, name = 0; const S &s : secs) {
        b.set("sh_name", name, i), b.set("sh_type", s.type, i), b.set("sh_flags", s.flags, i);
        b.set("sh_addr", s.addr, i), b.set("sh_offset", s.addr, i), b.set("sh_link", s.link, i);
        b.set("sh_size", s.name == ".shstrtab" ? b.at["sh"] - end : s.size, i);
        b.set("sh_entsize", s.entsize, i++);
        name += unsigned(s.name.size()) + 1;
    }
    b.bytes.replace(0, 7, "\x7f" "ELF" + std::string{char(w / 4), char(k.msb ? 2 : 1), 1});
    const std::pair<const char *, uint64_t> ehdr[] = {
        {"e_type", ET_DYN},   {"e_machine", k.machine},          {"e_version", 1},
        {"e_entry", 0x204},   {"e_phoff", b.at["ph"]},           {"e_shoff", b.at["sh"]},
        {"e_flags", k.flags}, {"e_ehsize", b.at["ph"]},          {"e_phentsize", w == 8 ? 56 : 32},
        {"e_phnum", 3},       {"e_shentsize", w == 8 ? 64 : 40}, {"e_shnum", 10},
        {"e_shstrndx", 9}};
    for (const auto &[field, v] : ehdr) b.set(field, v);
    // PT_LOAD over the image, PT_LOAD over the tables, PT_DYNAMIC.
    struct P {
        uint64_t type, vaddr, filesz, memsz, flags;
    };
    const P phdrs[] = {{PT_LOAD, 0x200, 0x140, 0x160, 7},
                       {PT_LOAD, 0x400, end - 0x400, end - 0x400, 6},
                       {PT_DYNAMIC, b.at["dyn"], dynsz, dynsz, 6}};
    for (unsigned i = 0; const P &s : phdrs) {
        b.set("p_type", s.type, i), b.set("p_offset", s.vaddr, i), b.set("p_vaddr", s.vaddr, i);
        b.set("p_filesz", s.filesz, i), b.set("p_memsz", s.memsz, i);
        b.set("p_flags", s.flags, i), b.set("p_align", 0x100, i++);
    }
    return b;
}

// The image a correct run writes before relocation: zeros with .text and .data in place.
inline std::string image_of(const Kind &k, const Pie &p) {
    return (text + std::string(0xf0, '\0') + data_of(k, p)).append(0xc0, '\0');
}

}  // namespace pie
