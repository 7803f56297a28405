// A whole update against the device simulator (fwdevsim as a child process): identification, the
// rules, the image and the programming sequence; the simulator's JSON line tells what it received.
#include "update/updatestart.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <filesystem>

#include "base/log.h"
#include "link/conbase.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/tools/simprocess.h"
#include "tests/update/testdevice.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string TodayUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    return text;
}

// One simulated device and a session that talks to it.
class SimUpdate {
public:
    SimUpdate(const std::string& address, std::vector<std::string> simArgs, const std::string& folder)
        : address(address), folder(folder) {
        simArgs.insert(simArgs.end(), {"--image-out", folder + "/received.bin"});
        port = sim.StartDevice(FWDEVSIM_PATH, address, simArgs).value_or(0);
    }

    // Connects and pumps MsgCallback until the device has answered and pred holds; false (with the
    // simulator's errors reported) when it never started listening.
    bool ConnectAndIdentify(UpdateSession& session, const std::function<bool()>& done) {
        if (port == 0) {
            ADD_FAILURE() << "fwdevsim is not listening: " << sim.ErrText();
            return false;
        }
        if (session.OpenDevice(address, port) == 0)
            return false;
        session.RequestIdentification();
        return WaitUntil([&] {
            session.MsgCallback(0);
            return session.Online.load() == 1 && done();
        });
    }

    // Closes the connection once everything sent has been acknowledged (n WOKs of (10,9) logged) and
    // returns the session's JSON line.
    nlohmann::json Finish(UpdateSession& session, const std::string& logPath, size_t updateWoks) {
        WaitUntil([&] {
            session.MsgCallback(0);
            return CountLogLine(logPath, "Q7Config::MsgCallback: WOK Obj(10,9)") >= updateWoks;
        });
        if (session.CurrentDevice.load() != 0)
            session.CloseDevice();
        const std::optional<std::string> json = sim.NextJson();
        nlohmann::json j = json ? nlohmann::json::parse(*json, nullptr, false) : nlohmann::json();
        if (!j.is_object()) {
            ADD_FAILURE() << "no session line from the simulator: " << json.value_or("(none)");
            return nlohmann::json::object();
        }
        return j;
    }

    std::string address;
    std::string folder;
    SimProcess sim;
    int port = 0; // 0: the simulator did not start listening
};

class UpdateE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        TheLog().SetPath(logPath);
    }

    // Writes the image and a configuration that matches it; returns the configuration's path.
    std::string WriteRelease(const std::vector<uint8_t>& image, ConfigFields fields = {}) {
        if (!fields.Filename || *fields.Filename == "fw.bin")
            fields.Filename = "C:\\builds\\DSPMAIN.V14.bin";
        EXPECT_TRUE(::WriteRelease(dir + "/DSPMAIN.V14.bin", image, fields, dir + "/release.cfg"));
        return dir + "/release.cfg";
    }
    bool Identified() { return session.KennungReported.load() && session.SerialReported.load(); }

    TestFolder folder{"update_e2e_test"};
    const std::string dir = folder.Path();
    const std::string logPath = dir + "/test.log";
    ConBase link;
    RecordingView view;
    FakeClock clock;
    UpdateSession session{link, view};
    FwConfig config;
};

void ExpectComplete(const nlohmann::json& j, const std::vector<uint8_t>& image,
                    const std::string& receivedPath) {
    const int64_t pages = PageCount(static_cast<int64_t>(image.size()));
    EXPECT_EQ(j.at("pages"), pages);
    EXPECT_EQ(j.at("bytes"), static_cast<int64_t>(image.size()));
    EXPECT_EQ(j.at("orderErrors"), 0) << j.at("problems").dump();
    EXPECT_EQ(j.at("name").get<std::string>(), "DSPMAIN");
    EXPECT_EQ(j.at("dateYmd").get<std::string>(), TodayUtc());
    EXPECT_EQ(j.at("erases"), 1);
    EXPECT_EQ(j.at("updateStarted"), true);
    EXPECT_EQ(j.at("imageEnded"), true);
    EXPECT_EQ(j.at("updateEnded"), true);
    EXPECT_EQ(j.at("errorReplies"), 0);
    // The simulator writes the received image right after its JSON line.
    EXPECT_TRUE(WaitUntil([&] {
        std::error_code ec;
        return fs::file_size(receivedPath, ec) == image.size() && !ec;
    }));
    EXPECT_EQ(ReadFileBytes(receivedPath).value_or(std::vector<uint8_t>{}), image);
}

class UpdateE2ESizes : public UpdateE2E, public ::testing::WithParamInterface<size_t> {};

