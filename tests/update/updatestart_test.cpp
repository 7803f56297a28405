// The update start: the connection, OEM and serial rules, the image path, image loading and checks,
// the worker and the result shown; against a listening test device, paced by a clock that does not sleep.
#include "update/updatestart.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "link/conbase.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/update/testdevice.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"

namespace {

// A session whose worker thread cannot be started.
class NoThreadSession : public UpdateSession {
public:
    using UpdateSession::UpdateSession;

protected:
    bool StartUpdateWorker(std::function<void()>) override { return false; }
};

bool HasUpdateEnd(const std::vector<Received>& m) {
    return std::any_of(m.begin(), m.end(),
                       [](const Received& r) { return r.Obj == 10 && r.Par == 9 && r.I32() == 0; });
}

class UpdateStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        TheLog().SetPath(logPath);
        image = DemoImage(3 * 256 + 7, 5);
        ASSERT_TRUE(WriteFileBytes(dir + "/fw.bin", image));
        fields.Filename = "fw.bin";
        fields.Checksum = ImageChecksum(image.data(), image.size());
        fields.FwVersion = 14;
        fields.FwRevision = 2;
        session.SetUpdateClock(&clock);
    }
    void TearDown() override {
        if (session.CurrentDevice.load() != 0)
            session.CloseDevice();
        // The log lets go of its file, so that the folder can go (Windows keeps a folder with an open
        // file in it).
        TheLog().SetPath(DefaultLogPath());
    }
    std::string WriteConfig() {
        const std::string path = dir + "/fw.cfg";
        EXPECT_TRUE(WriteFileBytes(path, EncipherConfig(ConfigXml(fields))));
        return path;
    }
    // Connects and lets the device count as answered, with what this connection reported.
    void ConnectAs(std::optional<int32_t> kennung, std::optional<int32_t> serial) {
        ASSERT_NE(session.OpenDevice("127.0.0.31", device.Port()), 0);
        ASSERT_TRUE(WaitUntil([&] { return device.Connections() == 1; }));
        session.MsgCallback(0);
        session.Online = 1;
        // Values of an earlier device that the rules must not use.
        session.Kennung = kennung.value_or(UpdateSession::OemNumber);
        session.KennungReported = kennung.has_value();
        session.Serial = serial.value_or(12345);
        session.SerialReported = serial.has_value();
    }
    bool LogHas(const std::string& line) { return CountLogLine(logPath, line) > 0; }
    bool NothingSent() {
        return !device.WaitFor([](const auto& m) { return !m.empty(); }, std::chrono::milliseconds(200));
    }

    TestFolder folder{"updatestart_test"};
    const std::string dir = folder.Path();
    const std::string logPath = dir + "/test.log";
    std::vector<uint8_t> image;
    ConfigFields fields;
    TestDevice device{"127.0.0.31"};
    ConBase link;
    RecordingView view;
    FakeClock clock;
    UpdateSession session{link, view};
    FwConfig config;
};

struct RuleCase {
    const char* title;
    bool admin;
    std::optional<int32_t> kennung; // nullopt: not reported by this connection
    int32_t useSerial;
    std::optional<int32_t> serial;
    UpdateOutcome outcome;
    const char* box; // the information box, or nullptr
};
void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.title;
}

class UpdateRules : public UpdateStartTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(UpdateRules, RulesDecideAndRefusalsSendNothing) {
    const RuleCase c = GetParam();
    fields.UseSeriennummer = c.useSerial;
    fields.Seriennummer = 12345;
    session.AdminMode = c.admin;
    ConnectAs(c.kennung, c.serial);
    EXPECT_EQ(session.StartUpdateWith(config, WriteConfig()), c.outcome);
    if (c.outcome == UpdateOutcome::Ok) {
        EXPECT_TRUE(LogHas("OK"));
        EXPECT_TRUE(device.WaitFor(HasUpdateEnd));
        EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate OK"});
    } else {
        EXPECT_FALSE(LogHas("OK"));
        EXPECT_TRUE(NothingSent());
        EXPECT_EQ(view.Messages(), std::vector<std::string>{c.box});
        EXPECT_EQ(view.All().at(0).What, "InfoBox");
    }
}

const int32_t kOem = UpdateSession::OemNumber;

INSTANTIATE_TEST_SUITE_P(
    Devices, UpdateRules,
    ::testing::Values(RuleCase{"OEM id matches", false, kOem, 0, 1, UpdateOutcome::Ok, nullptr},
                      RuleCase{"other OEM id", false, 11, 0, 1, UpdateOutcome::OemRefused,
                               "Online 19 Devices can be updated"},
                      RuleCase{"other OEM id, administrator", true, 11, 0, 1, UpdateOutcome::Ok, nullptr},
                      RuleCase{"OEM id not reported by this connection", false, std::nullopt, 0, 1,
                               UpdateOutcome::OemRefused, "Online 19 Devices can be updated"},
                      RuleCase{"OEM id not reported, administrator", true, std::nullopt, 0, 1,
                               UpdateOutcome::Ok, nullptr},
                      RuleCase{"serial bound and equal", false, kOem, 1, 12345, UpdateOutcome::Ok, nullptr},
                      RuleCase{"serial bound and different", false, kOem, 1, 12346,
                               UpdateOutcome::SerialRefused, "Update not allowed: Serial"},
                      RuleCase{"serial bound, not reported by this connection", false, kOem, 1, std::nullopt,
                               UpdateOutcome::SerialRefused, "Update not allowed: Serial"},
                      RuleCase{"serial bound, administrator", true, 11, -7, 12346,
                               UpdateOutcome::SerialRefused, "Update not allowed: Serial"},
                      RuleCase{"serial not bound", false, kOem, 0, 999, UpdateOutcome::Ok, nullptr}));

