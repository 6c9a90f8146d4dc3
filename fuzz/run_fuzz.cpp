// The whole tool in process: the first four bytes choose the options (little-endian bits, below),
// the rest is INPUT. Outputs go to the scratch directory. Only crashes, hangs, leaks and sanitizer
// reports matter; run with -close_fd_mask=3 to keep the tool's messages out of the report.
#include <sys/resource.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"

int main_run(int argc, char **argv);

namespace {

// Each an ADDRESS operand: ordinary ones, one at the top of each class's space, and malformed ones.
constexpr const char *addresses[] = {"0x80000000", "0",  "0x100000", "0xfffff000", "0xFFFFFFFFFFFFF000",
                                     "-1",         "99999999999999999999", "0x"};

// The symbol file that -f names: the example's symbols and a few the seeds leave undefined.
constexpr char symbols[] =
    "# value name\n"
    "0x10000000 uart_base\n"
    "0x80000400 board_reset   jumps into the boot ROM\n"
    "0x1234 lib_counter\n";

std::vector<std::string> options_for(uint32_t bits, const std::string &dir) {
    std::vector<std::string> args{"pieshift"};
    for (uint32_t v = bits & 3; v > 0; v--)
        args.push_back("-v");
    constexpr const char *flags[] = {"--ignore-undefined", "--ignore-weak",   "--force-dynamic",
                                     "--ignore-unaligned-relsz", "--expect-rel", "--no-expect-rel",
                                     "--expect-pltrel",    "--no-expect-pltrel"};
    for (unsigned i = 0; i < 8; i++)
        if ((bits >> (2 + i) & 1) != 0)
            args.push_back(flags[i]);
    if ((bits >> 10 & 1) != 0)
        args.insert(args.end(), {"-f", dir + "/symbols"});
    if ((bits >> 11 & 1) != 0)
        args.insert(args.end(), {"-d", "board_reset=0x8000"});
    args.insert(args.end(), {"-o", dir + "/image"});
    if ((bits >> 12 & 1) != 0)
        args.insert(args.end(), {"--output-entry", dir + ((bits >> 13 & 1) != 0 ? "/image" : "/entry")});
    args.push_back(addresses[bits >> 14 & 7]);
    args.push_back(dir + "/input");
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::route_exits();
    // Images beyond this fail to be written (the tool ignores SIGXFSZ), which exercises the removal
    // of the temporary file, and keeps a large legal image from costing a gigabyte of disk per run.
    rlimit fsize{16u << 20, 16u << 20};
    setrlimit(RLIMIT_FSIZE, &fsize);
    const std::string &dir = fuzz::scratch_dir();
    fuzz::write_file(dir + "/symbols", reinterpret_cast<const uint8_t *>(symbols), sizeof symbols - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t bits = 0;
    if (size >= 4) {
        bits = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
        data += 4;
        size -= 4;
    }
    const std::string &dir = fuzz::scratch_dir();
    fuzz::write_file(dir + "/input", data, size);
    std::vector<std::string> args = options_for(bits, dir);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    try {
        (void)main_run(static_cast<int>(args.size()), argv.data());
    } catch (const fuzz::exit_request &) {
    }
    return 0;
}
