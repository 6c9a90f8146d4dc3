// The containers the image can be written in: raw bytes, Intel HEX, Motorola S-records and a loadable
// ELF executable at ADDRESS. Every container holds the same image bytes; only the framing differs.
#pragma once

#include <cstdint>
#include <string>

#include "context.h"
#include "kelpx.h"

enum class imgfmt_format : uint8_t { binary, ihex, srec, elf };

// The format of a name given to -O; false when there is none of that name.
bool imgfmt_parse(const char *name, imgfmt_format *format);
// Before anything is written: whether the format can hold an image of size bytes at address with its
// entry point. -1 with one message when it cannot.
[[nodiscard]] int imgfmt_check(imgfmt_format format, uint64_t address, uint64_t size, uint64_t entry);
// The output file of a format other than binary, for ctx's image (image_size bytes at vspace, loaded
// at address) with the relocated entry point. -1 with one message when memory runs out.
[[nodiscard]] int imgfmt_encode(const context *ctx, const kelpx_handle *elf, uint64_t entry, std::string *out);
// Single encoders, for the formats without ELF knowledge.
void imgfmt_ihex(const uint8_t *image, uint64_t size, uint64_t address, uint64_t entry, std::string *out);
void imgfmt_srec(const uint8_t *image, uint64_t size, uint64_t address, uint64_t entry, const char *header,
                 std::string *out);
