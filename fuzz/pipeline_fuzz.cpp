// Feeds arbitrary bytes through the loader and the whole pipeline. The image goes to the null
// device; only crashes, hangs and sanitizer reports matter. Run with -close_fd_mask=3 to keep the
// tool's messages out of the fuzzer's report.
#include <cstdint>

#include "find.h"
#include "kelpx.h"
#include "pieshift.h"
#include "symtab.h"

namespace {

// find_dyn_dt ends the process on an unreadable dynamic entry; keep such inputs out so the fuzzer
// sees that exit as what it is, a reported error.
bool dynamic_entries_readable(const kelpx_handle *elf) {
    for (uint32_t i = 0; i < kelpx_get_num_of_sections(elf); i++) {
        kelpx_section section;
        if (kelpx_get_section(elf, &section, i) != 0 || !kelpx_section_is_dynamic(&section))
            continue;
        kelpx_dyn dyn;
        uint32_t count = kelpx_section_data_size(&section) / kelpx_get_sizeof_Dyn(elf);
        for (uint32_t k = 0; k < count; k++)
            if (kelpx_section_get_dyn(&section, &dyn, k) != 0)
                return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static symtab *table = [] {
        symtab *t = symtab_create();
        (void)symtab_add(t, "uart_base", 0x10000000);
        return t;
    }();

    kelpx_handle elf{};
    if (kelpx_load_memory(&elf, data, size) != 0)
        return 0;
    if (dynamic_entries_readable(&elf)) {
        context ctx{};
        ctx.progname = "pipeline_fuzz";
        ctx.output_path = "/dev/null";
        ctx.address = size > 0 ? 0x80000000u + data[0] * 0x1000u : 0x80000000u;
        ctx.symtab = table;
        ctx.symval_field = 1;
        ctx.symname_field = 2;
        ctx.ignore_undefined = 1;
        ctx.ignore_weak = 1;
        ctx.force_dynamic = 1;
        (void)pieshift(&ctx, &elf);
        symtab_drop_section_reference(table);
    }
    kelpx_unload(&elf);
    return 0;
}
