// Relocation tables and their entries. One walk serves REL, RELA and both PLT forms; what differs
// lives in a constant descriptor. Which types exist, and how each is applied, comes from the ELF
// access layer's per-machine record: no relocation number of any machine appears here.
#include "rel.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <unordered_map>

#include "find.h"
#include "kelpbase.h"
#include "kelpx_elf.h"
#include "osdep.h"
#include "section.h"
#include "symtab.h"

namespace {

struct reloc_impl {
    uint32_t size_tag;
    uint32_t entsize_tag;
    const char *size_tag_name;
    const char *entsize_tag_name;
    const char *label;
    uint32_t (*get_entsize)(const kelpx_handle *);
    bool implicit_addend;  // REL entries: the addend is the word at r_offset (get_addend_rel), else r_addend
    uint64_t main_tag;     // DT_REL or DT_RELA for a main table, the DT_PLTREL value of its form; 0 for PLT
};

// The PLT forms take their entry size from the main table's tag of the same entry kind.
constexpr reloc_impl rel_impl = {elf::DT_RELSZ, elf::DT_RELENT, "DT_RELSZ", "DT_RELENT", "REL",
                                 kelpx_get_sizeof_Rel, true, elf::DT_REL};
constexpr reloc_impl rela_impl = {elf::DT_RELASZ, elf::DT_RELAENT, "DT_RELASZ", "DT_RELAENT", "RELA",
                                  kelpx_get_sizeof_Rela, false, elf::DT_RELA};
constexpr reloc_impl plt_rel_impl = {elf::DT_PLTRELSZ, elf::DT_RELENT, "DT_PLTRELSZ", "DT_RELENT", "PLTREL",
                                     kelpx_get_sizeof_Rel, true, 0};
constexpr reloc_impl plt_rela_impl = {elf::DT_PLTRELSZ, elf::DT_RELAENT, "DT_PLTRELSZ", "DT_RELAENT", "PLTREL",
                                      kelpx_get_sizeof_Rela, false, 0};

// True when the width bytes at link-time address r_offset lie wholly inside the virtual space.
// Tested as an offset into the buffer, so that no bound wraps whatever the space's size.
bool in_vspace(const context *ctx, uint64_t r_offset, uint32_t width) {
    return r_offset >= ctx->vspace_start && kelpbase_fits(r_offset - ctx->vspace_start, width, ctx->vspace_size);
}

// One symbol as the entries use it. Fetched and looked up once however many entries name it: a
// table of thousands of entries against one long name must not copy or hash it thousands of times.
struct resolved_sym {
    kelpx_sym sym;
    const char *name;  // inside the loaded file
    bool redefined;
    uint64_t redefined_value;
};

// A name and its user definition, found once however many symbols share it.
struct resolved_name {
    const char *name;
    bool redefined;
    uint64_t redefined_value;
};

// Keyed per run: symbol indices and name offsets come from the input, which must not be able to
// pile them into one bucket.
struct number_hash {
    size_t operator()(uint64_t value) const { return static_cast<size_t>(symtab_hash_number(value)); }
};

// The symbols met along one table. Nothing in the walk changes the input they are read from.
struct symbol_cache {
    std::unordered_map<uint64_t, resolved_sym, number_hash> by_index;  // nodes stay put as the map grows
    std::unordered_map<uint64_t, resolved_name, number_hash> by_name;  // by st_name
    const resolved_sym *sym0;  // symbol 0, which every relative entry names, without a lookup
};

// Everything one entry needs that does not change along the table.
struct walk_state {
    context *ctx;
    const kelpx_handle *elf;
    const relevant_rels *rels;
    uint32_t addr_size;
    symbol_cache *symbols;
    excluded_sections *excluded;  // relative targets to check against; null: none
};

// The name at st_name and its user definition; null when it cannot be read.
const resolved_name *resolve_name(const walk_state &w, uint32_t st_name) {
    auto &by_name = w.symbols->by_name;
    auto found = by_name.find(st_name);
    if (found != by_name.end())
        return &found->second;
    resolved_name r{};
    size_t length;
    if (symtab_get_name(w.ctx->symtab, st_name, &r.name, &length) != 0)
        return nullptr;
    r.redefined = symtab_redefine(w.ctx->symtab, &r.redefined_value, r.name, length) == 0;
    return &by_name.emplace(st_name, r).first->second;
}

// Symbol r_sym and its user definition; null when it cannot be read.
const resolved_sym *resolve(const walk_state &w, uint64_t r_sym) {
    symbol_cache &cache = *w.symbols;
    if (r_sym == 0 && cache.sym0 != nullptr)
        return cache.sym0;
    auto found = cache.by_index.find(r_sym);
    if (found != cache.by_index.end())
        return &found->second;
    resolved_sym r{};
    if (symtab_read_sym(w.ctx->symtab, &r.sym, r_sym) != 0)
        return nullptr;
    const resolved_name *name = resolve_name(w, kelpx_sym_get_name_offs(&r.sym));
    if (name == nullptr)
        return nullptr;
    r.name = name->name;
    r.redefined = r_sym != 0 && name->redefined;
    r.redefined_value = name->redefined_value;
    const resolved_sym *stored = &cache.by_index.emplace(r_sym, r).first->second;
    if (r_sym == 0)
        cache.sym0 = stored;
    return stored;
}

// info: the record's entry for the entry's type, null when the machine names no such type.
int apply_entry(const walk_state &w, const kelpx_rel *rel, const relevant_rels_info *info, uint64_t addend) {
    context *ctx = w.ctx;
    uint64_t r_offset = kelpx_rel_get_offset(rel);
    uint64_t r_sym = kelpx_rel_get_r_sym(rel);

    if (info == nullptr) {
        fprintf(stderr, "ERROR: No relocation info for type %zu\n", static_cast<size_t>(kelpx_rel_get_r_type(rel)));
        return -1;
    }
    const char *type_name = info->name;

    const resolved_sym *resolved = resolve(w, r_sym);
    if (resolved == nullptr) {
        fprintf(stderr, "ERROR: Could not get symbol info for sym %" PRIu64 "\n", r_sym);
        return -1;
    }
    const kelpx_sym &sym = resolved->sym;
    uint64_t st_value = kelpx_sym_get_value(&sym);
    uint64_t value_s = st_value;
    if (ctx->verbose >= 2) {
        printf("  %s, 0x%" PRIx64, type_name, st_value);
        if (resolved->name[0] != '\0')
            printf(" (%s)", resolved->name);
        printf(" + 0x%" PRIx64 "\n", addend);
    }

    // The undefined-symbol policy applies to every type, the relative one included.
    if (r_sym != 0) {
        if (resolved->redefined) {
            value_s = resolved->redefined_value;
            if (ctx->verbose >= 4)
                printf("    Symbol redefined to 0x%" PRIx64 "\n", value_s);
        } else if (kelpx_sym_get_shndx(&sym) != elf::SHN_UNDEF) {
            // Defined by the input. A symbol in one of its sections moves with the image, as every
            // other address does; an absolute one (SHN_ABS and the other reserved indices) does not.
            if (kelpx_sym_get_shndx(&sym) < elf::SHN_LORESERVE)
                value_s = st_value + ctx->address - ctx->vspace_start;
        } else if (ctx->ignore_weak && (kelpx_sym_get_info(&sym) >> 4) == elf::STB_WEAK) {
            if (ctx->verbose >= 4)
                printf("    Keep undefined weak symbol as 0x%" PRIx64 "\n", value_s);
        } else if (!ctx->ignore_undefined) {
            fprintf(stderr, "ERROR: Symbol \"%s\" is undefined\n", resolved->name);
            return -1;
        } else if (ctx->verbose >= 4) {
            printf("    Keep undefined symbol as 0x%" PRIx64 "\n", value_s);
        }
    }

    kelpx_rel_kind kind = info->kind;
    if (kind == kelpx_rel_kind::sym_or_relative)
        kind = r_sym == 0 ? kelpx_rel_kind::relative : kelpx_rel_kind::symbolic;
    uint64_t value;
    switch (kind) {
    case kelpx_rel_kind::relative:
        value = addend + ctx->address - ctx->vspace_start;
        // The addend is the link-time target; a 32-bit one counts only its low bits.
        if (w.excluded != nullptr)
            section_check_target(w.excluded, w.addr_size == 4 ? static_cast<uint32_t>(addend) : addend);
        break;
    case kelpx_rel_kind::symbolic:
    case kelpx_rel_kind::got:
    case kelpx_rel_kind::plt:
        value = value_s + addend;
        break;
    default:  // unapplied (none never gets here: the walk skips it)
        fprintf(stderr, "ERROR: %s is not handled\n", type_name);
        return -1;
    }

    if (!in_vspace(ctx, r_offset, w.addr_size)) {
        fprintf(stderr, "ERROR: r_offset 0x%" PRIx64 " is out of bounds\n", r_offset);
        return -1;
    }
    uint64_t rel_off = r_offset - ctx->vspace_start;
    bool storable = true;
    if (w.addr_size == 4) {
        // A 32-bit machine adds modulo 2^32: a sign-extended addend or a bias that moves an image
        // linked above 0x80000000 down must not leave upper bits. A user's value of more than 32 bits
        // is no address of that machine, however it would wrap.
        bool uses_s = info->kind != kelpx_rel_kind::relative && r_sym != 0 && resolved->redefined;
        storable = !uses_s || value_s <= UINT32_MAX || value_s >= UINT64_C(0xffffffff80000000);
        if (storable)
            value = static_cast<uint32_t>(value);
    }
    if (ctx->verbose >= 3)
        printf("    0x%" PRIx64 " -> 0x%" PRIx64 " (rel 0x%" PRIx64 ")\n", value, r_offset, rel_off);
    if (!storable || kelpx_store_Addr(w.elf, ctx->vspace + rel_off, value) != 0) {
        fprintf(stderr, "ERROR: Could not store 0x%" PRIx64 " to 0x%" PRIx64 " (rel 0x%" PRIx64 ")\n", value,
                r_offset, rel_off);
        return -1;
    }
    return 0;
}

// Finds the descriptor and the table address for dyn_entry. -1 after a message.
int choose_table(const kelpx_handle *elf, const kelpx_section *dynamic_info, const kelpx_dyn *dyn_entry,
                 const reloc_impl **impl, uint64_t *table_addr) {
    uint64_t d_tag = kelpx_dyn_get_tag(dyn_entry);
    if (d_tag == elf::DT_REL || d_tag == elf::DT_RELA) {
        *impl = d_tag == elf::DT_REL ? &rel_impl : &rela_impl;
        *table_addr = kelpx_dyn_get_ptr(dyn_entry);
        return 0;
    }
    if (d_tag != elf::DT_PLTREL) {
        fprintf(stderr, "ERROR: Tag 0x%" PRIx64 " is not a known relocation tag\n", d_tag);
        return -1;
    }
    uint64_t pltrel = kelpx_dyn_get_val(dyn_entry);
    if (pltrel == elf::DT_REL) {
        *impl = &plt_rel_impl;
    } else if (pltrel == elf::DT_RELA) {
        *impl = &plt_rela_impl;
    } else {
        fprintf(stderr, "ERROR: Relocation type 0x%" PRIx64 " is not implemented in DT_PLTREL\n", pltrel);
        return -1;
    }
    kelpx_dyn jmprel;
    if (find_dyn_dt(elf, dynamic_info, &jmprel, 0, elf::DT_JMPREL) < 0) {
        fputs("ERROR: DT_JMPREL is not found in DYNAMIC\n", stderr);
        return -1;
    }
    *table_addr = kelpx_dyn_get_ptr(&jmprel);
    return 0;
}

// The size of the main table to walk. GNU ld on RISC-V and PowerPC lets DT_RELASZ cover the PLT
// table that directly follows it; like glibc's ld.so, the main walk then stops where the PLT table
// starts, so that its entries are applied once, by the PLT walk.
uint32_t without_plt_tail(const kelpx_handle *elf, const kelpx_section *dynamic_info, const reloc_impl *impl,
                          uint64_t table_addr, uint32_t table_size) {
    kelpx_dyn pltrel, jmprel, pltrelsz;
    if (impl->main_tag == 0 || find_dyn_dt(elf, dynamic_info, &pltrel, 0, elf::DT_PLTREL) < 0 ||
        kelpx_dyn_get_val(&pltrel) != impl->main_tag ||
        find_dyn_dt(elf, dynamic_info, &jmprel, 0, elf::DT_JMPREL) < 0 ||
        find_dyn_dt(elf, dynamic_info, &pltrelsz, 0, elf::DT_PLTRELSZ) < 0)
        return table_size;
    // Offsets from the main table's start; one below it wraps to a huge value and fails the test.
    uint64_t plt_off = kelpx_dyn_get_ptr(&jmprel) - table_addr;
    // Its low 32 bits: the PLT walk refuses a size beyond them.
    uint64_t plt_size = static_cast<uint32_t>(kelpx_dyn_get_val(&pltrelsz));
    if (plt_off < table_size && plt_off + plt_size == table_size)
        return static_cast<uint32_t>(plt_off);
    return table_size;
}

// Reads the dynamic entry with `tag`, a table size or entry size. One beyond 32 bits is refused: cut to
// its low bits it would walk some other part of the table, or none of it, without a word.
int find_size(const kelpx_handle *elf, const kelpx_section *dynamic_info, uint32_t tag, const char *tag_name,
              uint32_t *size) {
    kelpx_dyn dyn;
    if (find_dyn_dt(elf, dynamic_info, &dyn, 0, tag) < 0) {
        fprintf(stderr, "ERROR: %s not found\n", tag_name);
        return -1;
    }
    uint64_t value = kelpx_dyn_get_val(&dyn);
    if (value > 0xFFFFFFFFu) {
        fprintf(stderr, "ERROR: %s value is too large: 0x%" PRIx64 "\n", tag_name, value);
        return -1;
    }
    *size = static_cast<uint32_t>(value);
    return 0;
}

// The addend of a REL entry: the address-sized word it relocates, as the image holds it now.
int get_addend_rel(const context *ctx, const kelpx_handle *elf, const kelpx_rel *rel, uint64_t *addend) {
    uint64_t r_offset = kelpx_rel_get_offset(rel);
    if (!in_vspace(ctx, r_offset, kelpx_get_sizeof_Sxword(elf))) {
        fprintf(stderr, "ERROR: r_offset 0x%" PRIx64 " is out of bounds\n", r_offset);
        return -1;
    }
    *addend = static_cast<uint64_t>(kelpx_load_Sxword(elf, ctx->vspace + (r_offset - ctx->vspace_start)));
    return 0;
}

// One entry at position pos of the table, table_off + pos in the section's data.
template <bool rela>
int walk_entry(const walk_state &w, const reloc_impl *impl, const kelpx_rel &rel, uint64_t entry_off, uint64_t pos) {
    const relevant_rels_info *info = kelpx_rels_get_info(w.rels, kelpx_rel_get_r_type(&rel));
    // No relocation: neither its addend nor its location means anything (GNU ld leaves such
    // entries, with r_offset 0, for references it resolved itself).
    if (info != nullptr && info->kind == kelpx_rel_kind::none) {
        if (w.ctx->verbose >= 3)
            printf("  %s skipped\n", info->name);
        return 0;
    }
    uint64_t addend;
    if constexpr (rela) {
        addend = kelpx_rel_get_addend(&rel);
    } else {
        if (get_addend_rel(w.ctx, w.elf, &rel, &addend) != 0) {
            fprintf(stderr, "ERROR: Could not get addend for %s entry at 0x%zx (rel 0x%zx)\n", impl->label,
                    static_cast<size_t>(entry_off), static_cast<size_t>(pos));
            return -1;
        }
        // A REL GOT or PLT slot is no addend (a PLT slot holds its lazy-binding stub's address): glibc's
        // and musl's loaders store S alone.
        if (info != nullptr && (info->kind == kelpx_rel_kind::plt || info->kind == kelpx_rel_kind::got))
            addend = 0;
    }
    return apply_entry(w, &rel, info, addend);
}

// The entries are decoded in batches, the form fixed at compile time; they are still applied one
// by one in table order, and a read failure is reported at the entry where it happens.
template <bool rela>
int walk_entries(const walk_state &w, const reloc_impl *impl, const kelpx_section *section, uint32_t table_off,
                 uint32_t table_size, uint32_t entsize) {
    constexpr uint32_t batch_size = 256;
    kelpx_rel batch[batch_size];
    // The position is kept in 64 bits so that a huge entry size cannot wrap it back to the start.
    uint64_t pos = 0;
    while (pos < table_size) {
        const uint64_t left = (table_size - pos + entsize - 1) / entsize;
        const uint32_t wanted = left < batch_size ? static_cast<uint32_t>(left) : batch_size;
        uint64_t entry_off = uint64_t{table_off} + pos;
        uint32_t got = 0;
        if (entry_off <= 0xFFFFFFFFu) {
            const auto first = static_cast<uint32_t>(entry_off);
            got = rela ? kelpx_section_get_relas(section, batch, first, entsize, wanted)
                       : kelpx_section_get_rels(section, batch, first, entsize, wanted);
        }
        for (uint32_t k = 0; k < got; k++, pos += entsize)
            if (walk_entry<rela>(w, impl, batch[k], uint64_t{table_off} + pos, pos) != 0)
                return -1;
        if (got < wanted) {
            entry_off = uint64_t{table_off} + pos;
            fprintf(stderr, "ERROR: Could not read %s entry from 0x%zx (rel 0x%zx)\n", impl->label,
                    static_cast<size_t>(entry_off), static_cast<size_t>(pos));
            return -1;
        }
    }
    return 0;
}

int walk_table(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info, const kelpx_dyn *dyn_entry) {
    const reloc_impl *impl;
    uint64_t table_addr;
    if (choose_table(elf, dynamic_info, dyn_entry, &impl, &table_addr) != 0)
        return -1;
    if (ctx->verbose >= 1)
        printf("Apply relocations at 0x%" PRIx64 "...\n", table_addr);

    kelpx_section section;
    if (find_section_addr(elf, &section, table_addr) != 0) {
        fprintf(stderr, "ERROR: Could not found %s section\n", impl->label);
        return -1;
    }
    uint32_t table_size, entsize;
    if (find_size(elf, dynamic_info, impl->size_tag, impl->size_tag_name, &table_size) != 0 ||
        find_size(elf, dynamic_info, impl->entsize_tag, impl->entsize_tag_name, &entsize) != 0)
        return -1;
    if (entsize < impl->get_entsize(elf)) {
        fprintf(stderr, "ERROR: %s is smaller than expected\n", impl->entsize_tag_name);
        return -1;
    }
    if (!ctx->ignore_unaligned_relsz && table_size % entsize != 0) {
        fprintf(stderr, "ERROR: %s is not multiple of %s\n", impl->size_tag_name, impl->entsize_tag_name);
        return -1;
    }

    symbol_cache symbols{};
    walk_state w{ctx, elf, kelpx_get_relevant_rels(elf), kelpx_get_sizeof_Addr(elf), &symbols, ctx->excluded};
    if (w.rels == nullptr && table_size != 0) {
        kelpx_ehdr ehdr;
        unsigned elfclass = kelpx_get_sizeof_Addr(elf) == 8 ? 64 : 32;
        unsigned machine = kelpx_get_ehdr(elf, &ehdr) == 0 ? ehdr.e_machine : 0;
        fprintf(stderr, "ERROR: Relocations of machine %u, ELF%u, are not supported\n", machine, elfclass);
        return -1;
    }
    table_size = without_plt_tail(elf, dynamic_info, impl, table_addr, table_size);
    // Offsets inside the section's data count only their low 32 bits.
    auto table_off = static_cast<uint32_t>(table_addr) - static_cast<uint32_t>(kelpx_section_get_addr(&section));

    // Tables of millions of entries are read once, front to back.
    if (const uint8_t *table = kelpx_section_data_at(&section, table_off, table_size); table != nullptr)
        osdep_advise_sequential(table, table_size);

    int result = impl->implicit_addend ? walk_entries<false>(w, impl, &section, table_off, table_size, entsize)
                                       : walk_entries<true>(w, impl, &section, table_off, table_size, entsize);
    if (result != 0)
        return -1;
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}

// The entries of the GOT that the loader relocates without relocation entries, as entries of their
// own: the local ones relative, the global ones against their symbols. Both run through apply_entry,
// which bounds each to the image, so a count from the file cannot take more steps than the GOT holds.
int walk_implicit_got(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info,
                      const relevant_rels *rels) {
    const kelpx_implicit_got &got = *rels->implicit_got;
    kelpx_dyn pltgot;
    if (find_dyn_dt(elf, dynamic_info, &pltgot, 0, elf::DT_PLTGOT) < 0)
        return 0;  // no GOT
    uint32_t local_gotno, gotsym, symtabno;
    if (find_size(elf, dynamic_info, got.local_gotno_tag, got.local_gotno_name, &local_gotno) != 0 ||
        find_size(elf, dynamic_info, got.gotsym_tag, got.gotsym_name, &gotsym) != 0 ||
        find_size(elf, dynamic_info, got.symtabno_tag, got.symtabno_name, &symtabno) != 0)
        return -1;
    if (gotsym > symtabno) {
        fprintf(stderr, "ERROR: %s (%" PRIu32 ") is above %s (%" PRIu32 ")\n", got.gotsym_name, gotsym,
                got.symtabno_name, symtabno);
        return -1;
    }
    const uint64_t got_addr = kelpx_dyn_get_ptr(&pltgot);
    if (ctx->verbose >= 1)
        printf("Apply relocations to the GOT at 0x%" PRIx64 "...\n", got_addr);

    symbol_cache symbols{};
    // Local GOT words often hold page addresses, which need not lie in any section: no warnings.
    walk_state w{ctx, elf, rels, kelpx_get_sizeof_Addr(elf), &symbols, nullptr};
    static constexpr relevant_rels_info local_entry = {"GOT local entry", kelpx_rel_kind::relative};
    static constexpr relevant_rels_info global_entry = {"GOT global entry", kelpx_rel_kind::got};
    const uint64_t marked = uint64_t{1} << (8 * w.addr_size - 1);
    kelpx_rel rel{};
    // Entry 0 is reserved for the lazy resolver; entry 1 too when its top bit says so.
    uint64_t index = 1;
    if (local_gotno >= 2) {
        rel.r_offset = got_addr + w.addr_size;
        uint64_t word;
        if (get_addend_rel(ctx, elf, &rel, &word) != 0)
            return -1;
        if ((word & marked) != 0)
            index = 2;
    }
    for (; index < local_gotno; index++) {
        rel.r_offset = got_addr + index * w.addr_size;
        uint64_t addend;
        if (get_addend_rel(ctx, elf, &rel, &addend) != 0 || apply_entry(w, &rel, &local_entry, addend) != 0)
            return -1;
    }
    for (uint64_t sym = gotsym, global = local_gotno; sym < symtabno; sym++, global++) {
        rel.r_offset = got_addr + global * w.addr_size;
        rel.r_sym = sym;
        if (apply_entry(w, &rel, &global_entry, 0) != 0)
            return -1;
    }
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}

}  // namespace

int apply_implicit_got(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info) {
    const relevant_rels *rels = kelpx_get_relevant_rels(elf);
    if (rels == nullptr || rels->implicit_got == nullptr)
        return 0;
    try {
        return walk_implicit_got(ctx, elf, dynamic_info, rels);
    } catch (const std::bad_alloc &) {
        fputs("ERROR: Could not initialize string object forsymbol name\n", stderr);
        return -1;
    }
}

int apply_relocations(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info,
                      const kelpx_dyn *dyn_entry) {
    // The symbol cache is the only storage the walk allocates.
    try {
        return walk_table(ctx, elf, dynamic_info, dyn_entry);
    } catch (const std::bad_alloc &) {
        fputs("ERROR: Could not initialize string object forsymbol name\n", stderr);
        return -1;
    }
}
