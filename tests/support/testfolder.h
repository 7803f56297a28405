// The files of a test: a fresh temporary folder of its own, removed with its contents at the end, and
// WriteRelease, which writes a firmware image beside the enciphered configuration file that belongs to it.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

class TestFolder {
public:
    // Makes <temp>/<prefix>.XXXXXX (a '/' in prefix, as in a parameterised test's name, becomes '_');
    // Path() is empty when that fails.
    explicit TestFolder(std::string prefix) {
        std::replace(prefix.begin(), prefix.end(), '/', '_');
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (mkdtemp(tmpl.data()) != nullptr)
            path = tmpl;
    }
    ~TestFolder() {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& Path() const { return path; }
    // The path of a file in the folder.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// Writes image to imagePath and, to cfgPath, the enciphered configuration of fields with the image's
// checksum; edit may then change any field. True when both files were written.
inline bool WriteRelease(const std::string& imagePath, const std::vector<uint8_t>& image, ConfigFields fields,
                         const std::string& cfgPath, const std::function<void(ConfigFields&)>& edit = {}) {
    fields.Checksum = ImageChecksum(image.data(), image.size());
    if (edit)
        edit(fields);
    return WriteFileBytes(imagePath, image) && WriteFileBytes(cfgPath, EncipherConfig(ConfigXml(fields)));
}