TEST_F(UpdateStartTest, NoConnectionAfterReadingTheFile) {
    EXPECT_EQ(session.StartUpdateWith(config, WriteConfig()), UpdateOutcome::NoConnection);
    const auto shown = view.All();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].What, "ShowTimed");
    EXPECT_EQ(shown[0].Text, "No connection");
    EXPECT_EQ(shown[0].A, 2000);
    // A file that cannot be read is reported first, connected or not.
    EXPECT_EQ(session.StartUpdateWith(config, dir + "/missing.cfg"), UpdateOutcome::BadConfig);
    const auto messages = view.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Error on reading config file");
}

TEST_F(UpdateStartTest, BadConfigWithDeviceSendsNothing) {
    ConnectAs(kOem, 1);
    ASSERT_TRUE(WriteFileBytes(dir + "/bad.cfg",
                               EncipherConfig("<Configuration><Inputs value='1'/></Configuration>")));
    EXPECT_EQ(session.StartUpdateWith(config, dir + "/bad.cfg"), UpdateOutcome::BadConfig);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Error on reading config file"});
    EXPECT_TRUE(NothingSent());
}

struct ImageCase {
    const char* title;
    std::string filename;              // Filename in the configuration
    std::optional<size_t> changeByte;  // flip this byte of the image on disk
    std::optional<uintmax_t> resizeTo; // write an image file of this many zero bytes
    UpdateOutcome outcome;
    std::string box;
};
void PrintTo(const ImageCase& c, std::ostream* os) {
    *os << c.title;
}

class UpdateImages : public UpdateStartTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(UpdateImages, ImageIsFoundInTheConfigFolderAndChecked) {
    const ImageCase c = GetParam();
    fields.Filename = c.filename;
    if (c.changeByte) {
        image[*c.changeByte] ^= 0x01;
        ASSERT_TRUE(WriteFileBytes(dir + "/fw.bin", image));
    }
    if (c.resizeTo) {
        ASSERT_TRUE(WriteFileBytes(dir + "/fw.bin", std::vector<uint8_t>(*c.resizeTo)));
    }
    ASSERT_TRUE(WriteFileBytes(dir + "/empty.bin", {}));
    ConnectAs(kOem, 1);
    EXPECT_EQ(session.StartUpdateWith(config, WriteConfig()), c.outcome);
    if (c.outcome == UpdateOutcome::Ok) {
        EXPECT_TRUE(device.WaitFor(HasUpdateEnd));
        EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate OK"});
    } else {
        EXPECT_TRUE(LogHas("OK")); // the rules passed; the image is refused
        EXPECT_EQ(view.Messages(), std::vector<std::string>{c.box});
        EXPECT_TRUE(NothingSent());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, UpdateImages,
    ::testing::Values(
        ImageCase{"plain name", "fw.bin", {}, {}, UpdateOutcome::Ok, ""},
        ImageCase{"Windows folder ignored", "C:\\release.1\\sub\\fw.bin", {}, {}, UpdateOutcome::Ok, ""},
        ImageCase{"slash folder ignored", "/elsewhere/fw.bin", {}, {}, UpdateOutcome::Ok, ""},
        ImageCase{
            "missing image", "nothere.bin", {}, {}, UpdateOutcome::ImageNotFound, "binary - File not found"},
        ImageCase{
            "empty image", "empty.bin", {}, {}, UpdateOutcome::ImageNotFound, "binary - File not found"},
        ImageCase{"empty Filename names the folder",
                  "",
                  {},
                  {},
                  UpdateOutcome::ImageNotFound,
                  "binary - File not found"},
        ImageCase{"one byte changed", "fw.bin", 100, {}, UpdateOutcome::InvalidImage, "invalid binary"},
        ImageCase{"beyond the page addressing",
                  "fw.bin",
                  {},
                  uintmax_t(kMaxImageBytes) + 1,
                  UpdateOutcome::ImageTooLarge,
                  "Image too large: at most 16905728 bytes (66038 pages)"}));

TEST_F(UpdateStartTest, AbcImageMatchesChecksum1378) {
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    ASSERT_TRUE(WriteFileBytes(dir + "/abc.bin", abc));
    fields.Filename = "abc.bin";
    fields.Checksum = 1378;
    ConnectAs(kOem, 1);
    EXPECT_EQ(session.StartUpdateWith(config, WriteConfig()), UpdateOutcome::Ok);
    ASSERT_TRUE(device.WaitFor(HasUpdateEnd));
    const auto m = device.Messages();
    // The name block carries "abc" (the file name cut at its dot); the page its three bytes unconverted.
    ASSERT_GE(m.size(), 7u);
    EXPECT_EQ(std::string(m[4].Data.begin(), m[4].Data.begin() + 4), std::string("abc\0", 4));
    EXPECT_EQ(m[6].Data, abc);
}

TEST_F(UpdateStartTest, ProgressShownThenResult) {
    ConnectAs(kOem, 1);
    ASSERT_EQ(session.StartUpdateWith(config, WriteConfig()), UpdateOutcome::Ok);
    const auto shown = view.All();
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown.front().What, "Progress");
    EXPECT_EQ(shown.front().Text, "Firmware Update:");
    EXPECT_EQ(shown.front().A, 0);
    EXPECT_EQ(shown.front().B, 10);
    EXPECT_EQ(shown[shown.size() - 2].What, "ProgressEnd");
    EXPECT_EQ(shown.back().What, "ShowTimed");
    EXPECT_EQ(shown.back().Text, "Firmwareupdate OK");
    EXPECT_EQ(shown.back().A, 2000);
    EXPECT_EQ(session.UpdateResult.load(), 1);
}

