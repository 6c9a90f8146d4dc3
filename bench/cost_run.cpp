// Cost of hostile inputs: builds each crafted input (huge shared names, many sections, colliding
// names in a symbol file, silly alignments), runs the tool on it and prints its wall time and peak
// memory. Not a test: the figures depend on the machine. Usage: cost_run PIESHIFT [DIR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../tests/support/pie.h"

namespace {

using pie::Built;

// An extra ELF64 section header: name is an offset into the strings given with it.
struct Sec {
    uint32_t name, type;
    uint64_t flags, addr, offset, size;
};

// Moves the section headers to the end of the file, followed by those in extra, and appends strings
// to the section name table. Counts past 0xff00 go through section 0 (extended numbering).
void add_sections(Built &b, const std::string &strings, const std::vector<Sec> &extra) {
    const uint64_t old_sh = b.at.at("sh"), strtab_off = b.get(b.sh(9, 24), 8), strtab_size = b.get(b.sh(9, 32), 8);
    const std::string headers = b.bytes.substr(old_sh, 10 * 64);
    const std::string names = b.bytes.substr(strtab_off, strtab_size) + strings;
    const uint64_t names_off = b.bytes.size();
    b.bytes += names;
    b.bytes.resize((b.bytes.size() + 7) & ~size_t{7});
    const uint64_t sh = b.bytes.size();
    b.bytes += headers;
    b.at["sh"] = sh;
    b.put(b.sh(9, 24), 8, names_off), b.put(b.sh(9, 32), 8, names.size());
    for (const Sec &s : extra) {
        const uint64_t o = b.bytes.size();
        b.bytes.append(64, '\0');
        b.put(o, 4, strtab_size + s.name), b.put(o + 4, 4, s.type), b.put(o + 8, 8, s.flags);
        b.put(o + 16, 8, s.addr), b.put(o + 24, 8, s.offset), b.put(o + 32, 8, s.size);
    }
    const uint64_t total = 10 + extra.size();
    b.put(40, 8, sh);
    b.put(60, 2, total < 0xff00 ? total : 0);
    if (total >= 0xff00) b.put(b.sh(0, 32), 8, total);
}

// The PJW hash of ELF hash sections: names made of blocks "aq" and "ba" all share one value.
uint32_t pjw(const std::string &s) {
    uint32_t h = 0;
    for (char c : s) {
        h = (h << 4) + static_cast<unsigned char>(c);
        if (uint32_t g = h & 0xf0000000u) h = (h & 0x0fffffffu) ^ (g >> 24);
    }
    return h;
}

std::string symbol_file(bool colliding) {
    std::string text;
    uint32_t seed = 12345, first_hash = 0;
    for (uint32_t i = 0; i < 65536; i++) {
        std::string name;
        for (unsigned bit = 0; bit < 16; bit++) {
            seed = seed * 1103515245u + 12345u;
            name += colliding ? (i >> bit & 1 ? "ba" : "aq") : std::string{char('a' + (seed >> 16) % 26), char('a' + (seed >> 8) % 26)};
        }
        if (i == 0) first_hash = pjw(name);
        if (colliding && pjw(name) != first_hash) std::fprintf(stderr, "cost_run: the colliding names do not collide\n");
        text += "0x" + std::to_string(i) + " " + name + "\n";
    }
    return text;
}

struct Case {
    std::string name, args;
    Built input;
    std::string symfile;
};

using Maker = std::function<Case()>;

// Each input is built when its turn comes and freed before the run: the child's peak memory
// counts what it inherits from this process.
std::vector<Maker> cases() {
    std::vector<Maker> c;
    const pie::Kind &k = pie::L64;
    constexpr uint32_t n_syms = 100000;
    c.push_back([&k] {
        Built b = pie::build(k, {});
        std::vector<Sec> extra;
        for (uint32_t i = 0; i < 64000; i++) extra.push_back({0, 1, 2, 0x40000000 + 16 * uint64_t{i}, 0x300, 8});
        add_sections(b, std::string(8u << 20, 'n') + '\0', extra);
        return Case{"64000 left-out sections naming one 8 MiB string", "", b, ""};
    });
    for (int variant = 0; variant < 4; variant++) {
        c.push_back([&k, variant] {
            const bool suffixes = variant >= 2, defined = variant % 2 == 1;
            const std::string long_name(4u << 20, 'n');
            pie::Pie shared;
            shared.syms.push_back({long_name});
            for (uint32_t i = 1; i < n_syms; i++) shared.syms.push_back({"x"});
            for (uint32_t i = 1; i <= n_syms; i++) shared.rels.push_back({0x300, i, pie::RA, 0});
            Built b = pie::build(k, shared);
            for (uint32_t i = 0; i < n_syms; i++) b.put(0x400 + 24 * (i + 1), 4, suffixes ? 1 + i : 1);
            std::string what = suffixes ? "100000 symbols named by suffixes of a 4 MiB name" : "100000 symbols sharing one 4 MiB name";
            if (defined) return Case{what + ", -f defines it", "-f s", b, "0x1234 " + long_name + "\n"};
            return Case{what, "", b, ""};
        });
    }
    c.push_back([&k] {
        pie::Pie p;
        std::vector<Sec> extra;
        for (uint32_t i = 0; i < 100000; i++) {
            extra.push_back({0, 1, 2, 0x40000000 + 16 * uint64_t{i}, 0x300, 8});
            p.rels.push_back({0x300, 0, pie::RR, 0x40000000 + 16 * uint64_t{i} + 8});
        }
        Built b = pie::build(k, p);
        add_sections(b, std::string("ro\0", 3), extra);
        return Case{"100000 relocations between 100000 left-out sections", "", b, ""};
    });
    c.push_back([&k] {
        Built b = pie::build(k, {});
        std::vector<Sec> extra;
        for (uint32_t i = 0; i < 200000; i++) {
            extra.push_back({0, 1, 3, 0x300, 0x300, 0x40});
            extra.push_back({0, 1, 2, 0x1000 + 8 * uint64_t{i}, 0x300, 8});
        }
        add_sections(b, std::string("s\0", 2), extra);
        return Case{"400000 sections, half of them in the image", "", b, ""};
    });
    c.push_back([&k] { return Case{"symbol file: 65536 names of one PJW hash", "-f s", pie::build(k, {}), symbol_file(true)}; });
    c.push_back([&k] { return Case{"symbol file: 65536 random names", "-f s", pie::build(k, {}), symbol_file(false)}; });
    c.push_back([&k] {
        Built b = pie::build(k, {});
        b.put(64 + 48, 8, 0x80000000), b.put(64 + 56 + 48, 8, 0x80000000);
        return Case{"PT_LOAD p_align 0x80000000", "", b, ""};
    });
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PIESHIFT [DIR]\n", argv[0]);
        return 2;
    }
    const std::string tool = std::filesystem::absolute(argv[1]);
    const std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path() / "pieshift-cost";
    std::filesystem::create_directories(dir);
    std::printf("%-58s %6s %9s %9s %8s\n", "input", "status", "input MB", "seconds", "peak MB");
    const char *only = std::getenv("COST_CASE");  // one case by its number, from 0
    const std::vector<Maker> makers = cases();
    for (size_t number = 0; number < makers.size(); number++) {
        if (only != nullptr && std::to_string(number) != only) continue;
        Case c = makers[number]();
        std::ofstream(dir / "in", std::ios::binary) << c.input.bytes;
        std::ofstream(dir / "s", std::ios::binary) << c.symfile;
        const double input_mb = static_cast<double>(c.input.bytes.size() + c.symfile.size()) / 1e6;
        c = Case{c.name, c.args, {}, {}};
        const std::string command = "exec '" + tool + "' " + c.args + " -o out 0x10000000 in >/dev/null 2>>err";
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) == 0) execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-58s %6d %9.1f %9.3f %8.1f\n", c.name.c_str(), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                    input_mb, seconds, static_cast<double>(usage.ru_maxrss) / 1024);
    }
    if (argc <= 2) std::filesystem::remove_all(dir);
    return 0;
}
