// Writes a synthetic static PIE for the side-by-side comparison, and prints the -d options that
// define its undefined symbols.
//   gen_bigpie [--machine x86_64|s390x|i386|arm-be] [--text-mib N] [--data-mib N] [--relative N]
//              [--symbolic N] [--plt N] [--symbols N] [--text-bytes N] [--data-bytes N] [--page N] OUTPUT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bigpie.h"

namespace {

int usage() {
    std::fputs("usage: gen_bigpie [--machine x86_64|s390x|i386|arm-be] [--text-mib N] [--data-mib N]\n"
               "                  [--relative N] [--symbolic N] [--plt N] [--symbols N] [--text-bytes N]\n"
               "                  [--data-bytes N] [--page N] OUTPUT\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bigpie::params p;
    const char *output = nullptr;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg[0] != '-') {
            output = argv[i];
            continue;
        }
        if (i + 1 == argc)
            return usage();
        const char *value = argv[++i];
        const uint64_t number = std::strtoull(value, nullptr, 0);
        if (arg == "--machine") {
            if (!bigpie::parse_kind(value, &p.machine))
                return usage();
        } else if (arg == "--text-mib") {
            p.text_size = number << 20;
        } else if (arg == "--data-mib") {
            p.data_size = number << 20;
        } else if (arg == "--text-bytes") {  // for inputs of a few KB
            p.text_size = number;
        } else if (arg == "--data-bytes") {
            p.data_size = number;
        } else if (arg == "--page") {
            p.page = number;
        } else if (arg == "--relative") {
            p.relative = number;
        } else if (arg == "--symbolic") {
            p.symbolic = number;
        } else if (arg == "--plt") {
            p.plt = number;
        } else if (arg == "--symbols") {
            p.symbols = static_cast<uint32_t>(number);
        } else {
            return usage();
        }
    }
    if (output == nullptr)
        return usage();
    std::FILE *f = std::fopen(output, "wb");
    if (f == nullptr) {
        std::perror(output);
        return 1;
    }
    bigpie::sink out;
    out.file = f;
    const bool ok = bigpie::generate(p, &out);
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "gen_bigpie: could not write %s\n", output);
        std::remove(output);
        return 1;
    }
    for (uint32_t i = 0; i < p.symbols; i++)
        std::printf("%s-d %s=0x%x", i == 0 ? "" : " ", bigpie::symbol_name(i).c_str(), 0x10000000u + 0x100u * i);
    std::printf("\n");
    return 0;
}