// While the worker runs the start shows activity five times a second, unless told not to: then it only
// waits for the worker's result. The worker here is held at its erase until a step shows (or a while).
class UpdateActivity : public UpdateStartTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdateActivity, StepsAreShownOnlyWhenAsked) {
    const bool steps = GetParam();
    session.ActivitySteps = steps;
    auto repaints = [&] {
        const auto shown = view.All();
        return std::count_if(shown.begin(), shown.end(), [](const auto& s) { return s.What == "Repaint"; });
    };
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms == 4000)
            WaitUntil([&] { return repaints() > 0; }, std::chrono::milliseconds(steps ? 10000 : 600));
    };
    ConnectAs(kOem, 1);
    ASSERT_EQ(session.StartUpdateWith(config, WriteConfig()), UpdateOutcome::Ok);
    EXPECT_EQ(repaints() > 0, steps);
    EXPECT_EQ(view.All().back().Text, "Firmwareupdate OK");
}

INSTANTIATE_TEST_SUITE_P(Steps, UpdateActivity, ::testing::Bool());

TEST_F(UpdateStartTest, ErrorReplyToAPageShowsError) {
    device.OnMessage = [](const Received& r) {
        DeviceAction a;
        if (r.Obj == 2 && r.Par == 11)
            a.Replies.push_back(ErrorReply(2, 11));
        return a;
    };
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == 6) // the pause after page 1
            WaitUntil([&] { return link.GetMsgCount() > 0; });
    };
    ConnectAs(kOem, 1);
    EXPECT_EQ(session.StartUpdateWith(config, WriteConfig()), UpdateOutcome::Error);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate ERROR"});
    EXPECT_EQ(session.UpdateResult.load(), -1);
}

TEST(UpdateStartWorker, WorkerThatCannotStartEndsInError) {
    TestDevice device("127.0.0.32");
    ConBase link;
    RecordingView view;
    NoThreadSession session(link, view);
    TestFolder folder("updatestart_worker");
    ASSERT_FALSE(folder.Path().empty());
    ASSERT_TRUE(WriteRelease(folder / "fw.bin", DemoImage(600, 3), {}, folder / "fw.cfg"));
    ASSERT_NE(session.OpenDevice("127.0.0.32", device.Port()), 0);
    session.MsgCallback(0);
    session.Online = 1;
    session.AdminMode = true;
    FwConfig config;
    EXPECT_EQ(session.StartUpdateWith(config, folder / "fw.cfg"), UpdateOutcome::WorkerFailed);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate ERROR"});
    EXPECT_FALSE(device.WaitFor([](const auto& m) { return !m.empty(); }, std::chrono::milliseconds(200)));
    session.CloseDevice();
}

struct PathCase {
    const char* cfg;
    const char* filename;
    const char* path;
};
class ImagePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ImagePath, FolderOfConfigAndNameAfterLastSeparator) {
    // Windows writes the same path with its own separator.
    EXPECT_EQ(ImagePathFor(GetParam().cfg, GetParam().filename),
              PathToUtf8(PathFromUtf8(GetParam().path).make_preferred()));
}

INSTANTIATE_TEST_SUITE_P(Names, ImagePath,
                         ::testing::Values(PathCase{"/c/cfg/a.cfg", "sub\\fw.bin", "/c/cfg/fw.bin"},
                                           PathCase{"/c/cfg/a.cfg", "sub/fw.bin", "/c/cfg/fw.bin"},
                                           PathCase{"/c/cfg/a.cfg", "C:\\x\\y/z\\fw.bin", "/c/cfg/fw.bin"},
                                           PathCase{"/c/cfg/a.cfg", "fw.bin", "/c/cfg/fw.bin"},
                                           PathCase{"/c/cfg/a.cfg", "", "/c/cfg/"},
                                           PathCase{"a.cfg", "fw.bin", "./fw.bin"}));

} // namespace
