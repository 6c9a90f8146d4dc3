// Input mapped from a file that shrinks under it, and an output whose commit fails: each ends with
// a message or -1, never a crash or a success.
#include "osdep.h"

#include <gtest/gtest.h>

#include "support/run.h"

TEST(Osdep, ShrinkingMappedFileIsReported) {
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

// A target that became a directory cannot be replaced: the commit fails and leaves nothing behind.
TEST(Osdep, FailedCommitIsReported) {
    const testrun::TempDir dir;
    dir.write("out", "old");
    osdep_output out;
    ASSERT_EQ(osdep_output_open(&out, dir.file("out").c_str()), 0);
    std::filesystem::remove(dir.file("out"));
    std::filesystem::create_directories(dir.file("out/x"));
    EXPECT_EQ(osdep_output_commit(&out), -1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

// An image built inside its output file holds what was put and what was stored through the
// mapping, zeros elsewhere; it replaces the old file only when committed, and leaves no
// temporary file either way.
TEST(OsdepImage, ReplacesOutputOnlyWhenCommitted) {
    const std::string put(0x1001, 'x');  // crosses a page boundary
    const std::string built = std::string(0xfff, '\0') + put + std::string(0xfff, '\0') + "y";
    for (const bool commit : {true, false}) {
        const testrun::TempDir dir;
        dir.write("out", "old");
        osdep_image image;
        ASSERT_EQ(osdep_image_open(&image, dir.file("out").c_str(), 0x3000, true), 0);
        ASSERT_TRUE(osdep_image_in_file(&image));
        osdep_image_put(&image, 0xfff, reinterpret_cast<const uint8_t *>(put.data()), 0x1001);
        image.bytes[0x2fff] = 'y';
        EXPECT_EQ(image.bytes[0x1fff], 'x');
        EXPECT_TRUE(!commit ||
                    (osdep_image_finish(&image) == 0 && osdep_output_commit(&image.out) == 0));
        osdep_image_close(&image);
        EXPECT_EQ(dir.read("out"), commit ? built : "old");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
    }
}
