// Differential test of the configuration reader: seeded random well-formed documents, read by
// FwConfig and by an oracle built on QtCore's QXmlStreamReader with the same rules on its tokens.
#include "update/fwconfig.h"

#include <QString>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>

namespace {

bool Blank(const QString& text) {
    for (const QChar c : text)
        if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
            return false;
    return true;
}

int32_t OracleValue(const QXmlStreamReader& xml) {
    const QXmlStreamAttributes attributes = xml.attributes();
    if (!attributes.hasAttribute(QStringLiteral("value")))
        return kNullInt;
    return ParseConfigNumber(attributes.value(QStringLiteral("value")).toString().toStdString());
}

// The number elements with the field each one sets.
const std::array<std::pair<const char*, int32_t FwConfig::*>, 13> kNumbers = {{
    {"Inputs", &FwConfig::Inputs},
    {"Outputs", &FwConfig::Outputs},
    {"Q7Type", &FwConfig::Q7Type},
    {"EnableMicInput1", &FwConfig::EnableMicInput1},
    {"EnableAES1", &FwConfig::EnableAES1},
    {"EnableAES2", &FwConfig::EnableAES2},
    {"EnableFIR", &FwConfig::EnableFIR},
    {"EnableEthernet", &FwConfig::EnableEthernet},
    {"Seriennummer", &FwConfig::Seriennummer},
    {"UseSeriennummer", &FwConfig::UseSeriennummer},
    {"Checksum", &FwConfig::Checksum},
    {"FwVersion", &FwConfig::FwVersion},
    {"FwRevision", &FwConfig::FwRevision},
}};

// Reads a well-formed document into c through QXmlStreamReader; the result as Load gives it.
int OracleLoad(FwConfig& c, const std::string& document) {
    c.Valid = 0;
    c.DSPVersion = 0;
    c.Filename.clear();
    for (const auto& number : kNumbers)
        c.*(number.second) = 0;
    QXmlStreamReader xml(QString::fromStdString(document));
    xml.setNamespaceProcessing(false);
    while (!xml.isStartElement()) {
        xml.readNext();
        if (xml.hasError() || xml.atEnd())
            return -1;
    }
    if (xml.qualifiedName() != QLatin1String("Configuration"))
        return -1;
    for (;;) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (xml.hasError())
            return -1;
        if (token == QXmlStreamReader::EndElement)
            return c.Valid == 1 ? 0 : -1;
        if (token == QXmlStreamReader::Characters) {
            if (!Blank(xml.text().toString()))
                c.Valid = 0;
            continue;
        }
        if (token != QXmlStreamReader::StartElement) {
            c.Valid = 0; // comment, processing instruction
            continue;
        }
        const QString name = xml.qualifiedName().toString();
        if (name == QLatin1String("Filename")) {
            // The text, then its end tag: anything else after the text is an error.
            c.Filename.clear();
            QXmlStreamReader::TokenType inner;
            while ((inner = xml.readNext()) == QXmlStreamReader::Characters)
                c.Filename += xml.text().toString().toStdString();
            if (inner != QXmlStreamReader::EndElement)
                return -1;
            continue;
        }
        if (name == QLatin1String("DSPVersion")) {
            c.DSPVersion = OracleValue(xml);
            c.Valid = 1;
        } else {
            bool known = false;
            for (const auto& number : kNumbers)
                if (name == QLatin1String(number.first)) {
                    c.*(number.second) = OracleValue(xml);
                    known = true;
                }
            if (!known)
                c.Valid = 0;
        }
        xml.skipCurrentElement();
    }
}

// Writes random well-formed documents over the configuration's vocabulary.
class DocumentWriter {
public:
    explicit DocumentWriter(uint32_t seed) : random(seed) {}

    std::string Document() {
        std::string out;
        if (Chance(2))
            out += Pick({"<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
                         "<?xml version='1.0' standalone='yes'?>"});
        for (int i = Below(3); i > 0; --i)
            out += Pick({"\n", "<!-- before -->", "<?app data?>", "  "});
        if (Chance(8))
            out += Pick({"<!DOCTYPE Configuration>", "<!DOCTYPE Configuration [<!ELEMENT x ANY>]>"});
        out += Pick({"\n", "", "<!-- c -->"});
        out += "<Configuration" + Attributes() + ">";
        for (int i = Below(10); i > 0; --i)
            out += Child();
        out += "</Configuration>";
        if (Chance(3))
            out += Pick({"\n", "<!-- after -->", "  "});
        return out;
    }

private:
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    bool Chance(int oneIn) { return Below(oneIn) == 0; }
    std::string Pick(std::initializer_list<const char*> options) {
        return *(options.begin() + Below(int(options.size())));
    }

