// Configuration file writer: XML building and AES-128-ECB enciphering (Aes128Encipher; CRijndael
// deciphers for the checks).
#include "tools/mkfwcfg/cfgwriter.h"

#include "crypto/rijndael.h"
#include "tools/mkfwcfg/aes128.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace {

// The program's key is the first 16 bytes of this text; the 17th character is not part of it.
constexpr char kKeyText[] = "XKR-PHONOTEQU5209";
constexpr std::size_t kBlock = 16;

std::string EscapeXml(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void AddValue(std::string& xml, const char* name, const std::optional<int32_t>& value) {
    if (value) {
        xml += "  <";
        xml += name;
        xml += " value=\"" + std::to_string(*value) + "\"/>\n";
    }
}

// The fixed key, as the enciphering direction takes it.
Aes128Encipher Cipher() {
    std::uint8_t key[16];
    std::memcpy(key, kKeyText, sizeof key);
    return Aes128Encipher(key);
}

} // namespace

const NumberField kNumberFields[14] = {
    {"DSPVersion", "--dspversion", &ConfigFields::DSPVersion},
    {"Inputs", "--inputs", &ConfigFields::Inputs},
    {"Outputs", "--outputs", &ConfigFields::Outputs},
    {"Seriennummer", "--serial", &ConfigFields::Seriennummer},
    {"UseSeriennummer", "--use-serial", &ConfigFields::UseSeriennummer},
    {"Checksum", "--checksum", &ConfigFields::Checksum},
    {"FwVersion", "--fw-version", &ConfigFields::FwVersion},
    {"FwRevision", "--revision", &ConfigFields::FwRevision},
    {"Q7Type", "--q7type", &ConfigFields::Q7Type},
    {"EnableMicInput1", "--enable-mic-input1", &ConfigFields::EnableMicInput1},
    {"EnableAES1", "--enable-aes1", &ConfigFields::EnableAES1},
    {"EnableAES2", "--enable-aes2", &ConfigFields::EnableAES2},
    {"EnableFIR", "--enable-fir", &ConfigFields::EnableFIR},
    {"EnableEthernet", "--enable-ethernet", &ConfigFields::EnableEthernet},
};

std::string ConfigXml(const ConfigFields& f) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Configuration>\n";
    for (const NumberField& field : kNumberFields) {
        AddValue(xml, field.Element, f.*field.Field);
        if (field.Field == &ConfigFields::DSPVersion && f.Filename)
            xml += "  <Filename>" + EscapeXml(*f.Filename) + "</Filename>\n";
    }
    xml += "</Configuration>\n";
    return xml;
}

std::vector<uint8_t> EncipherConfig(std::string_view xml) {
    // The reader takes the plaintext as zero-terminated text, so the last block is filled with zeros.
    std::vector<uint8_t> plain(xml.begin(), xml.end());
    plain.resize((plain.size() + kBlock - 1) / kBlock * kBlock, 0);
    const Aes128Encipher cipher = Cipher();
    for (std::size_t at = 0; at < plain.size(); at += kBlock)
        cipher.Block(plain.data() + at);
    return plain;
}

std::vector<uint8_t> DecipherConfig(const std::vector<uint8_t>& data) {
    const std::size_t size = data.size() / kBlock * kBlock;
    std::vector<uint8_t> plain(size);
    if (size == 0)
        return plain;
    CRijndael cipher;
    const char zeros[kBlock] = {};
    cipher.SetKey(kKeyText, zeros, kBlock, kBlock);
    cipher.Decipher(reinterpret_cast<const char*>(data.data()), reinterpret_cast<char*>(plain.data()), size);
    return plain;
}

std::vector<uint8_t> DemoImage(std::size_t size, uint32_t seed) {
    // xorshift32: small, deterministic, and every byte value occurs.
    uint32_t x = seed != 0 ? seed : 0x9E3779B9u;
    std::vector<uint8_t> image(size);
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return image;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}
