// The configuration file writer: XML built from fields, AES-128-ECB under the fixed key checked
// against a vector from the openssl command line and against the project's own decipher, the
// mkfwcfg program, and the demo folder the build produces.
#include "base/platform.h"
#include "crypto/rijndael.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

#include "tests/tools/simprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

std::string DecipherWithCRijndael(const std::vector<uint8_t>& data) {
    if (data.empty()) {
        return ""; // the cipher takes no empty input
    }
    CRijndael cipher;
    const char zeros[16] = {};
    cipher.SetKey("XKR-PHONOTEQU5209", zeros, 16, 16);
    std::string plain(data.size(), '\0');
    cipher.Decipher(reinterpret_cast<const char*>(data.data()), plain.data(), data.size());
    return plain.substr(0, plain.find('\0'));
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string hex;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        hex += b;
    }
    return hex;
}

std::string Temp(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("cfgwriter_test_" + std::to_string(ProcessId()) + "_" + name))
        .string();
}

TEST(EncipherConfig, MatchesAesOfTheFixedKey) {
    // openssl enc -aes-128-ecb -nopad -K <hex of "XKR-PHONOTEQU520"> over "Hello, world!!!!".
    EXPECT_EQ(ToHex(EncipherConfig("Hello, world!!!!")), "69641c18baf84e60d287ef61cf17387a");
}

class EncipherLength : public testing::TestWithParam<size_t> {};

