// Configuration file writer: XML building and AES-128-ECB enciphering with OpenSSL.
#include "tools/mkfwcfg/cfgwriter.h"

#include <openssl/evp.h>

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

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

std::vector<uint8_t> RunEcb(const uint8_t* data, std::size_t size, bool encipher) {
    std::vector<uint8_t> out(size);
    if (size == 0) {
        return out;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    const auto* key = reinterpret_cast<const unsigned char*>(kKeyText);
    int len = 0;
    int fin = 0;
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key, nullptr, encipher ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &len, data, static_cast<int>(size)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + len, &fin) != 1 || std::size_t(len + fin) != size) {
        throw std::runtime_error("AES-128-ECB failed");
    }
    return out;
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
    return RunEcb(plain.data(), plain.size(), true);
}

std::vector<uint8_t> DecipherConfig(const std::vector<uint8_t>& data) {
    return RunEcb(data.data(), data.size() / kBlock * kBlock, false);
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
