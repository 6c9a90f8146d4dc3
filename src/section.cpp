// Lays the writable and executable allocated sections out in the virtual space. Relies on
// find_phdr_addr for the PT_LOAD alignment of each bound.
#include "section.h"

#include <cinttypes>
#include <cstdio>

#include "find.h"
#include "kelpbase.h"
#include "kelpx_elf.h"

namespace {

// Arrays of pointers (.init_array and friends) are data like .data: on REL machines their
// relocations take the addends from these bytes, so they must be in the image.
bool has_contents(uint32_t sh_type) {
    return sh_type == elf::SHT_PROGBITS || sh_type == elf::SHT_INIT_ARRAY || sh_type == elf::SHT_FINI_ARRAY ||
           sh_type == elf::SHT_PREINIT_ARRAY;
}

bool is_writable_or_executable(const kelpx_section *section) {
    uint32_t sh_flags = kelpx_section_get_flags(section);
    return (sh_flags & elf::SHF_ALLOC) != 0 && (sh_flags & (elf::SHF_WRITE | elf::SHF_EXECINSTR)) != 0;
}

bool counts_for_bounds(const kelpx_section *section) {
    uint32_t sh_type = kelpx_section_get_type(section);
    return (has_contents(sh_type) || sh_type == elf::SHT_NOBITS) && is_writable_or_executable(section);
}

bool is_copied(const kelpx_section *section) {
    return has_contents(kelpx_section_get_type(section)) && is_writable_or_executable(section);
}

// p_align of 0 means no alignment, as 1 does. Only powers of two make a mask (checked by
// check_alignments before).
uint64_t align_mask(const kelpx_program *program) {
    uint64_t p_align = kelpx_program_get_align(program);
    return p_align == 0 ? 0 : p_align - 1;
}

// Any other alignment would make a mask with holes: bounds that no segment asks for, and an image
// of gigabytes from a small file.
int check_alignments(const kelpx_handle *elf) {
    uint32_t num_programs = kelpx_get_num_of_programs(elf);
    for (uint32_t i = 0; i < num_programs; i++) {
        kelpx_program program;
        if (kelpx_get_program(elf, &program, i) != 0 || kelpx_program_get_type(&program) != elf::PT_LOAD)
            continue;
        uint64_t p_align = kelpx_program_get_align(&program);
        if ((p_align & (p_align - 1)) != 0) {
            fprintf(stderr, "ERROR: PT_LOAD segment #%" PRIu32 " has alignment 0x%" PRIx64
                            ", neither 0 nor a power of two\n", i, p_align);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int determine_vspace(context *ctx, const kelpx_handle *elf) {
    if (ctx->verbose >= 1)
        puts("Determine virtual space...");
    uint32_t num_sections = kelpx_get_num_of_sections(elf);
    bool found = false;
    for (uint32_t i = 0; i < num_sections; i++) {
        kelpx_section section;
        if (kelpx_get_section(elf, &section, i) != 0 || !counts_for_bounds(&section))
            continue;
        uint64_t sh_addr = kelpx_section_get_addr(&section);
        uint64_t end = sh_addr + kelpx_section_get_size(&section);
        if (!found || sh_addr < ctx->vspace_start)
            ctx->vspace_start = sh_addr;
        if (!found || end > ctx->vspace_end)
            ctx->vspace_end = end;
        found = true;
    }
    if (!found || check_alignments(elf) != 0)
        return -1;

    kelpx_program program;
    if (find_phdr_addr(elf, &program, ctx->vspace_start) != 0) {
        fputs("ERROR: Virtual address not found in LOAD phdr\n", stderr);
        return -1;
    }
    ctx->vspace_start &= ~align_mask(&program);

    if (find_phdr_addr(elf, &program, ctx->vspace_end) != 0) {
        fputs("ERROR: Virtual address not found in LOAD phdr\n", stderr);
        return -1;
    }
    uint64_t mask = align_mask(&program);
    ctx->vspace_end = (ctx->vspace_end + mask) & ~mask;

    if (ctx->verbose >= 1)
        printf("Virtual space: 0x%" PRIx64 "..0x%" PRIx64 "\n", ctx->vspace_start, ctx->vspace_end);
    return 0;
}

int copy_sections(context *ctx, const kelpx_handle *elf) {
    if (ctx->verbose >= 1)
        puts("Copy section contents to output space...");
    uint32_t num_sections = kelpx_get_num_of_sections(elf);
    for (uint32_t i = 0; i < num_sections; i++) {
        kelpx_section section;
        if (kelpx_get_section(elf, &section, i) != 0 || !is_copied(&section))
            continue;
        uint64_t sh_addr = kelpx_section_get_addr(&section);
        uint64_t sh_size = kelpx_section_get_size(&section);
        const kelp_string *name = kelpx_section_get_name_str(&section);
        const char *name_text = name != nullptr && name->text != nullptr ? name->text : "?";
        // The bounds come from these very sections, but a size that wraps past 2^64 or does not fit
        // 32 bits would not: never write outside the buffer.
        if (sh_addr < ctx->vspace_start || !kelpbase_fits(sh_addr - ctx->vspace_start, sh_size, ctx->vspace_size)) {
            fprintf(stderr,
                    "ERROR: Section #%" PRIu32 " [%s] (0x%" PRIx64 " octets at 0x%" PRIx64
                    ") does not fit in the virtual space\n",
                    i, name_text, sh_size, sh_addr);
            return -1;
        }
        // Both fit in 32 bits: the range lies inside a buffer of fewer than 2^32 bytes.
        auto size = static_cast<uint32_t>(sh_size);
        auto rel = static_cast<uint32_t>(sh_addr - ctx->vspace_start);
        if (ctx->verbose >= 2)
            printf("  Section #%zu [%s], %zu octets at 0x%" PRIx64 " (rel 0x%zx)\n", static_cast<size_t>(i), name_text,
                   static_cast<size_t>(size), sh_addr, static_cast<size_t>(rel));
        if (!kelpx_section_data_read(&section, ctx->vspace + rel, 0, size, 0))
            return -1;
    }
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}
