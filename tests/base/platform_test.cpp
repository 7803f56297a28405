// The platform layer's own behaviour: UTF-8 file names reach the file system unchanged, the program
// finds itself, and the per-user state folder follows its environment variable.
#include "base/platform.h"
#include "tests/support/testfolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST(Platform, Utf8FileNameIsCreatedFoundAndReadBackUnchanged) {
    TestFolder folder("platform_test");
    ASSERT_FALSE(folder.Path().empty());
    const std::string name = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE6\x97\xA5.cfg"; // "Grüße € 日.cfg"
    const fs::path path = fs::path(folder.Path()) / PathFromUtf8(name);
    std::ofstream(path, std::ios::binary) << "x";
    ASSERT_TRUE(fs::exists(path));
    const fs::directory_iterator entry(folder.Path());
    ASSERT_NE(entry, fs::directory_iterator());
    EXPECT_EQ(PathToUtf8(entry->path().filename()), name);
}

TEST(Platform, ProgramPathIsAbsoluteAndNamesThisProgram) {
    const fs::path program = ExecutablePath();
    EXPECT_TRUE(program.is_absolute());
    EXPECT_TRUE(fs::exists(program));
    EXPECT_EQ(program.stem(), "platform_test");
}

TEST(Platform, StateFolderFollowsItsEnvironmentVariable) {
    TestFolder folder("platform_state");
    const char* names[] = {"XDG_STATE_HOME", "LOCALAPPDATA"}; // POSIX and Windows; each ignores the other
    std::optional<std::string> saved[2];
    for (int i = 0; i < 2; ++i) {
        if (const char* v = std::getenv(names[i]))
            saved[i] = v;
        SetEnvironment(names[i], folder.Path());
    }
    EXPECT_EQ(StateFolder(), fs::path(folder.Path()));
    for (int i = 0; i < 2; ++i)
        SetEnvironment(names[i], saved[i]);
}

} // namespace
