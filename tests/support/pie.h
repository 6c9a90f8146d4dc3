// Builds small static PIEs of either class and byte order, with its own writer (no code shared with
// the tool's ELF layer). Every address equals its file offset. Memory: .text (16 bytes) at 0x200,
// .data (0x40 bytes) at 0x300, .bss (0x20 bytes) at 0x340, all in one PT_LOAD aligned to 0x100, so
// the image spans 0x200..0x400. From 0x400, in a second PT_LOAD: .dynsym, .dynstr, the main and the
// PLT relocation table, .dynamic (PT_DYNAMIC), then .shstrtab and the section headers.
// Section indices: 1 .text, 2 .data, 3 .bss, 4 .dynsym, 5 .dynstr, 6 main table, 7 PLT table,
// 8 .dynamic, 9 .shstrtab.
#pragma once

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
    uint32_t relative, sym_a, sym_b;  // the types the tool applies
};
// The four kinds the synthetic cases run in.
inline const Kind L32{"L32", 4, false, 3, 0, 8, 1, 6}, L64{"L64", 8, false, 62, 0, 8, 6, 7},
    B32{"B32", 4, true, 20, 0, 22, 1, 21}, B64{"B64", 8, true, 22, 0, 12, 10, 11};

enum : uint32_t { RR = 0x10000, RA, RB };  // the kind's relative and symbol types; smaller numbers are raw
struct Rel { uint64_t off, sym; uint32_t type; uint64_t addend = 0; };
struct Sym { std::string name; uint8_t info = 0x12; uint16_t shndx = 1; uint64_t value = 0x204; };  // global func
struct Pie {
    std::vector<Rel> rels = {}, plt = {};
    bool rela = true, plt_rela = true;  // REL tables carry their addends in .data
    std::vector<Sym> syms = {};
    bool needed = false;                // a DT_NEEDED entry
};

struct Built {
    Kind k;
    std::string bytes;
    std::map<std::string, uint64_t> at;  // file offsets: "ph", "sh", "sym", "dyn", "rel", "plt"

    void put(uint64_t off, unsigned width, uint64_t v) {
        if (bytes.size() < off + width) bytes.resize(off + width);
        for (unsigned i = 0; i < width; ++i) bytes[off + (k.msb ? width - 1 - i : i)] = static_cast<char>(v >> (8 * i));
    }
    uint64_t dyn(uint64_t tag) const {  // file offset of the dynamic entry with tag
        uint64_t off = at.at("dyn");
        while (get(off, k.w) != tag) off += 2 * k.w;
        return off;
    }
    uint64_t get(uint64_t off, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v |= uint64_t{static_cast<uint8_t>(bytes.at(off + (k.msb ? width - 1 - i : i)))} << (8 * i);
        return v;
    }
    uint64_t sh(unsigned index, unsigned field) const { return at.at("sh") + index * (k.w == 8 ? 64 : 40) + field; }
};
inline uint32_t type_of(const Kind &k, uint32_t t) { return t == RR ? k.relative : t == RA ? k.sym_a : t == RB ? k.sym_b : t; }
inline unsigned entsize(const Kind &k, bool rela) { return (rela ? 3 : 2) * k.w; }

// .data: REL addends in place, and a pattern in its upper half that copying must keep.
inline std::string data_of(const Kind &k, const Pie &p) {
    Built d{k, std::string(0x20, '\0') + " !\"#$%&'()*+,-./0123456789:;<=>?", {}};
    for (const auto *table : {&p.rels, &p.plt})
        for (const Rel &r : *table)
            if (!(table == &p.rels ? p.rela : p.plt_rela) && r.off >= 0x300 && r.off + k.w <= 0x340) d.put(r.off - 0x300, k.w, r.addend);
    return d.bytes;
}
inline const std::string text = "\xa0\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf";

