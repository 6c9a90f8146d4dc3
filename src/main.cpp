// The program's entry: the command line, the symbol options, loading the input, and the exit status.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "context.h"
#include "imgfmt.h"
#include "kelpx.h"
#include "osdep.h"
#include "pieshift.h"
#include "symfile.h"
#include "symtab.h"

namespace {

constexpr const char *pieshift_version = PIESHIFT_VERSION;

// INPUT + ".out" fits with its NUL when INPUT has at most 251 characters.
char default_output[260];

constexpr char help_text[] =
    "Relocate and export statically linked PIE.\n"
    "\n"
    "  -d, --define SYM=VAL\n"
    "           define a symbol, which will override existing symbols, or will be\n"
    "           used for undefined symbols\n"
    "  --expect-pltrel\n"
    "           expect that PLTREL is present in SHT_DYNAMIC\n"
    "  --expect-rel\n"
    "           expect that REL/RELA is present in SHT_DYNAMIC\n"
    "  -f, --symfile FILE\n"
    "           load symbol table from file with format specified with -F (empty\n"
    "           lines and lines starting with # are ignored)\n"
    "  -F, --symfile-format STYLE:SYMVAL:SYMNAME\n"
    "           set symfile format by specifying the symbol value and symbol name\n"
    "           position in the line (lines are delimited by whitespaces); fields\n"
    "           are numbered from 1; the only STYLE available is \"field\"; default\n"
    "           format is \"field:1:2\"\n"
    "  --force-dynamic\n"
    "           continue processing even if input is not statically linked\n"
    "  --gap-fill BYTE\n"
    "           value of the image bytes that no section covers (default 0)\n"
    "  --help   show help and exit\n"
    "  --ignore-unaligned-relsz\n"
    "           do not stop if DT_RELSZ is not multiple of DT_RELENT\n"
    "  --ignore-undefined\n"
    "           ignore all undefined references (implies --ignore-weak)\n"
    "  --ignore-weak\n"
    "           ignore undefined weak references\n"
    "  --include-readonly\n"
    "           put read-only allocated sections (.rodata and the like) into the\n"
    "           image too; without it only writable and executable ones go in\n"
    "  --no-expect-pltrel\n"
    "           expect that PLTREL is NOT present in SHT_DYNAMIC\n"
    "  --no-expect-rel\n"
    "           expect that REL/RELA is NOT present in SHT_DYNAMIC\n"
    "  -o FILE  set output file name\n"
    "  -O, --output-format FORMAT\n"
    "           binary (default: the image alone), ihex (Intel HEX), srec\n"
    "           (S-records) or elf (an executable at ADDRESS with the input's\n"
    "           symbols); all but binary carry ADDRESS and the entry point\n"
    "  --output-entry FILE\n"
    "           output relocated entry point into FILE\n"
    "  --pad-to ADDRESS\n"
    "           extend the image with the gap-fill byte up to ADDRESS\n"
    "  -v       be verbose, and more (-v prints the load bias B)\n"
    "  -V, --version\n"
    "           show version information and exit\n";
static_assert(sizeof help_text - 1 == 2117, "the help text is 2117 characters");

// -d SYM=VAL. Ends the process on failure.
void define_sym(symtab *t, const char *word) {
    const char *equal = strchr(word, '=');
    if (equal == nullptr) {
        fprintf(stderr, "ERROR: Missing equal sign ('=') from symbol definition: \"%s\"\n", word);
        pieshift_exit(1);
    }
    if (equal[1] == '\0') {
        fprintf(stderr, "ERROR: Missing symbol value from definition: \"%s\"\n", word);
        pieshift_exit(1);
    }
    // A name no symbol file could hold (none, or one with blanks in it) is as malformed as its value.
    const auto name_length = static_cast<size_t>(equal - word);
    uint64_t value;
    if (name_length == 0 || strcspn(word, " \t\r\n\v") < name_length || !symfile_parse_u64(equal + 1, &value)) {
        fprintf(stderr, "ERROR: Value syntax error in symbol definition: \"%s\"\n", word);
        pieshift_exit(1);
    }
    int added = -1;
    try {
        std::string name(word, name_length);
        added = symtab_add(t, name.c_str(), value);
    } catch (const std::bad_alloc &) {
    }
    if (added != 0) {
        fprintf(stderr, "ERROR: Could not add symbol definition: \"%s\"\n", word);
        pieshift_exit(1);
    }
}

// -f FILE. Ends the process on failure.
void load_symfile(context *ctx, const char *path) {
    if (symfile_load(ctx, ctx->symtab, path, ctx->symval_field, ctx->symname_field) != 0) {
        fprintf(stderr, "ERROR: Could not load symfile '%s'\n", path);
        pieshift_exit(1);
    }
}

// strtol with base 0, clamped to 32 bits; true when the whole token is consumed.
bool parse_field_number(const std::string &token, int32_t *number) {
    char *end;
    long value = strtol(token.c_str(), &end, 0);
    if (*end != '\0')
        return false;
    if (value > INT32_MAX)
        value = INT32_MAX;
    if (value < INT32_MIN)
        value = INT32_MIN;
    *number = static_cast<int32_t>(value);
    return true;
}

// -F STYLE:SYMVAL:SYMNAME, split as strtok splits at ":": runs of ":" separate like one, leading ones
// are skipped, and whatever follows the third token is ignored. Ends the process on failure.
void set_symfile_format(int32_t *symval_field, int32_t *symname_field, const char *word) {
    constexpr const char *delims = ":";
    std::string tokens[3];
    int count = 0;
    for (const char *p = word; count < 3; count++) {
        p += strspn(p, delims);
        if (*p == '\0')
            break;
        size_t length = strcspn(p, delims);
        tokens[count].assign(p, length);
        p += length;
    }
    if (count < 3) {
        fputs("ERROR: Invalid argument to -F, --symfile-format\n", stderr);
        pieshift_exit(1);
    }
    if (tokens[0] != "field") {
        fprintf(stderr, "ERROR: \"%s\" is not a known symfile format style\n", tokens[0].c_str());
        pieshift_exit(1);
    }
    if (!parse_field_number(tokens[1], symval_field)) {
        fprintf(stderr, "ERROR: Could not set symval field: \"%s\" is not a valid number\n", tokens[1].c_str());
        pieshift_exit(1);
    }
    if (!parse_field_number(tokens[2], symname_field)) {
        fprintf(stderr, "ERROR: Could not set symname field: \"%s\" is not a valid number\n", tokens[2].c_str());
        pieshift_exit(1);
    }
}

void show_version() {
    printf("pieshift v%s\n", pieshift_version);
    printf("kelpbase v%s\n", kelpbase_get_version());
    printf("kelpx  v%s\n", kelpx_get_version());
}

[[noreturn]] void missing_operand(const char *progname) {
    fprintf(stderr, "%s: missing operand\nType \"%s --help\" for usage\n", progname, progname);
    pieshift_exit(1);
}

[[noreturn]] void missing_argument(const char *progname) {
    fprintf(stderr, "%s: Missing argument\n", progname);
    pieshift_exit(1);
}

enum class long_option {
    define, symfile, symfile_format, output_entry, version, help, force_dynamic, ignore_undefined, ignore_weak,
    ignore_unaligned_relsz, include_readonly, expect_rel, no_expect_rel, expect_pltrel, no_expect_pltrel,
    output_format, gap_fill, pad_to
};

struct long_option_name {
    const char *name;
    long_option option;
};

constexpr long_option_name long_options[] = {
    {"define", long_option::define},
    {"symfile", long_option::symfile},
    {"symfile-format", long_option::symfile_format},
    {"output-entry", long_option::output_entry},
    {"version", long_option::version},
    {"help", long_option::help},
    {"force-dynamic", long_option::force_dynamic},
    {"ignore-undefined", long_option::ignore_undefined},
    {"ignore-weak", long_option::ignore_weak},
    {"ignore-unaligned-relsz", long_option::ignore_unaligned_relsz},
    {"include-readonly", long_option::include_readonly},
    {"expect-rel", long_option::expect_rel},
    {"no-expect-rel", long_option::no_expect_rel},
    {"expect-pltrel", long_option::expect_pltrel},
    {"no-expect-pltrel", long_option::no_expect_pltrel},
    {"output-format", long_option::output_format},
    {"gap-fill", long_option::gap_fill},
    {"pad-to", long_option::pad_to},
};

// -O FORMAT. Ends the process on failure.
void set_output_format(context *ctx, const char *word) {
    imgfmt_format format;
    if (!imgfmt_parse(word, &format)) {
        fprintf(stderr, "ERROR: Unknown output format '%s' (binary, ihex, srec or elf)\n", word);
        pieshift_exit(1);
    }
    ctx->output_format = static_cast<uint8_t>(format);
}

// --gap-fill BYTE. Ends the process on failure.
void set_gap_fill(context *ctx, const char *word) {
    uint64_t value;
    if (!symfile_parse_u64(word, &value) || value > 0xff) {
        fprintf(stderr, "ERROR: --gap-fill needs a byte value from 0 to 0xff: '%s'\n", word);
        pieshift_exit(1);
    }
    ctx->gap_fill = static_cast<uint8_t>(value);
}

// --pad-to ADDRESS. Ends the process on failure.
void set_pad_to(context *ctx, const char *word) {
    if (!symfile_parse_u64(word, &ctx->pad_to)) {
        fprintf(stderr, "ERROR: Unknown --pad-to address format: '%s'\n", word);
        pieshift_exit(1);
    }
    ctx->pad_to_set = 1;
}

// The words of the command line not yet consumed.
struct words {
    char **next;
    char **end;
    bool empty() const { return next == end; }
};

const char *take_argument(context *ctx, words *w) {
    if (w->empty())
        missing_argument(ctx->progname);
    return *w->next++;
}

void handle_long(context *ctx, const char *word, words *w) {
    for (const long_option_name &candidate : long_options) {
        if (strcmp(word + 2, candidate.name) != 0)
            continue;
        switch (candidate.option) {
        case long_option::define: define_sym(ctx->symtab, take_argument(ctx, w)); return;
        case long_option::symfile: load_symfile(ctx, take_argument(ctx, w)); return;
        case long_option::symfile_format:
            set_symfile_format(&ctx->symval_field, &ctx->symname_field, take_argument(ctx, w));
            return;
        case long_option::output_entry: ctx->entry_path = take_argument(ctx, w); return;
        case long_option::version: show_version(); pieshift_exit(0);
        case long_option::help:
            printf("Usage: %s [OPTION]... ADDRESS INPUT\n", ctx->progname);
            fputs(help_text, stdout);
            pieshift_exit(0);
        case long_option::force_dynamic: ctx->force_dynamic = 1; return;
        case long_option::ignore_undefined: ctx->ignore_undefined = 1; ctx->ignore_weak = 1; return;
        case long_option::ignore_weak: ctx->ignore_weak = 1; return;
        case long_option::ignore_unaligned_relsz: ctx->ignore_unaligned_relsz = 1; return;
        case long_option::include_readonly: ctx->include_readonly = 1; return;
        case long_option::expect_rel: ctx->expect_rel = 1; return;
        case long_option::no_expect_rel: ctx->no_expect_rel = 1; return;
        case long_option::expect_pltrel: ctx->expect_pltrel = 1; return;
        case long_option::no_expect_pltrel: ctx->no_expect_pltrel = 1; return;
        case long_option::output_format: set_output_format(ctx, take_argument(ctx, w)); return;
        case long_option::gap_fill: set_gap_fill(ctx, take_argument(ctx, w)); return;
        case long_option::pad_to: set_pad_to(ctx, take_argument(ctx, w)); return;
        }
    }
    fprintf(stderr, "%s: Invalid argument: %s\n", ctx->progname, word);
    pieshift_exit(1);
}

// A group of option letters; letters that take an argument take the following words in turn.
void handle_letters(context *ctx, const char *word, words *w) {
    for (const char *letter = word + 1; *letter != '\0'; letter++) {
        switch (*letter) {
        case 'd': define_sym(ctx->symtab, take_argument(ctx, w)); break;
        case 'f': load_symfile(ctx, take_argument(ctx, w)); break;
        case 'F': set_symfile_format(&ctx->symval_field, &ctx->symname_field, take_argument(ctx, w)); break;
        case 'o': ctx->output_path = take_argument(ctx, w); break;
        case 'O': set_output_format(ctx, take_argument(ctx, w)); break;
        case 'v':
            if (ctx->verbose < 100)
                ctx->verbose++;
            break;
        case 'V': show_version(); pieshift_exit(0);
        default:
            fprintf(stderr, "%s: Invalid option: -%c\n", ctx->progname, *letter);
            pieshift_exit(1);
        }
    }
}

// Scans the options; returns with w holding the operands.
void scan_options(context *ctx, words *w) {
    for (;;) {
        if (w->empty())
            missing_operand(ctx->progname);
        const char *word = *w->next;
        if (word[0] != '-')
            return;
        w->next++;
        if (word[1] == '\0') {
            fprintf(stderr, "%s: Invalid argument: %s\n", ctx->progname, word);
            pieshift_exit(1);
        }
        if (word[1] == '-')
            handle_long(ctx, word, w);
        else
            handle_letters(ctx, word, w);
    }
}

}  // namespace

