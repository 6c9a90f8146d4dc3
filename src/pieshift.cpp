// The pipeline's fixed sequence of stages. A stage that knows the cause of a failure reports it;
// the pipeline then adds one line naming the stage and stops.
#include "pieshift.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "find.h"
#include "imgfmt.h"
#include "kelpbase.h"
#include "kelpx_elf.h"
#include "osdep.h"
#include "rel.h"
#include "save.h"
#include "section.h"
#include "symtab.h"

namespace {

pieshift_exit_hook exit_hook = nullptr;

int fail(const char *message) {
    fputs(message, stderr);
    return 1;
}

// Releases the virtual space on every path once it is allocated, and forgets the pipeline's list of
// left-out sections.
struct vspace_owner {
    context *ctx;
    osdep_image image;
    ~vspace_owner() {
        ctx->excluded = nullptr;
        ctx->vspace = nullptr;
        ctx->image = nullptr;
        osdep_image_close(&image);
    }
};

// One relocation table: the user's demand for its presence or absence, then the table itself.
int table_stage(context *ctx, const kelpx_handle *elf, const kelpx_section *dynamic_info, const kelpx_dyn *dyn_entry,
                bool found, bool expected, bool unexpected, const char *absent_message, const char *present_message) {
    if (!found)
        return expected ? fail(absent_message) : 0;
    if (unexpected)
        return fail(present_message);
    if (apply_relocations(ctx, elf, dynamic_info, dyn_entry) != 0)
        return fail("ERROR: Failed to apply relocations\n");
    return 0;
}

// True when [address, address + size) lies inside the address space of the input's class; ending at
// its very top is fine. Relocated addresses past it would wrap to the space's start.
bool fits_address_space(uint64_t address, uint32_t size, uint32_t addr_size) {
    if (addr_size == 4)
        return kelpbase_fits(address, size, uint64_t{1} << 32);
    return size == 0 || address <= UINT64_MAX - (size - 1);
}

// The entry point at ADDRESS; a 32-bit machine's address wraps as the relocations do.
int relocated_entry(const context *ctx, const kelpx_handle *elf, uint64_t *old_entry, uint64_t *new_entry) {
    kelpx_ehdr ehdr;
    if (kelpx_get_ehdr(elf, &ehdr) != 0)
        return fail("ERROR: Could not get Ehdr\n");
    *old_entry = kelpx_ehdr_get_entry(&ehdr);
    *new_entry = *old_entry + ctx->address - ctx->vspace_start;
    if (kelpx_get_sizeof_Addr(elf) == 4)
        *new_entry = static_cast<uint32_t>(*new_entry);
    return 0;
}

int save_entry(context *ctx, const kelpx_handle *elf, osdep_output *out) {
    if (ctx->verbose >= 1)
        puts("Saving entry point...");
    uint64_t old_entry, new_entry;
    if (relocated_entry(ctx, elf, &old_entry, &new_entry) != 0)
        return 1;
    if (ctx->verbose >= 2)
        printf("  0x%" PRIx64 " (old: 0x%" PRIx64 ")\n", new_entry, old_entry);
    if (save_address(out, ctx->entry_path, new_entry) != 0) {
        fprintf(stderr, "ERROR: Could not save entry point to '%s'.\n", ctx->entry_path);
        return 1;
    }
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}

}  // namespace

