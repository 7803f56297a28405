// fwupdate-cli end to end: the tool runs as a child process against fwdevsim children on their own
// loopback addresses; the simulators' JSON lines tell what each device received.
#include "crypto/sha256.h"
#include "base/platform.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/tools/simprocess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

namespace {

using namespace std::chrono_literals;

// Command-line tool tests own 127.0.0.50 - 127.0.0.99, always with ephemeral ports.
std::string Addr(int last) {
    return "127.0.0." + std::to_string(last);
}

struct Firmware {
    std::string cfg;
    std::vector<uint8_t> image;
    std::string name; // what the device is told at (2,4)
};

// Writes an image of size bytes and its configuration; change edits the fields before enciphering.
Firmware WriteFirmware(const TestFolder& dir, const std::string& imageName, size_t size, uint32_t seed,
                       const std::function<void(ConfigFields&)>& change = {}) {
    Firmware fw;
    fw.image = DemoImage(size, seed);
    fw.name = FirmwareName(imageName);
    ConfigFields f;
    f.Filename = "C:\\release\\" + imageName; // the folder plays no part: the image lies beside the file
    f.FwVersion = 3;
    f.FwRevision = static_cast<int32_t>(seed);
    fw.cfg = dir / (imageName + ".cfg");
    EXPECT_TRUE(WriteRelease(dir / imageName, fw.image, f, fw.cfg, change));
    return fw;
}

// In the order of the line, so that the tests see the order of the fields.
using Json = nlohmann::ordered_json;

// One JSON line as an object; anything else fails the test and gives an empty object.
Json ParseJson(const std::string& line) {
    Json j = Json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << line;
    return j.is_object() ? j : Json::object();
}

// A "2026-12-08T07:45:12.345Z" text as a time point; nothing when the text is not one.
std::optional<std::chrono::system_clock::time_point> ParseUtcTime(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, n = 0;
    if (text.size() != 24 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &y, &mo, &d, &h, &mi, &s, &ms, &n) != 7 ||
        n != 24)
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
    if (!date.ok() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    return sys_days(date) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
}

// Every event of the tool: an object that starts with "event" and then "time", a time of the run.
void CheckEvent(const Json& j, std::chrono::system_clock::time_point from,
                std::chrono::system_clock::time_point to) {
    ASSERT_GE(j.size(), 2u) << j.dump();
    auto field = j.items().begin();
    EXPECT_EQ(field.key(), "event") << j.dump();
    ++field;
    ASSERT_EQ(field.key(), "time") << j.dump();
    const auto when =
        field.value().is_string() ? ParseUtcTime(field.value().get<std::string>()) : std::nullopt;
    ASSERT_TRUE(when.has_value()) << j.dump();
    // A minute either side: the tool and the test read the same clock, which may still be set meanwhile.
    EXPECT_GE(*when, from - std::chrono::minutes(1)) << j.dump();
    EXPECT_LE(*when, to + std::chrono::minutes(1)) << j.dump();
}

struct Sim {
    SimProcess proc;
    int port = 0;
    std::string addr;

    // once: the simulator ends after its first session; otherwise it serves until stopped.
    bool Start(const std::string& address, std::vector<std::string> args = {}, bool once = true) {
        addr = address;
        if (once)
            args.insert(args.begin(), "--once");
        port = proc.StartDevice(FWDEVSIM_PATH, address, args).value_or(0);
        return port != 0;
    }
    std::string Device() const { return addr + ":" + std::to_string(port); }
    // The session report, printed when the tool has closed the connection.
    Json Report() {
        const auto line = proc.NextJson(20s);
        if (!line) {
            ADD_FAILURE() << "no JSON line from the simulator; stderr:\n" << proc.ErrText();
            return Json::object();
        }
        return ParseJson(*line);
    }
};

struct CliRun {
    std::optional<int> code;
    std::vector<std::string> lines; // standard output
    std::vector<Json> events;       // with --json: the lines, parsed
    std::string err;
    int pid = 0;
    std::string Out() const {
        std::string all;
        for (const auto& l : lines)
            all += l + "\n";
        return all;
    }
    bool Has(const std::string& text) const { return Out().find(text) != std::string::npos; }
};

// Runs the tool to its end (bounded) and collects its output; with --json every line must be an event.
CliRun RunCli(const std::vector<std::string>& args, std::chrono::seconds limit = 30s) {
    SimProcess p;
    CliRun run;
    const auto from = std::chrono::system_clock::now();
    if (!p.Start(CLI_PATH, args)) {
        ADD_FAILURE() << "fwupdate-cli did not start";
        return run;
    }
    run.pid = p.Pid();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto line = p.NextJson(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now())))
        run.lines.push_back(*line);
    run.code = p.WaitExit(5s);
    run.err = p.ErrText(1s);
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
        const auto to = std::chrono::system_clock::now();
        for (const auto& line : run.lines) {
            run.events.push_back(ParseJson(line));
            CheckEvent(run.events.back(), from, to);
        }
    }
    return run;
}

// The run's one summary event, last, after every device's done, with these counts and code.
void CheckSummary(const std::vector<Json>& events, const Json& results, int devices, int code) {
    ASSERT_FALSE(events.empty());
    const Json& summary = events.back();
    std::vector<std::string> keys;
    for (const auto& field : summary.items())
        keys.push_back(field.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"event", "time", "results", "devices", "code", "seconds"}))
        << summary.dump();
    EXPECT_EQ(summary.value("event", ""), "summary");
    EXPECT_EQ(summary.value("results", Json()), results) << summary.dump();
    EXPECT_EQ(summary.value("devices", -1), devices);
    EXPECT_EQ(summary.value("code", -1), code);
    EXPECT_GE(summary.value("seconds", -1.0), 0.0);
    auto count = [&](const char* event) {
        return std::count_if(events.begin(), events.end(),
                             [&](const Json& e) { return e.value("event", "") == event; });
    };
    EXPECT_EQ(count("summary"), 1);
    EXPECT_EQ(count("done"), devices);
}

