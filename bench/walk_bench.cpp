// The relocation walk alone, in entries per second, over the four ELF kinds (REL and RELA, both byte
// orders) with relative entries and with symbol entries against user definitions. The image is laid
// out once; each iteration applies the main table to it again.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bigpie.h"
#include "find.h"
#include "kelpx.h"
#include "kelpx_elf.h"
#include "osdep.h"
#include "rel.h"
#include "section.h"
#include "symtab.h"

namespace {

constexpr int64_t num_entries = 1 << 20;

struct walk_input {
    std::vector<uint8_t> bytes;
    kelpx_handle elf{};
    context ctx{};
    osdep_image image{};
    kelpx_section dynamic_info{};
    kelpx_dyn table{};
};

bool skip(benchmark::State &state, const char *why) {
    state.SkipWithError(why);
    return false;
}

// False after reporting to state when the input cannot be set up.
bool set_up(walk_input *w, bigpie::kind kind, bool symbolic, benchmark::State &state) {
    bigpie::params p;
    p.machine = kind;
    p.text_size = 64u << 10;
    p.data_size = 0;  // as much as the entries need
    p.relative = symbolic ? 0 : uint64_t{num_entries};
    p.symbolic = symbolic ? uint64_t{num_entries} : 0;
    p.plt = 0;
    w->bytes = bigpie::generate(p);
    context &ctx = w->ctx;
    ctx.symtab = symtab_create();
    for (uint32_t i = 0; i < p.symbols; i++)
        if (symtab_add(ctx.symtab, bigpie::symbol_name(i).c_str(), 0x10000000u + i) != 0)
            return skip(state, "out of memory");
    if (kelpx_load_view(&w->elf, w->bytes.data(), w->bytes.size()) != 0 ||
        find_dynamic(&ctx, &w->elf, &w->dynamic_info) != 0 ||
        symtab_find_symtab(ctx.symtab, &w->elf, &w->dynamic_info) != 0 || determine_vspace(&ctx, &w->elf) != 0)
        return skip(state, "generated input does not load");
    ctx.vspace_size = static_cast<uint32_t>(ctx.vspace_end - ctx.vspace_start);
    // A small displacement: REL addends grow by it on every pass, and must stay within 32 bits.
    ctx.address = ctx.vspace_start + 0x10000;
    if (osdep_image_open(&w->image, nullptr, ctx.vspace_size, false) != 0)
        return skip(state, "no image");
    ctx.image = &w->image;
    ctx.vspace = w->image.bytes;
    if (copy_sections(&ctx, &w->elf) != 0)
        return skip(state, "no image");
    if (find_dyn_dt(&w->elf, &w->dynamic_info, &w->table, 0, elf::DT_REL) < 0 &&
        find_dyn_dt(&w->elf, &w->dynamic_info, &w->table, 0, elf::DT_RELA) < 0)
        return skip(state, "no table");
    return true;
}

void BM_walk(benchmark::State &state, bigpie::kind kind, bool symbolic) {
    walk_input w;
    if (!set_up(&w, kind, symbolic, state))
        return;
    for (auto _ : state) {
        if (apply_relocations(&w.ctx, &w.elf, &w.dynamic_info, &w.table) != 0) {
            state.SkipWithError("walk failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * num_entries);
    osdep_image_close(&w.image);
    symtab_drop_section_reference(w.ctx.symtab);
    kelpx_unload(&w.elf);
}

const bool registered = [] {
    const struct {
        const char *name;
        bigpie::kind kind;
    } kinds[] = {{"rela_lsb_x86_64", bigpie::kind::x86_64},
                 {"rela_msb_s390x", bigpie::kind::s390x},
                 {"rel_lsb_i386", bigpie::kind::i386},
                 {"rel_msb_arm", bigpie::kind::arm_be}};
    for (const auto &k : kinds)
        for (bool symbolic : {false, true})
            benchmark::RegisterBenchmark((std::string("BM_walk/") + k.name + (symbolic ? "/symbol" : "/relative")).c_str(),
                                         BM_walk, k.kind, symbolic)
                ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace
