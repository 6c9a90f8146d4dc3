// The input's bytes come from a mapping of the file: a file that shrinks under it must end the run
// with a message, not a crash.
#include <gtest/gtest.h>

#include "osdep.h"
#include "support/run.h"

TEST(OsdepInput, ShrinkingMappedFileIsReported) {
    const testrun::TempDir dir;
    dir.write("in", std::string(0x10000, 'x'));
    osdep_input in;
    ASSERT_EQ(osdep_input_open(&in, dir.file("in").c_str(), false), 0);
    ASSERT_NE(in.mapping, nullptr);
    std::filesystem::resize_file(dir.file("in"), 0);
    EXPECT_EXIT((void)*static_cast<const volatile uint8_t *>(in.bytes + in.size - 1),
                testing::ExitedWithCode(1), "^ERROR: Input file shrank while it was being read\n$");
    osdep_input_close(&in);
}
