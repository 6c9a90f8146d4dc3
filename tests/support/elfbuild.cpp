// elfbuild: the test-side ELF writer. Every multi-byte field goes through put(), which encodes in the
// file's byte order from shifts, so the host's order never leaks into a test input.
#include "support/elfbuild.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace elfbuild {
namespace {

// Data is placed at an explicit sh_offset only below this, so a test can give a wild offset without
// making the builder allocate it.
constexpr uint64_t placement_cap = uint64_t{256} << 20;

bool is64(Format f) { return f.elfclass == 64; }

uint64_t align_up(uint64_t v, uint64_t a) { return a <= 1 ? v : (v + a - 1) / a * a; }

// Writes consecutive fields of one record, each with its width in the file's class.
struct Rec {
    Bytes &b;
    size_t at;
    Format f;
    Rec &field(unsigned w, uint64_t v) {
        put(b, at, w, v, f.msb);
        at += w;
        return *this;
    }
    Rec &addr(uint64_t v) { return field(word_size(f), v); }
    Rec &u32(uint64_t v) { return field(4, v); }
    Rec &u16(uint64_t v) { return field(2, v); }
    Rec &u8(uint64_t v) { return field(1, v); }
};

// Appends s and its NUL, returns its offset; "" gives 0.
uint32_t add(Bytes &strtab, const std::string &s) {
    if (s.empty()) return 0;
    const auto off = static_cast<uint32_t>(strtab.size());
    strtab.insert(strtab.end(), s.begin(), s.end());
    strtab.push_back(0);
    return off;
}

Bytes relocs(Format f, const std::vector<Reloc> &r, unsigned stride, bool with_addend) {
    stride = std::max(stride, with_addend ? rela_size(f) : rel_size(f));
    Bytes b(r.size() * stride, 0);
    for (size_t i = 0; i < r.size(); ++i) {
        const Reloc &x = r[i];
        Rec rec{b, i * stride, f};
        rec.addr(x.offset).addr(x.info ? *x.info : is64(f) ? x.sym << 32 | x.type : x.sym << 8 | (x.type & 0xff));
        if (with_addend) rec.addr(x.addend);
    }
    return b;
}

}  // namespace

std::string format_name(Format f) {
    return (f.elfclass == 32 ? "ELF32" : "ELF64") + std::string(f.msb ? "MSB" : "LSB");
}

void put(Bytes &b, size_t at, unsigned width, uint64_t v, bool msb) {
    if (b.size() < at + width) b.resize(at + width);
    for (unsigned i = 0; i < width; ++i) {
        const unsigned shift = 8 * (msb ? width - 1 - i : i);
        b[at + i] = static_cast<uint8_t>(shift < 64 ? v >> shift : 0);
    }
}

uint64_t get(const Bytes &b, size_t at, unsigned width, bool msb) {
    if (width > 8 || at > b.size() || width > b.size() - at) throw std::out_of_range("elfbuild::get past the end");
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= uint64_t{b[at + i]} << (8 * (msb ? width - 1 - i : i));
    return v;
}

Bytes word(Format f, uint64_t v) {
    Bytes b;
    Rec{b, 0, f}.addr(v);
    return b;
}

Bytes dyn(Format f, const std::vector<std::pair<uint64_t, uint64_t>> &entries) {
    Bytes b;
    for (const auto &[tag, val] : entries) Rec{b, b.size(), f}.addr(tag).addr(val);
    return b;
}

Bytes rel(Format f, const std::vector<Reloc> &r, unsigned stride) { return relocs(f, r, stride, false); }
Bytes rela(Format f, const std::vector<Reloc> &r, unsigned stride) { return relocs(f, r, stride, true); }

Bytes sym(Format f, const std::vector<Sym> &s, unsigned stride) {
    stride = std::max(stride, sym_size(f));
    Bytes b(s.size() * stride, 0);
    for (size_t i = 0; i < s.size(); ++i) {
        const Sym &x = s[i];
        Rec rec{b, i * stride, f};
        rec.u32(x.name);
        if (is64(f))
            rec.u8(x.info).u8(x.other).u16(x.shndx).addr(x.value).addr(x.size);
        else
            rec.addr(x.value).addr(x.size).u8(x.info).u8(x.other).u16(x.shndx);
    }
    return b;
}

