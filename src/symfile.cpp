// The symbol file reader. Lines are read whole, whatever their length, and split into fields at
// white space; a first field that starts with '#' makes a comment.
#include "symfile.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

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

// Reads a file line by line through its own buffer, so that a line of any length is read whole and a
// NUL byte in it can be seen (fgets would hide both).
struct line_reader {
    FILE *f;
    char buffer[65536];
    size_t next;
    size_t end;
};

enum class line_status { line, end, nul, error };

// Reads the next line into line, its line feed dropped; a last line without one counts too.
line_status read_line(line_reader *r, std::string *line) {
    line->clear();
    bool any = false;
    for (;;) {
        if (r->next == r->end) {
            r->next = 0;
            r->end = fread(r->buffer, 1, sizeof r->buffer, r->f);
            if (r->end == 0)
                return ferror(r->f) ? line_status::error : any ? line_status::line : line_status::end;
        }
        any = true;
        const char *start = r->buffer + r->next;
        size_t available = r->end - r->next;
        const void *newline = memchr(start, '\n', available);
        size_t length = newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - start) : available;
        if (memchr(start, '\0', length) != nullptr)
            return line_status::nul;
        line->append(start, length);
        r->next += length;
        if (newline != nullptr) {
            r->next++;
            return line_status::line;
        }
    }
}

int load_lines(context *ctx, symtab *t, const char *path, FILE *f, int32_t symval_field, int32_t symname_field) {
    auto reader = std::make_unique<line_reader>();
    reader->f = f;
    std::string line;
    long line_number = 0;
    for (;;) {
        line_status status = read_line(reader.get(), &line);
        if (status == line_status::end)
            return 0;
        if (status == line_status::error) {
            // A read error (a directory named as the file, an I/O error) must not pass for the end of the file.
            fprintf(stderr, "ERROR: Could not read '%s': %s\n", path, strerror(errno));
            return -1;
        }
        line_number++;
        if (status == line_status::nul) {
            fprintf(stderr, "ERROR: NUL byte in line %li of '%s'\n", line_number, path);
            return -1;
        }
        const char *first = line.c_str() + strspn(line.c_str(), delims);
        if (*first == '\0' || *first == '#')
            continue;
        char *value_field, *name_field;
        find_fields(line.data(), symval_field, symname_field, &value_field, &name_field);
        if (value_field == nullptr || name_field == nullptr) {
            fprintf(stderr, "ERROR: Incomplete record in line %li\n", line_number);
            return -1;
        }
        uint64_t value;
        if (!symfile_parse_u64(value_field, &value)) {
            fprintf(stderr, "ERROR: Symbol value syntax error in line %li: \"%s\"\n", line_number, value_field);
            return -1;
        }
        if (symtab_add(t, name_field, value) != 0) {
            fprintf(stderr, "ERROR: Could not add symbol '%s' to symbol table (line %li)\n", name_field, line_number);
            return -1;
        }
        if (ctx->verbose >= 2)
            printf("  %s = 0x%" PRIx64 "\n", name_field, value);
    }
}

}  // namespace

bool symfile_parse_u64(const char *text, uint64_t *value) {
    if (text[0] == '\0')
        return false;
    char *end;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, 0);
    // A number too large for 64 bits is refused like any other malformed number, not read as all ones.
    if (*end != '\0' || errno == ERANGE)
        return false;
    *value = parsed;
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
    int result;
    try {
        result = load_lines(ctx, t, path, f, symval_field, symname_field);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "ERROR: Could not read '%s': %s\n", path, strerror(ENOMEM));
        result = -1;
    }
    fclose(f);
    if (result == 0 && ctx->verbose >= 2)
        puts("Done.");
    return result;
}
