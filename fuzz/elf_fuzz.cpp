// The ELF access layer alone: load the bytes, then decode every record the layer offers, at every
// index and at offsets around each section's end, in whatever the header says the class and byte
// order are. Work per input is bounded so that a header claiming millions of entries stays fast.
#include <cstdint>
#include <cstring>

#include "kelpx.h"

namespace {

constexpr uint32_t max_records = 4096;

// Decodes records of size bytes at the first and last offsets of the section, and one past the end.
template <typename Record>
void decode_around_end(const kelpx_section *section, uint32_t size,
                       int (*decode)(const kelpx_section *, Record *, uint32_t)) {
    Record record;
    uint32_t data_size = kelpx_section_data_size(section);
    for (uint32_t off = 0; off < data_size && off / size < max_records; off += size)
        (void)decode(section, &record, off);
    for (uint32_t back = 0; back <= size && back <= data_size; back++)
        (void)decode(section, &record, data_size - back);
    (void)decode(section, &record, 0xFFFFFFFFu);
}

void walk_section(const kelpx_handle *elf, uint32_t index) {
    kelpx_section section;
    if (kelpx_get_section(elf, &section, index) != 0)
        return;
    (void)kelpx_section_get_type(&section);
    (void)kelpx_section_get_flags(&section);
    const kelp_string *name = kelpx_section_get_name_str(&section);
    if (name != nullptr && strlen(name->text) != name->length)
        __builtin_trap();

    uint8_t bytes[64];
    uint32_t data_size = kelpx_section_data_size(&section);
    (void)kelpx_section_data_read(&section, bytes, 0, sizeof bytes < data_size ? sizeof bytes : data_size, 0);
    (void)kelpx_section_data_read(&section, bytes, data_size - 1, 2, 0);
    (void)kelpx_section_data_read(&section, bytes, UINT64_MAX, 2, 0);

    kelp_string text;
    if (kelp_string_init(&text, 0)) {
        for (uint32_t off : {0u, 1u, data_size - 1, data_size})
            (void)kelpx_section_data_readname(&section, &text, off);
        kelp_string_free(&text);
    }

    decode_around_end<kelpx_rel>(&section, kelpx_get_sizeof_Rel(elf), kelpx_section_get_rel_offs);
    decode_around_end<kelpx_rel>(&section, kelpx_get_sizeof_Rela(elf), kelpx_section_get_rela_offs);
    decode_around_end<kelpx_sym>(&section, kelpx_get_sizeof_Sym(elf), kelpx_section_get_sym_offs);
    kelpx_dyn dyn;
    for (uint32_t i = 0; i < max_records && kelpx_section_get_dyn(&section, &dyn, i) == 0; i++)
        (void)kelpx_dyn_get_tag(&dyn);
    (void)kelpx_section_get_dyn(&section, &dyn, 0xFFFFFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kelpx_handle elf{};
    if (kelpx_load_memory(&elf, data, size) != 0)
        return 0;
    kelpx_ehdr ehdr;
    (void)kelpx_get_ehdr(&elf, &ehdr);
    kelpx_program program;
    uint32_t num_programs = kelpx_get_num_of_programs(&elf);
    for (uint32_t i = 0; i < num_programs && i < max_records; i++)
        (void)kelpx_get_program(&elf, &program, i);
    (void)kelpx_get_program(&elf, &program, num_programs);
    uint32_t num_sections = kelpx_get_num_of_sections(&elf);
    for (uint32_t i = 0; i < num_sections && i < max_records; i++)
        walk_section(&elf, i);
    (void)kelpx_get_relevant_rels(&elf);

    // Target words in the input's class and byte order, at the edge of a buffer.
    uint8_t word[8] = {};
    (void)kelpx_load_Sxword(&elf, word);
    (void)kelpx_store_Addr(&elf, word, size);
    kelpx_unload(&elf);
    return 0;
}
