// Fuzzes reading a configuration file from its ciphertext: deciphering, the zero-terminated text
// and the XML reader, through FwConfig::LoadBytes as the update action calls it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/fwconfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FwConfig config; // keyed once and reused for every file, as the window does
    const int result = config.LoadBytes(data, size);
    if (result != 0 && result != -1)
        std::abort();
    if (result == 0 && (config.Valid != 1 || config.LastError()))
        std::abort();
    if (config.LastError() && config.LastError()->Offset > size)
        std::abort();
    std::string().swap(config.Filename); // frees what this input allocated, so no leak check is set off
    return 0;
}
