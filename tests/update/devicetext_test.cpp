// Device texts as UTF-8: valid UTF-8 kept, anything else read as Latin-1.
#include "update/devicetext.h"

#include <gtest/gtest.h>

namespace {

struct TextCase {
    const char* label;
    std::string bytes;
    std::string utf8;
};

class DeviceText : public testing::TestWithParam<TextCase> {};

TEST_P(DeviceText, IsUtf8WhenValidElseLatin1) {
    EXPECT_EQ(DeviceTextUtf8(GetParam().bytes), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DeviceText,
    testing::Values(TextCase{"Ascii", "DSP-Q7", "DSP-Q7"}, TextCase{"Latin1", "M\xFCller", "M\xC3\xBCller"},
                    TextCase{"Utf8", "M\xC3\xBCller", "M\xC3\xBCller"},
                    TextCase{"Utf8FourBytes", "\xF0\x9F\x8E\xB5", "\xF0\x9F\x8E\xB5"},
                    TextCase{"Overlong", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
                    TextCase{"Surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},
                    TextCase{"CutAtTheEnd", "ab\xC3", "ab\xC3\x83"},
                    TextCase{"BeyondUnicode", "\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},
                    TextCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
