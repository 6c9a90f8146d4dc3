// Searches over the loaded input. Each is a fresh linear scan in index order returning the first
// match; nothing is cached.
#include "find.h"

#include <cstdio>

#include "kelpx_elf.h"
#include "pieshift.h"

int find_dynamic(context *ctx, const kelpx_handle *elf, kelpx_section *dynamic_info) {
    if (ctx->verbose >= 1)
        puts("Search dynamic section...");
    uint32_t num_sections = kelpx_get_num_of_sections(elf);
    for (uint32_t i = 1; i < num_sections; i++) {  // 0 is the reserved null section
        if (kelpx_get_section(elf, dynamic_info, i) != 0)
            continue;
        if (kelpx_section_is_dynamic(dynamic_info))
            return 0;
    }
    return -1;
}

int64_t find_dyn_dt(const kelpx_handle *elf, const kelpx_section *dynamic_info, kelpx_dyn *dyn, uint32_t first,
                    uint32_t tag) {
    kelpx_dyn scratch;
    if (dyn == nullptr)
        dyn = &scratch;
    // Trailing bytes that do not make a whole entry are never read. Entries after DT_NULL are
    // examined too.
    uint32_t num_entries = kelpx_section_data_size(dynamic_info) / kelpx_get_sizeof_Dyn(elf);
    for (uint32_t i = first; i < num_entries; i++) {
        if (kelpx_section_get_dyn(dynamic_info, dyn, i) != 0) {
            fputs("ERROR: Could not get dynamic\n", stderr);
            pieshift_exit(1);
        }
        if (kelpx_dyn_get_tag(dyn) == tag)
            return i;
    }
    return -1;
}

int find_phdr_addr(const kelpx_handle *elf, kelpx_program *program, uint64_t address) {
    uint32_t num_programs = kelpx_get_num_of_programs(elf);
    for (uint32_t i = 0; i < num_programs; i++) {
        if (kelpx_get_program(elf, program, i) != 0) {
            fputs("ERROR: Could not get phdr\n", stderr);
            return -1;
        }
        if (kelpx_program_get_type(program) != elf::PT_LOAD)
            continue;
        uint64_t p_vaddr = kelpx_program_get_vaddr(program);
        uint64_t p_memsz = kelpx_program_get_memsz(program);
        // Inclusive end: an exclusive range end is looked up as is.
        if (p_vaddr <= address && address <= p_vaddr + p_memsz)
            return 0;
    }
    return -1;
}

int find_section_addr(const kelpx_handle *elf, kelpx_section *section, uint64_t address) {
    uint32_t num_sections = kelpx_get_num_of_sections(elf);
    // Section 0 is no section: with extended numbering its sh_size holds the section count.
    for (uint32_t i = 1; i < num_sections; i++) {
        if (kelpx_get_section(elf, section, i) != 0)
            continue;
        uint64_t sh_addr = kelpx_section_get_addr(section);
        uint64_t sh_size = kelpx_section_get_size(section);
        if (sh_addr <= address && address < sh_addr + sh_size)
            return 0;
    }
    return -1;
}
