// Fuzzes the settings file's load: any bytes give a folder or a load error, never a crash or a read
// beyond the file; what loads stores back to the same folder, and a load error changes nothing.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const std::optional<std::string> folder = DecodeSettings(bytes);
    if (folder) {
        if (folder->size() > size)
            std::abort();
        const std::optional<std::string> again = DecodeSettings(EncodeSettings(*folder));
        if (!again || *again != *folder)
            std::abort();
    }
    CfgFolder = "kept";
    SettingsStream stream{true, bytes};
    SerializeCfgFolder(stream);
    if (CfgFolder != (folder ? *folder : std::string("kept")))
        std::abort();
    return 0;
}
