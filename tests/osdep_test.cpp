// An input that shrinks under its mapping, and an output whose commit fails: each ends with a
// message or -1, never a crash or a success.
#include "osdep.h"

#include <gtest/gtest.h>

#include "support/run.h"

namespace fs = std::filesystem;

// Reported at the read, with the temporary output file removed.
TEST(Osdep, ShrinkingMappedFileIsReported) {
    const testrun::TempDir dir;
    dir.write("in", std::string(0x10000, 'x'));
    osdep_input in;
    osdep_output out;
    ASSERT_EQ(osdep_input_open(&in, dir.file("in").c_str(), false) |
                  osdep_output_open(&out, dir.file("out").c_str()),
              0);
    fs::resize_file(dir.file("in"), 0);
    EXPECT_EXIT((void)*static_cast<const volatile uint8_t *>(in.bytes + in.size - 1),
                testing::ExitedWithCode(1), "^ERROR: Input file shrank");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
    osdep_input_close(&in);
}

// A target that became a directory cannot be replaced: the commit fails and leaves nothing behind.
TEST(Osdep, FailedCommitIsReported) {
    const testrun::TempDir dir;
    dir.write("out", "old");
    osdep_output out;
    ASSERT_EQ(osdep_output_open(&out, dir.file("out").c_str()), 0);
    fs::remove(dir.file("out"));
    fs::create_directories(dir.file("out/x"));
    EXPECT_EQ(osdep_output_commit(&out), -1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
}