// A fleet larger than the open-file limit allows is refused before any connection, naming both numbers.
TEST(CliFleet, MoreDevicesThanTheOpenFileLimitHoldsAreRefusedBeforeConnecting) {
    // The shell lowers the limit (soft and hard, so the tool cannot raise it) and becomes the tool.
    std::vector<std::string> args{"-c", "ulimit -n 40 && exec \"$0\" \"$@\"", CLI_PATH, "info"};
    for (int i = 0; i < 20; ++i)
        args.insert(args.end(), {"--device", "127.0.0." + std::to_string(100 + i) + ":2000"});
    SimProcess p;
    ASSERT_TRUE(p.Start("/bin/sh", args));
    EXPECT_FALSE(p.NextJson(10s)) << "wrote before refusing";
    EXPECT_EQ(p.WaitExit(10s), 1);
    const std::string err = p.ErrText(1s);
    EXPECT_NE(err.find("cannot hold 20 devices: the system lets this process open 40 files"),
              std::string::npos)
        << err;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every test writes the tool's diagnostic log into its own file.
class CliTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        ::setenv("FWUPDATE_LOG", (dir / "fwupdate-cli.log").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("FWUPDATE_LOG"); }
    TestFolder dir{"cli_test_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name())};
};

// ---- command line ----

struct UsageCase {
    const char* label;
    std::vector<std::string> args;
    const char* message;
};

class CliUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, IsRefusedWithUsageCodeAndReason) {
    const CliRun run = RunCli(GetParam().args, 10s);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
    EXPECT_TRUE(run.lines.empty()) << run.Out();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsage,
    testing::Values(
        UsageCase{"NoCommand", {}, "no command"},
        UsageCase{"UnknownCommand", {"frobnicate"}, "unknown command"},
        UsageCase{"UpdateWithoutConfig", {"update", "--device", "127.0.0.50"}, "--config"},
        UsageCase{"UpdateWithoutDevice", {"update", "--config", "a.cfg"}, "--device"},
        UsageCase{"PortZero", {"info", "--device", "127.0.0.50:0"}, "port"},
        UsageCase{"PortTooLarge", {"info", "--device", "127.0.0.50:65536"}, "port"},
        UsageCase{"NoHost", {"info", "--device", ":2000"}, "no host"},
        UsageCase{
            "SameDeviceTwice",
            {"update", "--device", "127.0.0.50:2000", "--device", "127.000.0.50:2000", "--config", "a.cfg"},
            "twice"},
        UsageCase{"ScanMoreThanASlash16", {"scan", "127.0.0.0/15"}, "65536"},
        UsageCase{"WavesThatDoNotGrow",
                  {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--waves", "5,2"},
                  "must be more than 5"},
        UsageCase{"WavesAndCanary",
                  {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--waves", "1,100%", "--canary", "1"},
                  "give one of them"},
        UsageCase{"NoFailureLimit",
                  {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--max-failed", "two"},
                  "no failure limit"},
        UsageCase{"ConfigForWithoutVersion", {"update", "--device", "127.0.0.50", "--config-for", "a.cfg"},
                  "VERSION=FILE.cfg"},
        UsageCase{"OnlyAVersion", {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--only-version", "7"},
                  "--only-version"},
        UsageCase{"ScanRangeBackwards", {"scan", "127.0.0.9-3"}, "after '-'"},
        UsageCase{"ZeroTimeout", {"info", "--device", "127.0.0.50", "--timeout", "0"}, "--timeout"},
        UsageCase{"ZeroProgressStep",
                  {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--progress-every", "0"},
                  "--progress-every"},
        UsageCase{"AdminOutsideUpdate", {"info", "--device", "127.0.0.50", "--admin"}, "unknown option"},
        UsageCase{"InspectWithoutFile", {"inspect"}, "configuration file"},
        UsageCase{"OptionWithoutValue", {"update", "--config"}, "needs a value"},
        UsageCase{"ValueTakenByTheNextOption",
                  {"update", "--device", "--config", "a.cfg"},
                  "--device needs a value"},
        UsageCase{
            "ShortValueTakenByTheNextOption", {"update", "-d", "127.0.0.50", "-c", "-d"}, "-c needs a value"},
        UsageCase{"TooManyColons", {"info", "--device", "127.0.0.50:2000:1"}, "more than one ':'"},
        UsageCase{"BracketedIpv6", {"info", "--device", "[::1]:2000"}, "IPv4"},
        UsageCase{"BlankInHost", {"info", "--device", "127.0.0 .50"}, "blanks in the host"},
        UsageCase{"DottedLookalike",
                  {"info", "--device", "127.0.20.300"},
                  "--device 127.0.20.300: '300': an IPv4 address is four numbers from 0 to 255"},
        UsageCase{"JobsBeyondTheLimit",
                  {"update", "--devices-from", "l.txt", "--config", "a.cfg", "--jobs", "99999999999"},
                  "--jobs needs one number of devices from 1 to 1000000"},
        UsageCase{"ScanRangeWithPort",
                  {"scan", "127.0.20.0/24:2000"},
                  "a range takes no port; give it with --port (127.0.20.0/24 --port 2000)"},
        UsageCase{"FlagWithValue", {"info", "--device", "127.0.0.50", "--json=yes"}, "--json takes no value"},
        UsageCase{"InfoWithoutDevices", {"info", "--json"}, "--devices-from"},
        UsageCase{"TooManyRetries",
                  {"update", "--device", "127.0.0.50", "--config", "a.cfg", "--retries", "101"},
                  "--retries"},
        UsageCase{"ReportOfUnknownFormat",
                  {"info", "--device", "127.0.0.50", "--report", "r.txt"},
                  ".json or .csv"},
        UsageCase{
            "ZeroJobs", {"update", "--devices-from", "l.txt", "--config", "a.cfg", "--jobs", "0"}, "--jobs"},
        UsageCase{"EmptyLogName", {"info", "--device", "127.0.0.50", "--log="}, "--log needs a"},
        UsageCase{"ScanWithoutRange", {"scan", "--port", "2000"}, "address range"},
        UsageCase{"ScanPortZero", {"scan", "127.0.0.50-51", "--port", "0"}, "--port"},
        UsageCase{
            "RetriesOutsideUpdate", {"info", "--device", "127.0.0.50", "--retries", "1"}, "unknown option"},
        UsageCase{"RedoResultsWithoutRedo",
                  {"info", "--device", "127.0.0.50", "--redo-results", "all"},
                  "--redo-results needs --redo"},
        UsageCase{"RedoOfAList", {"info", "--redo", "list.txt"}, "a report's name ends in .json or .csv"},
        UsageCase{"RedoOfAnUnknownResult",
                  {"info", "--redo", "r.csv", "--redo-results", "failed,fine"},
                  "'fine' is not a result word"},
        UsageCase{"RedoOfAMissingReport", {"info", "--redo", "missing.json"}, "cannot be read"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CliHelp, NamesEveryExitCodeAndTheDryRunTraffic) {
    const CliRun run = RunCli({"--help"}, 10s);
    EXPECT_EQ(run.code, 0);
    for (const char* text : {"exit codes", "  3 ", "  4 ", "  5 ", "  6 ", "  7 ", "  8 ", "  9 ", "129",
                             "130", "143", "identification reads", "highest code"})
        EXPECT_TRUE(run.Has(text)) << text;
}

TEST(CliHelp, ACommandsHelpShowsItsOwnOptions) {
    const CliRun run = RunCli({"update", "--device", "127.0.0.50", "--help"}, 10s);
    EXPECT_EQ(run.code, 0);
    for (const char* text :
         {"-d,--device", "-c,--config", "--devices-from", "--retries", "--jobs", "--report", "--replace", "--redo",
          "--redo-results", "--log", "a silent device", "--port", "fails exactly as the one before"})
        EXPECT_TRUE(run.Has(text)) << text;
    EXPECT_FALSE(run.Has("--write-list")) << run.Out();
}

// ---- inspect ----

TEST_F(CliTest, InspectPrintsTheFieldsOfAValidFile) {
    const Firmware fw = WriteFirmware(dir, "DSPMAIN.V14.bin", 300, 5, [](ConfigFields& f) {
        f.UseSeriennummer = 1;
        f.Seriennummer = 4242;
        f.EnableFIR = std::nullopt; // absent: read as 0
    });
    const CliRun run = RunCli({"inspect", fw.cfg}, 10s);
    EXPECT_EQ(run.code, 0) << run.Out();
    EXPECT_TRUE(run.Has(": valid")) << run.Out();
    EXPECT_TRUE(run.Has("Filename:         C:\\release\\DSPMAIN.V14.bin")) << run.Out();
    EXPECT_TRUE(run.Has("bound to Seriennummer 4242")) << run.Out();
    EXPECT_TRUE(run.Has("FwRevision:       5")) << run.Out();
    EXPECT_TRUE(run.Has("300 bytes, 2 pages, checksum matches")) << run.Out();

    const CliRun json = RunCli({"inspect", fw.cfg, "--json"}, 10s);
    ASSERT_EQ(json.events.size(), 1u) << json.Out();
    const Json& j = json.events[0];
    EXPECT_EQ(j.at("valid"), true);
    EXPECT_EQ(j.at("fields").at("Seriennummer"), 4242);
    EXPECT_EQ(j.at("fields").at("EnableFIR"), 0);
    EXPECT_EQ(j.at("image").at("pages"), 2);
    EXPECT_EQ(j.at("image").at("checksumMatches"), true);
    EXPECT_EQ(std::prev(j.end()).key(), "fingerprint");
    EXPECT_EQ(j.at("fingerprint").get<std::string>().size(), 64u);
}

TEST_F(CliTest, InspectGivesTheCodeUpdateWouldGive) {
    const Firmware noDsp =
        WriteFirmware(dir, "a.bin", 10, 1, [](ConfigFields& f) { f.DSPVersion = std::nullopt; });
    ASSERT_TRUE(WriteFileBytes(dir / "plain.cfg", std::vector<uint8_t>(32, 'x')));
    // An intact image beside a configuration cut short.
    const Firmware cut = WriteFirmware(dir, "cut.bin", 300, 2);
    std::vector<uint8_t> cfg = ReadFileBytes(cut.cfg).value_or(std::vector<uint8_t>{});
    cfg.resize(cfg.size() - 5);
    ASSERT_TRUE(WriteFileBytes(cut.cfg, cfg));
    const Firmware wrongSum =
        WriteFirmware(dir, "sum.bin", 300, 3, [](ConfigFields& f) { *f.Checksum += 1; });
    const Firmware noImage =
        WriteFirmware(dir, "gone.bin", 300, 4, [](ConfigFields& f) { f.Filename = "missing.bin"; });
    // "." names the configuration's own folder: an image that exists and cannot be read, even by root.
    const Firmware folder = WriteFirmware(dir, "dot.bin", 300, 5, [](ConfigFields& f) { f.Filename = "."; });
    const std::vector<std::tuple<std::string, int, std::string>> rows = {
        {noDsp.cfg, 3, "Error on reading config file"},
        {dir / "plain.cfg", 3, "Error on reading config file"},
        {dir / "missing.cfg", 3, "Error on reading config file"},
        {cut.cfg, 3, "Error on reading config file: " + cut.cfg + " (its length"},
        {wrongSum.cfg, 8, "checksum differs (invalid binary)"},
        {noImage.cfg, 7, "image not found: " + std::string(dir / "missing.bin")},
        {folder.cfg, 7, "image cannot be read: " + std::string(dir / ".") + " (it is a folder, not a file)"},
    };
    for (const auto& [file, code, text] : rows) {
        const CliRun run = RunCli({"inspect", file}, 10s);
        EXPECT_EQ(run.code, code) << file << "\n" << run.Out();
        EXPECT_TRUE(run.Has(text)) << file << "\n" << run.Out();
        EXPECT_FALSE(code == 3 && run.Has("checksum differs")) << file << "\n" << run.Out();
        const CliRun json = RunCli({"inspect", file, "--json"}, 10s);
        ASSERT_EQ(json.events.size(), 1u) << json.Out();
        EXPECT_EQ(json.events[0].at("code"), code) << file;
        // Only a configuration and an image that were both read have a fingerprint.
        EXPECT_EQ(json.events[0].at("fingerprint").is_string(), code == 8) << file;
    }
    // A file name that is not UTF-8: the byte becomes U+FFFD and the line still parses.
    const CliRun json = RunCli({"inspect", dir / "bad\xFF.cfg", "--json"}, 10s);
    EXPECT_EQ(json.code, 3);
    ASSERT_EQ(json.events.size(), 1u) << json.Out();
    EXPECT_EQ(json.events[0].value("file", ""), std::string(dir / "bad") + "\xEF\xBF\xBD.cfg");
    EXPECT_EQ(json.events[0].value("readable", true), false);
}

// ---- info ----

TEST_F(CliTest, InfoPrintsWhatTheDeviceReports) {
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(50), {"--oem", "11", "--serial", "123", "--version", "2.7", "--mode", "31",
                                     "--name", "ABC", "--oem-name", "Oem User", "--device-name",
                                     "SIXTEEN-LETTERS!", "--library-name", "lib"}));
    const CliRun run = RunCli({"info", "--device", sim.Device()}, 20s);
    EXPECT_EQ(run.code, 0) << run.Out() << run.err;
    for (const char* line :
         {"  Kennung:        11 KORVAL", "  Version:        HWV=2.7", "  Seriennummer:   00000123",
          "  Mode:           1Fh", "  ManName:        ABC", "  UserName:       Oem User",
          "  OemDeviceName:  SIXTEEN-LETTERS!", "  LibraryName:    lib"})
        EXPECT_TRUE(run.Has(std::string(line) + "\n")) << line << "\n" << run.Out();
    const Json j = sim.Report();
    EXPECT_EQ(j.at("writes"), 0);
    EXPECT_GE(j.at("reads"), 9);
    // The same lines as the window writes them.
    const std::string log = ReadText(dir / "fwupdate-cli.log");
    EXPECT_NE(log.find("VskComTest::ReceivedSerial: SERIAL=123\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("VskComTest::ReceivedVersion: VERSION=HWV=2.7\r\n"), std::string::npos) << log;
}

TEST_F(CliTest, InfoJsonNamesAnIdUnknownToTheListAndEndsWithTheSummary) {
    Sim sim;
    // Texts that are not UTF-8 (read as Latin-1) or hold control characters still give lines that parse.
    ASSERT_TRUE(sim.Start(Addr(51), {"--oem", "7", "--name", "M\xFCller", "--device-name", "A\x01\"\\\xC3",
                                     "--library-name", "\xE2\x82\xAC ok"}));
    // A second device that nobody answers for: its own done, and the summary counts both.
    const std::string silent = Addr(79) + ":1";
    const CliRun run = RunCli({"info", "--device", sim.Device(), "--device", silent, "--json"}, 20s);
    EXPECT_EQ(run.code, 4) << run.Out();
    std::map<std::pair<std::string, std::string>, Json> events; // by device and event
    for (const Json& j : run.events)
        events[{j.value("device", ""), j.value("event", "")}] = j;
    auto event = [&](const std::string& device, const char* name) {
        const auto found = events.find({device, name});
        return found != events.end() ? found->second : Json::object();
    };
    const Json identified = event(sim.Device(), "identified");
    EXPECT_EQ(identified.value("kennung", 0), 7) << run.Out();
    EXPECT_TRUE(identified.value("kennungText", Json(0)).is_null());
    EXPECT_EQ(identified.value("serialText", ""), "12345678");
    EXPECT_EQ(identified.value("name", ""), "M\xC3\xBCller");
    EXPECT_EQ(identified.value("deviceName", ""), "A?\"\\\xC3\x83");
    EXPECT_EQ(identified.value("libraryName", ""), "\xE2\x82\xAC ok");
    EXPECT_EQ(event(sim.Device(), "done").value("code", -1), 0);
    EXPECT_EQ(event(silent, "done").value("result", ""), "no-connection");
    CheckSummary(run.events, {{"no-connection", 1}, {"ok", 1}}, 2, 4);
}

struct NoAnswerCase {
    const char* label;
    std::vector<std::string> simArgs; // empty: no simulator, the device text is used as it is
    const char* device;
    const char* message;
    const char* cause; // the report's word for it
    const char* timeout = "0.5";
};

class CliInfoNoAnswer : public testing::TestWithParam<NoAnswerCase> {};

std::vector<std::map<std::string, std::string>> ReadReport(const std::string& path);

TEST_P(CliInfoNoAnswer, EndsWithNoConnectionCodeAndItsCauseInTheReport) {
    const NoAnswerCase& c = GetParam();
    TestFolder dir("cli_noanswer");
    Sim sim;
    std::string device = c.device;
    if (!c.simArgs.empty()) {
        ASSERT_TRUE(sim.Start(c.device, c.simArgs));
        device = sim.Device();
    }
    const std::string report = dir / "run.csv";
    const CliRun run = RunCli({"info", "--device", device, "--timeout", c.timeout, "--report", report}, 20s);
    EXPECT_EQ(run.code, 4) << run.Out();
    EXPECT_TRUE(run.Has(c.message)) << run.Out();
    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("result"), "no-connection");
    EXPECT_EQ(records[0].at("cause"), c.cause);
    EXPECT_EQ(records[0].at("flash"), "untouched");
    EXPECT_NE(records[0].at("detail").find(c.message), std::string::npos) << records[0].at("detail");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliInfoNoAnswer,
    testing::Values(
        NoAnswerCase{"SilentDevice", {"--silent"}, "127.0.0.52", "no answer from", "no-answer"},
        NoAnswerCase{
            "HangsUp", {"--hang-up"}, "127.0.0.53", "closed the connection at once", "closed-at-once"},
        NoAnswerCase{"Refused", {"--refuse"}, "127.0.0.54", ": refused (nothing accepts", "refused"},
        NoAnswerCase{
            "UnresolvableHost", {}, "no-such-host!", "\"no-such-host!\" is not resolved", "not-resolved"},
        NoAnswerCase{"SilentBeyondTheLinksLimit",
                     {"--silent"},
                     "127.0.0.52",
                     "sent nothing for 5 s; the link closes a silent device",
                     "silent",
                     "8"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- refusals and dry runs: the device receives reads only ----

struct RefusalCase {
    const char* label;
    int addr;
    std::vector<std::string> simArgs;
    std::function<void(ConfigFields&)> change;
    std::vector<std::string> extraArgs;
    int code;
    const char* message;     // the window's text
    const char* detail = ""; // what the tool adds (in the JSON "detail" with --json)
    // Whether the device is connected at all: an image problem refuses every device before connecting.
    bool connected = true;
};

class CliRefusal : public CliTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(CliRefusal, GivesItsCodeAndMessageAndWritesNothing) {
    const RefusalCase& c = GetParam();
    const Firmware fw = WriteFirmware(dir, "fw.bin", 600, 9, c.change);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(c.addr), c.simArgs));
    std::vector<std::string> args{"update", "--device", sim.Device(), "--config", fw.cfg, "--timeout", "1"};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    const CliRun run = RunCli(args, 20s);
    EXPECT_EQ(run.code, c.code) << run.Out() << run.err;
    EXPECT_TRUE(run.Has(c.message)) << run.Out();
    EXPECT_TRUE(run.Has(c.detail)) << run.Out();
    EXPECT_FALSE(run.Has("Firmwareupdate OK")) << run.Out();
    if (!c.connected) {
        EXPECT_TRUE(run.Has("; 1 device not connected (exit " + std::to_string(c.code) + ")")) << run.Out();
        EXPECT_FALSE(run.Has(": connected")) << run.Out();
        sim.proc.Signal(SIGTERM);
        EXPECT_EQ(sim.proc.WaitExit(), 0);
        EXPECT_FALSE(sim.proc.NextJson(100ms).has_value()) << "the device was connected";
        return;
    }
    const Json j = sim.Report();
    EXPECT_EQ(j.at("writes"), 0) << j.dump();
    EXPECT_EQ(j.at("updateStarted"), false);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliRefusal,
    testing::Values(
        RefusalCase{"OemRule",
                    55,
                    {"--oem", "11"},
                    {},
                    {},
                    5,
                    "Online 19 Devices can be updated",
                    "the device reports OEM id 11"},
        RefusalCase{"OemRuleJsonDetail",
                    64,
                    {"--oem", "11"},
                    {},
                    {"--json"},
                    5,
                    "\"message\":\"Online 19 Devices can be updated\"",
                    "\"detail\":\"refused by the OEM rule: the device reports OEM id 11"},
        RefusalCase{
            "OemIdNeverReported", 56, {"--no-answer", "1,5"}, {}, {}, 5, "has not reported its OEM id"},
        RefusalCase{"SerialRule",
                    57,
                    {},
                    [](ConfigFields& f) {
                        f.UseSeriennummer = 1;
                        f.Seriennummer = 999;
                    },
                    {},
                    6,
                    "Update not allowed: Serial",
                    "bound to serial 999, the device reports serial 12345678"},
        RefusalCase{"ImageNotFound",
                    58,
                    {},
                    [](ConfigFields& f) { f.Filename = "missing.bin"; },
                    {},
                    7,
                    "binary - File not found",
                    "image not found: ",
                    false},
        RefusalCase{"ImageCannotBeRead",
                    58,
                    {},
                    [](ConfigFields& f) { f.Filename = "."; }, // the configuration's own folder
                    {},
                    7,
                    "binary - File not found",
                    "image cannot be read: ",
                    false},
        RefusalCase{"InvalidBinary",
                    59,
                    {},
                    [](ConfigFields& f) { *f.Checksum += 1; },
                    {},
                    8,
                    "invalid binary",
                    "differs from the configuration's",
                    false},
        RefusalCase{"DeviceSilent", 60, {"--silent"}, {}, {}, 4, "No connection"},
        RefusalCase{"DryRun", 61, {}, {}, {"--dry-run"}, 0, "(2,10)-(2,12)"},
        RefusalCase{"DryRunAdminLiftsOemRule",
                    62,
                    {"--oem", "11"},
                    {},
                    {"--dry-run", "--admin"},
                    0,
                    "nothing was written"},
        RefusalCase{"DryRunStillChecksTheSerial",
                    63,
                    {},
                    [](ConfigFields& f) {
                        f.UseSeriennummer = 1;
                        f.Seriennummer = 1;
                    },
                    {"--dry-run"},
                    6,
                    "Update not allowed: Serial"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(CliTest, DryRunNamesThePageObjectsAcrossObjectsInTextAndJson) {
    // 300 pages: 246 on object 2 (parameters 10-255), then 54 on object 3 (parameters 0-53).
    const Firmware fw = WriteFirmware(dir, "big.bin", 300 * 256, 1);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(65)));
    const CliRun text = RunCli({"update", "--device", sim.Device(), "--config", fw.cfg, "--dry-run"}, 20s);
    EXPECT_EQ(text.code, 0) << text.Out() << text.err;
    EXPECT_TRUE(text.Has("(2,10)-(2,255), (3,0)-(3,53)")) << text.Out();
    EXPECT_EQ(sim.Report().at("writes"), 0);

    Sim jsonSim; // each simulator serves one session
    ASSERT_TRUE(jsonSim.Start(Addr(78)));
    const CliRun json =
        RunCli({"update", "--device", jsonSim.Device(), "--config", fw.cfg, "--dry-run", "--json"}, 20s);
    EXPECT_EQ(json.code, 0) << json.Out() << json.err;
    Json objects;
    for (const Json& j : json.events)
        if (j.contains("pageObjects"))
            objects = j.at("pageObjects");
    const Json expected = Json::parse(R"([{"obj":2,"firstPar":10,"lastPar":255,"pages":246},
                                          {"obj":3,"firstPar":0,"lastPar":53,"pages":54}])");
    EXPECT_EQ(objects, expected) << json.Out();
    CheckSummary(json.events, {{"dry-run", 1}}, 1, 0);
    EXPECT_EQ(jsonSim.Report().at("writes"), 0);
}

TEST_F(CliTest, UnreadableConfigurationTouchesNoDevice) {
    ASSERT_TRUE(WriteFileBytes(dir / "bad.cfg", std::vector<uint8_t>(48, 0x55)));
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(64)));
    const CliRun run = RunCli({"update", "-d", sim.Device(), "-c", dir / "bad.cfg", "--retries", "2"}, 20s);
    EXPECT_EQ(run.code, 3);
    EXPECT_TRUE(run.Has("Error on reading config file")) << run.Out();
    // No session at all: stopped, the simulator reports none.
    sim.proc.Signal(SIGTERM);
    EXPECT_EQ(sim.proc.WaitExit(), 0);
    EXPECT_FALSE(sim.proc.NextJson(100ms).has_value());
}

TEST_F(CliTest, UpdateNamesWhyTheConfigurationIsUnusable) {
    ASSERT_TRUE(WriteFileBytes(dir / "empty.cfg", {}));
    ASSERT_TRUE(WriteFileBytes(dir / "short.cfg", std::vector<uint8_t>(15, 0x55)));
    ASSERT_TRUE(WriteFileBytes(dir / "image.bin", DemoImage(700, 3)));
    const std::string xml = "<?xml version=\"1.0\"?><Configuration></Configuration>";
    ASSERT_TRUE(WriteFileBytes(dir / "plain.cfg", std::vector<uint8_t>(xml.begin(), xml.end())));
    ASSERT_TRUE(WriteFileBytes(dir / "broken.cfg", EncipherConfig("<a>\n<b></a>")));
    std::filesystem::create_directories(dir / "folder.cfg");
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"missing.cfg", "(the file does not exist)"},
        {"folder.cfg", "(it is a folder, not a file)"},
        {"empty.cfg", "(the file is empty)"},
        {"short.cfg", "(its length, 15 bytes, is not a multiple of 16: truncated)"},
        {"image.bin", "(this is not an enciphered configuration: deciphered, it holds no XML document (a "
                      "firmware image or a "
                      "file of another kind))"},
        {"plain.cfg", "(this is not an enciphered configuration: it is plain XML)"},
        {"broken.cfg", "(no valid configuration document: not enciphered, another key, or not marked valid)"},
    };
    for (const auto& [file, reason] : rows) {
        // The configuration is read before any device is touched: the port is never connected.
        const CliRun run = RunCli({"update", "--device", Addr(65) + ":1", "--config", dir / file}, 10s);
        EXPECT_EQ(run.code, 3) << file;
        EXPECT_TRUE(run.Has("Error on reading config file: " + std::string(dir / file) + " " + reason))
            << file << "\n"
            << run.Out();
    }
}

// ---- updates ----

TEST_F(CliTest, UpdateWritesTheImageIntactAndLogsAsTheWindow) {
    const Firmware fw = WriteFirmware(dir, "TINY.V3.bin", 300, 7);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(66), {"--image-out", dir / "received.bin"}));
    const CliRun run =
        RunCli({"update", "--device", sim.Device(), "--config", fw.cfg, "--progress-every", "1"});
    EXPECT_EQ(run.code, 0) << run.Out() << run.err;
    EXPECT_TRUE(run.Has("Firmwareupdate OK")) << run.Out();
    // Not a terminal: plain progress lines.
    EXPECT_TRUE(run.Has("page 1/2 (50%)")) << run.Out();
    EXPECT_TRUE(run.Has("page 2/2 (100%)")) << run.Out();

    const Json j = sim.Report();
    EXPECT_EQ(j.at("pages"), 2);
    EXPECT_EQ(j.at("bytes"), 300);
    EXPECT_EQ(j.at("checksum"), ImageChecksum(fw.image.data(), fw.image.size()));
    EXPECT_EQ(j.at("name").get<std::string>(), "TINY");
    EXPECT_EQ(j.at("version"), 3);
    EXPECT_EQ(j.at("revision"), 7);
    EXPECT_EQ(j.at("orderErrors"), 0) << j.dump();
    EXPECT_EQ(j.at("imageEnded"), true);
    EXPECT_EQ(j.at("updateEnded"), true);
    EXPECT_EQ(ReadFileBytes(dir / "received.bin"), fw.image);

    // The window's lines, each after the device it is about.
    const std::string log = ReadText(dir / "fwupdate-cli.log");
    size_t at = 0;
    for (const char* line :
         {"Q7Config::MsgCallback: CONNECTED\r\n", "VskComTest::ReceivedSerial: SERIAL=12345678\r\n",
          "OK\r\n", "Starting Erasing Flash\r\n", "Q7Config::WritePage: page= 0\r\n",
          "Q7Config::WritePage: page= 1\r\n", "Q7Config::MsgCallback: CLOSED\r\n"}) {
        const size_t found = log.find("\n" + sim.Device() + " " + line, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found == std::string::npos ? at : found;
    }
}

struct StopCase {
    const char* label;
    int signal;
    int code;
    const char* name; // how the tool names the signal
    bool json;
};

class CliStopSignal : public CliTest, public testing::WithParamInterface<StopCase> {};

TEST_P(CliStopSignal, StopsBetweenPagesWithTheSignalsCodeAndIsNeverOk) {
    const StopCase& c = GetParam();
    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 3);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(67)));
    std::vector<std::string> args{"update", "--device", sim.Device(), "--config", fw.cfg};
    if (c.json)
        args.push_back("--json");
    SimProcess cli;
    const auto from = std::chrono::system_clock::now();
    ASSERT_TRUE(cli.Start(CLI_PATH, args));
    std::vector<std::string> lines;
    bool started = false;
    while (auto line = cli.NextJson(20s)) {
        lines.push_back(*line);
        started = c.json ? ParseJson(*line).value("event", "") == "started"
                         : line->find("erasing the flash first") != std::string::npos;
        if (started)
            break;
    }
    ASSERT_TRUE(started);
    cli.Signal(c.signal); // during the 4 s erase
    while (auto line = cli.NextJson(10s))
        lines.push_back(*line);
    EXPECT_EQ(cli.WaitExit(5s), c.code);
    std::string out;
    for (const auto& line : lines)
        out += line + "\n";
    EXPECT_EQ(out.find("Firmwareupdate OK"), std::string::npos) << out;
    const std::string named = std::string("interrupted by ") + c.name;
    if (c.json) {
        std::vector<Json> events;
        Json interrupted = Json::object();
        for (const auto& line : lines) {
            events.push_back(ParseJson(line));
            CheckEvent(events.back(), from, std::chrono::system_clock::now());
            if (events.back().value("event", "") == "interrupted")
                interrupted = events.back();
        }
        EXPECT_EQ(interrupted.value("signal", 0), c.signal) << out;
        const std::string name = c.name;
        EXPECT_EQ(interrupted.value("name", ""), name.substr(0, name.find(' '))) << out;
        ASSERT_GE(events.size(), 2u);
        const Json& done = events[events.size() - 2];
        EXPECT_EQ(done.value("event", ""), "done");
        EXPECT_EQ(done.value("result", ""), "interrupted");
        EXPECT_EQ(done.value("code", 0), c.code);
        EXPECT_EQ(done.value("message", ""), "Firmwareupdate ERROR");
        CheckSummary(events, {{"interrupted", 1}}, 1, c.code);
    } else {
        EXPECT_NE(out.find(named), std::string::npos) << out;
        EXPECT_NE(out.find("(exit " + std::to_string(c.code) + ")"), std::string::npos) << out;
    }
    const std::string log = ReadText(dir / "fwupdate-cli.log");
    EXPECT_NE(log.find(named), std::string::npos) << log;
    const Json j = sim.Report();
    EXPECT_LT(j.at("pages"), 3);
    EXPECT_EQ(j.at("updateEnded"), false);
}

