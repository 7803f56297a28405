// Address ranges of a scan: a block, a run of the last number, or one address; anything else refused
// with the reason.
#include "fleet/addressrange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RangeCase {
    const char* text;
    const char* first; // nullptr: refused with the words below
    uint32_t count;
    const char* error;
};

class ScanRange : public testing::TestWithParam<RangeCase> {};

TEST_P(ScanRange, IsReadOrRefused) {
    const RangeCase& c = GetParam();
    std::string error;
    const std::optional<AddressRange> range = ParseAddressRange(c.text, error);
    ASSERT_EQ(range.has_value(), c.first != nullptr) << error;
    if (!range) {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.rfind(std::string(c.text) + ": ", 0), 0u) << error;
        return;
    }
    EXPECT_EQ(DottedAddress(range->First), c.first);
    EXPECT_EQ(range->Count, c.count);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScanRange,
                         testing::Values(RangeCase{"127.0.0.170", "127.0.0.170", 1, ""},
                                         RangeCase{"127.0.0.170-175", "127.0.0.170", 6, ""},
                                         RangeCase{"127.0.0.170-170", "127.0.0.170", 1, ""},
                                         RangeCase{"127.0.0.170/30", "127.0.0.168", 4, ""},
                                         RangeCase{"127.0.0.0/16", "127.0.0.0", 65536, ""},
                                         RangeCase{"127.0.0.170/32", "127.0.0.170", 1, ""},
                                         RangeCase{"127.0.0.0/15", nullptr, 0, "at most 65536"},
                                         RangeCase{"127.0.0.0/33", nullptr, 0, "from 16 to 32"},
                                         RangeCase{"127.0.0.0/", nullptr, 0, "from 16 to 32"},
                                         RangeCase{"127.0.0.9-3", nullptr, 0, "from 9 to 255"},
                                         RangeCase{"127.0.0.9-256", nullptr, 0, "after '-'"},
                                         RangeCase{"127.0.0.256", nullptr, 0, "A.B.C.D/NN"},
                                         RangeCase{"127.0.0", nullptr, 0, "A.B.C.D/NN"},
                                         RangeCase{"127.0.0.1/24-3", nullptr, 0, "A.B.C.D/NN"},
                                         RangeCase{"!", nullptr, 0, "A.B.C.D/NN"}));

struct ListTextCase {
    std::vector<std::string> labels;
    const char* text;
};

TEST(AddressList, RunsOfAddressesOrPortsAreWrittenAsRanges) {
    const ListTextCase cases[] = {
        {{"127.0.20.3:2000", "127.0.20.1:2000", "127.0.20.2:2000", "127.0.20.5:2000"},
         "127.0.20.1-3:2000, 127.0.20.5:2000"},
        {{"127.0.0.9:2001", "127.0.0.9:2000", "127.0.0.9:2002", "127.0.0.10:2000"},
         "127.0.0.9:2000-2002, 127.0.0.10:2000"},
        {{"127.0.0.255:2000", "127.0.1.0:2000"}, "127.0.0.255:2000, 127.0.1.0:2000"}, // no range across a /24
        {{"127.0.0.1:2000", "127.0.0.2:2001"}, "127.0.0.1:2000, 127.0.0.2:2001"},
        {{"q7-b:2000", "127.000.0.1:2000", "q7-a:2000"}, "127.000.0.1:2000, q7-b:2000, q7-a:2000"},
        {{}, ""},
    };
    for (const ListTextCase& c : cases)
        EXPECT_EQ(AddressListText(c.labels), c.text) << testing::PrintToString(c.labels);
}

} // namespace
