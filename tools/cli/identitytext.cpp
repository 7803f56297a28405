// The texts of a device's answers.
#include "tools/cli/identitytext.h"

#include <cstdio>

#include "update/kennunglist.h"

std::string KennungShown(int32_t kennung) {
    const char* text = KennungText(kennung);
    return text != nullptr ? text : std::to_string(kennung) + " (unknown OEM id)";
}

std::string SerialShown(int32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%.8d", serial);
    return text;
}

std::string ModeShown(int32_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%Xh", static_cast<unsigned>(mode));
    return text;
}
