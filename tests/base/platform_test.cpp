// The platform layer's own behaviour: UTF-8 file names reach the file system unchanged, the program
// finds itself, and the per-user state folder follows its environment variable.
#include "base/platform.h"
#include "tests/support/testfolder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST(Platform, Utf8FileNameIsCreatedFoundAndReadBackUnchanged) {
    TestFolder folder("platform_test");
    ASSERT_FALSE(folder.Path().empty());
    const std::string name = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE2\x82\xAC \xE6\x97\xA5.cfg"; // "Grüße € 日.cfg"
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

TEST(Platform, InstalledProgramFolderIsOneInProgramFilesOnWindowsOnly) {
    TestFolder folder("platform_installed");
    const fs::path top(folder.Path());
    const char* names[] = {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* v = std::getenv(names[i]))
            saved[i] = v;
        SetEnvironment(names[i], std::nullopt);
    }
    SetEnvironment("ProgramFiles", PathToUtf8(top / "Program Files"));
    // The variable means something on Windows only.
    const bool windows = fs::path::preferred_separator == '\\';
    std::string shouted = PathToUtf8(top / "Program Files" / "fwupdate");
    for (char& c : shouted)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(InstalledProgramFolder(top / "Program Files" / "fwupdate"), windows);
    EXPECT_EQ(InstalledProgramFolder(top / "Program Files"), windows);
    EXPECT_EQ(InstalledProgramFolder(PathFromUtf8(shouted)), windows); // letter case plays no part there
    EXPECT_FALSE(InstalledProgramFolder(top / "Program Files (x86)" / "fwupdate"));
    EXPECT_FALSE(InstalledProgramFolder(top / "tools"));
    EXPECT_FALSE(InstalledProgramFolder(top));
    for (int i = 0; i < 3; ++i)
        SetEnvironment(names[i], saved[i]);
}

TEST(Platform, FolderIsWritableWhenAFileCanBeCreatedInIt) {
    TestFolder folder("platform_writable");
    EXPECT_TRUE(FolderWritable(folder.Path()));
    EXPECT_TRUE(fs::is_empty(folder.Path())); // the probe is gone
    EXPECT_FALSE(FolderWritable(fs::path(folder.Path()) / "missing"));
    EXPECT_FALSE(FolderWritable({}));
}

TEST(Platform, AFileAndItsFolderAreSyncedAndOnlyARunningProcessIsAlive) {
    TestFolder folder("platform_sync");
    const fs::path path = fs::path(folder.Path()) / "r.json";
    const int file = FileCreate(path);
    ASSERT_GE(file, 0);
    EXPECT_TRUE(FileWriteAll(file, "{}") && FileSync(file));
    FileClose(file);
    EXPECT_EQ(fs::file_size(path), 2u);
    EXPECT_TRUE(FolderSync(folder.Path()));
    EXPECT_TRUE(ProcessAlive(ProcessId()));
    EXPECT_FALSE(ProcessAlive(99999999)); // beyond any process id of Linux, and no multiple of 4 (Windows)
    EXPECT_FALSE(ProcessAlive(0));
}

} // namespace