INSTANTIATE_TEST_SUITE_P(Cases, CliStopSignal,
                         testing::Values(StopCase{"CtrlC", SIGINT, 130, "SIGINT (Ctrl-C)", true},
                                         StopCase{"HangUp", SIGHUP, 129, "SIGHUP (the terminal hung up)",
                                                  false},
                                         StopCase{"Terminated", SIGTERM, 143, "SIGTERM", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(CliTest, ASecondRunWritesALogOfItsOwnAndFailuresNameIt) {
    const std::string log = dir / "fwupdate-cli.log";
    // The first run holds the log while it waits for a serial number that never comes (the device
    // answers everything else, so the link keeps it open however long the second run takes).
    Sim waiting;
    ASSERT_TRUE(waiting.Start(Addr(79), {"--no-answer", "1,3"}));
    SimProcess first;
    ASSERT_TRUE(first.Start(CLI_PATH, {"info", "--device", waiting.Device(), "--timeout", "60"}));
    const auto connected = first.NextJson(20s);
    ASSERT_TRUE(connected && connected->find("connected") != std::string::npos) << first.ErrText();

    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 3);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(78), {"--error-on-page", "0"}));
    const CliRun second = RunCli({"update", "--device", sim.Device(), "--config", fw.cfg});
    EXPECT_EQ(second.code, 9) << second.Out() << second.err;
    const std::string own = dir / ("fwupdate-cli." + std::to_string(second.pid) + ".log");
    EXPECT_NE(second.err.find(log + " is in use by another run; this run writes " + own), std::string::npos)
        << second.err;
    EXPECT_TRUE(second.Has("the device reported an error (see the log " + own + ")")) << second.Out();
    EXPECT_NE(ReadText(own).find("Q7Config::MsgCallback: Error Obj(2,10)"), std::string::npos);
    EXPECT_EQ(ReadText(log).find("Error Obj"), std::string::npos);

    first.Signal(SIGINT);
    EXPECT_EQ(first.WaitExit(10s), 130);

    // --log chooses the file.
    const std::string chosen = dir / "chosen.log";
    Sim again;
    ASSERT_TRUE(again.Start(Addr(78), {"--error-on-page", "0"}));
    const CliRun third = RunCli({"update", "--device", again.Device(), "--config", fw.cfg, "--log", chosen});
    EXPECT_EQ(third.code, 9) << third.Out() << third.err;
    EXPECT_TRUE(third.Has("(see the log " + chosen + ")")) << third.Out();
    EXPECT_NE(ReadText(chosen).find("Q7Config::MsgCallback: Error Obj(2,10)"), std::string::npos);
}

