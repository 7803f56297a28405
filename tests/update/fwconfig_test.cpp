// Reading configuration files: structure rules, number syntax, text of "Filename", reset between
// files and the cipher layer, over files written by the OpenSSL-based writer.
#include "update/fwconfig.h"

#include "tests/support/testfolder.h"
#include "tools/mkfwcfg/cfgwriter.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class ConfigFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() { folder = std::make_unique<TestFolder>("fwconfig_test"); }
    static void TearDownTestSuite() { folder.reset(); }

    static std::string Write(const std::vector<uint8_t>& bytes, const std::string& name = "t.cfg") {
        EXPECT_FALSE(folder->Path().empty());
        const std::string path = *folder / name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
    static int LoadXml(FwConfig& config, std::string_view xml) {
        return config.Load(Write(EncipherConfig(xml)));
    }

    static inline std::unique_ptr<TestFolder> folder;
};

const char* const kHead = "<?xml version=\"1.0\"?>\n";

struct StructureCase {
    const char* title;
    std::string xml;
    int result;
    const char* syntaxError = nullptr; // the reader's reason, when a syntax error ends the load
};
void PrintTo(const StructureCase& c, std::ostream* os) {
    *os << c.title;
}

class ConfigStructure : public ConfigFiles, public ::testing::WithParamInterface<StructureCase> {};

TEST_P(ConfigStructure, LoadDecidesByStructure) {
    FwConfig config;
    EXPECT_EQ(LoadXml(config, GetParam().xml), GetParam().result) << GetParam().xml;
    if (GetParam().syntaxError) {
        ASSERT_TRUE(config.LastError());
        EXPECT_EQ(config.LastError()->Reason, GetParam().syntaxError);
    } else {
        EXPECT_FALSE(config.LastError()) << config.LastError()->Reason;
    }
}

const std::string kDsp = "<DSPVersion value=\"3\"/>";
const std::string kRoot = "<Configuration>" + kDsp;

