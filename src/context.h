// The run's record of options and virtual-space state. main owns it for the whole run; every
// stage gets a pointer to it.
#pragma once

#include <cstdint>

struct symtab;
struct excluded_sections;
struct osdep_image;

struct context {
    const char *progname;
    const char *output_path;
    const char *entry_path;
    uint64_t address;       // where vspace_start is loaded
    uint64_t vspace_start;  // link-time address of the image's first byte
    uint64_t vspace_end;    // exclusive
    uint32_t vspace_size;
    uint8_t *vspace;        // vspace_size bytes; the byte of address A lies at vspace + (A - vspace_start)
    struct osdep_image *image;  // what vspace lies in: the output file being built, or memory
    struct symtab *symtab;
    int32_t symval_field;
    int32_t symname_field;
    int32_t verbose;
    uint8_t force_dynamic;
    uint8_t ignore_undefined;
    uint8_t ignore_weak;
    uint8_t ignore_unaligned_relsz;
    uint8_t expect_rel;
    uint8_t no_expect_rel;
    uint8_t expect_pltrel;
    uint8_t no_expect_pltrel;
    uint8_t include_readonly;            // read-only allocated sections go into the image too
    struct excluded_sections *excluded;  // allocated sections left out; set while relocating
    const char *input_path;
    uint8_t output_format;  // an imgfmt_format
    uint8_t gap_fill;       // the value of image bytes that no section covers
    uint8_t pad_to_set;
    uint64_t pad_to;        // --pad-to: the image grows with gap_fill up to this address (exclusive)
    uint32_t image_size;    // vspace_size plus the padding; what the buffer holds and the image file gets
};
