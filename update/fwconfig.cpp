// Reading a firmware configuration file: decipher the whole file, take the text up to the first
// zero byte, and read the flat list of elements inside the root "Configuration".
#include "update/fwconfig.h"

#include <QString>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace {

// The key compiled into the program; only its first 16 characters are the AES-128 key.
constexpr char kConfigKey[] = "XKR-PHONOTEQU5209";

bool IsNameStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

// Where the first start tag begins. Everything before it (declaration, processing instructions,
// comments, a document type, stray text) is passed over here, because the XML reader refuses
// stray text before the root. Unterminated constructs and a stray end tag are syntax errors.
// declarationEnd receives the end of an XML declaration at the very start, or 0.
std::optional<size_t> FindFirstStartTag(std::string_view text, size_t& declarationEnd) {
    declarationEnd = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        size_t end = std::string_view::npos;
        if (rest.starts_with("<!--")) {
            end = text.find("-->", i + 4);
            if (end == std::string_view::npos)
                return std::nullopt;
            i = end + 3;
        } else if (rest.starts_with("<?")) {
            end = text.find("?>", i + 2);
            if (end == std::string_view::npos)
                return std::nullopt;
            if (i == 0 && rest.starts_with("<?xml") && rest.size() > 5 &&
                (rest[5] == ' ' || rest[5] == '\t' || rest[5] == '\r' || rest[5] == '\n'))
                declarationEnd = end + 2;
            i = end + 2;
        } else if (rest.starts_with("<![CDATA[")) {
            end = text.find("]]>", i + 9);
            if (end == std::string_view::npos)
                return std::nullopt;
            i = end + 3;
        } else if (rest.starts_with("<!")) {
            // A document type, possibly with an internal subset in brackets.
            int depth = 0;
            size_t j = i + 2;
            for (; j < text.size(); ++j) {
                if (text[j] == '[')
                    ++depth;
                else if (text[j] == ']')
                    --depth;
                else if (text[j] == '>' && depth <= 0)
                    break;
            }
            if (j >= text.size())
                return std::nullopt;
            i = j + 1;
        } else if (rest.starts_with("</")) {
            return std::nullopt;
        } else if (rest.size() > 1 && IsNameStart(static_cast<unsigned char>(rest[1]))) {
            return i;
        } else {
            ++i; // a lone "<" in stray text
        }
    }
    return std::nullopt;
}

// The encoding named by an XML declaration, or empty.
std::string DeclaredEncoding(std::string_view declaration) {
    const size_t at = declaration.find("encoding");
    if (at == std::string_view::npos)
        return {};
    size_t q = declaration.find_first_of("\"'", at);
    if (q == std::string_view::npos)
        return {};
    const size_t close = declaration.find(declaration[q], q + 1);
    if (close == std::string_view::npos)
        return {};
    return std::string(declaration.substr(q + 1, close - q - 1));
}

// The root's children read through attribute "value", with the field each one sets.
struct NumberElement {
    const char* name;
    int32_t FwConfig::*field;
};
constexpr NumberElement kNumberElements[] = {
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
};

int32_t ValueOf(const QXmlStreamReader& xml) {
    const QXmlStreamAttributes attributes = xml.attributes();
    if (!attributes.hasAttribute(QStringLiteral("value")))
        return kNullInt;
    return ParseConfigNumber(attributes.value(QStringLiteral("value")).toString().toStdString());
}

} // namespace

int32_t ParseConfigNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) >= 1 &&
           static_cast<unsigned char>(text[i]) <= 32)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return kNullInt;
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

FwConfig::FwConfig() {
    const char chain[16] = {};
    cipher.SetKey(kConfigKey, chain, 16, 16);
}

void FwConfig::Reset() {
    DSPVersion = Inputs = Outputs = Seriennummer = UseSeriennummer = Checksum = 0;
    FwVersion = FwRevision = Q7Type = EnableMicInput1 = EnableAES1 = EnableAES2 = EnableFIR = EnableEthernet =
        0;
    Filename.clear();
}

int FwConfig::Load(const std::string& path) {
    Valid = 0;
    // A folder or a device file counts as a file that cannot be read.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return -1;
    std::vector<uint8_t> bytes;
    try {
        std::ifstream in(path, std::ios::binary);
        if (in)
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return -1;
    }
    return LoadBytes(bytes.data(), bytes.size());
}

int FwConfig::LoadBytes(const uint8_t* data, size_t n) {
    Valid = 0;
    if (n == 0)
        return -1;
    try {
        // A file too large for memory is a file that cannot be read, not an error for the caller.
        std::vector<char> plain(n + 1, 0);
        cipher.Decipher(reinterpret_cast<const char*>(data), plain.data(), n);
        const std::string_view text(plain.data()); // up to the first zero byte
        if (Parse(text) != 0)
            return -1;
    } catch (const std::exception&) {
        return -1;
    }
    return Valid == 1 ? 0 : -1;
}

int FwConfig::Parse(std::string_view text) {
    Reset();
    size_t declarationEnd = 0;
    const std::optional<size_t> root = FindFirstStartTag(text, declarationEnd);
    if (!root)
        return -1;

    // Files are written on Windows; honour a declared encoding the reader knows, else UTF-8.
    const std::string encoding = DeclaredEncoding(text.substr(0, declarationEnd));
    const QByteArray body =
        QByteArray::fromRawData(text.data() + *root, static_cast<qsizetype>(text.size() - *root));
    QStringDecoder decoder(encoding.empty() ? "UTF-8" : encoding.c_str());
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString document = decoder(body);

    QXmlStreamReader xml(document);
    xml.setNamespaceProcessing(false);
    while (!xml.isStartElement()) {
        xml.readNext();
        if (xml.hasError() || xml.atEnd())
            return -1;
    }
    if (xml.qualifiedName() != QLatin1String("Configuration")) {
        Valid = 0;
        return -1;
    }

    for (;;) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (xml.hasError())
            return -1;
        switch (token) {
        case QXmlStreamReader::EndElement:
            return 0; // the root's end tag; what follows is not read
        case QXmlStreamReader::StartElement: {
            const QStringView name = xml.qualifiedName();
            if (name == QLatin1String("DSPVersion")) {
                DSPVersion = ValueOf(xml);
                Valid = 1;
                xml.skipCurrentElement();
            } else if (name == QLatin1String("Filename")) {
                Filename = xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement).toStdString();
            } else {
                const NumberElement* known = nullptr;
                for (const NumberElement& e : kNumberElements)
                    if (name == QLatin1String(e.name))
                        known = &e;
                if (known)
                    this->*(known->field) = ValueOf(xml);
                else
                    Valid = 0;
                xml.skipCurrentElement();
            }
            if (xml.hasError())
                return -1;
            break;
        }
        case QXmlStreamReader::Characters:
            if (!xml.isWhitespace())
                Valid = 0;
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::DTD:
            Valid = 0;
            break;
        default: // end of the text before the root's end tag
            return -1;
        }
    }
}
