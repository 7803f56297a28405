// WriteRelease: a firmware image written beside the enciphered configuration file that belongs to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

// Writes image to imagePath and, to cfgPath, the enciphered configuration of fields with the image's
// checksum; edit may then change any field. True when both files were written.
inline bool WriteRelease(const std::string& imagePath, const std::vector<uint8_t>& image, ConfigFields fields,
                         const std::string& cfgPath, const std::function<void(ConfigFields&)>& edit = {}) {
    fields.Checksum = ImageChecksum(image.data(), image.size());
    if (edit)
        edit(fields);
    return WriteFileBytes(imagePath, image) && WriteFileBytes(cfgPath, EncipherConfig(ConfigXml(fields)));
}