// The log a failure points to still holds its lines after the next command, each line naming its device.
TEST_F(CliTest, TheLogAFailureNamesKeepsItsLinesAfterTheNextRun) {
    const std::string log = dir / "fwupdate-cli.log";
    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 3);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(77), {"--error-on-page", "0"}));
    const CliRun failed = RunCli({"update", "--device", sim.Device(), "--config", fw.cfg});
    EXPECT_EQ(failed.code, 9) << failed.Out() << failed.err;
    EXPECT_TRUE(failed.Has("(see the log " + log + ")")) << failed.Out();

    Sim other;
    ASSERT_TRUE(other.Start(Addr(76)));
    const CliRun info = RunCli({"info", "--device", other.Device()});
    EXPECT_EQ(info.code, 0) << info.Out() << info.err;

    const std::vector<std::string> lines = ReadLogLines(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), sim.Device() + " Q7Config::MsgCallback: Error Obj(2,10)"), 1)
        << ReadText(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), other.Device() + " Q7Config::MsgCallback: CONNECTED"), 1);
    int headers = 0;
    for (const std::string& line : lines) {
        if (line.rfind("* ", 0) == 0) {
            ++headers; // each run begins with a header line of its own
            continue;
        }
        EXPECT_TRUE(line.rfind(sim.Device() + " ", 0) == 0 || line.rfind(other.Device() + " ", 0) == 0)
            << "a line that names no device: " << line;
    }
    EXPECT_EQ(headers, 2);
}

