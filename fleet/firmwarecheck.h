// A configuration file and the image it names, checked as an update would check them before any device
// is touched: what the file holds, whether it is valid, the image's state, and the code an update would
// end with.
#pragma once

#include <cstdint>
#include <string>

#include "update/fwconfig.h"
#include "update/updatestart.h"

struct FirmwareCheck {
    bool Readable = false; // a non-empty regular file that can be opened
    bool Valid = false;    // and a valid configuration document
    FwConfig Config;       // its fields as far as read
    std::string Image;     // the image path the configuration names (looked for beside the file)
    ImageRead Read = ImageRead::NotFound; // NotFound also when the configuration is not valid
    std::string ImageProblem;             // why the image cannot be read, in a few words
    int64_t ImageBytes = 0;
    bool ImageFound = false; // found and read, or found and too large
    bool TooLarge = false;
    bool ChecksumMatches = false;
    int Code = 0;        // kExitOk, or the code an update would end with
    std::string Result;  // and its result ("bad-config", "image-not-found", ...) when Code is not kExitOk
    std::string Reason;  // the refusal's text when Code is not kExitOk
    std::string Message; // and the window's message for it ("binary - File not found")
    // SHA-256 over the configuration file's bytes followed by its image's bytes, in hexadecimal: the same
    // fingerprint is the same configuration with the same image, whatever their names. Empty when either
    // cannot be read.
    std::string Fingerprint;
};

FirmwareCheck CheckFirmware(const std::string& configPath);
