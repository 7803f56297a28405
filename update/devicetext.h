// The texts a device reports (its names, 16 bytes each) as UTF-8, one rule for the window and the
// command-line tool.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence at the front of text, or 0 when there is none (an empty text,
// overlong forms, surrogates and code points beyond U+10FFFF are not well-formed).
size_t Utf8SequenceLength(std::string_view text);

// The bytes themselves when they are valid UTF-8; otherwise each byte read as Latin-1 ("M\xFCller" shows as
// "Müller"). Devices are configured with either, and a text that is valid UTF-8 is almost never meant as
// Latin-1.
std::string DeviceTextUtf8(std::string_view bytes);