// Each device's events in the order they came; the JSON lines of several devices interleave.
std::map<std::string, std::vector<Json>> EventsByDevice(const CliRun& run) {
    std::map<std::string, std::vector<Json>> byDevice;
    for (const Json& j : run.events)
        if (j.contains("device"))
            byDevice[j.at("device").get<std::string>()].push_back(j);
    return byDevice;
}

TEST_F(CliTest, TwoDevicesInParallelEachGetTheirOwnImageWithJsonEvents) {
    const Firmware one = WriteFirmware(dir, "ONE.bin", 200, 1);
    const Firmware two = WriteFirmware(dir, "TWO.bin", 700, 2);
    Sim a, b;
    ASSERT_TRUE(a.Start(Addr(68)));
    ASSERT_TRUE(b.Start(Addr(69)));
    const CliRun run = RunCli({"update", "--json", "--progress-every", "1", "--device",
                               a.Device() + "=" + one.cfg, "--device", b.Device() + "=" + two.cfg});
    EXPECT_EQ(run.code, 0) << run.Out() << run.err;

    const auto byDevice = EventsByDevice(run);
    ASSERT_EQ(byDevice.size(), 2u) << run.Out();
    for (const auto& [device, events] : byDevice) {
        const int pages = device == a.Device() ? 1 : 3;
        std::vector<std::string> kinds;
        for (const auto& e : events)
            kinds.push_back(e.at("event").get<std::string>());
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "done"), 1) << device;
        EXPECT_EQ(kinds.back(), "done") << device;
        EXPECT_EQ(kinds.front(), "connected") << device;
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "progress"), pages) << device;
        EXPECT_EQ(events.back().at("code"), 0);
        EXPECT_EQ(events.back().at("result"), "ok");
    }
    CheckSummary(run.events, {{"ok", 2}}, 2, 0);

    for (const auto& [sim, fw] : {std::pair<Sim*, const Firmware*>{&a, &one}, {&b, &two}}) {
        const Json j = sim->Report();
        EXPECT_EQ(j.at("pages"), PageCount(static_cast<int64_t>(fw->image.size())));
        EXPECT_EQ(j.at("checksum"), ImageChecksum(fw->image.data(), fw->image.size()));
        EXPECT_EQ(j.at("name").get<std::string>(), fw->name);
        EXPECT_EQ(j.at("orderErrors"), 0);
        EXPECT_EQ(j.at("updateEnded"), true);
    }
}

TEST_F(CliTest, EightDevicesInParallelAndOneDropsMidUpdate) {
    constexpr int kDevices = 8;
    constexpr int kDropping = 5;
    std::vector<Firmware> fws;
    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::string> args{"update"};
    for (int i = 0; i < kDevices; ++i) {
        fws.push_back(WriteFirmware(dir, "DEV" + std::to_string(i) + ".bin",
                                    100 + 250 * static_cast<size_t>(i % 3), static_cast<uint32_t>(10 + i)));
        sims.push_back(std::make_unique<Sim>());
        std::vector<std::string> simArgs;
        if (i == kDropping) {
            fws.back() = WriteFirmware(dir, "DEV5.bin", 700, 15);
            simArgs = {"--close-after-pages", "1"};
        }
        ASSERT_TRUE(sims.back()->Start(Addr(70 + i), simArgs));
        args.insert(args.end(), {"--device", sims.back()->Device() + "=" + fws.back().cfg});
    }
    const CliRun run = RunCli(args, 60s);
    EXPECT_EQ(run.code, 9) << run.Out() << run.err;
    EXPECT_TRUE(run.Has("summary: 7 of 8 devices updated; exit 9")) << run.Out();
    // The page the device took before closing, or one more that was already on its way.
    // The device acknowledged the page it took, unless it closed before the acknowledgement left.
    EXPECT_TRUE(std::regex_search(
        run.Out(),
        std::regex(
            sims[kDropping]->Device() +
            R"(: update failed: [12] of 3 pages sent, [01] acknowledged by the device: link lost \(exit 9\))")))
        << run.Out();

    for (int i = 0; i < kDevices; ++i) {
        const Json j = sims[static_cast<size_t>(i)]->Report();
        const Firmware& fw = fws[static_cast<size_t>(i)];
        if (i == kDropping) {
            EXPECT_EQ(j.at("end"), "fault-close");
            EXPECT_EQ(j.at("pages"), 1);
            continue;
        }
        EXPECT_EQ(j.at("pages"), PageCount(static_cast<int64_t>(fw.image.size()))) << i;
        EXPECT_EQ(j.at("checksum"), ImageChecksum(fw.image.data(), fw.image.size())) << i;
        EXPECT_EQ(j.at("name").get<std::string>(), fw.name) << i;
        EXPECT_EQ(j.at("revision"), 10 + i) << i;
        EXPECT_EQ(j.at("orderErrors"), 0) << i;
        EXPECT_EQ(j.at("updateEnded"), true) << i;
    }
}

// ---- production lines: retries, the run report, --jobs, device lists, scan ----

// Rows of a CSV file (RFC 4180: quoted fields, doubled quotes, CR LF).
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (rows.back().empty())
        rows.pop_back();
    return rows;
}