Section &section(Elf &e, const std::string &name) {
    for (Section &s : e.sections)
        if (s.name == name) return s;
    throw std::out_of_range("elfbuild: no section " + name);
}

Bytes build(const Elf &e, Layout *layout) {
    const Format f = e.fmt;
    const unsigned ph_stride = std::max<unsigned>(phdr_size(f), e.phentsize.value_or(0));
    const unsigned sh_stride = std::max<unsigned>(shdr_size(f), e.shentsize.value_or(0));

    std::vector<Section> secs = e.sections;
    std::vector<uint32_t> names;
    Bytes shstr{0};
    for (const Section &s : secs) names.push_back(s.name_off ? *s.name_off : e.shstrtab ? add(shstr, s.name) : 0);
    if (e.shstrtab) {
        names.push_back(add(shstr, ".shstrtab"));
        secs.push_back({.name = ".shstrtab", .type = SHT_STRTAB, .data = shstr});
    }
    const bool has_shdrs = !secs.empty() || e.extended_numbering;

    Bytes out(ehdr_size(f), 0);
    const uint64_t phoff = e.segments.empty() ? 0 : out.size();
    out.resize(out.size() + e.segments.size() * ph_stride);

    // Section contents, in index order.
    std::vector<uint64_t> sh_offset(secs.size() + 1, 0);
    uint64_t cur = out.size();
    for (size_t i = 0; i < secs.size(); ++i) {
        const Section &s = secs[i];
        const uint64_t off = s.offset ? *s.offset : align_up(cur, s.addralign);
        sh_offset[i + 1] = off;
        if (off > placement_cap || s.data.size() > placement_cap - off) continue;
        if (!s.data.empty()) {
            out.resize(std::max(out.size(), static_cast<size_t>(off + s.data.size())));
            std::copy(s.data.begin(), s.data.end(), out.begin() + static_cast<std::ptrdiff_t>(off));
        }
        cur = std::max<uint64_t>(cur, off + s.data.size());
    }

    const uint64_t shoff = has_shdrs ? align_up(cur, word_size(f)) : 0;
    const size_t num_sh = has_shdrs ? secs.size() + 1 : 0;
    if (has_shdrs) out.resize(static_cast<size_t>(shoff) + num_sh * sh_stride, 0);

    const uint32_t shnum = e.shnum.value_or(static_cast<uint32_t>(num_sh));
    const uint32_t phnum = e.phnum.value_or(static_cast<uint32_t>(e.segments.size()));
    const uint32_t shstrndx = e.shstrndx.value_or(e.shstrtab ? static_cast<uint32_t>(secs.size()) : 0);

    if (has_shdrs && e.extended_numbering)
        Rec{out, static_cast<size_t>(shoff), f}.u32(0).u32(SHT_NULL).addr(0).addr(0).addr(0).addr(shnum).u32(shstrndx).u32(phnum);
    for (size_t i = 0; has_shdrs && i < secs.size(); ++i) {
        const Section &s = secs[i];
        Rec{out, static_cast<size_t>(shoff) + (i + 1) * sh_stride, f}.u32(names[i]).u32(s.type).addr(s.flags)
            .addr(s.addr).addr(sh_offset[i + 1]).addr(s.size.value_or(s.data.size())).u32(s.link).u32(s.info)
            .addr(s.addralign).addr(s.entsize);
    }

    for (size_t i = 0; i < e.segments.size(); ++i) {
        const Segment &p = e.segments[i];
        // The lowest-addressed section inside the segment fixes where vaddr lies in the file.
        size_t first = secs.size();
        uint64_t file_end = 0;
        for (size_t k = 0; k < secs.size(); ++k) {
            const Section &s = secs[k];
            if (s.type == SHT_NOBITS || s.data.empty() || s.addr < p.vaddr || s.addr - p.vaddr >= p.memsz) continue;
            if (first == secs.size() || s.addr < secs[first].addr) first = k;
            file_end = std::max(file_end, sh_offset[k + 1] + s.data.size());
        }
        uint64_t derived_offset = 0;
        if (first < secs.size()) {
            const uint64_t off = sh_offset[first + 1], delta = secs[first].addr - p.vaddr;
            derived_offset = off >= delta ? off - delta : off;
        }
        const uint64_t p_offset = p.offset.value_or(derived_offset);
        const uint64_t p_filesz = p.filesz.value_or(file_end > p_offset ? file_end - p_offset : 0);
        Rec r{out, static_cast<size_t>(phoff) + i * ph_stride, f};
        r.u32(p.type);
        if (is64(f)) r.u32(p.flags);
        r.addr(p_offset).addr(p.vaddr).addr(p.vaddr).addr(p_filesz).addr(p.memsz);
        if (!is64(f)) r.u32(p.flags);
        r.addr(p.align);
    }

    const uint8_t ident[7] = {0x7f, 'E', 'L', 'F', e.ident_class.value_or(is64(f) ? ELFCLASS64 : ELFCLASS32),
                              e.ident_data.value_or(f.msb ? ELFDATA2MSB : ELFDATA2LSB),
                              e.ident_version.value_or(EV_CURRENT)};
    std::copy(std::begin(ident), std::end(ident), out.begin());
    Rec{out, 16, f}.u16(e.type).u16(e.machine).u32(EV_CURRENT).addr(e.entry).addr(e.phoff.value_or(phoff))
        .addr(e.shoff.value_or(shoff)).u32(e.flags).u16(e.ehsize.value_or(static_cast<uint16_t>(ehdr_size(f))))
        .u16(e.phentsize.value_or(static_cast<uint16_t>(phdr_size(f))))
        .u16(e.e_phnum.value_or(e.extended_numbering ? PN_XNUM : static_cast<uint16_t>(phnum)))
        .u16(e.shentsize.value_or(static_cast<uint16_t>(shdr_size(f))))
        .u16(e.e_shnum.value_or(e.extended_numbering ? 0 : static_cast<uint16_t>(shnum)))
        .u16(e.extended_numbering ? SHN_XINDEX : static_cast<uint16_t>(shstrndx));

    if (e.file_size) out.resize(static_cast<size_t>(*e.file_size), 0);
    if (layout) *layout = Layout{phoff, shoff, std::move(sh_offset)};
    return out;
}

