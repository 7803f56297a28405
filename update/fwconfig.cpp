// Reading a firmware configuration file: decipher the whole file, take the text up to the first
// zero byte, and read the flat list of elements inside the root "Configuration".
#include "update/fwconfig.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "base/platform.h"

namespace {

// The key compiled into the program; only its first 16 characters are the AES-128 key.
constexpr char kConfigKey[] = "XKR-PHONOTEQU5209";

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

int32_t ValueOf(const XmlReader& xml) {
    const std::optional<std::string> value = xml.Attribute("value");
    return value ? ParseConfigNumber(*value) : kNullInt;
}

// Whether text begins as every XML document does: '<' after blanks and a byte-order mark.
bool StartsLikeXml(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const size_t first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && text[first] == '<';
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
    lastError.reset();
    // A folder or a device file counts as a file that cannot be read.
    const std::filesystem::path file = PathFromUtf8(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return -1;
    std::vector<uint8_t> bytes;
    try {
        std::ifstream in(file, std::ios::binary);
        if (in)
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return -1;
    }
    return LoadBytes(bytes.data(), bytes.size());
}

int FwConfig::LoadBytes(const uint8_t* data, size_t n) {
    Valid = 0;
    lastError.reset();
    if (n == 0)
        return -1;
    try {
        // A file too large for memory is a file that cannot be read, not an error for the caller.
        std::vector<char> plain(n + 1, 0);
        cipher.Decipher(reinterpret_cast<const char*>(data), plain.data(), n);
        return LoadText(std::string_view(plain.data(), n));
    } catch (const std::exception&) {
        return -1;
    }
}

int FwConfig::LoadText(std::string_view text) {
    Valid = 0;
    lastError.reset();
    try {
        if (Parse(text) != 0)
            return -1;
    } catch (const std::exception&) {
        return -1;
    }
    return Valid == 1 ? 0 : -1;
}

int FwConfig::Parse(std::string_view text) {
    Reset();
    XmlReader xml(text); // up to the first zero byte
    const auto failed = [&] {
        lastError = xml.Error();
        return -1;
    };
    while (!xml.IsStartTag())
        if (!xml.Next())
            return failed();
    if (!xml.ConsumeStartTag("Configuration")) {
        Valid = 0;
        return failed(); // another root name, or a syntax error in the root's tag
    }

    for (;;) {
        if (xml.Error())
            return failed();
        if (xml.IsEndTag()) // the root's: every child is consumed whole
            return xml.ConsumeEndTag() ? 0 : failed();
        if (xml.ConsumeStartTag("DSPVersion")) {
            DSPVersion = ValueOf(xml);
            Valid = 1;
            xml.SkipContent();
            continue;
        }
        if (xml.ConsumeStartTag("Filename")) {
            const std::optional<std::string> name = xml.ReadText();
            if (!name)
                return failed();
            Filename = *name;
            if (!xml.ConsumeEndTag()) // a child element, comment or other item ends the text early
                return failed();
            continue;
        }
        const NumberElement* known = nullptr;
        if (xml.IsStartTag())
            for (const NumberElement& e : kNumberElements)
                if (xml.Name() == e.name)
                    known = &e;
        if (known) {
            xml.ConsumeStartTag(known->name);
            this->*(known->field) = ValueOf(xml);
            xml.SkipContent();
            continue;
        }
        const XmlReader::Item item = xml.Current();
        if (item == XmlReader::Item::StartTag) {
            xml.SkipElement();
        } else {
            const bool blank =
                (item == XmlReader::Item::Text || item == XmlReader::Item::Cdata) && xml.IsBlank();
            xml.Next();
            if (blank)
                continue;
        }
        Valid = 0;
    }
}

std::string ConfigProblem(const std::string& path) {
    const std::filesystem::path file = PathFromUtf8(path);
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status))
        return "the file does not exist";
    if (std::filesystem::is_directory(status))
        return "it is a folder, not a file";
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int error = errno;
        return std::string("the file cannot be read: ") + std::strerror(error);
    }
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty())
        return "the file is empty";
    // A configuration's first block deciphers to the start of its XML document; anything else (the image
    // itself, given by mistake) is no configuration at all.
    if (data.size() >= 16) {
        CRijndael cipher;
        const char chain[16] = {};
        cipher.SetKey(kConfigKey, chain, 16, 16);
        char first[16];
        cipher.DecipherBlock(reinterpret_cast<const char*>(data.data()), first);
        if (!StartsLikeXml(std::string_view(first, sizeof first))) {
            if (StartsLikeXml(std::string_view(reinterpret_cast<const char*>(data.data()), data.size())))
                return "this is not an enciphered configuration: it is plain XML";
            return "this is not an enciphered configuration: deciphered, it holds no XML document (a "
                   "firmware image or a file of another kind)";
        }
    }
    if (data.size() % 16 != 0)
        return "its length, " + std::to_string(data.size()) + " bytes, is not a multiple of 16: truncated";
    FwConfig config;
    if (config.LoadBytes(data.data(), data.size()) == 0)
        return "the file changed while it was read";
    if (const auto& error = config.LastError()) {
        return "the document is refused at line " + std::to_string(error->Line) + ", column " +
               std::to_string(error->Column) + ": " + std::string(error->Reason);
    }
    return "no valid configuration document: not enciphered, another key, or not marked valid";
}
