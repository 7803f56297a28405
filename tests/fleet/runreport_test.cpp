// The run report: the same columns in CSV (RFC 4180) and JSON, absent values empty or null, the format
// by the file name, and a write that replaces the file whole or says why it could not.
#include "fleet/runreport.h"

#include "tests/support/testfolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::vector<DeviceRecord> TwoRecords() {
    DeviceRecord done;
    done.Address = "127.0.0.140:2000";
    done.Identity.Kennung = 19;
    done.Identity.Serial = 101;
    done.Identity.Version = "HWV=1.4";
    done.Identity.Name = "Q7, \"A\"";
    done.Identity.OemName = "";
    done.Config = "a.cfg";
    done.Image = "a.bin";
    done.Checksum = -5;
    done.Result = "ok";
    done.Code = 0;
    done.Attempts = 2;
    done.Start = std::chrono::system_clock::time_point{} + 24h;
    done.End = *done.Start + 1234ms;
    done.Detail = "updated, 3 of 3 pages written";
    done.Flash = kFlashUpdated;
    done.Pages = 3;
    done.PagesSent = 3;
    done.PagesAcknowledged = 2;
    done.FirmwareName = "fw.bin";
    done.FirmwareVersion = 2;
    done.FirmwareRevision = 7;
    done.Waited = 234ms;
    done.AttemptLog = {{1, "failed", 9, "update failed: link lost"}, {2, "ok", 0, "updated"}};
    done.Fingerprint = "5e1f";
    done.Wave = 2;
    DeviceRecord pending;
    pending.Address = "127.0.0.141:2000";
    return {done, pending};
}

// Each column of the first record, as CSV text and as JSON: one row per column.
struct ColumnCase {
    const char* column;
    const char* csv;  // as the file holds it
    const char* json; // dumped
    bool afterRun = false; // in CSV after the run's columns
};

TEST(RunReport, BothFormatsCarryTheSameColumnsInOneOrder) {
    const ColumnCase columns[] = {
        {"address", "127.0.0.140:2000", "\"127.0.0.140:2000\""},
        {"kennung", "19", "19"},
        {"serial", "101", "101"},
        {"version", "HWV=1.4", "\"HWV=1.4\""},
        {"name", "\"Q7, \"\"A\"\"\"", "\"Q7, \\\"A\\\"\""},
        {"oemName", "", "null"},
        {"deviceName", "", "null"},
        {"libraryName", "", "null"},
        {"config", "a.cfg", "\"a.cfg\""},
        {"image", "a.bin", "\"a.bin\""},
        {"checksum", "-5", "-5"},
        {"result", "ok", "\"ok\""},
        {"code", "0", "0"},
        {"attempts", "2", "2"},
        {"start", "1970-01-02T00:00:00.000Z", "\"1970-01-02T00:00:00.000Z\""},
        {"end", "1970-01-02T00:00:01.234Z", "\"1970-01-02T00:00:01.234Z\""},
        {"seconds", "1.234", "1.234"},
        {"detail", "\"updated, 3 of 3 pages written\"", "\"updated, 3 of 3 pages written\""},
        {"cause", "", "null"},
        {"flash", "updated", "\"updated\""},
        {"pages", "3", "3"},
        {"pagesSent", "3", "3"},
        {"pagesAcknowledged", "2", "2"},
        {"firmwareName", "fw.bin", "\"fw.bin\""},
        {"firmwareVersion", "2", "2"},
        {"firmwareRevision", "7", "7"},
        {"versionBefore", "HWV=1.4", "\"HWV=1.4\""},
        {"waitSeconds", "0.234", "0.234"},
        {"updateSeconds", "1.000", "1.0"},
        {"attemptLog", "1: failed (9) update failed: link lost | 2: ok (0) updated",
         R"([{"attempt":1,"result":"failed","code":9,"detail":"update failed: link lost"},)"
         R"({"attempt":2,"result":"ok","code":0,"detail":"updated"}])"},
        {"fingerprint", "5e1f", "\"5e1f\"", true},
        {"wave", "2", "2", true},
    };
    const char* const runColumns = ",runTool,runVersion,runCommandLine,runStart,runEnd,runExitCode,runSignal";
    const char* const lateRunColumns = ",runHost,runUser,runWaves,runMaxFailed";
    const std::vector<DeviceRecord> records = TwoRecords();
    std::string header, row, headerAfter, rowAfter;
    for (const ColumnCase& c : columns) {
        (c.afterRun ? headerAfter : header) += std::string(header.empty() ? "" : ",") + c.column;
        (c.afterRun ? rowAfter : row) += std::string(row.empty() ? "" : ",") + c.csv;
    }
    const std::string csv = ReportCsv(records);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n", csv.find("\r\n") + 2) + 2),
              header + runColumns + headerAfter + lateRunColumns + "\r\n" + row + ",,,,,,," + rowAfter +
                  ",,,,\r\n");
    EXPECT_EQ(csv.substr(csv.rfind("127.0.0.141")),
              "127.0.0.141:2000,,,,,,,,,,,pending,,0" + std::string(std::size(columns) + 11 - 14, ',') + "\r\n");

    const nlohmann::ordered_json json = nlohmann::ordered_json::parse(ReportJson(records));
    const auto& first = json.at("devices").at(0);
    ASSERT_EQ(first.size(), std::size(columns));
    size_t i = 0;
    for (const auto& [key, value] : first.items()) {
        EXPECT_EQ(key, columns[i].column);
        EXPECT_EQ(value.dump(), columns[i].json) << key;
        ++i;
    }
    EXPECT_TRUE(json.at("devices").at(1).at("code").is_null());
}

