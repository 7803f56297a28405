// What a device reports about itself, kept as printable text: its identification answers as a run
// hands them to its front end and its report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a device reported on its last connection that answered; a value it has not reported is absent.
struct DeviceIdentity {
    std::optional<int32_t> Kennung; // OEM id
    std::optional<int32_t> Serial;
    std::optional<int32_t> Mode;
    std::optional<std::string> Version; // HWV=H.L
    // The four texts, as PrintableDeviceText.
    std::optional<std::string> Name, OemName, DeviceName, LibraryName;
};

// A text the device reported as UTF-8 (DeviceTextUtf8), with control characters shown as '?', so a device
// cannot drive the operator's terminal.
std::string PrintableDeviceText(std::string_view bytes);