INSTANTIATE_TEST_SUITE_P(
    Documents, ConfigStructure,
    ::testing::Values(
        StructureCase{"writer default", ConfigXml({}), 0},
        StructureCase{"no DSPVersion",
                      [] {
                          ConfigFields f;
                          f.DSPVersion.reset();
                          return ConfigXml(f);
                      }(),
                      -1},
        StructureCase{"unknown after DSPVersion", "<Configuration>" + kDsp + "<Other/></Configuration>", -1},
        StructureCase{"unknown before DSPVersion",
                      "<Configuration><Other a='1'><x/></Other>" + kDsp + "</Configuration>", 0},
        StructureCase{"DSPVersion only inside unknown element",
                      "<Configuration><Other>" + kDsp + "</Other></Configuration>", -1},
        StructureCase{"comment after DSPVersion", "<Configuration>" + kDsp + "<!-- c --></Configuration>",
                      -1},
        StructureCase{"comment before DSPVersion", "<Configuration><!-- c -->" + kDsp + "</Configuration>",
                      0},
        StructureCase{"PI after DSPVersion", "<Configuration>" + kDsp + "<?pi x?></Configuration>", -1},
        StructureCase{"text after DSPVersion", "<Configuration>" + kDsp + " stray </Configuration>", -1},
        StructureCase{"blank text around", "<Configuration>\n\t " + kDsp + "\r\n </Configuration>", 0},
        StructureCase{"declaration and comment before root",
                      std::string(kHead) + "<!-- made by hand -->\n<?pi?>\n<Configuration>" + kDsp +
                          "</Configuration>",
                      0},
        StructureCase{"document type before root",
                      std::string(kHead) + "<!DOCTYPE Configuration [<!ELEMENT x ANY>]>\n<Configuration>" +
                          kDsp + "</Configuration>",
                      0},
        StructureCase{"stray text before root",
                      "junk text > & here\n<Configuration>" + kDsp + "</Configuration>", 0},
        StructureCase{"stray text before declaration",
                      "junk" + std::string(kHead) + "<Configuration>" + kDsp + "</Configuration>", 0},
        StructureCase{"empty root", "<Configuration/>", -1},
        StructureCase{"empty root with end tag", "<Configuration></Configuration>", -1},
        StructureCase{"other root name", "<Config>" + kDsp + "</Config>", -1},
        StructureCase{"root name in other case", "<configuration>" + kDsp + "</configuration>", -1},
        StructureCase{"child name in other case", "<Configuration><dspversion value='1'/></Configuration>",
                      -1},
        StructureCase{"missing root end tag", "<Configuration>" + kDsp, -1, "unexpected end of text"},
        StructureCase{"end of text inside a child", kRoot + "<Other><x>", -1, "unexpected end of text"},
        StructureCase{"mismatched end tag",
                      "<Configuration>" + kDsp + "<Inputs value='1'></Outputs></Configuration>", -1,
                      "end tag does not match its start tag"},
        StructureCase{"mismatched root end tag", kRoot + "</Config>", -1,
                      "end tag does not match its start tag"},
        StructureCase{"Filename holding an element",
                      "<Configuration>" + kDsp + "<Filename>a<b/>c</Filename></Configuration>", -1,
                      "an end tag was expected"},
        StructureCase{"comment inside Filename", kRoot + "<Filename>ab<!--x-->cd</Filename></Configuration>",
                      -1, "an end tag was expected"},
        StructureCase{"PI inside Filename", kRoot + "<Filename>ab<?x?></Filename></Configuration>", -1,
                      "an end tag was expected"},
        StructureCase{"control character before the number",
                      "<Configuration><DSPVersion value=\"\x01 42\"/></Configuration>", 0},
        StructureCase{
            "UTF-16 declared on 8-bit text",
            "<?xml version=\"1.0\" encoding=\"UTF-16\"?><Configuration>" + kDsp + "</Configuration>", 0},
        StructureCase{"blank CDATA after DSPVersion", kRoot + "<![CDATA[ \t]]></Configuration>", 0},
        StructureCase{"blank references after DSPVersion", kRoot + "&#32;&#x9;&#10;\r</Configuration>", 0},
        StructureCase{"other reference after DSPVersion", kRoot + "&#65;</Configuration>", -1},
        StructureCase{"CDATA text after DSPVersion", kRoot + "<![CDATA[x]]></Configuration>", -1},
        StructureCase{"lone ampersand and angle after DSPVersion", kRoot + "& < </Configuration>", -1},
        StructureCase{"document type inside root", kRoot + "<!DOCTYPE x></Configuration>", -1},
        StructureCase{"Filename then unknown element", kRoot + "<Filename>f</Filename><x/></Configuration>",
                      -1},
        StructureCase{"unterminated tag", kRoot + "<Inputs value='1'", -1, "unterminated tag"},
        StructureCase{"unterminated attribute value", kRoot + "<Inputs value='1/></Configuration>", -1,
                      "unterminated tag"},
        StructureCase{"attribute without quotes", kRoot + "<Inputs value=1/></Configuration>", -1,
                      "malformed attribute"},
        StructureCase{"unterminated end tag", kRoot + "</Configuration", -1, "unterminated end tag"},
        StructureCase{"unterminated PI inside root", kRoot + "<?pi </Configuration>", -1,
                      "unterminated processing instruction"},
        StructureCase{"unterminated declaration inside root", kRoot + "<!DOCTYPE x </Configuration", -1,
                      "unterminated declaration"},
        StructureCase{"unterminated CDATA inside root",
                      kRoot + "<Filename><![CDATA[x</Filename></Configuration>", -1,
                      "unterminated CDATA section"},
        StructureCase{"unterminated comment inside unknown element",
                      kRoot + "<Other><!-- </Other></Configuration>", -1, "unterminated comment"},
        StructureCase{"element with content",
                      "<Configuration>" + kDsp + "<Checksum value='1'>t<x/></Checksum></Configuration>", 0},
        StructureCase{"unterminated comment inside root",
                      "<Configuration>" + kDsp + "<!-- c </Configuration>", -1, "unterminated comment"},
        StructureCase{"no start tag", "<?xml version=\"1.0\"?> just text", -1, "no start tag"},
        StructureCase{"unterminated comment before root", "<!-- <Configuration>" + kDsp + "</Configuration>",
                      -1, "unterminated comment"},
        StructureCase{"unterminated PI before root", "<?xml <Configuration>" + kDsp + "</Configuration>", -1,
                      "unterminated processing instruction"},
        StructureCase{"unterminated document type before root",
                      "<!DOCTYPE Configuration [ <Configuration>" + kDsp + "</Configuration>", -1,
                      "unterminated declaration"},
        StructureCase{"end tags before root", "</x></ y z></><Configuration>" + kDsp + "</Configuration>", 0},
        StructureCase{"malformed end tag", kRoot + "</Configuration x>", -1, "malformed end tag"},
        StructureCase{"lone angle before root", "a < b <1\n<Configuration>" + kDsp + "</Configuration>", 0},
        StructureCase{"anything after root end",
                      "<Configuration>" + kDsp + "</Configuration><<garbage & </x>", 0},
        StructureCase{"undeclared namespace prefix",
                      "<Configuration>" + kDsp + "<a:b/><DSPVersion value='1'/></Configuration>", 0},
        StructureCase{"empty file", "", -1}));