int pieshift(context *ctx, const kelpx_handle *elf) {
    kelpx_section dynamic_info;
    kelpx_dyn dyn_entry;
    excluded_sections excluded;  // outlives the owner below, which clears ctx->excluded

    if (find_dynamic(ctx, elf, &dynamic_info) != 0)
        return fail("ERROR: Dynamic section not found\n");
    if (symtab_find_symtab(ctx->symtab, elf, &dynamic_info) != 0)
        return fail("ERROR: Could not load symtab information\n");
    if (determine_vspace(ctx, elf) != 0)
        return fail("ERROR: Could not determine virtual space\n");

    uint64_t size = ctx->vspace_end - ctx->vspace_start;  // an end below the start wraps to a huge size
    if (size >= 0x100000000u)
        return fail("ERROR: Virtual space is too large\n");
    ctx->vspace_size = static_cast<uint32_t>(size);
    if (ctx->verbose >= 1)
        printf("Load bias: 0x%" PRIx64 "\n", ctx->address - ctx->vspace_start);
    if (ctx->pad_to_set) {
        if (ctx->pad_to < ctx->address || ctx->pad_to - ctx->address < ctx->vspace_size) {
            fprintf(stderr, "ERROR: --pad-to 0x%" PRIx64 " lies below the image's end 0x%" PRIx64 "\n", ctx->pad_to,
                    ctx->address + ctx->vspace_size);
            return 1;
        }
        size = ctx->pad_to - ctx->address;
        if (size >= 0x100000000u)
            return fail("ERROR: Virtual space is too large\n");
    }
    ctx->image_size = static_cast<uint32_t>(size);
    if (!fits_address_space(ctx->address, ctx->image_size, kelpx_get_sizeof_Addr(elf))) {
        fprintf(stderr,
                "ERROR: Image of 0x%" PRIx32 " bytes at ADDRESS 0x%" PRIx64 " ends beyond the %u-bit address space\n",
                ctx->image_size, ctx->address, kelpx_get_sizeof_Addr(elf) * 8);
        return 1;
    }
    // A container that cannot hold the image is refused before anything is written.
    const auto format = static_cast<imgfmt_format>(ctx->output_format);
    uint64_t entry_address = 0;
    if (format != imgfmt_format::binary) {
        uint64_t link_entry;
        if (relocated_entry(ctx, elf, &link_entry, &entry_address) != 0 ||
            imgfmt_check(format, ctx->address, ctx->image_size, entry_address) != 0)
            return 1;
    }

    // The image comes zero-filled: bytes that no section covers (alignment slack, gaps, SHT_NOBITS)
    // are zero, as at run time, and the image is the same on every run.
    vspace_owner owner{ctx, {}};
    if (osdep_image_open(&owner.image, ctx->output_path, ctx->image_size, format == imgfmt_format::binary) != 0) {
        fprintf(stderr, "ERROR: Could not allocate output space: %s\n", strerror(errno));
        return 1;
    }
    ctx->image = &owner.image;
    ctx->vspace = owner.image.bytes;

    if (copy_sections(ctx, elf) != 0)
        return fail("ERROR: Could not copy sections\n");
    if (section_find_excluded(ctx, elf, &excluded) != 0)
        return 1;
    ctx->excluded = &excluded;

    if (!ctx->force_dynamic && find_dyn_dt(elf, &dynamic_info, nullptr, 0, elf::DT_NEEDED) >= 0)
        return fail("ERROR: Input is not static\n");

    // Loaders relocate such a GOT first; the tables may then read its words.
    if (apply_implicit_got(ctx, elf, &dynamic_info) != 0)
        return fail("ERROR: Failed to apply relocations\n");

    // Applying one of two main tables would leave the other's places unrelocated.
    kelpx_dyn rela_entry;
    bool has_rel = find_dyn_dt(elf, &dynamic_info, &dyn_entry, 0, elf::DT_REL) >= 0;
    bool has_rela = find_dyn_dt(elf, &dynamic_info, &rela_entry, 0, elf::DT_RELA) >= 0;
    if (has_rel && has_rela)
        return fail("ERROR: Both DT_REL and DT_RELA are present\n");
    if (has_rela)
        dyn_entry = rela_entry;
    if (table_stage(ctx, elf, &dynamic_info, &dyn_entry, has_rel || has_rela, ctx->expect_rel, ctx->no_expect_rel,
                    "ERROR: REL/RELA section is not present\n",
                    "ERROR: REL/RELA section is present, but it is unexpected\n") != 0)
        return 1;
    bool has_pltrel = find_dyn_dt(elf, &dynamic_info, &dyn_entry, 0, elf::DT_PLTREL) >= 0;
    if (table_stage(ctx, elf, &dynamic_info, &dyn_entry, has_pltrel, ctx->expect_pltrel, ctx->no_expect_pltrel,
                    "ERROR: PLTREL section is not present\n",
                    "ERROR: PLTREL section is present, but it is unexpected\n") != 0)
        return 1;

    // Both files are complete before either takes its name: a failure leaves the old pair as it was.
    // An image built inside its temporary file is already there.
    osdep_output written{}, entry{};
    osdep_output *image = osdep_image_in_file(ctx->image) ? &ctx->image->out : &written;
    if (format == imgfmt_format::binary) {
        if (save(ctx, image) != 0)
            return fail("ERROR: Could not save output.\n");
    } else {
        std::string file;
        if (imgfmt_encode(ctx, elf, entry_address, &file) != 0 ||
            save_bytes(image, ctx->output_path, file.data(), file.size()) != 0)
            return fail("ERROR: Could not save output.\n");
    }
    if (ctx->entry_path != nullptr && save_entry(ctx, elf, &entry) != 0) {
        osdep_output_discard(image);
        return 1;
    }
    if (save_commit(image) != 0) {
        osdep_output_discard(&entry);
        return fail("ERROR: Could not save output.\n");
    }
    if (ctx->entry_path != nullptr && save_commit(&entry) != 0) {
        fprintf(stderr, "ERROR: Could not save entry point to '%s'.\n", ctx->entry_path);
        return 1;
    }
    return 0;
}

void pieshift_exit(int status) {
    if (exit_hook != nullptr)
        exit_hook(status);
    exit(status);
}

void pieshift_set_exit_hook(pieshift_exit_hook hook) {
    exit_hook = hook;
}