TEST(RunReport, TheFormatComesFromTheFileName) {
    EXPECT_EQ(ReportFormatFor("run.json"), ReportFormat::Json);
    EXPECT_EQ(ReportFormatFor("dir.csv/run.CSV"), ReportFormat::Csv);
    EXPECT_EQ(ReportFormatFor("run.json.txt"), std::nullopt);
    EXPECT_EQ(ReportFormatFor("json"), std::nullopt);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(RunReport, AWriteReplacesTheFileWholeOrSaysWhyNot) {
    TestFolder dir("fleet_report");
    ASSERT_FALSE(dir.Path().empty());
    const std::string path = dir / "run.csv";
    std::ofstream(path) << "an older, longer report than the one that replaces it\n";
    EXPECT_EQ(WriteReport(path, {}), "");
    EXPECT_EQ(ReadText(path),
              "address,kennung,serial,version,name,oemName,deviceName,libraryName,config,image,"
              "checksum,result,code,attempts,start,end,seconds,detail,cause,flash,pages,pagesSent,"
              "pagesAcknowledged,firmwareName,firmwareVersion,firmwareRevision,versionBefore,waitSeconds,"
              "updateSeconds,attemptLog,runTool,runVersion,runCommandLine,runStart,runEnd,runExitCode,"
              "runSignal,fingerprint,wave,runHost,runUser,runWaves,runMaxFailed\r\n");
    EXPECT_EQ(WriteReport(dir / "run.txt", {}),
              "the report " + (dir / "run.txt") + " needs the extension .json or .csv");
    const std::string error = WriteReport(dir / "no folder/run.json", {});
    EXPECT_EQ(error.rfind("cannot write " + (dir / "no folder/run.json") + ": ", 0), 0u) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
        << "a temporary file left";

    // What writers that crashed left (no process has the id 99999999) goes; the files of other names stay.
    const std::vector<std::string> left{"run.csv.tmp99999999", "run.csv.tmp", "run.csv.tmpx",
                                        "other.csv.tmp99999999"};
    for (const std::string& name : left)
        std::ofstream(dir / name) << "cut";
    EXPECT_EQ(WriteReport(path, {}), "");
    for (const std::string& name : left)
        EXPECT_EQ(std::filesystem::exists(dir / name), name != left[0]) << name;
}

ReportRun ARun() {
    ReportRun run;
    run.Tool = "fwupdate-cli";
    run.Version = "1.2.3";
    run.CommandLine = "fwupdate-cli update --redo 'old run.csv'";
    run.Start = std::chrono::system_clock::time_point{} + 48h;
    run.End = *run.Start + 2s;
    run.ExitCode = 130;
    run.Signal = 2;
    run.Host = "venue-laptop";
    run.User = "operator";
    run.Waves = "1,10%,100%";
    run.MaxFailed = "2";
    return run;
}

// The run: an object before the devices in JSON, columns of every row in CSV; a carried row at its place
// keeps the run it came from.
TEST(RunReport, TheRunAndTheCarriedRowsOfAnEarlierReport) {
    const std::vector<DeviceRecord> records = TwoRecords();
    const nlohmann::ordered_json oldRun = {{"tool", "fwupdate-cli"}, {"version", "1.0"}, {"exitCode", 9}};
    const std::vector<CarriedRow> carried = {
        {0, {{"address", "127.0.0.139:2000"}, {"result", "oem-rule"}, {"code", 5}}, oldRun},
        {2, {{"address", "127.0.0.142:2000"}, {"result", "ok"}, {"runVersion", "0.9"}}, nullptr}};
    const nlohmann::ordered_json json = nlohmann::ordered_json::parse(ReportJson(records, ARun(), carried));
    EXPECT_EQ(json.begin().key(), "run");
    EXPECT_EQ(
        json.at("run").dump(),
        R"({"tool":"fwupdate-cli","version":"1.2.3","commandLine":"fwupdate-cli update --redo 'old run.csv'",)"
        R"("start":"1970-01-03T00:00:00.000Z","end":"1970-01-03T00:00:02.000Z","exitCode":130,"signal":2,)"
        R"("host":"venue-laptop","user":"operator","waves":"1,10%,100%","maxFailed":"2"})");
    std::vector<std::string> order;
    for (const auto& d : json.at("devices"))
        order.push_back(d.at("address").get<std::string>() + " " + d.at("result").get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"127.0.0.139:2000 oem-rule", "127.0.0.140:2000 ok",
                                               "127.0.0.142:2000 ok", "127.0.0.141:2000 pending"}));
    EXPECT_TRUE(json.at("devices").at(0).at("flash").is_null()); // a column the old row lacks
    EXPECT_FALSE(json.at("devices").at(2).contains("runVersion"));

    const ReportRead csv = ParseReport(ReportCsv(records, ARun(), carried), "r.csv", ReportFormat::Csv);
    ASSERT_EQ(csv.Error, "");
    ASSERT_EQ(csv.Rows.size(), 4u);
    EXPECT_EQ(csv.Rows[0].at("runVersion"), "1.0");
    EXPECT_EQ(csv.Rows[0].at("runExitCode"), 9);
    EXPECT_EQ(csv.Rows[1].at("runVersion"), "1.2.3");
    EXPECT_EQ(csv.Rows[1].at("runSignal"), 2);
    EXPECT_EQ(csv.Rows[1].at("runUser"), "operator");
    EXPECT_EQ(csv.Rows[2].at("runVersion"), "0.9");
    EXPECT_TRUE(csv.Rows[2].at("runExitCode").is_null());
    // Read back, a CSV row holds what the JSON row holds, save the attempts, which CSV keeps as text.
    const ReportRead back = ParseReport(ReportJson(records), "r.json", ReportFormat::Json);
    ASSERT_EQ(back.Error, "");
    for (const auto& [key, value] : back.Rows[0].items()) {
        if (key != "attemptLog") {
            EXPECT_EQ(csv.Rows[1].at(key), value) << key;
        }
    }
}

