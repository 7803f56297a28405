// Writes firmware configuration files (XML enciphered with AES-128-ECB under the fixed key) and
// deterministic demo images; used by the demo firmware writer and by tests, never by the tool itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The values of one configuration file. A field left empty (std::nullopt) is not written at all,
// so tests can build files that lack an element.
struct ConfigFields {
    std::optional<int32_t> DSPVersion = 1;
    std::optional<std::string> Filename = std::string("fw.bin");
    std::optional<int32_t> Inputs = 2;
    std::optional<int32_t> Outputs = 2;
    std::optional<int32_t> Seriennummer = 0;
    std::optional<int32_t> UseSeriennummer = 0;
    std::optional<int32_t> Checksum = 0;
    std::optional<int32_t> FwVersion = 1;
    std::optional<int32_t> FwRevision = 0;
    std::optional<int32_t> Q7Type = 0;
    std::optional<int32_t> EnableMicInput1 = 0;
    std::optional<int32_t> EnableAES1 = 0;
    std::optional<int32_t> EnableAES2 = 0;
    std::optional<int32_t> EnableFIR = 0;
    std::optional<int32_t> EnableEthernet = 0;
};

// The number fields of a configuration file in the order a written document has them (Filename stands
// after the first, DSPVersion), each with its element and the mkfwcfg option that sets it.
struct NumberField {
    const char* Element;
    const char* Option;
    std::optional<int32_t> ConfigFields::*Field;
};
extern const NumberField kNumberFields[14];

// The XML document of a configuration file: an XML declaration and the root "Configuration" with one
// child per field present, numbers in attribute "value", the file name as text (escaped).
std::string ConfigXml(const ConfigFields& fields);

// Enciphers a document as a configuration file: the text, zero bytes up to the next multiple of
// 16, AES-128-ECB under the first 16 bytes of "XKR-PHONOTEQU5209". An empty text gives no bytes.
std::vector<uint8_t> EncipherConfig(std::string_view xml);

// The inverse of EncipherConfig for whole blocks (trailing zero bytes kept); for checks in tests.
std::vector<uint8_t> DecipherConfig(const std::vector<uint8_t>& data);

// A deterministic pseudo-random image of size bytes; the same seed gives the same bytes.
std::vector<uint8_t> DemoImage(std::size_t size, uint32_t seed = 1);

// Whole-file helpers: true on success.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);
