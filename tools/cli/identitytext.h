// How fwupdate-cli writes what a device reported: the OEM id with its list text, the serial number with
// eight digits, the mode in hexadecimal, as the window shows them.
#pragma once

#include <cstdint>
#include <string>

// "19 FARQUIN"; an id the list does not know: "77 (unknown OEM id)".
std::string KennungShown(int32_t kennung);
// "%.8d": 00000123.
std::string SerialShown(int32_t serial);
// "%Xh": 1Fh.
std::string ModeShown(int32_t mode);
