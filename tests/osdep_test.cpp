// An output whose commit fails ends with -1, never a success.
#include "osdep.h"

#include <gtest/gtest.h>

#include "support/run.h"

namespace fs = std::filesystem;

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
