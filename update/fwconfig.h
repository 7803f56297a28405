// The firmware configuration record: the values read from one enciphered configuration file
// (*.cfg, XML under AES-128-ECB with the program's fixed key) and the operation that reads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/rijndael.h"
#include "update/xmlreader.h"

#include <optional>

// The value a number takes when it is absent.
constexpr int32_t kNullInt = INT32_MIN;

// The number in a "value" attribute: blanks (codes 1 to 32) passed over, an optional sign,
// decimal digits accumulated modulo 2^32 up to the first non-digit; kNullInt without a digit.
int32_t ParseConfigNumber(std::string_view text);

// Why the configuration file at path cannot be used, in a few words (the file does not exist, it is
// truncated, the document is refused at line L, ...): the text after "Error on reading config file: path".
std::string ConfigProblem(const std::string& path);

class FwConfig {
public:
    int32_t DSPVersion = 0;
    std::string Filename;
    int32_t Inputs = 0;
    int32_t Outputs = 0;
    int32_t Seriennummer = 0;
    int32_t UseSeriennummer = 0;
    int32_t Checksum = 0;
    int32_t FwVersion = 0;
    int32_t FwRevision = 0;
    int32_t Q7Type = 0;
    int32_t EnableMicInput1 = 0;
    int32_t EnableAES1 = 0;
    int32_t EnableAES2 = 0;
    int32_t EnableFIR = 0;
    int32_t EnableEthernet = 0;
    int32_t Valid = 0;

    // Keys the cipher once.
    FwConfig();

    // Reads, deciphers and parses the file at path (UTF-8). 0 when the XML was read through
    // the root's end tag and the file is valid; -1 otherwise (the fields are then not to be used).
    int Load(const std::string& path);
    // The same over bytes already read (the whole file).
    int LoadBytes(const uint8_t* data, size_t n);
    // The same over the deciphered text (read up to its first zero byte).
    int LoadText(std::string_view text);

    // The XML syntax error that ended the last load, if one did (other failures leave it empty).
    const std::optional<XmlError>& LastError() const { return lastError; }

private:
    int Parse(std::string_view text);
    void Reset();

    CRijndael cipher;
    std::optional<XmlError> lastError;
};
