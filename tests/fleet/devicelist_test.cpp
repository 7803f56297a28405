// Device lists: read line by line with comments and blank lines (a byte-order mark ignored), a bad line
// named by file and number, a configuration beside the list; and written so that they read back.
#include "fleet/devicelist.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct ListCase {
    const char* label;
    const char* text;
    bool allowConfig;
    std::vector<std::string> labels; // of the devices read
    const char* error;               // "" when read
};

class DeviceListLines : public testing::TestWithParam<ListCase> {};

TEST_P(DeviceListLines, ReadsTheDevicesOrNamesTheBadLine) {
    const ListCase& c = GetParam();
    const DeviceListRead read = ParseDeviceList(c.text, "lists/line.txt", c.allowConfig);
    EXPECT_EQ(read.Error, c.error);
    std::vector<std::string> labels;
    for (const DeviceTarget& d : read.Devices)
        labels.push_back(d.Label);
    if (*c.error == '\0') {
        EXPECT_EQ(labels, c.labels);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceListLines,
    testing::Values(
        ListCase{"CommentsAndBlankLines",
                 "# line 3\n\n127.0.0.140:1   # trailing\r\n  # indented\n127.0.0.141\n",
                 false,
                 {"127.0.0.140:1", "127.0.0.141:2000"},
                 ""},
        ListCase{"NoLineFeedAtTheEnd", "127.0.0.140", false, {"127.0.0.140:2000"}, ""},
        ListCase{"ByteOrderMarkIgnored",
                 "\xEF\xBB\xBF"
                 "127.0.0.140\n",
                 false,
                 {"127.0.0.140:2000"},
                 ""},
        ListCase{"DottedLookalikeNamesItsLine",
                 "127.0.0.140\n127.0.20.4;2000 # line 2\n",
                 false,
                 {},
                 "lists/line.txt:2: 127.0.20.4;2000: ';' in an IPv4 address: '.' goes between its four "
                 "numbers, ':' before the port"},
        ListCase{"Empty", "", false, {}, ""},
        ListCase{"BadPortNamesItsLine",
                 "\n\n127.0.0.140:1\n\n127.0.0.141:70000\n",
                 false,
                 {},
                 "lists/line.txt:5: 127.0.0.141:70000: the port must be a number from 1 to 65535"},
        ListCase{"JsonReportIsNoList",
                 "{\n  \"run\": {\n    \"tool\": \"fwupdate-cli\"\n  },\n  \"devices\": []\n}\n",
                 false,
                 {},
                 "lists/line.txt: a run report, not a device list"},
        ListCase{"CsvReportIsNoList",
                 "\xEF\xBB\xBF"
                 "address,kennung,serial\r\n127.0.0.140:2000,19,5\r\n",
                 false,
                 {},
                 "lists/line.txt: a run report, not a device list"},
        ListCase{
            "ConfigOnlyForUpdates",
            "127.0.0.140=a.cfg\n",
            false,
            {},
            "lists/line.txt:1: 127.0.0.140=a.cfg: a configuration per device (=FILE.cfg) belongs to update"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DeviceList, ARelativeConfigurationLiesBesideTheListAndAWrittenListReadsBack) {
    const DeviceListRead read =
        ParseDeviceList("127.0.0.140=fw.cfg\n127.0.0.141=/abs/fw.cfg\n", "lists/line.txt", true);
    ASSERT_EQ(read.Devices.size(), 2u);
    EXPECT_EQ(std::filesystem::path(read.Devices[0].Config), std::filesystem::path("lists") / "fw.cfg");
    EXPECT_EQ(read.Devices[1].Config, "/abs/fw.cfg");

    const std::string text = DeviceListText(read.Devices, {"Seriennummer 5", ""}, "found\nby a scan");
    EXPECT_EQ(text, "# found\n# by a scan\n127.0.0.140:2000  # Seriennummer 5\n127.0.0.141:2000\n");
    const DeviceListRead again = ParseDeviceList(text, "again.txt", false);
    ASSERT_EQ(again.Devices.size(), 2u);
    EXPECT_EQ(again.Devices[1].Label, "127.0.0.141:2000");
}

TEST(DeviceList, AFileThatCannotBeReadIsNamed) {
    EXPECT_NE(
        ReadDeviceList("!/no list here", false).Error.find("device list !/no list here: cannot be read"),
        std::string::npos);
    const std::string folder = std::filesystem::temp_directory_path().string();
    EXPECT_NE(ReadDeviceList(folder, false).Error.find("it is a folder"), std::string::npos);
}

} // namespace