TEST_P(EncipherLength, FillsTheLastBlockWithZerosAndDeciphersBack) {
    const std::string text(GetParam(), 'x');
    const auto data = EncipherConfig(text);
    EXPECT_EQ(data.size(), (text.size() + 15) / 16 * 16);
    EXPECT_EQ(DecipherWithCRijndael(data), text);
    const auto plain = DecipherConfig(data);
    EXPECT_TRUE(std::all_of(plain.begin() + static_cast<std::ptrdiff_t>(text.size()), plain.end(),
                            [](uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Lengths, EncipherLength, testing::Values(0, 1, 15, 16, 17, 480));

TEST(ConfigXml, WritesEveryFieldAndLeavesOutEmptyOnes) {
    ConfigFields f;
    f.Filename = "a<b>&c.bin";
    f.Checksum = -5;
    f.EnableEthernet.reset();
    const std::string xml = ConfigXml(f);
    EXPECT_NE(xml.find("<Configuration>"), std::string::npos);
    EXPECT_NE(xml.find("<DSPVersion value=\"1\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<Filename>a&lt;b&gt;&amp;c.bin</Filename>"), std::string::npos);
    EXPECT_NE(xml.find("<Checksum value=\"-5\"/>"), std::string::npos);
    EXPECT_EQ(xml.find("EnableEthernet"), std::string::npos);
    EXPECT_NE(xml.find("</Configuration>"), std::string::npos);
}

TEST(DemoImage, IsDeterministicPerSeed) {
    EXPECT_EQ(DemoImage(1000, 5), DemoImage(1000, 5));
    EXPECT_NE(DemoImage(1000, 5), DemoImage(1000, 6));
    EXPECT_EQ(DemoImage(0).size(), 0u);
}

TEST(Mkfwcfg, WritesImageAndConfigurationWithItsChecksum) {
    const std::string bin = Temp("fw.bin"), cfg = Temp("fw.cfg");
    SimProcess a;
    ASSERT_TRUE(a.Start(MKFWCFG_PATH, {"--write-image", bin, "--size", "3000", "--seed", "9"}));
    ASSERT_EQ(a.WaitExit(), 0);
    SimProcess b;
    ASSERT_TRUE(b.Start(MKFWCFG_PATH, {"--out", cfg, "--image", bin, "--version", "7", "--revision", "0x10",
                                       "--serial", "4294967295", "--use-serial", "1", "--omit", "Q7Type"}));
    ASSERT_EQ(b.WaitExit(), 0);
    const auto image = ReadFileBytes(bin);
    ASSERT_TRUE(image);
    EXPECT_EQ(*image, DemoImage(3000, 9));
    const std::string xml = DecipherWithCRijndael(*ReadFileBytes(cfg));
    const std::string sum = std::to_string(ImageChecksum(image->data(), image->size()));
    EXPECT_NE(xml.find("<Checksum value=\"" + sum + "\"/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<Filename>" + std::filesystem::path(bin).filename().string() + "</Filename>"),
              std::string::npos);
    EXPECT_NE(xml.find("<FwRevision value=\"16\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<Seriennummer value=\"-1\"/>"), std::string::npos);
    EXPECT_EQ(xml.find("Q7Type"), std::string::npos);
    std::filesystem::remove(bin);
    std::filesystem::remove(cfg);
}

TEST(Mkfwcfg, EnciphersAGivenXmlDocumentAsItIs) {
    const std::string xml = Temp("in.xml"), cfg = Temp("in.cfg");
    const std::string doc = "<Configuration><DSPVersion value=\"2\"/><Odd/></Configuration>";
    ASSERT_TRUE(WriteFileBytes(xml, {doc.begin(), doc.end()}));
    SimProcess p;
    ASSERT_TRUE(p.Start(MKFWCFG_PATH, {"--out", cfg, "--xml", xml}));
    ASSERT_EQ(p.WaitExit(), 0);
    EXPECT_EQ(DecipherWithCRijndael(*ReadFileBytes(cfg)), doc);
    std::filesystem::remove(xml);
    std::filesystem::remove(cfg);
}

TEST(Mkfwcfg, RejectsBadInputWithAnError) {
    const std::string plain = "<?xml version=\"1.0\"?><!-- not enciphered, 48 -->"; // 48 bytes
    ASSERT_TRUE(WriteFileBytes(Temp("plain.cfg"), {plain.begin(), plain.end()}));
    ASSERT_TRUE(WriteFileBytes(Temp("short.cfg"), {plain.begin(), plain.begin() + 20}));
    ASSERT_TRUE(WriteFileBytes(Temp("empty.cfg"), {}));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--show", Temp("plain.cfg")},
                                               {"--show", Temp("short.cfg")},
                                               {"--show", Temp("empty.cfg")},
                                               {"--show", "/nonexistent/x.cfg"},
                                               {"--out", Temp("x.cfg"), "--checksum", "12z"},
                                               {"--out", Temp("x.cfg"), "--image", "/nonexistent/image.bin"},
                                               {"--checksum", "1"},
                                               {"--out", Temp("x.cfg"), "--omit", "Nothing"},
                                               {"--frobnicate", "1"},
                                               {"--seed", "--out"}}) {
        SimProcess p;
        ASSERT_TRUE(p.Start(MKFWCFG_PATH, args));
        const auto rc = p.WaitExit();
        ASSERT_TRUE(rc.has_value());
        EXPECT_NE(*rc, 0) << args[0] << " " << args[1];
        EXPECT_NE(p.ErrText(std::chrono::milliseconds(1000)).find("mkfwcfg: "), std::string::npos);
    }
}

TEST(DemoFolder, HoldsAConfigurationMatchingItsImage) {
    const std::string dir = DEMO_DIR;
    const auto image = ReadFileBytes(dir + "/demo.bin");
    const auto cfg = ReadFileBytes(dir + "/demo.cfg");
    ASSERT_TRUE(image && cfg) << "the build writes " << dir;
    EXPECT_EQ(image->size(), 4096u);
    const std::string xml = DecipherWithCRijndael(*cfg);
    EXPECT_NE(xml.find("<Filename>demo.bin</Filename>"), std::string::npos);
    EXPECT_NE(
        xml.find("<Checksum value=\"" + std::to_string(ImageChecksum(image->data(), image->size())) + "\"/>"),
        std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<DSPVersion value="), std::string::npos);
}

} // namespace