TEST_P(UpdateE2ESizes, FullUpdateArrivesCompleteAndInOrder) {
    const std::vector<uint8_t> image = DemoImage(GetParam(), static_cast<uint32_t>(GetParam()));
    ConfigFields fields;
    fields.FwVersion = 14;
    fields.FwRevision = 7;
    const std::string cfg = WriteRelease(image, fields);
    SimUpdate sim("127.0.0.33", {"--once"}, dir);
    ASSERT_NE(sim.port, 0) << sim.sim.ErrText();
    session.SetUpdateClock(&clock);
    ASSERT_TRUE(sim.ConnectAndIdentify(session, [&] { return Identified(); }));
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::Ok);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate OK"});
    const nlohmann::json j = sim.Finish(session, logPath, 2);
    ExpectComplete(j, image, dir + "/received.bin");
    EXPECT_EQ(j.at("version"), 14);
    EXPECT_EQ(j.at("revision"), 7);
}

INSTANTIATE_TEST_SUITE_P(Images, UpdateE2ESizes, ::testing::Values(256, 257, 100 * 1024 + 3));

// The one update at the real pace: 2 pages, about 4.6 s; the progress steps while it runs.
TEST_F(UpdateE2E, RealPacedUpdateStepsTheProgress) {
    const std::vector<uint8_t> image = DemoImage(300, 9);
    const std::string cfg = WriteRelease(image);
    SimUpdate sim("127.0.0.34", {"--once"}, dir);
    ASSERT_TRUE(sim.ConnectAndIdentify(session, [&] { return Identified(); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::Ok);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2 * 50 + 4000 + 10 + 3 + 500));
    ExpectComplete(sim.Finish(session, logPath, 2), image, dir + "/received.bin");

    std::vector<int> positions;
    for (const auto& s : view.All())
        if (s.What == "Progress") {
            EXPECT_EQ(s.Text, "Firmware Update:");
            EXPECT_EQ(s.B, 10);
            positions.push_back(s.A);
        }
    // Opened at 0, then 0, 1, ..., 10, 0, 1, ... every 200 ms.
    ASSERT_GE(positions.size(), 14u);
    for (size_t i = 1; i < positions.size(); ++i)
        EXPECT_EQ(positions[i], static_cast<int>((i - 1) % 11)) << i;
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate OK"});
}

struct RefusalCase {
    const char* title;
    const char* address;
    std::vector<std::string> simArgs;
    bool admin;
    std::function<void(ConfigFields&, std::string& cfgText)> edit; // the configuration
    bool breakImage;                                               // change one byte on disk
    bool removeImage;
    UpdateOutcome outcome;
};
void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.title;
}

class UpdateE2ERules : public UpdateE2E, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UpdateE2ERules, RefusalSendsNothingAndAdminPasses) {
    const RefusalCase& c = GetParam();
    std::vector<uint8_t> image = DemoImage(700, 4);
    ConfigFields fields;
    std::string cfgText;
    if (c.edit)
        c.edit(fields, cfgText);
    std::string cfg = WriteRelease(image, fields);
    if (!cfgText.empty()) {
        ASSERT_TRUE(WriteFileBytes(cfg, EncipherConfig(cfgText)));
    }
    if (c.breakImage) {
        image[10] ^= 0x40;
        ASSERT_TRUE(WriteFileBytes(dir + "/DSPMAIN.V14.bin", image));
    }
    if (c.removeImage)
        fs::remove(dir + "/DSPMAIN.V14.bin");
    session.AdminMode = c.admin;
    session.SetUpdateClock(&clock);
    SimUpdate sim(c.address, c.simArgs, dir);
    ASSERT_TRUE(sim.ConnectAndIdentify(session, [&] { return Identified(); }));
    EXPECT_EQ(session.StartUpdateWith(config, cfg), c.outcome);
    const nlohmann::json j = sim.Finish(session, logPath, c.outcome == UpdateOutcome::Ok ? 2 : 0);
    if (c.outcome == UpdateOutcome::Ok) {
        ExpectComplete(j, image, dir + "/received.bin");
    } else {
        EXPECT_EQ(j.at("writes"), 0);
        EXPECT_EQ(j.at("updateStarted"), false);
    }
}