Bytes BuiltPie::image() const {
    if (vspace_end < vspace_start || vspace_end - vspace_start > placement_cap) return {};
    Bytes img(static_cast<size_t>(vspace_end - vspace_start), 0);
    for (const auto &[addr, bytes] : {std::pair{text_addr, &text_}, std::pair{data_addr, &data_}}) {
        if (addr >= vspace_start && addr - vspace_start <= img.size() &&
            bytes->size() <= img.size() - (addr - vspace_start))
            std::copy(bytes->begin(), bytes->end(), img.begin() + static_cast<std::ptrdiff_t>(addr - vspace_start));
    }
    return img;
}

BuiltPie build_pie(const Pie &p) {
    const Format f = p.fmt;
    const unsigned w = word_size(f);
    const uint64_t a = std::max<uint64_t>(p.align, 1);
    // The page after [addr, addr + size); an empty range still gets a page of its own.
    const auto next_page = [a](uint64_t addr, uint64_t size) {
        const uint64_t n = align_up(addr + size, a);
        return n == addr ? addr + a : n;
    };

    BuiltPie b;
    b.fmt = f;
    b.text_ = p.text;
    b.data_ = p.data;
    b.text_addr = p.text_addr.value_or(0x1000);
    b.data_addr = p.data_addr.value_or(next_page(b.text_addr, p.text.size()));
    const uint64_t bss_addr = align_up(b.data_addr + p.data.size(), w), bss_end = bss_addr + p.bss_size;
    const uint64_t tables_addr = p.tables_addr.value_or(next_page(b.data_addr, bss_end - b.data_addr));

    // Table contents.
    Bytes strtab{0};
    std::vector<uint32_t> needed_off;
    for (const std::string &n : p.needed) needed_off.push_back(add(strtab, n));
    std::vector<Sym> syms{Sym{}};
    uint32_t first_global = 1;
    for (const PieSym &s : p.dynsyms) {
        syms.push_back(Sym{s.name_off ? *s.name_off : add(strtab, s.name), s.info, s.other, s.shndx, s.value, s.size});
        if (s.info >> 4 == STB_LOCAL && first_global == syms.size() - 1) first_global = static_cast<uint32_t>(syms.size());
    }
    const unsigned syment = std::max(p.syment, sym_size(f));
    const Bytes dynsym_bytes = sym(f, syms, syment), dynstr_bytes = p.dynstr.value_or(strtab);

    const bool has_rel = !p.relocs.empty() || p.force_reltab, has_plt = !p.plt_relocs.empty();
    const unsigned relent = std::max(p.relent, rel_size(f)), relaent = std::max(p.relaent, rela_size(f));
    const Bytes rel_bytes = p.rela ? rela(f, p.relocs, relaent) : rel(f, p.relocs, relent);
    const Bytes plt_bytes = p.plt_rela ? rela(f, p.plt_relocs, relaent) : rel(f, p.plt_relocs, relent);

    uint64_t addr = tables_addr;
    const auto place = [&](uint64_t size, uint64_t align) {
        const uint64_t at = align_up(addr, align);
        addr = at + size;
        return at;
    };
    if (p.symtab) b.dynsym_addr = place(dynsym_bytes.size(), w), b.dynstr_addr = place(dynstr_bytes.size(), 1);
    if (has_rel) b.reltab_addr = place(rel_bytes.size(), w);
    if (has_plt) b.plttab_addr = place(plt_bytes.size(), w);
    b.plttab_size = has_plt ? plt_bytes.size() : 0;

    // Dynamic entries.
    std::vector<std::pair<uint64_t, uint64_t>> d;
    for (uint32_t off : needed_off) d.emplace_back(DT_NEEDED, off);
    if (p.symtab)
        d.insert(d.end(), {{DT_SYMTAB, b.dynsym_addr}, {DT_STRTAB, b.dynstr_addr}, {DT_STRSZ, dynstr_bytes.size()},
                           {DT_SYMENT, syment}});
    if (has_rel)
        d.insert(d.end(), {{p.rela ? DT_RELA : DT_REL, b.reltab_addr}, {p.rela ? DT_RELASZ : DT_RELSZ, rel_bytes.size()},
                           {p.rela ? DT_RELAENT : DT_RELENT, p.rela ? relaent : relent}});
    if (has_plt) {
        d.insert(d.end(), {{DT_PLTREL, p.plt_rela ? DT_RELA : DT_REL}, {DT_JMPREL, b.plttab_addr},
                           {DT_PLTRELSZ, b.plttab_size}});
        if (!has_rel || p.rela != p.plt_rela)
            d.emplace_back(p.plt_rela ? DT_RELAENT : DT_RELENT, p.plt_rela ? relaent : relent);
    }
    std::set<uint64_t> emitted;
    for (const auto &entry : d) emitted.insert(entry.first);
    std::erase_if(d, [&](const auto &entry) {
        const auto it = p.dyn_set.find(entry.first);
        return it != p.dyn_set.end() && !it->second;
    });
    for (auto &entry : d)
        if (const auto it = p.dyn_set.find(entry.first); it != p.dyn_set.end()) entry.second = *it->second;
    for (const auto &[tag, val] : p.dyn_set)
        if (val && !emitted.count(tag)) d.emplace_back(tag, *val);
    d.insert(d.end(), p.extra_dyn.begin(), p.extra_dyn.end());
    d.emplace_back(DT_NULL, 0);
    const Bytes dynamic_bytes = dyn(f, d);
    const uint64_t dynamic_addr = place(dynamic_bytes.size(), w), tables_end = addr;

    // File layout: each PT_LOAD's contents start at an offset congruent to its address modulo the
    // page, as a loader would want.
    Elf &e = b.elf;
    e.fmt = f, e.machine = p.machine, e.entry = p.entry.value_or(b.text_addr);
    const uint64_t fa = std::min<uint64_t>(a, 0x1000);
    uint64_t cur = ehdr_size(f) + 4 * phdr_size(f);  // four program headers
    const auto file_off = [&](uint64_t vaddr, uint64_t size) {
        const uint64_t off = align_up(cur, fa) + vaddr % fa;
        cur = off + size;
        return off;
    };
    const uint64_t text_off = file_off(b.text_addr, p.text.size()), data_off = file_off(b.data_addr, p.data.size());
    const uint64_t tables_off = file_off(tables_addr, tables_end - tables_addr);
    const auto toff = [&](uint64_t at) { return tables_off + (at - tables_addr); };
    constexpr uint64_t A = SHF_ALLOC, WA = SHF_ALLOC | SHF_WRITE;

    e.sections.push_back({".text", SHT_PROGBITS, A | SHF_EXECINSTR, b.text_addr, p.text, {}, text_off});
    e.sections.push_back({".data", SHT_PROGBITS, WA, b.data_addr, p.data, {}, data_off});
    e.sections.push_back({".bss", SHT_NOBITS, WA, bss_addr, {}, p.bss_size, data_off + (bss_addr - b.data_addr)});
    const uint32_t dynsym_idx = p.symtab ? 4 : 0, dynstr_idx = p.symtab ? 5 : 0;
    if (p.symtab) {
        e.sections.push_back({".dynsym", SHT_DYNSYM, A, b.dynsym_addr, dynsym_bytes, {}, toff(b.dynsym_addr),
                              dynstr_idx, first_global, w, syment});
        e.sections.push_back({".dynstr", SHT_STRTAB, A, b.dynstr_addr, dynstr_bytes, {}, toff(b.dynstr_addr)});
    }
    const auto reltab = [&](const char *name, bool is_rela, uint64_t at, const Bytes &bytes) {
        e.sections.push_back({(is_rela ? ".rela" : ".rel") + std::string(name), is_rela ? SHT_RELA : SHT_REL, A, at,
                              bytes, {}, toff(at), dynsym_idx, 0, w, is_rela ? relaent : relent});
    };
    if (has_rel) reltab(".dyn", p.rela, b.reltab_addr, rel_bytes);
    if (has_plt) reltab(".plt", p.plt_rela, b.plttab_addr, plt_bytes);
    e.sections.push_back({".dynamic", SHT_DYNAMIC, WA, dynamic_addr, dynamic_bytes, {}, toff(dynamic_addr), dynstr_idx,
                          0, w, dyn_size(f)});

    const uint64_t tables_size = tables_end - tables_addr;
    e.segments = {{PT_LOAD, PF_R | PF_X, b.text_addr, p.text.size(), p.align, text_off, p.text.size()},
                  {PT_LOAD, PF_R | PF_W, b.data_addr, bss_end - b.data_addr, p.align, data_off, p.data.size()},
                  {PT_LOAD, PF_R | PF_W, tables_addr, tables_size, p.align, tables_off, tables_size},
                  {PT_DYNAMIC, PF_R | PF_W, dynamic_addr, dynamic_bytes.size(), w, toff(dynamic_addr),
                   dynamic_bytes.size()}};

    const uint64_t lo = std::min({b.text_addr, b.data_addr, bss_addr});
    const uint64_t hi = std::max({b.text_addr + p.text.size(), b.data_addr + p.data.size(), bss_end});
    // Masks, not division: that is how p_align rounds, whether or not it is a power of two.
    b.vspace_start = lo & ~(a - 1);
    b.vspace_end = (hi + a - 1) & ~(a - 1);
    b.bytes = build(e);
    return b;
}

}  // namespace elfbuild
