// The symbol file reader. Lines are read in pieces of at most 255 characters, split into fields at
// white space; a first field that starts with '#' makes a comment.
#include "symfile.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "osdep.h"

namespace {

constexpr const char *delims = " \t\r\n\v";

// Finds fields symval_field and symname_field of line (1-based); null where the line has too few.
// Cuts the line in place, as strtok would, only as far as it needs to look.
void find_fields(char *line, int32_t symval_field, int32_t symname_field, char **value_field, char **name_field) {
    *value_field = nullptr;
    *name_field = nullptr;
    char *p = line;
    for (int32_t number = 1; *value_field == nullptr || *name_field == nullptr; number++) {
        p += strspn(p, delims);
        if (*p == '\0')
            return;
        char *field = p;
        p += strcspn(p, delims);
        if (*p != '\0')
            *p++ = '\0';
        if (number == symval_field)
            *value_field = field;
        if (number == symname_field)
            *name_field = field;
    }
}

}  // namespace

bool symfile_parse_u64(const char *text, uint64_t *value) {
    if (text[0] == '\0')
        return false;
    char *end;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 0);
    if (*end != '\0')
        return false;
    *value = parsed;  // out of range reads as all ones, as strtoull gives it
    return true;
}

int symfile_load(context *ctx, symtab *t, const char *path, int32_t symval_field, int32_t symname_field) {
    if (ctx->verbose >= 1)
        printf("Loading symbol file '%s' (format is field:%i:%i)\n", path, symval_field, symname_field);
    // Binary mode: the bytes are read as they are on every system (a carriage return is a delimiter,
    // and no byte ends the file early), so line numbers and pieces do not depend on the platform.
    FILE *f = osdep_fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "ERROR: Could not open '%s' for reading: %s\n", path, strerror(errno));
        return -1;
    }
    char line[256];
    long line_number = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        line_number++;
        const char *first = line + strspn(line, delims);
        if (*first == '\0' || *first == '#')
            continue;
        char *value_field, *name_field;
        find_fields(line, symval_field, symname_field, &value_field, &name_field);
        if (value_field == nullptr || name_field == nullptr) {
            fprintf(stderr, "ERROR: Incomplete record in line %li\n", line_number);
            fclose(f);
            return -1;
        }
        uint64_t value;
        if (!symfile_parse_u64(value_field, &value)) {
            fprintf(stderr, "ERROR: Symbol value syntax error in line %li: \"%s\"\n", line_number, value_field);
            fclose(f);
            return -1;
        }
        if (symtab_add(t, name_field, value) != 0) {
            fprintf(stderr, "ERROR: Could not add symbol '%s' to symbol table (line %li)\n", name_field, line_number);
            fclose(f);
            return -1;
        }
        if (ctx->verbose >= 2)
            printf("  %s = 0x%" PRIx64 "\n", name_field, value);
    }
    // A read error (a directory named as the file, an I/O error) must not pass for the end of the file.
    if (ferror(f)) {
        fprintf(stderr, "ERROR: Could not read '%s': %s\n", path, strerror(errno));
        fclose(f);
        return -1;
    }
    fclose(f);
    if (ctx->verbose >= 2)
        puts("Done.");
    return 0;
}