inline Built build(const Kind &k, const Pie &p) {
    const unsigned w = k.w, symsz = w == 8 ? 24 : 16;
    Built b{k, std::string(0x200, '\0') + text, {}};
    auto align = [&] { b.bytes.resize((b.bytes.size() + 7) & ~size_t{7}); return b.bytes.size(); };
    b.bytes.resize(0x300);
    b.bytes += data_of(k, p);
    b.bytes.resize(0x400 + symsz);  // symbol 0
    b.at["sym"] = 0x400;
    std::string dynstr(1, '\0');
    auto str = [&](const std::string &s) { dynstr += s + '\0'; return dynstr.size() - s.size() - 1; };
    for (const Sym &s : p.syms) {
        const uint64_t o = b.bytes.size();
        b.put(o, 4, str(s.name));
        w == 8 ? (b.put(o + 4, 1, s.info), b.put(o + 6, 2, s.shndx), b.put(o + 8, 8, s.value), b.put(o + 16, 8, 0))
               : (b.put(o + 4, 4, s.value), b.put(o + 8, 4, 0), b.put(o + 12, 1, s.info), b.put(o + 14, 2, s.shndx));
    }
    const uint64_t needed = p.needed ? str("libc.so.6") : 0, strtab = b.bytes.size();
    b.bytes += dynstr;
    for (const char *name : {"rel", "plt"}) {
        b.at[name] = align();
        for (const Rel &r : name[0] == 'r' ? p.rels : p.plt) {
            const uint64_t o = b.bytes.size(), t = type_of(k, r.type);
            b.put(o, w, r.off), b.put(o + w, w, w == 8 ? r.sym << 32 | t : r.sym << 8 | (t & 0xff));
            if (name[0] == 'r' ? p.rela : p.plt_rela) b.put(o + 2 * w, w, r.addend);
        }
    }
    const uint64_t relsz = p.rels.size() * entsize(k, p.rela), pltsz = p.plt.size() * entsize(k, p.plt_rela);
    b.at["dyn"] = align();
    auto entry = [&](uint64_t tag, uint64_t val) { b.put(b.bytes.size(), w, tag), b.put(b.bytes.size(), w, val); };
    if (p.needed) entry(1, needed);
    entry(6, 0x400), entry(5, strtab), entry(10, dynstr.size()), entry(11, symsz);
    if (!p.rels.empty()) entry(p.rela ? 7 : 17, b.at["rel"]), entry(p.rela ? 8 : 18, relsz), entry(p.rela ? 9 : 19, entsize(k, p.rela));
    if (!p.plt.empty()) entry(20, p.plt_rela ? 7 : 17), entry(23, b.at["plt"]), entry(2, pltsz);
    if (!p.plt.empty() && (p.rels.empty() || p.rela != p.plt_rela)) entry(p.plt_rela ? 9 : 19, entsize(k, p.plt_rela));
    entry(0, 0);
    const uint64_t end = b.bytes.size(), dynsz = end - b.at["dyn"];
    // Sections: name, type, flags, addr (also the offset), size, link, entsize.
    struct S { std::string name; uint64_t type, flags, addr, size, link, entsize; };
    const S secs[] = {{"", 0, 0, 0, 0, 0, 0}, {".text", 1, 6, 0x200, 0x10, 0, 0}, {".data", 1, 3, 0x300, 0x40, 0, 0},
        {".bss", 8, 3, 0x340, 0x20, 0, 0}, {".dynsym", 11, 2, 0x400, strtab - 0x400, 5, symsz}, {".dynstr", 3, 2, strtab, dynstr.size(), 0, 0},
        {p.rela ? ".rela.dyn" : ".rel.dyn", p.rela ? 4u : 9u, 2, b.at["rel"], relsz, 4, entsize(k, p.rela)},
        {p.plt_rela ? ".rela.plt" : ".rel.plt", p.plt_rela ? 4u : 9u, 2, b.at["plt"], pltsz, 4, entsize(k, p.plt_rela)},
        {".dynamic", 6, 3, b.at["dyn"], dynsz, 5, 2 * w}, {".shstrtab", 3, 0, end, 0, 0, 0}};
    for (const S &s : secs) b.bytes += s.name + '\0';
    b.at["sh"] = align();
    for (uint64_t name = 0; const S &s : secs) {
        const uint64_t o = b.bytes.size();
        b.put(o, 4, name), b.put(o + 4, 4, s.type), b.put(o + 8, w, s.flags), b.put(o + 8 + w, w, s.addr), b.put(o + 8 + 2 * w, w, s.addr);
        b.put(o + 8 + 3 * w, w, s.type == 3 && !s.flags ? b.at["sh"] - end : s.size), b.put(o + 8 + 4 * w, 4, s.link);
        b.put(o + 16 + 4 * w, w, 8), b.put(o + 16 + 5 * w, w, s.entsize);
        name += s.name.size() + 1;
    }
    // The ELF header, then PT_LOAD over the image, PT_LOAD over the tables, PT_DYNAMIC.
    const unsigned eh = w == 8 ? 64 : 52, f = w == 8 ? 8 : 4;
    b.at["ph"] = eh;
    b.bytes.replace(0, 8, std::string("\x7f" "ELF") + char(w / 4) + char(k.msb ? 2 : 1) + '\x01' + '\0');
    b.put(16, 2, 3), b.put(18, 2, k.machine), b.put(20, 4, 1), b.put(24, w, 0x204), b.put(24 + w, w, eh), b.put(24 + 2 * w, w, b.at["sh"]);
    b.put(24 + 3 * w, 4, k.flags), b.put(28 + 3 * w, 2, eh), b.put(30 + 3 * w, 2, w == 8 ? 56 : 32), b.put(32 + 3 * w, 2, 3);
    b.put(34 + 3 * w, 2, w == 8 ? 64 : 40), b.put(36 + 3 * w, 2, 10), b.put(38 + 3 * w, 2, 9);
    const uint64_t segs[3][5] = {{1, 0x200, 0x140, 0x160, 7}, {1, 0x400, end - 0x400, end - 0x400, 6},
                                 {2, b.at["dyn"], end - b.at["dyn"], end - b.at["dyn"], 6}};
    for (unsigned i = 0; i < 3; ++i) {  // type, then p_offset, vaddr, paddr, filesz, memsz, flags, align
        const uint64_t o = eh + i * (w == 8 ? 56 : 32), *s = segs[i];
        b.put(o, 4, s[0]), b.put(o + f, w, s[1]), b.put(o + f + w, w, s[1]), b.put(o + f + 2 * w, w, s[1]), b.put(o + f + 3 * w, w, s[2]);
        b.put(o + f + 4 * w, w, s[3]), b.put(o + (w == 8 ? 4 : 24), 4, s[4]), b.put(o + f + 5 * w + (w == 8 ? 0 : 4), w, 0x100);
    }
    return b;
}

// The image a correct run writes before relocation: zeros with .text and .data in place.
inline std::string image_of(const Kind &k, const Pie &p) { return (text + std::string(0xf0, '\0') + data_of(k, p)).append(0xc0, '\0'); }

}  // namespace pie
