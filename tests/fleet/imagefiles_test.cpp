// The run's image files: read once for all devices, a file that could not be read is read again.
#include "fleet/imagefiles.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/testfolder.h"

namespace {

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(ImageFiles, DevicesOfOneFileShareTheBytesReadFirst) {
    const TestFolder folder("imagefiles_test");
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder / "fw.bin";
    Write(path, "first");
    ImageFiles files;
    std::shared_ptr<const std::vector<uint8_t>> a, b;
    ASSERT_EQ(files.Get(path, a), ImageRead::Ok);
    Write(path, "changed meanwhile"); // every device of the run gets what the first one read
    ASSERT_EQ(files.Get(path, b), ImageRead::Ok);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::string(b->begin(), b->end()), "first");
}

TEST(ImageFiles, AFileThatCouldNotBeReadIsReadAgain) {
    const TestFolder folder("imagefiles_test");
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder / "late.bin";
    ImageFiles files;
    std::shared_ptr<const std::vector<uint8_t>> image;
    EXPECT_EQ(files.Get(path, image), ImageRead::NotFound);
    Write(path, "");
    EXPECT_EQ(files.Get(path, image), ImageRead::Unreadable); // empty
    Write(path, "now there");
    ASSERT_EQ(files.Get(path, image), ImageRead::Ok);
    EXPECT_EQ(std::string(image->begin(), image->end()), "now there");
}

} // namespace