namespace {

int run(int argc, char **argv) {
    context ctx{};
    ctx.progname = argc > 0 && argv[0] != nullptr ? argv[0] : "pieshift";
    ctx.symtab = symtab_create();
    ctx.symval_field = 1;
    ctx.symname_field = 2;
    if (ctx.symtab == nullptr) {
        fprintf(stderr, "ERROR: Could not create symtab: %s\n", strerror(errno));
        return 1;
    }
    // Only a run that returns (rather than exits) frees the table.
    std::unique_ptr<symtab, void (*)(symtab *)> symtab_owner(ctx.symtab, symtab_destroy);

    words w{argc > 0 ? argv + 1 : argv, argv + (argc > 0 ? argc : 0)};
    scan_options(&ctx, &w);

    if (w.end - w.next < 2)
        missing_operand(ctx.progname);
    if (w.end - w.next > 2) {
        fprintf(stderr, "%s: unexpected operand: \"%s\"\n", ctx.progname, w.next[2]);
        return 1;
    }
    const char *address_text = w.next[0];
    const char *input = w.next[1];
    ctx.input_path = input;
    if (!symfile_parse_u64(address_text, &ctx.address)) {
        fputs("ERROR: Unknown target address format\n", stderr);
        return 1;
    }
    if (ctx.output_path == nullptr) {
        size_t length = strlen(input);
        if (length >= 252) {
            fputs("ERROR: Input file path is too long.\n", stderr);
            return 1;
        }
        memcpy(default_output, input, length);
        memcpy(default_output + length, ".out", 5);
        ctx.output_path = default_output;
    }
    // The entry line would replace the image just written.
    if (ctx.entry_path != nullptr && osdep_same_file(ctx.output_path, ctx.entry_path)) {
        fprintf(stderr, "ERROR: The image and the entry point would both be written to '%s'\n", ctx.entry_path);
        return 1;
    }
    if (ctx.verbose >= 1)
        printf("Relocating '%s' to 0x%llx, and save to '%s'\n", input, static_cast<unsigned long long>(ctx.address),
               ctx.output_path);

    struct stat st;
    if (stat(input, &st) != 0) {
        fprintf(stderr, "%s: %s: %s\n", ctx.progname, input, strerror(errno));
        return -1;
    }
    // Writing an output over the input would truncate a mapped input while it is still read: take a
    // copy of the input then.
    bool copy = osdep_same_file(input, ctx.output_path) ||
                (ctx.entry_path != nullptr && osdep_same_file(input, ctx.entry_path));
    osdep_input bytes;
    kelpx_handle elf{};
    // errno tells a failed allocation from a malformed input; a mapping that failed before the copy
    // served must not count.
    bool loaded = osdep_input_open(&bytes, input, copy, {kelpx_ident_size, kelpx_ident_ok}) == 0;
    if (loaded) {
        errno = 0;
        loaded = kelpx_load_view(&elf, bytes.bytes, bytes.size) == 0;
    }
    if (!loaded) {
        osdep_input_close(&bytes);
        if (errno == ENOMEM) {
            fprintf(stderr, "ERROR: Could not load '%s': %s\n", input, strerror(errno));
            return 1;
        }
        fprintf(stderr, "%s: Could not load '%s' as ELF\n", ctx.progname, input);
        return -1;
    }
    int status = pieshift(&ctx, &elf);
    symtab_drop_section_reference(ctx.symtab);
    kelpx_unload(&elf);
    osdep_input_close(&bytes);
    return status;
}

}  // namespace

// The whole run; main's body, kept apart so that a fuzz harness can call it in process.
int main_run(int argc, char **argv);

int main_run(int argc, char **argv) {
    // Stages turn a failed allocation into their own message; this catches what no stage expected,
    // so that running out of memory is never a crash or a success.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "ERROR: Out of memory: %s\n", strerror(ENOMEM));
        return 1;
    }
}

#ifndef PIESHIFT_NO_MAIN
int main(int argc, char **argv) {
    return main_run(argc, argv);
}
#endif
