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
    DeviceRecord pending;
    pending.Address = "127.0.0.141:2000";
    return {done, pending};
}

// Each column of the first record, as CSV text and as JSON: one row per column.
struct ColumnCase {
    const char* column;
    const char* csv;  // as the file holds it
    const char* json; // dumped
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
    };
    const std::vector<DeviceRecord> records = TwoRecords();
    std::string header, row;
    for (const ColumnCase& c : columns) {
        header += std::string(header.empty() ? "" : ",") + c.column;
        row += std::string(row.empty() ? "" : ",") + c.csv;
    }
    const std::string csv = ReportCsv(records);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n", csv.find("\r\n") + 2) + 2), header + "\r\n" + row + "\r\n");
    EXPECT_EQ(csv.substr(csv.rfind("127.0.0.141")), "127.0.0.141:2000,,,,,,,,,,,pending,,0,,,\r\n");

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
              "checksum,result,code,attempts,start,end,seconds\r\n");
    EXPECT_EQ(WriteReport(dir / "run.txt", {}),
              "the report " + (dir / "run.txt") + " needs the extension .json or .csv");
    const std::string error = WriteReport(dir / "no folder/run.json", {});
    EXPECT_EQ(error.rfind("cannot write " + (dir / "no folder/run.json") + ": ", 0), 0u) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1)
        << "a temporary file left";
}

} // namespace