// The report's records, each as field name to value (JSON null and an empty CSV field alike: "").
std::vector<std::map<std::string, std::string>> ReadReport(const std::string& path) {
    std::vector<std::map<std::string, std::string>> records;
    const std::string text = ReadText(path);
    if (path.size() > 4 && path.substr(path.size() - 4) == ".csv") {
        const auto rows = ParseCsv(text);
        for (size_t r = 1; r < rows.size(); ++r) {
            EXPECT_EQ(rows[r].size(), rows[0].size()) << text;
            std::map<std::string, std::string> record;
            for (size_t c = 0; c < rows[0].size() && c < rows[r].size(); ++c)
                record[rows[0][c]] = rows[r][c];
            records.push_back(record);
        }
        return records;
    }
    const Json report = Json::parse(text, nullptr, false);
    EXPECT_TRUE(report.is_object() && report.contains("devices")) << text;
    for (const Json& device : report.value("devices", Json::array())) {
        std::map<std::string, std::string> record;
        for (const auto& [key, value] : device.items())
            record[key] = value.is_string() ? value.get<std::string>() : value.is_null() ? "" : value.dump();
        records.push_back(record);
    }
    return records;
}

struct RetryCase {
    const char* label;
    int firstAddr; // three devices from here
    const char* retries;
    const char* report; // the report's file name
    int code;
    int droppingSessions; // sessions the dropping device serves
    const char* droppingResult;
};

class CliRetry : public CliTest, public testing::WithParamInterface<RetryCase> {};

// Three devices: one updates at once, one is refused by the OEM rule, one drops the link after its
// first page on the first connection only.
TEST_P(CliRetry, RunsTheWholeUpdateAgainOnANewConnectionAndReportsEveryDevice) {
    const RetryCase& c = GetParam();
    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 4);
    Sim ok, refused, dropping;
    ASSERT_TRUE(ok.Start(Addr(c.firstAddr), {"--serial", "101", "--name", "Q7, \"A\""}, false));
    ASSERT_TRUE(refused.Start(Addr(c.firstAddr + 1), {"--serial", "102", "--oem", "11"}, false));
    ASSERT_TRUE(dropping.Start(Addr(c.firstAddr + 2),
                               {"--serial", "103", "--close-after-pages", "1", "--fault-sessions", "1",
                                "--image-out", dir / "received.bin"},
                               false));
    const std::string report = dir / c.report;
    const CliRun run =
        RunCli({"update", "--json", "--config", fw.cfg, "--retries", c.retries, "--report", report,
                "--device", ok.Device(), "--device", refused.Device(), "--device", dropping.Device()},
               60s);
    EXPECT_EQ(run.code, c.code) << run.Out() << run.err;

    // Only the dropped link is tried again, after a pause, from the update start on.
    std::vector<Json> retries;
    for (const Json& j : run.events)
        if (j.value("event", "") == "retry")
            retries.push_back(j);
    ASSERT_EQ(retries.size(), static_cast<size_t>(c.droppingSessions - 1)) << run.Out();
    for (const Json& r : retries) {
        EXPECT_EQ(r.value("device", ""), dropping.Device());
        EXPECT_EQ(r.value("attempt", 0), 2);
        EXPECT_EQ(r.value("reason", ""), "failed");
        EXPECT_EQ(r.value("pause", 0.0), 1.0);
    }

    // Each simulator tells its sessions once stopped; the refused device saw one connection only.
    std::map<Sim*, std::vector<Json>> sessions;
    for (Sim* sim : {&ok, &refused, &dropping}) {
        sim->proc.Signal(SIGTERM);
        EXPECT_EQ(sim->proc.WaitExit(), 0);
        while (auto line = sim->proc.NextJson(1s))
            sessions[sim].push_back(ParseJson(*line));
    }
    EXPECT_EQ(sessions[&refused].size(), 1u);
    EXPECT_EQ(sessions[&ok].size(), 1u);
    ASSERT_EQ(sessions[&dropping].size(), static_cast<size_t>(c.droppingSessions));
    EXPECT_EQ(sessions[&dropping][0].value("end", ""), "fault-close");
    const Json last = sessions[&dropping].back();
    if (c.droppingSessions > 1) {
        // The second connection took the whole sequence: erase, every page in order, the end.
        EXPECT_TRUE(last.value("updateStarted", false));
        EXPECT_EQ(last.value("erases", 0), 1);
        EXPECT_EQ(last.value("pages", 0), 3);
        EXPECT_EQ(last.value("orderErrors", -1), 0);
        EXPECT_TRUE(last.value("updateEnded", false));
        EXPECT_EQ(ReadFileBytes(dir / "received.bin"), fw.image);
    }

    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 3u) << ReadText(report);
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    const std::string checksum = std::to_string(ImageChecksum(fw.image.data(), fw.image.size()));
    // SHA-256 over the configuration's bytes and then the image's.
    std::vector<uint8_t> both = ReadFileBytes(fw.cfg).value_or(std::vector<uint8_t>{});
    both.insert(both.end(), fw.image.begin(), fw.image.end());
    const std::string fingerprint = Sha256Hex(Sha256(both.data(), both.size()));
    const struct {
        Sim* sim;
        const char* serial;
        const char* kennung;
        const char* result;
        const char* code;
        const char* attempts;
    } expected[] = {{&ok, "101", "19", "ok", "0", "1"},
                    {&refused, "102", "11", "oem-rule", "5", "1"},
                    {&dropping, "103", "19", c.droppingResult, c.droppingSessions > 1 ? "0" : "9",
                     c.droppingSessions > 1 ? "2" : "1"}};
    for (size_t i = 0; i < 3; ++i) {
        auto r = records[i];
        const auto& e = expected[i];
        EXPECT_EQ(r["address"], e.sim->Device());
        EXPECT_EQ(r["serial"], e.serial);
        EXPECT_EQ(r["kennung"], e.kennung);
        EXPECT_EQ(r["version"], "HWV=1.4");
        EXPECT_EQ(r["result"], e.result) << r["address"];
        EXPECT_EQ(r["code"], e.code) << r["address"];
        EXPECT_EQ(r["attempts"], e.attempts) << r["address"];
        EXPECT_EQ(r["config"], fw.cfg);
        EXPECT_EQ(r["image"], dir / "fw.bin");
        EXPECT_EQ(r["checksum"], checksum);
        EXPECT_EQ(r["fingerprint"], fingerprint);
        EXPECT_TRUE(std::regex_match(r["start"], utc)) << r["start"];
        EXPECT_TRUE(std::regex_match(r["end"], utc)) << r["end"];
        EXPECT_GE(std::stod(r["seconds"]), 0.0);
    }
    EXPECT_EQ(records[0].at("name"), "Q7, \"A\""); // quoted in the CSV
    EXPECT_EQ(records[0].at("deviceName"), "Q7 Demo");
}

INSTANTIATE_TEST_SUITE_P(Cases, CliRetry,
                         testing::Values(RetryCase{"RetriedCsv", 80, "1", "run.csv", 5, 2, "ok"},
                                         RetryCase{"NoRetriesJson", 83, "0", "run.json", 9, 1, "failed"}),
                         [](const auto& info) { return std::string(info.param.label); });

// A rollout in two waves whose first wave fails beyond its threshold holds the second, untouched; a redo
// of the report finishes the held devices (and the failed ones, their fault gone) in their waves.
TEST_F(CliTest, ARolloutHeldByItsFailuresIsFinishedByARedoInItsWaves) {
    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 6);
    Sim sims;
    ASSERT_TRUE(sims.Start("127.0.6.1", {"--count", "5", "--faulty", "0,1", "--error-on-page", "0",
                                         "--fault-sessions", "1"},
                           false));
    const std::string list = dir / "venue.txt";
    std::ofstream(list) << [&] {
        std::string text;
        for (int i = 1; i <= 5; ++i)
            text += "127.0.6." + std::to_string(i) + ":" + std::to_string(sims.port) + "\n";
        return text;
    }();
    const std::string report = dir / "run.json";
    const CliRun first = RunCli({"update", "--json", "--config", fw.cfg, "--devices-from", list, "--waves",
                                 "2,100%", "--max-failed", "1", "--report", report},
                                60s);
    EXPECT_EQ(first.code, 10) << first.Out() << first.err;
    std::vector<std::string> rollout; // the wave and hold events, in order
    std::map<std::string, int> codes;
    for (const Json& e : first.events) {
        const std::string event = e.value("event", "");
        if (event == "wave")
            rollout.push_back("wave " + std::to_string(e.value("wave", 0)) + " " + e["devices"].dump());
        else if (event == "hold")
            rollout.push_back("hold " + std::to_string(e.value("failed", 0)) + " " + e["held"].dump());
        else if (event == "done")
            codes[e.value("result", "")] = e.value("code", -1);
    }
    const auto device = [&](int i) { return "\"127.0.6." + std::to_string(i) + ":" + std::to_string(sims.port) + "\""; };
    EXPECT_EQ(rollout, (std::vector<std::string>{"wave 1 [" + device(1) + "," + device(2) + "]",
                                                 "hold 2 [" + device(3) + "," + device(4) + "," + device(5) + "]"}));
    EXPECT_EQ(codes, (std::map<std::string, int>{{"failed", 9}, {"held", 10}}));
    const Json run = ParseJson(ReadText(report))["run"];
    EXPECT_EQ(run.value("waves", ""), "2,100%");
    EXPECT_EQ(run.value("maxFailed", ""), "1");
    auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 5u);
    for (size_t i = 2; i < 5; ++i) {
        EXPECT_EQ(records[i]["result"], "held");
        EXPECT_EQ(records[i]["flash"], "untouched");
        EXPECT_EQ(records[i]["wave"], "2");
    }

    const CliRun redo = RunCli({"update", "--json", "--redo", report, "--report", report, "--replace"}, 60s);
    EXPECT_EQ(redo.code, 0) << redo.Out() << redo.err;
    size_t waves = 0;
    for (const Json& e : redo.events)
        waves += e.value("event", "") == "wave" ? 1 : 0;
    EXPECT_EQ(waves, 2u);
    records = ReadReport(report);
    ASSERT_EQ(records.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i]["result"], "ok") << i;
        EXPECT_EQ(records[i]["wave"], i < 2 ? "1" : "2") << i;
    }
}