struct BadReportCase {
    const char* text;
    ReportFormat format;
    const char* error;
};

TEST(RunReport, AReportThatCannotBeReadBackSaysWhy) {
    const BadReportCase cases[] = {
        {"[]", ReportFormat::Json, "r: not a report (a JSON object with a \"devices\" list)"},
        {R"({"devices":[{"result":"ok"}]})", ReportFormat::Json, "r: device 1 has no address"},
        {"name,address\r\n", ReportFormat::Csv,
         "r: not a report (its first line names the columns, address first)"},
        {"address,result\r\na,ok,1\r\n", ReportFormat::Csv, "r:2: 3 fields, the header names 2"},
        {"address,result\r\n\"a,ok\r\n", ReportFormat::Csv, "r: a quoted field is not closed"},
        {"\xEF\xBB\xBF"
         "address,result\na,ok\n\n",
         ReportFormat::Csv, ""},
    };
    for (const BadReportCase& c : cases)
        EXPECT_EQ(ParseReport(c.text, "r", c.format).Error, c.error) << c.text;
}

struct RedoCase {
    const char* choice;
    const char* taken; // of the rows below, the addresses taken
};

TEST(RunReport, ARedoTakesTheRowsItsChoiceNames) {
    const nlohmann::ordered_json rows[] = {
        {{"address", "ok"}, {"result", "ok"}, {"code", 0}},
        {{"address", "dry"}, {"result", "dry-run"}, {"code", 0}},
        {{"address", "failed"}, {"result", "failed"}, {"code", 9}},
        {{"address", "stopped"}, {"result", "interrupted"}, {"code", 130}},
        {{"address", "silent"}, {"result", "no-connection"}, {"code", 4}},
        {{"address", "oem"}, {"result", "oem-rule"}, {"code", 5}},
        {{"address", "serial"}, {"result", "serial-rule"}, {"code", 6}},
        {{"address", "pending"}, {"result", "pending"}, {"code", nullptr}},
    };
    const RedoCase cases[] = {
        {"left", "failed stopped silent pending "},
        {"all", "ok dry failed stopped silent oem serial pending "},
        {"interrupted,oem-rule", "stopped oem "},
    };
    for (const RedoCase& c : cases) {
        std::string error;
        const std::optional<RedoChoice> choice = ParseRedoChoice(c.choice, error);
        ASSERT_TRUE(choice) << error;
        std::string taken;
        for (const auto& row : rows)
            if (RedoTakes(*choice, row))
                taken += row.at("address").get<std::string>() + " ";
        EXPECT_EQ(taken, c.taken) << c.choice;
    }
    std::string error;
    EXPECT_FALSE(ParseRedoChoice("failed,broken", error));
    EXPECT_EQ(error, "'broken' is not a result word (left, all, or results such as failed,interrupted)");
    EXPECT_FALSE(ParseRedoChoice("", error));
}

} // namespace