    std::string Blank() { return Pick({" ", "\n", "\t", "\n  ", ""}); }

    std::string AttributeValue() {
        std::string v;
        for (int i = Below(4); i > 0; --i)
            v += Pick({" ", "\t", "+", "-", "7", "42", "4294967295", "0x10", "abc", "&#32;", "&#9;", "&#45;",
                       "&amp;", "&lt;", "&#x31;", "&quot;", "&apos;", ""});
        return v;
    }
    std::string Attributes() {
        std::string out;
        // Each name at most once; "value" among them.
        for (const char* name : {"value", "other", "id"}) {
            if (Chance(name[0] == 'v' ? 4 : 2))
                continue;
            const char quote = Chance(2) ? '"' : '\'';
            const std::string space = Blank();
            out += space.empty() ? " " : space;
            out += name;
            out += Pick({"=", " = "});
            out += quote + AttributeValue() + quote;
        }
        return out + Pick({"", " ", "\n"});
    }

    std::string Text() {
        std::string out;
        for (int i = 1 + Below(3); i > 0; --i)
            out +=
                Pick({"fw", ".bin", "\\", " ", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#65;", "&#x42;",
                      "&#xE9;", "&#32;", "<![CDATA[a<b]]>", "<![CDATA[ ]]>", "<![CDATA[]]>", "\t", "\n"});
        return out;
    }
    std::string Misc() {
        return Pick({"<!-- note -->", "<?pi x?>", "<![CDATA[ ]]>", "<![CDATA[x]]>", "text", "&#32;", "&#x41;",
                     " \n\t", "&amp;"});
    }

    // Content of an element whose content is passed over.
    std::string Content(int depth) {
        std::string out;
        for (int i = Below(4); i > 0; --i) {
            if (depth < 3 && Chance(3))
                out += Element(depth + 1);
            else
                out += Misc();
        }
        return out;
    }
    std::string Element(int depth) {
        const std::string name = Pick({"Other", "x", "a:b", "dspversion", "DSPVersion", "Filename", "Inputs",
                                       "FwVersionX", "Checksum"});
        const std::string attributes = Attributes();
        if (Chance(2))
            return "<" + name + attributes + "/>";
        return "<" + name + attributes + ">" + Content(depth) + "</" + name + Blank() + ">";
    }

    std::string Child() {
        switch (Below(8)) {
        case 0:
        case 1:
            return NumberElement(Chance(3) ? "DSPVersion" : kNumbers[size_t(Below(13))].first);
        case 2: {
            if (Chance(4))
                return "<Filename" + Attributes() + "/>";
            std::string text = Chance(5) ? "" : Text();
            if (Chance(12)) // an item that is not text: an error in both readers
                text += Pick({"<!-- c -->", "<x/>", "<?pi?>"}) + Text();
            return "<Filename" + Attributes() + ">" + text + "</Filename>";
        }
        case 3:
            return Element(1);
        case 4:
            return Misc();
        default:
            return Blank();
        }
    }
    std::string NumberElement(const std::string& name) {
        const std::string attributes = Attributes();
        if (Chance(2))
            return "<" + name + attributes + "/>";
        return "<" + name + attributes + ">" + Content(1) + "</" + name + ">";
    }

    std::mt19937 random;
};

TEST(ConfigOracle, RandomDocumentsReadAsQtReadsThem) {
    constexpr int kDocuments = 5000;
    DocumentWriter writer(20240601);
    int accepted = 0;
    int syntaxErrors = 0;
    for (int i = 0; i < kDocuments; ++i) {
        const std::string document = writer.Document();
        FwConfig ours;
        FwConfig oracle;
        const int result = ours.LoadText(document);
        ASSERT_EQ(result, OracleLoad(oracle, document)) << document;
        accepted += result == 0;
        syntaxErrors += ours.LastError().has_value();
        ASSERT_EQ(ours.Valid, oracle.Valid) << document;
        ASSERT_EQ(ours.DSPVersion, oracle.DSPVersion) << document;
        ASSERT_EQ(ours.Filename, oracle.Filename) << document;
        for (const auto& number : kNumbers)
            ASSERT_EQ(ours.*(number.second), oracle.*(number.second)) << number.first << " in " << document;
    }
    // Both outcomes, and syntax errors, must be common enough to mean something.
    EXPECT_GT(accepted, kDocuments / 10);
    EXPECT_GT(kDocuments - accepted, kDocuments / 10);
    EXPECT_GT(syntaxErrors, kDocuments / 100);
    std::printf("%d documents: %d accepted, %d refused (%d by a syntax error)\n", kDocuments, accepted,
                kDocuments - accepted, syntaxErrors);
}

} // namespace
