// The symbol file loader alone: the first byte chooses the field numbers and the verbosity, the
// rest is the file.
#include <cstdint>
#include <cstdlib>

#include "context.h"
#include "fuzz_common.h"
#include "symfile.h"
#include "symtab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t choice = size > 0 ? data[0] : 0;
    if (size > 0) {
        data++;
        size--;
    }
    const std::string path = fuzz::scratch_dir() + "/symbols";
    fuzz::write_file(path, data, size);

    context ctx{};
    ctx.verbose = choice >> 4 & 3;
    // Field numbers 0 to 3: 0 makes every record incomplete, equal numbers share one field.
    ctx.symval_field = choice & 3;
    ctx.symname_field = choice >> 2 & 3;
    symtab *t = symtab_create();
    if (t == nullptr)
        abort();
    (void)symfile_load(&ctx, t, path.c_str(), ctx.symval_field, ctx.symname_field);
    symtab_destroy(t);
    return 0;
}
