// Tests of the settings file data.dat: the bytes written, the length forms read, every load error keeping
// CfgFolder as it was, and where the file lives; and the settings of the window of many devices.
#include "app/fleetsettings.h"
#include "app/settings.h"
#include "base/platform.h"
#include "tests/support/testfolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes U32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
const Bytes kData = Text("data");
const Bytes kEnd = {'e', 'n', 'd', 0};

TEST(SettingsBytes, EmptyFolderIsThirteenBytes) {
    EXPECT_EQ(EncodeSettings(""),
              (Bytes{0x64, 0x61, 0x74, 0x61, 0x00, 0x65, 0x6E, 0x64, 0x00, 0x09, 0x00, 0x00, 0x00}));
}

TEST(SettingsBytes, FiveByteFolder) {
    EXPECT_EQ(EncodeSettings("C:\\fw"), (Bytes{0x64, 0x61, 0x74, 0x61, 0x05, 0x43, 0x3A, 0x5C, 0x66, 0x77,
                                               0x65, 0x6E, 0x64, 0x00, 0x0E, 0x00, 0x00, 0x00}));
}

TEST(SettingsBytes, OneByteLengthServesUpTo126) {
    const Bytes b126 = EncodeSettings(std::string(126, 'a'));
    EXPECT_EQ(b126.size(), 139u);
    EXPECT_EQ(b126[4], 126);
    EXPECT_EQ(Bytes(b126.end() - 4, b126.end()), U32(135));

    const Bytes b127 = EncodeSettings(std::string(127, 'a'));
    EXPECT_EQ(b127.size(), 144u);
    EXPECT_EQ(Bytes(b127.begin() + 4, b127.begin() + 9), Cat({{0xFF}, U32(127)}));
    EXPECT_EQ(Bytes(b127.end() - 4, b127.end()), U32(140));
}

class SettingsRoundTrip : public ::testing::TestWithParam<size_t> {};

TEST_P(SettingsRoundTrip, ReadsWhatItWrote) {
    std::string folder(GetParam(), 'x');
    for (size_t i = 0; i < folder.size(); ++i)
        folder[i] = static_cast<char>(0x20 + i % 200); // bytes above 0x7F too
    EXPECT_EQ(DecodeSettings(EncodeSettings(folder)), folder);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SettingsRoundTrip, ::testing::Values(0, 1, 126, 127, 128, 255, 300, 70000));

struct ReadCase {
    const char* name;
    Bytes file;
    std::optional<std::string> folder; // empty: a load error
};

class SettingsRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(SettingsRead, Decodes) {
    EXPECT_EQ(DecodeSettings(GetParam().file), GetParam().folder);
}

