// e2e_rows: builds the common inputs and expectations, and runs one row through the real binary.
#include "support/e2e_rows.h"

#include <cinttypes>
#include <cstdio>

#include "support/run.h"

namespace e2e {

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

eb::Pie pie(F f, uint16_t machine) {
    eb::Pie p;
    p.fmt = f;
    p.machine = machine;
    p.text = eb::Bytes(0x40, 0x90);
    p.data = eb::Bytes(0x40, 0);
    return p;
}

eb::PieSym sym(const char *name, uint16_t shndx, uint64_t value, uint8_t bind) {
    return {name, eb::st_info(bind, eb::STT_NOTYPE), shndx, value};
}

uint64_t last_word(const eb::Pie &p) { return eb::build_pie(p).vspace_end - eb::word_size(p.fmt); }

Case applied(const eb::BuiltPie &b, const Stores &stores, Opts opts) {
    eb::Bytes img = b.image();
    for (const auto &[at, v] : stores) eb::put(img, b.image_off(at), eb::word_size(b.fmt), v, b.fmt.msb);
    return Case{b.bytes, std::move(opts), 0, "", "", img};
}

Case failing(const eb::BuiltPie &b, const std::string &err, Opts opts) {
    return Case{b.bytes, std::move(opts), 1, "", err + reloc_failed};
}

std::string preamble(const eb::BuiltPie &b, int verbose) {
    std::string s = "Relocating 'in.elf' to " + hex(target) + ", and save to 'in.elf.out'\n" +
                    "Search dynamic section...\nDetermine virtual space...\nVirtual space: " + hex(b.vspace_start) +
                    ".." + hex(b.vspace_end) + "\nCopy section contents to output space...\n";
    if (verbose < 2) return s;
    eb::Elf e = b.elf;
    for (const auto &[index, name] : {std::pair{1, ".text"}, std::pair{2, ".data"}}) {
        const eb::Section &sec = eb::section(e, name);
        s += "  Section #" + std::to_string(index) + " [" + name + "], " + std::to_string(sec.data.size()) +
             " octets at " + hex(sec.addr) + " (rel " + hex(sec.addr - b.vspace_start) + ")\n";
    }
    return s + "Done.\n";
}

void PrintTo(const Param &p, std::ostream *os) { *os << p.name; }

std::vector<Param> params(const std::vector<Row> &rows) {
    std::vector<Param> out;
    for (const Row &row : rows)
        for (const F f : row.kinds) out.push_back({row.name + "_" + eb::format_name(f), f, row.make});
    return out;
}

std::string param_name(const testing::TestParamInfo<Param> &info) { return info.param.name; }

// The first differing byte says more than two dumps of a whole image.
static testing::AssertionResult same_bytes(const eb::Bytes &got, const eb::Bytes &want) {
    if (got.size() != want.size())
        return testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i])
            return testing::AssertionFailure()
                   << "byte at image offset " << hex(i) << " is " << hex(got[i]) << ", want " << hex(want[i]);
    return testing::AssertionSuccess();
}

void run(const Case &c) {
    testrun::TempDir dir;
    dir.write("in.elf", c.input);
    Opts args = c.opts;
    args.push_back(hex(c.address));
    args.push_back("in.elf");
    const testrun::Result r = testrun::run_pieshift(args, dir.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (!c.image) {
        EXPECT_FALSE(dir.exists("in.elf.out"));
        return;
    }
    ASSERT_TRUE(dir.exists("in.elf.out"));
    EXPECT_TRUE(same_bytes(dir.read("in.elf.out"), *c.image));
}

}  // namespace e2e