// A device slower than the tool (a small receive window, 100 ms for each page) is OK once it has taken the
// whole image; one that stops answering after two pages fails after the silence allowance, with what it
// confirmed, and its second attempt (the fault gone) updates it.
TEST_F(CliTest, ASlowDeviceIsOkOnceWholeAndOneThatStopsAnsweringFailsWithWhatItConfirmed) {
    const Firmware fw = WriteFirmware(dir, "fw.bin", 8 * 256, 5);
    Sim slow, mute;
    ASSERT_TRUE(slow.Start("127.0.5.1", {"--page-ms", "100", "--receive-buffer", "2048"}, false));
    ASSERT_TRUE(mute.Start("127.0.5.2", {"--no-ack-after-pages", "2", "--fault-sessions", "1"}, false));
    const std::string report = dir / "run.json";
    const CliRun run = RunCli({"update", "--json", "--config", fw.cfg, "--retries", "1", "--report", report,
                               "--device", slow.Device(), "--device", mute.Device()},
                              90s);
    EXPECT_EQ(run.code, 0) << run.Out() << run.err;
    std::string retryDetail;
    for (const Json& j : run.events)
        if (j.value("event", "") == "retry")
            retryDetail = j.value("detail", "");
    EXPECT_EQ(retryDetail, "update failed: 6 of 8 pages sent, 2 acknowledged by the device: no acknowledgement "
                           "for 5 s");
    for (Sim* sim : {&slow, &mute}) {
        sim->proc.Signal(SIGTERM);
        EXPECT_EQ(sim->proc.WaitExit(), 0);
        std::optional<Json> last;
        while (auto line = sim->proc.NextJson(1s))
            last = ParseJson(*line);
        ASSERT_TRUE(last);
        EXPECT_TRUE(last->value("whole", false)) << last->dump();
    }
    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r.at("result"), "ok");
        EXPECT_EQ(r.at("flash"), "updated");
        EXPECT_EQ(r.at("pagesAcknowledged"), "8");
    }
    EXPECT_EQ(records[1].at("attempts"), "2");
}

// Two stop signals at once (a script's and its process group's): the second ends the tool at once, yet
// after the device's last event, the summary and the report.
TEST_F(CliTest, ASecondStopSignalEndsAtOnceAfterTheLastEventsAndTheReport) {
    const Firmware fw = WriteFirmware(dir, "fw.bin", 700, 3);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(89)));
    const std::string report = dir / "run.json";
    SimProcess cli;
    ASSERT_TRUE(cli.Start(
        CLI_PATH, {"update", "--device", sim.Device(), "--config", fw.cfg, "--json", "--report", report}));
    std::vector<Json> events;
    while (auto line = cli.NextJson(20s)) {
        events.push_back(ParseJson(*line));
        if (events.back().value("event", "") == "started")
            break;
    }
    ASSERT_FALSE(events.empty());
    ASSERT_EQ(events.back().value("event", ""), "started");
    cli.Signal(SIGTERM);
    cli.Signal(SIGTERM);
    while (auto line = cli.NextJson(10s))
        events.push_back(ParseJson(*line));
    EXPECT_EQ(cli.WaitExit(10s), 143);
    const Json& done = events[events.size() - 2];
    EXPECT_EQ(done.value("event", ""), "done");
    EXPECT_EQ(done.value("result", ""), "interrupted");
    EXPECT_EQ(done.value("code", 0), 143);
    CheckSummary(events, {{"interrupted", 1}}, 1, 143);
    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("result"), "interrupted");
    EXPECT_EQ(records[0].at("code"), "143");
    EXPECT_EQ(sim.Report().at("updateEnded"), false);
}

// Ctrl-C with one device updated, one half-way and one waiting its turn: the report tells each flash, an
// existing report is never replaced by surprise, and one --redo command finishes the job, its report the
// whole job.
TEST_F(CliTest, AnInterruptedRunsReportTellsEachFlashAndOneRedoFinishesTheJob) {
    const Firmware fw = WriteFirmware(dir, "fw.bin", 40 * 256, 21); // 40 pages, 2 s each device
    std::vector<std::unique_ptr<Sim>> sims;
    const std::string report = dir / "run.json";
    std::vector<std::string> args{"update", "--json", "--jobs", "1", "--config", fw.cfg, "--report", report};
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<Sim>());
        ASSERT_TRUE(sims.back()->Start(Addr(71 + i), {"--serial", std::to_string(201 + i)}, false));
        args.insert(args.end(), {"--device", sims.back()->Device()});
    }
    SimProcess cli;
    ASSERT_TRUE(cli.Start(CLI_PATH, args));
    std::string updated, stopped;
    while (auto line = cli.NextJson(30s)) {
        const Json j = ParseJson(*line);
        const std::string event = j.value("event", ""), device = j.value("device", "");
        // One at a time: the second device starts once the first one's update has ended.
        if (event != "started")
            continue;
        if (updated.empty()) {
            updated = device;
        } else {
            stopped = device;
            cli.Signal(SIGINT);
            break;
        }
    }
    ASSERT_FALSE(stopped.empty());
    while (cli.NextJson(20s)) {
    }
    EXPECT_EQ(cli.WaitExit(20s), 130);

    std::map<std::string, std::map<std::string, std::string>> byDevice;
    for (const auto& r : ReadReport(report))
        byDevice[r.at("address")] = r;
    ASSERT_EQ(byDevice.size(), 3u) << ReadText(report);
    for (const auto& [device, r] : byDevice) {
        const std::string flash = device == updated   ? "updated"
                                  : device == stopped ? "incomplete"
                                                      : "untouched";
        EXPECT_EQ(r.at("flash"), flash) << device;
        EXPECT_EQ(r.at("result"), device == updated ? "ok" : "interrupted") << device;
        EXPECT_EQ(r.at("firmwareName"), fw.name);
        EXPECT_EQ(r.at("firmwareVersion"), "3");
        EXPECT_EQ(r.at("firmwareRevision"), "21");
        if (flash == "untouched") {
            EXPECT_EQ(r.at("pagesSent"), "") << device;
            EXPECT_GT(std::stod(r.at("waitSeconds")), 1.0) << device; // the others' turns
        } else {
            EXPECT_EQ(r.at("pages"), "40") << device;
            const int sent = std::stoi(r.at("pagesSent")),
                      acknowledged = std::stoi(r.at("pagesAcknowledged"));
            EXPECT_TRUE(flash == "updated" ? sent == 40 && acknowledged == 40
                                           : sent < 40 && acknowledged <= sent)
                << device << ": " << sent << " sent, " << acknowledged << " acknowledged";
        }
    }
    const Json run = Json::parse(ReadText(report)).at("run");
    EXPECT_EQ(run.at("tool"), "fwupdate-cli");
    EXPECT_EQ(run.at("exitCode"), 130);
    EXPECT_EQ(run.at("signal"), 2);
    for (const auto& [key, value] : {std::pair{"host", HostName()}, std::pair{"user", LoginName()}})
        EXPECT_EQ(run.at(key).is_null() ? std::string() : run.at(key).get<std::string>(), value) << key;
    EXPECT_EQ(run.at("commandLine").get<std::string>().rfind("fwupdate-cli update --json --jobs 1", 0), 0u);

    // The report exists: refused before any device is touched.
    const std::string before = ReadText(report);
    const CliRun refused = RunCli({"update", "--redo", report, "--report", report}, 20s);
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("--report " + report + " exists already: give --replace"), std::string::npos)
        << refused.err;
    EXPECT_EQ(ReadText(report), before);

    // The half-flashed device is gone meanwhile: it stays incomplete, the waiting one is updated.
    for (auto& sim : sims)
        if (sim->Device() == stopped) {
            sim->proc.Signal(SIGTERM);
            EXPECT_EQ(sim->proc.WaitExit(), 0);
        }
    const CliRun redo = RunCli({"update", "--json", "--redo", report, "--report", report, "--replace"}, 60s);
    EXPECT_EQ(redo.code, 4) << redo.Out() << redo.err;
    CheckSummary(redo.events, {{"no-connection", 1}, {"ok", 1}}, 2, 4);
    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
        const std::string& device = r.at("address");
        EXPECT_EQ(r.at("result"), device == stopped ? "no-connection" : "ok") << device;
        EXPECT_EQ(r.at("cause"), device == stopped ? "refused" : "") << device;
        EXPECT_EQ(r.at("flash"), device == stopped ? "incomplete" : "updated") << device;
        // The updated device's row is the first run's, carried unchanged.
        EXPECT_EQ(r.at("start") == byDevice[device].at("start"), device == updated) << device;
    }
}