const Bytes kGood = EncodeSettings("C:\\fw");

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsRead,
    ::testing::Values(
        ReadCase{"Good", kGood, "C:\\fw"},
        ReadCase{"ExtraBytesIgnored", Cat({kGood, Text("trailing junk")}), "C:\\fw"},
        ReadCase{"SevenBitFormWithPassedOverByte", Cat({kData, {0x85, 0xAA}, Text("C:\\fw"), kEnd, U32(15)}),
                 "C:\\fw"},
        ReadCase{"LongFormWithTopBitAndPassedOverByte",
                 Cat({kData, {0xFF}, U32(0x80000005u), {0xAA}, Text("C:\\fw"), kEnd, U32(19)}), "C:\\fw"},
        ReadCase{"LongFormWithoutTopBit", Cat({kData, {0xFF}, U32(5), Text("C:\\fw"), kEnd, U32(18)}),
                 "C:\\fw"},
        ReadCase{"Empty", {}, std::nullopt},
        ReadCase{"WrongMagic", Cat({Text("date"), Bytes(kGood.begin() + 4, kGood.end())}), std::nullopt},
        ReadCase{"OnlyMagic", kData, std::nullopt},
        ReadCase{"EndsAfterTheFolder", Cat({kData, {5}, Text("C:\\fw")}), std::nullopt},
        ReadCase{"CountOneTooHigh", Cat({kData, {5}, Text("C:\\fw"), kEnd, U32(15)}), std::nullopt},
        ReadCase{"CountOneTooLow", Cat({kData, {5}, Text("C:\\fw"), kEnd, U32(13)}), std::nullopt},
        ReadCase{"CountCut", Cat({kData, {5}, Text("C:\\fw"), kEnd, {14, 0, 0}}), std::nullopt},
        ReadCase{"WrongEndMarker", Cat({kData, {5}, Text("C:\\fw"), Text("end!"), U32(14)}), std::nullopt},
        ReadCase{"LengthPastTheFile", Cat({kData, {0xFF}, U32(0x7FFFFFFF), Text("C:\\fw"), kEnd, U32(18)}),
                 std::nullopt},
        ReadCase{"LongLengthCut", Cat({kData, {0xFF, 5, 0}}), std::nullopt},
        ReadCase{"PassedOverByteMissing", Cat({kData, {0x80}}), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Loading and storing files ----

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    void TearDown() override { CfgFolder.clear(); }
    void Write(const Bytes& bytes) {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Bytes Read() {
        std::ifstream in(file, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), {});
    }

    TestFolder folder{"fwsettings"};
    const fs::path dir = folder.Path();
    const fs::path file = dir / "data.dat";
};

TEST_F(SettingsFile, MissingFileLeavesTheFolderAndIsWrittenAtTheEnd) {
    CfgFolder.clear();
    LoadSettings(file);
    EXPECT_EQ(CfgFolder, "");
    EXPECT_TRUE(StoreSettings(file));
    EXPECT_EQ(Read(), EncodeSettings(""));
}

TEST_F(SettingsFile, EveryLoadErrorKeepsTheFolderAsItWas) {
    const Bytes bad[] = {Cat({kData, {5}, Text("C:\\fw")}), Cat({kData, {5}, Text("C:\\fw"), kEnd, U32(15)}),
                         Cat({Text("DATA"), {0}, kEnd, U32(9)}), Bytes{}};
    for (const Bytes& b : bad) {
        Write(b);
        CfgFolder = "/kept/folder";
        LoadSettings(file);
        EXPECT_EQ(CfgFolder, "/kept/folder");
    }
}

TEST_F(SettingsFile, StoredFolderIsLoadedNextTime) {
    CfgFolder = "/home/op/firmware 2";
    ASSERT_TRUE(StoreSettings(file));
    CfgFolder.clear();
    LoadSettings(file);
    EXPECT_EQ(CfgFolder, "/home/op/firmware 2");
}

TEST_F(SettingsFile, StoringOverwritesALongerFile) {
    Write(Bytes(500, 0x55));
    CfgFolder = "/a";
    ASSERT_TRUE(StoreSettings(file));
    EXPECT_EQ(Read(), EncodeSettings("/a"));
}

TEST_F(SettingsFile, StoreCreatesTheConfigurationFolder) {
    const fs::path nested = dir / "config" / "fwupdate" / "data.dat";
    CfgFolder = "/x";
    ASSERT_TRUE(StoreSettings(nested));
    EXPECT_TRUE(fs::exists(nested));
}

TEST_F(SettingsFile, StoreIntoAFileThatIsAFolderFails) {
    fs::create_directories(file);
    EXPECT_FALSE(StoreSettings(file));
}

enum class UserFolder { None, Relative, Absolute };
enum class Where { None, Beside, User };

struct FolderCase {
    const char* name;
    bool writable;
    UserFolder userFolder;
    bool userFileExists;
    bool packaged;
    Where load;
    Where store;
};

class SettingsFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(SettingsFolder, IsBesideTheProgramWhenWritableElseThePerUserOne) {
    const FolderCase& c = GetParam();
    // Absolute paths of this system ("/..." on POSIX, "C:\..." on Windows).
    const fs::path root = fs::temp_directory_path().root_path();
    const fs::path program = root / "opt" / "fwupdate" / "bin";
    const fs::path user = root / "home" / "op" / ".config";
    const fs::path userFolder = c.userFolder == UserFolder::Absolute   ? user
                                : c.userFolder == UserFolder::Relative ? fs::path(".config")
                                                                       : fs::path();
    const auto path = [&](Where where) {
        return where == Where::Beside ? program / "data.dat"
               : where == Where::User ? user / "fwupdate" / "data.dat"
                                      : fs::path();
    };
    const SettingsFiles files =
        ChooseSettingsFiles(program, c.writable, userFolder, c.userFileExists, c.packaged);
    EXPECT_EQ(files.Load, path(c.load));
    EXPECT_EQ(files.Store, path(c.store));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFolder,
    ::testing::Values(
        FolderCase{"Writable", true, UserFolder::Absolute, true, false, Where::Beside, Where::Beside},
        FolderCase{"NotWritable", false, UserFolder::Absolute, true, false, Where::User, Where::User},
        FolderCase{"NotWritableReadsTheFileBesideUntilTheUserFolderHasOne", false, UserFolder::Absolute,
                   false, false, Where::Beside, Where::User},
        FolderCase{"NoUserFolderReadsBesideAndWritesNothing", false, UserFolder::None, false, false,
                   Where::Beside, Where::None},
        FolderCase{"RelativeUserFolderIsNeverUsed", false, UserFolder::Relative, false, false, Where::Beside,
                   Where::None},
        FolderCase{"PackagedNeverBesideTheProgram", true, UserFolder::Absolute, false, true, Where::User,
                   Where::User},
        FolderCase{"PackagedWithoutUserFolderHasNoFile", true, UserFolder::None, false, true, Where::None,
                   Where::None}),
    [](const auto& info) { return std::string(info.param.name); });

// Sets an environment variable for one scope, or unsets it (nullptr), and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name))
            saved = old;
        SetEnvironment(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ~ScopedEnv() { SetEnvironment(name, saved); }

private:
    const char* name;
    std::optional<std::string> saved;
};

TEST(SettingsPath, FollowsTheEnvironmentAndIsNeverRelative) {
    {
        // The per-user folder: XDG_CONFIG_HOME on POSIX, LOCALAPPDATA on Windows; each ignores the other.
        const fs::path user = fs::temp_directory_path() / "fw-xdg-test";
        const std::string userText = PathToUtf8(user);
        ScopedEnv xdg("XDG_CONFIG_HOME", userText.c_str());
        ScopedEnv local("LOCALAPPDATA", userText.c_str());
        EXPECT_EQ(SettingsFilesFor(PathFromUtf8("/no/such/folder/here")).Store,
                  user / "fwupdate" / "data.dat");
        const fs::path tmp = fs::temp_directory_path();
        EXPECT_EQ(SettingsFilesFor(tmp).Store, tmp / "data.dat");
    }
    // Without XDG_CONFIG_HOME and HOME the user database's home stands in, or there is no file.
    for (const char* home : {static_cast<const char*>(nullptr), "", "op"}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv noHome("HOME", home);
        const fs::path store = SettingsFilesFor("/no/such/folder/here").Store;
        EXPECT_TRUE(store.empty() || store.is_absolute()) << store;
    }
}

// The window of many devices' settings: what a text holds, a value out of range keeping its default.
struct FleetSettingsCase {
    const char* text;
    FleetSettings settings;
};
class FleetSettingsRead : public ::testing::TestWithParam<FleetSettingsCase> {};

TEST_P(FleetSettingsRead, DecodesAndWritesBack) {
    EXPECT_EQ(DecodeFleetSettings(GetParam().text), GetParam().settings);
    EXPECT_EQ(DecodeFleetSettings(EncodeFleetSettings(GetParam().settings)), GetParam().settings);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FleetSettingsRead,
    ::testing::Values(
        FleetSettingsCase{"", {}},
        FleetSettingsCase{
            "range=127.0.0.0/24\r\nport=2001\r\njobs=0\r\nretries=10\r\nconfig=C:\\fw\\a b.cfg\r\n"
            "width=900\r\nheight=560\r\nfuture=1\r\n",
            {{"127.0.0.0/24", "2001", 0, 10, 900, 560, "", ""}, "C:\\fw\\a b.cfg", {}}},
        FleetSettingsCase{"port=70000\njobs=-1\nretries=x\nwidth=900\nno line", {}},
        FleetSettingsCase{"range=a=b\nconfig=\n", {{"a=b", "2000", 4, 1, 0, 0, "", ""}, "", {}}},
        FleetSettingsCase{"waves=2,25%,100%\nmaxfailed=10%\nconfig-for=HWV=1.3=C:\\fw\\a=b.cfg\n"
                          "config-for=HWV=1.4=\nconfig-for=1.5=/fw/old.cfg\n",
                          {{"", "2000", 4, 1, 0, 0, "2,25%,100%", "10%"},
                           "",
                           {{"HWV=1.3", "C:\\fw\\a=b.cfg"}, {"1.5", "/fw/old.cfg"}}}},
        FleetSettingsCase{"waves=0,100%\nmaxfailed=x\n", {}}));

TEST(FleetSettingsFile, WrittenAndReadBack) {
    TestFolder folder("fleetsettings_test");
    ASSERT_FALSE(folder.Path().empty());
    const FleetSettings kept{{"127.0.9.0/24", "2000", 2, 3, 0, 0, "", ""}, "/fw/\nnot a new line.cfg", {}};
    const fs::path file = fs::path(folder.Path()) / "sub" / kFleetSettingsName;
    ASSERT_TRUE(StoreFleetSettings(file, kept));
    FleetSettings read = kept;
    read.Config = "/fw/ not a new line.cfg";
    EXPECT_EQ(LoadFleetSettings(file), read);
    EXPECT_EQ(LoadFleetSettings(file.parent_path() / "missing.ini"), FleetSettings{});
}

} // namespace
