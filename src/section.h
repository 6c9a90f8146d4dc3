// The virtual space: which sections make up the image, where its bounds lie, and copying their
// contents into the buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "context.h"
#include "kelpx.h"

// Sets vspace_start and vspace_end from the qualifying sections and the PT_LOAD alignments.
[[nodiscard]] int determine_vspace(context *ctx, const kelpx_handle *elf);
// True when the section is part of the image (its bytes, or zeros for SHT_NOBITS).
bool section_in_image(const context *ctx, const kelpx_section *section);
// Fills the image with gap_fill, unless 0, zeroes the SHT_NOBITS sections in it again, then copies
// every qualifying section with file contents into vspace.
[[nodiscard]] int copy_sections(context *ctx, const kelpx_handle *elf);

// The allocated sections that the image leaves out, so that a relocation pointing into one can be
// told. hull_start and hull_size span them all; a hull_size of 0 stops the checks.
struct excluded_range {
    uint64_t start, end;  // link-time addresses, end exclusive
    const char *name;     // inside the loaded file: sections may all name one huge string
    bool readonly_data;   // --include-readonly would put it in
};
struct excluded_sections {
    std::vector<excluded_range> ranges;  // by start address; among equal starts, in section order
    std::vector<uint64_t> end_so_far;    // [i]: the highest end among ranges[0..i]
    uint64_t hull_start = 0, hull_size = 0;
};

// Fills ex with the allocated sections that the image leaves out. -1 after a message when memory runs
// out: a run that cannot tell must not pass for one that found nothing.
[[nodiscard]] int section_find_excluded(const context *ctx, const kelpx_handle *elf, excluded_sections *ex);
// Prints the warning for target if it lies in an excluded section, then stops further checks.
void section_warn_excluded(excluded_sections *ex, uint64_t target);
// Called for every relative relocation: one comparison unless the target lies near a left-out section.
inline void section_check_target(excluded_sections *ex, uint64_t target) {
    if (target - ex->hull_start < ex->hull_size)
        section_warn_excluded(ex, target);
}