TEST_F(CliTest, RefusedConnectionIsTriedAgainAfterGrowingPauses) {
    const Firmware fw = WriteFirmware(dir, "fw.bin", 100, 8);
    Sim sim;
    ASSERT_TRUE(sim.Start(Addr(88), {"--refuse"}, false));
    const std::string report = dir / "run.json";
    const CliRun run = RunCli({"update", "--json", "--device", sim.Device(), "--config", fw.cfg, "--retries",
                               "2", "--report", report},
                              30s);
    EXPECT_EQ(run.code, 4) << run.Out() << run.err;
    std::vector<double> pauses;
    for (const Json& j : run.events)
        if (j.value("event", "") == "retry") {
            EXPECT_EQ(j.value("reason", ""), "no-connection");
            pauses.push_back(j.value("pause", 0.0));
        }
    EXPECT_EQ(pauses, (std::vector<double>{1.0, 2.0})) << run.Out();
    const auto records = ReadReport(report);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("attempts"), "3");
    EXPECT_EQ(records[0].at("result"), "no-connection");
    EXPECT_EQ(records[0].at("kennung"), ""); // never identified
    EXPECT_EQ(records[0].at("cause"), "refused");
    const Json attempts = Json::parse(records[0].at("attemptLog"));
    ASSERT_EQ(attempts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(attempts[i].at("attempt"), i + 1);
        EXPECT_EQ(attempts[i].at("result"), "no-connection");
        EXPECT_NE(attempts[i].at("detail").get<std::string>().find("refused"), std::string::npos);
    }
}

TEST_F(CliTest, JobsTwoNeverProgramsThreeAtOnceAndDevicesMayShareAnAddress) {
    // Two devices behind each of two addresses (a jig forwarding several ports): each address's second
    // device needs a link manager of its own.
    const Firmware fw = WriteFirmware(dir, "fw.bin", 200, 6);
    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::string> args{"update", "--jobs", "2", "--config", fw.cfg};
    for (int i = 0; i < 4; ++i) {
        sims.push_back(std::make_unique<Sim>());
        ASSERT_TRUE(sims.back()->Start(Addr(86 + i / 2)));
        args.insert(args.end(), {"--device", sims.back()->Device()});
    }
    ASSERT_EQ(sims[0]->addr, sims[1]->addr);
    const CliRun run = RunCli(args, 60s);
    EXPECT_EQ(run.code, 0) << run.Out() << run.err;
    EXPECT_TRUE(run.Has("summary: 4 of 4 devices updated; exit 0")) << run.Out();

    // The simulators' clocks: from the update start to the end of the image, never three at once.
    std::vector<std::pair<int64_t, int>> edges;
    for (auto& sim : sims) {
        const Json j = sim->Report();
        EXPECT_EQ(j.value("pages", 0), 1);
        EXPECT_EQ(j.value("checksum", 0), ImageChecksum(fw.image.data(), fw.image.size()));
        ASSERT_TRUE(j["updateStartedAt"].is_number() && j["imageEndedAt"].is_number()) << j.dump();
        edges.push_back({j["updateStartedAt"].get<int64_t>(), +1});
        edges.push_back({j["imageEndedAt"].get<int64_t>(), -1});
    }
    std::sort(edges.begin(), edges.end()); // at one millisecond an end comes before a start
    int programming = 0, most = 0;
    for (const auto& [at, step] : edges)
        most = std::max(most, programming += step);
    EXPECT_LE(most, 2);
}

TEST_F(CliTest, ScanFindsTheDevicesOfALoopbackRangeAndItsListFeedsInfo) {
    // Three devices, 127.0.0.92 to 127.0.0.94, on one port, and 127.0.0.95 that hangs up at once.
    SimProcess sims;
    const auto port = sims.StartDevice(FWDEVSIM_PATH, Addr(92),
                                       {"--count", "4", "--serial", "500", "--faulty", "3", "--hang-up"});
    ASSERT_TRUE(port);
    const std::string list = dir / "found.txt";
    const CliRun scan = RunCli(
        {"scan", Addr(90) + "-99", "--port", std::to_string(*port), "--json", "--write-list", list}, 60s);
    EXPECT_EQ(scan.code, 0) << scan.Out() << scan.err;
    std::vector<Json> found;
    for (const Json& j : scan.events)
        if (j.value("event", "") == "found")
            found.push_back(j);
    ASSERT_EQ(found.size(), 3u) << scan.Out();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i].value("device", ""), Addr(92 + static_cast<int>(i)) + ":" + std::to_string(*port));
        EXPECT_EQ(found[i].value("serial", 0), 500 + static_cast<int>(i));
        EXPECT_EQ(found[i].value("deviceName", ""), "Q7 Demo");
    }
    ASSERT_FALSE(scan.events.empty());
    const Json& end = scan.events.back();
    EXPECT_EQ(end.value("event", ""), "summary");
    EXPECT_EQ(end.value("addresses", 0), 10);
    EXPECT_EQ(end.value("found", 0), 3);
    EXPECT_EQ(end.value("unidentified", 0), 1);
    EXPECT_EQ(end.value("refused", 0), 6);
    const std::string hungUp = Addr(95) + ":" + std::to_string(*port);
    EXPECT_TRUE(scan.Has("{\"event\":\"unidentified\"")) << scan.Out();
    EXPECT_NE(ReadText(list).find("#   " + hungUp + " closed the connection at once"), std::string::npos)
        << ReadText(list);

    const CliRun info = RunCli({"info", "--devices-from", list}, 30s);
    EXPECT_EQ(info.code, 0) << info.Out() << info.err;
    EXPECT_TRUE(info.Has("summary: 3 of 3 devices answered")) << info.Out();

    // The list is there now: another scan refuses to replace it before it scans, unless told to.
    const std::string written = ReadText(list);
    const CliRun again =
        RunCli({"scan", Addr(90) + "-99", "--port", std::to_string(*port), "--write-list", list}, 60s);
    EXPECT_EQ(again.code, 2);
    EXPECT_NE(again.err.find("--write-list " + list + " exists already: give --replace"), std::string::npos)
        << again.err;
    EXPECT_TRUE(again.lines.empty()) << again.Out();
    EXPECT_EQ(ReadText(list), written);
    const CliRun replaced =
        RunCli({"scan", Addr(92), "--port", std::to_string(*port), "--write-list", list, "--replace"}, 60s);
    EXPECT_EQ(replaced.code, 0) << replaced.Out() << replaced.err;
    EXPECT_NE(ReadText(list), written);

    // --port is the port of a device given without one, as in scan.
    const CliRun one = RunCli({"info", "--device", Addr(92), "--port", std::to_string(*port)}, 30s);
    EXPECT_EQ(one.code, 0) << one.Out() << one.err;

    const CliRun text = RunCli({"scan", Addr(95) + "-97", "--port", std::to_string(*port)}, 30s);
    EXPECT_TRUE(text.Has(hungUp + "  took the connection but did not identify: ")) << text.Out();
    EXPECT_TRUE(text.Has("1 more took the connection but did not identify")) << text.Out();
    const CliRun refused = RunCli({"scan", Addr(96) + "-97", "--port", std::to_string(*port)}, 30s);
    EXPECT_EQ(refused.code, 4);
    EXPECT_TRUE(refused.Has("every address refused the connection on port " + std::to_string(*port)))
        << refused.Out();
}

TEST_F(CliTest, DeviceListSkipsCommentsAndNamesItsBadLine) {
    const std::string list = dir / "line.txt";
    std::ofstream(list) << "# line 3\n\n127.0.0.50:1   # a trailing comment\r\n  # indented comment\n"
                           "127.0.0.51:70000\n";
    const CliRun run = RunCli({"info", "--devices-from", list}, 10s);
    EXPECT_EQ(run.code, 2);
    EXPECT_NE(run.err.find(list + ":5: 127.0.0.51:70000: the port"), std::string::npos) << run.err;
    EXPECT_TRUE(run.lines.empty()) << run.Out();

    // A report given as a list is named as one, with the option that takes it.
    const std::string report = dir / "run1.json";
    std::ofstream(report) << "{\n  \"run\": {\n  },\n  \"devices\": []\n}\n";
    const CliRun redo = RunCli({"info", "--devices-from", report}, 10s);
    EXPECT_EQ(redo.code, 2);
    EXPECT_NE(redo.err.find(report + ": a run report, not a device list: use --redo " + report),
              std::string::npos)
        << redo.err;
}

TEST_F(CliTest, TheSummaryTellsAnOutcomeOfManyDevicesOnceWithTheirAddresses) {
    const Firmware fw =
        WriteFirmware(dir, "a.bin", 300, 4, [](ConfigFields& f) { f.Filename = "missing.bin"; });
    const Firmware other =
        WriteFirmware(dir, "b.bin", 300, 5, [](ConfigFields& f) { f.Filename = "gone.bin"; });
    std::vector<std::string> args{"update", "--config", fw.cfg, "--device", Addr(64) + ":1=" + other.cfg};
    for (int last = 60; last < 64; ++last)
        args.insert(args.end(), {"--device", Addr(last) + ":2000"});
    const CliRun run = RunCli(args, 30s);
    EXPECT_EQ(run.code, 7) << run.Out() << run.err;
    const std::string out = run.Out();
    EXPECT_EQ(out.substr(std::min(out.find("summary: "), out.size())),
              "summary: 0 of 5 devices updated; exit 7\n  " + Addr(64) + ":1: image not found: " +
                  (dir / "gone.bin") + " (exit 7)\n  4 devices: image not found: " + (dir / "missing.bin") +
                  " (exit 7)\n    127.0.0.60-63:2000\n")
        << out;
}

} // namespace
