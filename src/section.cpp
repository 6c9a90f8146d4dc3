// Lays the writable and executable allocated sections (with --include-readonly, the read-only ones
// too) out in the virtual space, and keeps the allocated sections left out for the relocation engine's
// warning. Relies on find_phdr_addr for the PT_LOAD alignment of each bound.
#include "section.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "find.h"
#include "kelpbase.h"
#include "kelpx_elf.h"
#include "osdep.h"

namespace {

// Arrays of pointers (.init_array and friends) are data like .data: on REL machines their
// relocations take the addends from these bytes, so they must be in the image.
bool has_contents(uint32_t sh_type) {
    return sh_type == elf::SHT_PROGBITS || sh_type == elf::SHT_INIT_ARRAY || sh_type == elf::SHT_FINI_ARRAY ||
           sh_type == elf::SHT_PREINIT_ARRAY;
}

bool is_allocated(const kelpx_section *section) { return (kelpx_section_get_flags(section) & elf::SHF_ALLOC) != 0; }

const char *section_name(const kelpx_section *section) {
    const kelp_string *name = kelpx_section_get_name_str(section);
    return name != nullptr && name->text != nullptr ? name->text : "?";
}

// The largest page a linker aligns segments to: 2 MiB, the huge page that x86-64 GNU ld used as its
// maximum page size and that the psABIs allow. Rounding the image to a larger alignment would only
// pad it: p_align 0x80000000 made a 3.5 KB input a 2 GiB image.
constexpr uint64_t max_align = uint64_t{2} << 20;

// The tables that only a dynamic loader reads. A C library's start code finds .dynamic PC-relative
// and relocates through it: an image holding the original tables would be relocated twice.
bool is_loader_table(const kelpx_section *section) {
    switch (kelpx_section_get_type(section)) {
    case elf::SHT_NULL:
    case elf::SHT_SYMTAB:
    case elf::SHT_STRTAB:
    case elf::SHT_RELA:
    case elf::SHT_HASH:
    case elf::SHT_DYNAMIC:
    case elf::SHT_REL:
    case elf::SHT_DYNSYM:
    case elf::SHT_RELR:
    case elf::SHT_ANDROID_REL:
    case elf::SHT_ANDROID_RELA:
    case elf::SHT_ANDROID_RELR:
    case elf::SHT_GNU_HASH:
    case elf::SHT_GNU_verdef:
    case elf::SHT_GNU_verneed:
    case elf::SHT_GNU_versym:
        return true;
    default:  // .interp is SHT_PROGBITS: only its name tells it
        return std::strcmp(section_name(section), ".interp") == 0;
    }
}

// .tbss only gives each thread's block its zeros: its addresses overlap the sections after it, and
// loaders give it no memory of its own.
bool is_tbss(const kelpx_section *section) {
    return kelpx_section_get_type(section) == elf::SHT_NOBITS && (kelpx_section_get_flags(section) & elf::SHF_TLS) != 0;
}

// What --include-readonly adds: every allocated section, whatever its type (notes, unwind tables such
// as .ARM.exidx and x86_64's .eh_frame, which code reaches PC-relative), but the loader's tables.
bool readonly_qualifies(const kelpx_section *section) {
    return is_allocated(section) && !is_tbss(section) && !is_loader_table(section);
}

// By default the writable and executable sections of data types; .tdata is the initialisation image
// that start code copies for each thread, so it counts as data.
bool counts_for_bounds(const context *ctx, const kelpx_section *section) {
    if (ctx->include_readonly)
        return readonly_qualifies(section);
    uint32_t sh_type = kelpx_section_get_type(section);
    return is_allocated(section) && !is_tbss(section) && (has_contents(sh_type) || sh_type == elf::SHT_NOBITS) &&
           (kelpx_section_get_flags(section) & (elf::SHF_WRITE | elf::SHF_EXECINSTR)) != 0;
}

bool is_copied(const context *ctx, const kelpx_section *section) {
    return kelpx_section_get_type(section) != elf::SHT_NOBITS && counts_for_bounds(ctx, section);
}

// p_align of 0 means no alignment, as 1 does. Only powers of two make a mask (checked by
// check_alignments before).
uint64_t align_mask(const kelpx_program *program) {
    uint64_t p_align = std::min(kelpx_program_get_align(program), max_align);
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
    for (uint32_t i = 1; i < num_sections; i++) {  // 0 is the reserved null section
        kelpx_section section;
        if (kelpx_get_section(elf, &section, i) != 0 || !counts_for_bounds(ctx, &section))
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

bool section_in_image(const context *ctx, const kelpx_section *section) {
    return counts_for_bounds(ctx, section);
}

int copy_sections(context *ctx, const kelpx_handle *elf) {
    if (ctx->verbose >= 1)
        puts("Copy section contents to output space...");
    // The buffer comes zeroed; a fill byte goes everywhere first, then .bss and the like are zeroed
    // again, as a loader would, and the copies overwrite the rest.
    if (ctx->gap_fill != 0)
        memset(ctx->vspace, ctx->gap_fill, ctx->image_size);
    uint32_t num_sections = kelpx_get_num_of_sections(elf);
    for (uint32_t i = 1; i < num_sections; i++) {  // 0 is the reserved null section
        kelpx_section section;
        if (kelpx_get_section(elf, &section, i) != 0)
            continue;
        if (ctx->gap_fill != 0 && kelpx_section_get_type(&section) == elf::SHT_NOBITS && counts_for_bounds(ctx, &section)) {
            // Inside the bounds: they were derived from this section, and only the end can wrap.
            uint64_t sh_addr = kelpx_section_get_addr(&section), sh_size = kelpx_section_get_size(&section);
            if (sh_addr >= ctx->vspace_start && kelpbase_fits(sh_addr - ctx->vspace_start, sh_size, ctx->vspace_size))
                memset(ctx->vspace + (sh_addr - ctx->vspace_start), 0, static_cast<size_t>(sh_size));
        }
        if (!is_copied(ctx, &section))
            continue;
        uint64_t sh_addr = kelpx_section_get_addr(&section);
        uint64_t sh_size = kelpx_section_get_size(&section);
        const char *name_text = section_name(&section);
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
        if (size == 0)
            continue;
        const uint8_t *bytes = kelpx_section_data_at(&section, 0, size);
        if (bytes == nullptr)
            return -1;
        osdep_image_put(ctx->image, rel, bytes, size);
    }
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}

int section_find_excluded(const context *ctx, const kelpx_handle *elf, excluded_sections *ex) {
    ex->ranges.clear();
    ex->end_so_far.clear();
    ex->hull_size = 0;
    try {
        std::vector<uint64_t> image_ends;
        uint32_t num_sections = kelpx_get_num_of_sections(elf);
        for (uint32_t i = 1; i < num_sections; i++) {  // 0 is the reserved null section
            kelpx_section section;
            if (kelpx_get_section(elf, &section, i) != 0 || !is_allocated(&section) || is_tbss(&section))
                continue;
            uint64_t sh_addr = kelpx_section_get_addr(&section);
            uint64_t end = sh_addr + kelpx_section_get_size(&section);
            if (counts_for_bounds(ctx, &section)) {
                image_ends.push_back(end);
            } else if (end > sh_addr) {
                ex->ranges.push_back({sh_addr, end, section_name(&section), readonly_qualifies(&section)});
            }
        }
        // A pointer one past the end of an object in the image may equal the start of the section
        // that follows it: that address belongs to the image.
        std::sort(image_ends.begin(), image_ends.end());
        for (excluded_range &r : ex->ranges)
            if (std::binary_search(image_ends.begin(), image_ends.end(), r.start))
                r.start++;
        std::erase_if(ex->ranges, [](const excluded_range &r) { return r.start >= r.end; });
        // Sorted, a target's candidates are found by a search, not by a scan per relocation.
        std::stable_sort(ex->ranges.begin(), ex->ranges.end(),
                         [](const excluded_range &a, const excluded_range &b) { return a.start < b.start; });
        ex->end_so_far.reserve(ex->ranges.size());
        uint64_t highest = 0;
        for (const excluded_range &r : ex->ranges)
            ex->end_so_far.push_back(highest = std::max(highest, r.end));
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "ERROR: Could not list the sections left out of the image: %s\n", strerror(ENOMEM));
        return -1;
    }
    if (ex->ranges.empty())
        return 0;
    ex->hull_start = ex->ranges.front().start;
    ex->hull_size = ex->end_so_far.back() - ex->hull_start;
    return 0;
}

void section_warn_excluded(excluded_sections *ex, uint64_t target) {
    // The ranges that start at or below target; one of them holds it when the highest end among
    // them lies above it.
    auto above = std::upper_bound(ex->ranges.begin(), ex->ranges.end(), target,
                                  [](uint64_t t, const excluded_range &r) { return t < r.start; });
    if (above == ex->ranges.begin() || ex->end_so_far[static_cast<size_t>(above - ex->ranges.begin()) - 1] <= target)
        return;
    for (auto r = ex->ranges.begin(); r != above; ++r) {
        if (target >= r->end)
            continue;
        fprintf(stderr, "WARNING: A relocation points to 0x%" PRIx64 " in section [%s], which is not in the image%s\n",
                target, r->name, r->readonly_data ? "; --include-readonly puts it in" : "");
        ex->hull_size = 0;  // once per run: the scan above happens once
        return;
    }
}