struct NumberCase {
    const char* value; // nullptr: no attribute
    int32_t result;
};
class ConfigNumber : public ConfigFiles, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(ConfigNumber, ValueSyntax) {
    std::string element = "<Checksum";
    if (GetParam().value)
        element += std::string(" value=\"") + GetParam().value + "\"";
    element += " other=\"9\"/>";
    FwConfig config;
    ASSERT_EQ(LoadXml(config, "<Configuration>" + element + kDsp + "</Configuration>"), 0);
    EXPECT_EQ(config.Checksum, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConfigNumber,
    ::testing::Values(NumberCase{nullptr, kNullInt}, NumberCase{"", kNullInt}, NumberCase{"   ", kNullInt},
                      NumberCase{"abc", kNullInt}, NumberCase{" 42abc", 42}, NumberCase{"-5", -5},
                      NumberCase{"+7", 7}, NumberCase{"4294967295", -1}, NumberCase{"4294967296", 0},
                      NumberCase{"99999999999", 1215752191}, NumberCase{"-2147483648", INT32_MIN},
                      NumberCase{"2147483648", INT32_MIN}, NumberCase{"0x10", 0}, NumberCase{"- 5", kNullInt},
                      NumberCase{"+-5", kNullInt}, NumberCase{"&#9;&#10; 12", 12}, NumberCase{"007", 7},
                      NumberCase{"\x01 42", 42}, NumberCase{"&#1;&#x1f;-3", -3}, NumberCase{"&#45;9", -9},
                      NumberCase{"&amp;9", kNullInt}, NumberCase{"\t\n\r 6", 6},
                      NumberCase{"1\" value=\"2", 1})); // a repeated attribute: the first counts

TEST(ParseConfigNumber, PassesOverControlCharacters) {
    EXPECT_EQ(ParseConfigNumber("\x01\x1f 8"), 8);
    EXPECT_EQ(ParseConfigNumber(std::string_view("\0 8", 3)), kNullInt); // code 0 is not passed over
    EXPECT_EQ(ParseConfigNumber("\x7f"
                                "8"),
              kNullInt);
}

TEST_F(ConfigFiles, ReadsEveryField) {
    ConfigFields f;
    f.DSPVersion = 7;
    f.Filename = "sub\\DSP & <main>.bin";
    f.Inputs = 4;
    f.Outputs = 6;
    f.Seriennummer = 12345;
    f.UseSeriennummer = 1;
    f.Checksum = -123456;
    f.FwVersion = 14;
    f.FwRevision = 3;
    f.Q7Type = 2;
    f.EnableMicInput1 = 1;
    f.EnableAES1 = 1;
    f.EnableAES2 = 0;
    f.EnableFIR = 1;
    f.EnableEthernet = 1;
    FwConfig c;
    ASSERT_EQ(LoadXml(c, ConfigXml(f)), 0);
    EXPECT_EQ(c.DSPVersion, 7);
    EXPECT_EQ(c.Filename, "sub\\DSP & <main>.bin");
    EXPECT_EQ(c.Inputs, 4);
    EXPECT_EQ(c.Outputs, 6);
    EXPECT_EQ(c.Seriennummer, 12345);
    EXPECT_EQ(c.UseSeriennummer, 1);
    EXPECT_EQ(c.Checksum, -123456);
    EXPECT_EQ(c.FwVersion, 14);
    EXPECT_EQ(c.FwRevision, 3);
    EXPECT_EQ(c.Q7Type, 2);
    EXPECT_EQ(c.EnableMicInput1, 1);
    EXPECT_EQ(c.EnableAES1, 1);
    EXPECT_EQ(c.EnableAES2, 0);
    EXPECT_EQ(c.EnableFIR, 1);
    EXPECT_EQ(c.EnableEthernet, 1);
    EXPECT_EQ(c.Valid, 1);
}

struct FilenameCase {
    std::string element;
    std::string name;
};
class ConfigFilename : public ConfigFiles, public ::testing::WithParamInterface<FilenameCase> {};

TEST_P(ConfigFilename, TextWithReferencesAndCdata) {
    FwConfig config;
    ASSERT_EQ(LoadXml(config, "<Configuration>" + kDsp + GetParam().element + "</Configuration>"), 0);
    EXPECT_EQ(config.Filename, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConfigFilename,
    ::testing::Values(
        FilenameCase{"<Filename/>", ""}, FilenameCase{"<Filename></Filename>", ""},
        FilenameCase{"<Filename>a&amp;b&#65;&#x42;</Filename>", "a&bAB"},
        FilenameCase{"<Filename>x<![CDATA[<y>]]>z</Filename>", "x<y>z"},
        FilenameCase{"<Filename> fw.bin </Filename>", " fw.bin "},
        FilenameCase{"<Filename>f\xC3\xA9.bin</Filename>", "f\xC3\xA9.bin"},
        FilenameCase{"<Filename>f\xE9.bin</Filename>", "f\xE9.bin"}, // bytes kept as they are
        FilenameCase{"<Filename>a&b&#;&#0;&#xD800;&foo;&lt</Filename>", "a&b&#;&#0;&#xD800;&foo;&lt"},
        FilenameCase{"<Filename>&#xE9;&#x1F600;&apos;&quot;&gt;</Filename>", "\xC3\xA9\xF0\x9F\x98\x80'\">"},
        FilenameCase{"<Filename><![CDATA[&amp;]]></Filename>", "&amp;"},
        FilenameCase{"<Filename\n></Filename >", ""},
        FilenameCase{"<Filename>a.bin</Filename><Filename>b.bin</Filename>", "b.bin"}));

TEST_F(ConfigFiles, SyntaxErrorCarriesPosition) {
    FwConfig config;
    ASSERT_EQ(
        config.LoadText("<Configuration>\n" + kDsp + "\n  <Inputs value='1'></Outputs>\n</Configuration>"),
        -1);
    ASSERT_TRUE(config.LastError());
    EXPECT_EQ(config.LastError()->Offset, 16 + kDsp.size() + 1 + 2 + 18);
    EXPECT_EQ(config.LastError()->Line, 3u);
    EXPECT_EQ(config.LastError()->Column, 21u);
    // A later load that fails otherwise leaves no syntax error behind.
    EXPECT_EQ(config.LoadText("<Configuration/>"), -1);
    EXPECT_FALSE(config.LastError());
}

TEST_F(ConfigFiles, RepeatedElementKeepsLast) {
    FwConfig config;
    ASSERT_EQ(LoadXml(config, "<Configuration><FwVersion value='1'/>" + kDsp +
                                  "<FwVersion value='2'></FwVersion><DSPVersion value='9'/></Configuration>"),
              0);
    EXPECT_EQ(config.FwVersion, 2);
    EXPECT_EQ(config.DSPVersion, 9);
}

TEST_F(ConfigFiles, SecondFileStartsFromReset) {
    FwConfig config;
    ConfigFields first;
    first.Checksum = 77;
    first.EnableEthernet = 1;
    first.Filename = "first.bin";
    ASSERT_EQ(LoadXml(config, ConfigXml(first)), 0);
    ASSERT_EQ(config.Checksum, 77);
    ConfigFields second;
    second.Checksum.reset();
    second.EnableEthernet.reset();
    second.Filename.reset();
    ASSERT_EQ(LoadXml(config, ConfigXml(second)), 0);
    EXPECT_EQ(config.Checksum, 0);
    EXPECT_EQ(config.EnableEthernet, 0);
    EXPECT_EQ(config.Filename, "");
    // A failing file also resets what it reached, and clears Valid.
    ASSERT_EQ(LoadXml(config, ConfigXml(first)), 0);
    EXPECT_EQ(LoadXml(config, "<Configuration><Inputs value='5'/>"), -1);
    EXPECT_EQ(config.Checksum, 0);
    EXPECT_EQ(config.Valid, 0);
}

TEST_F(ConfigFiles, FileLevelFailures) {
    FwConfig config;
    EXPECT_EQ(config.Load(Write({}, "empty.cfg")), -1);
    EXPECT_EQ(config.Load(*folder / "missing.cfg"), -1);
    EXPECT_EQ(config.Load(folder->Path()), -1); // a folder
    EXPECT_EQ(config.Load(Write({1, 2, 3, 4, 5}, "short.cfg")), -1);
    // Plain (not enciphered) XML deciphers to noise.
    const std::string xml = ConfigXml({});
    EXPECT_EQ(config.Load(Write(std::vector<uint8_t>(xml.begin(), xml.end()), "plain.cfg")), -1);
    EXPECT_EQ(config.Valid, 0);
}

TEST_F(ConfigFiles, ZeroPaddingAndPartialTrailingBlock) {
    FwConfig config;
    // The document ends in the middle of a block: the rest of that block is zero bytes.
    std::string xml = "<Configuration>" + kDsp + "</Configuration>";
    std::vector<uint8_t> bytes = EncipherConfig(xml);
    ASSERT_GT(bytes.size(), xml.size());
    EXPECT_EQ(config.Load(Write(bytes)), 0);
    // Extra bytes that form no whole block follow the zero bytes and are not read as text.
    bytes.insert(bytes.end(), {0x11, 0x22, 0x33, 0x44, 0x55});
    EXPECT_EQ(config.Load(Write(bytes)), 0);
    // A document that fills its blocks exactly has no zero byte: the end of the data ends it.
    std::string body = "<Configuration>" + kDsp;
    body.append(16 - (body.size() + 16) % 16, ' ');
    xml = body + "</Configuration>"; // the end tag is 16 characters long
    bytes = EncipherConfig(xml);
    ASSERT_EQ(bytes.size(), xml.size());
    EXPECT_EQ(config.Load(Write(bytes)), 0);
    // A trailing partial block after a document without zero bytes comes after the root's end tag.
    bytes.insert(bytes.end(), {0x11, 0x22, 0x33});
    EXPECT_EQ(config.Load(Write(bytes)), 0);
    // A file cut inside its last block loses the root's end tag.
    bytes.resize(bytes.size() - 3 - 8);
    EXPECT_EQ(config.Load(Write(bytes)), -1);
}

} // namespace