// The configuration allows only the device with serial number 12345.
void BindToSerial12345(ConfigFields& f, std::string&) {
    f.UseSeriennummer = 1;
    f.Seriennummer = 12345;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, UpdateE2ERules,
    ::testing::Values(
        RefusalCase{"other OEM in OEM mode",
                    "127.0.0.35",
                    {"--oem", "11"},
                    false,
                    {},
                    false,
                    false,
                    UpdateOutcome::OemRefused},
        RefusalCase{"other OEM in admin mode",
                    "127.0.0.36",
                    {"--oem", "11"},
                    true,
                    {},
                    false,
                    false,
                    UpdateOutcome::Ok},
        RefusalCase{"serial differs",
                    "127.0.0.37",
                    {"--serial", "12346"},
                    false,
                    BindToSerial12345,
                    false,
                    false,
                    UpdateOutcome::SerialRefused},
        RefusalCase{"serial matches",
                    "127.0.0.38",
                    {"--serial", "12345"},
                    false,
                    BindToSerial12345,
                    false,
                    false,
                    UpdateOutcome::Ok},
        RefusalCase{
            "image not found", "127.0.0.39", {}, false, {}, false, true, UpdateOutcome::ImageNotFound},
        RefusalCase{"invalid binary", "127.0.0.40", {}, false, {}, true, false, UpdateOutcome::InvalidImage},
        RefusalCase{"bad config",
                    "127.0.0.41",
                    {},
                    false,
                    [](ConfigFields&, std::string& text) { text = "<Configuration><Filename>x</Filename>"; },
                    false,
                    false,
                    UpdateOutcome::BadConfig}));

TEST_F(UpdateE2E, NoConnectionSendsNothing) {
    const std::string cfg = WriteRelease(DemoImage(100, 1));
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::NoConnection);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"No connection"});
}

TEST_F(UpdateE2E, LinkDroppedMidUpdateEndsInError) {
    const std::vector<uint8_t> image = DemoImage(10 * 256, 6);
    const std::string cfg = WriteRelease(image);
    SimUpdate sim("127.0.0.42", {"--once", "--close-after-pages", "3"}, dir);
    ASSERT_TRUE(sim.ConnectAndIdentify(session, [&] { return Identified(); }));
    const int handle = session.CurrentDevice.load();
    session.SetUpdateClock(&clock);
    // After page 3 has been queued, let the link see the device close after its third page.
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == 5 + 3)
            WaitUntil([&] { return link.IsOpen(handle) == 0; });
    };
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::Error);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate ERROR"});
    const nlohmann::json j = sim.Finish(session, logPath, 0);
    EXPECT_EQ(j.at("end").get<std::string>(), "fault-close");
    EXPECT_LE(j.at("pages"), 4);
    EXPECT_EQ(j.at("imageEnded"), false);
}

TEST_F(UpdateE2E, ErrorReplyToAPageEndsInError) {
    const std::vector<uint8_t> image = DemoImage(8 * 256, 7);
    const std::string cfg = WriteRelease(image);
    SimUpdate sim("127.0.0.43", {"--once", "--error-on-page", "2"}, dir);
    ASSERT_TRUE(sim.ConnectAndIdentify(session, [&] { return Identified(); }));
    session.SetUpdateClock(&clock);
    // At the pause after page 2, the worker takes the replies until the error has come.
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == 5 + 2)
            WaitUntil([&] {
                session.MsgCallback(0);
                return CountLogLine(logPath, "Q7Config::MsgCallback: Error Obj(2,12)") > 0;
            });
    };
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::Error);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Firmwareupdate ERROR"});
    const nlohmann::json j = sim.Finish(session, logPath, 1);
    EXPECT_EQ(j.at("pages"), 3);
    EXPECT_EQ(j.at("errorReplies"), 1);
    EXPECT_EQ(j.at("imageEnded"), false);
}

TEST_F(UpdateE2E, SecondDeviceWithoutOemIdIsRefused) {
    const std::string cfg = WriteRelease(DemoImage(600, 8));
    session.SetUpdateClock(&clock);
    {
        SimUpdate first("127.0.0.44", {"--once"}, dir);
        ASSERT_TRUE(first.ConnectAndIdentify(session, [&] { return Identified(); }));
        ASSERT_EQ(session.Kennung, UpdateSession::OemNumber);
        first.Finish(session, logPath, 0);
        ASSERT_TRUE(WaitUntil([&] {
            session.MsgCallback(0);
            return session.CurrentDevice.load() == 0;
        }));
    }
    SimUpdate second("127.0.0.45", {"--once", "--no-answer", "1,5"}, dir);
    ASSERT_TRUE(second.ConnectAndIdentify(session, [&] { return session.SerialReported.load(); }));
    EXPECT_EQ(session.Kennung, UpdateSession::OemNumber); // still shown from the first device
    EXPECT_EQ(session.StartUpdateWith(config, cfg), UpdateOutcome::OemRefused);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Online 19 Devices can be updated"});
    const nlohmann::json j = second.Finish(session, logPath, 0);
    EXPECT_EQ(j.at("writes"), 0);
}

} // namespace
