// The value of the layout's integer field (EDITPORT): one rule for both windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// An optional minus sign and decimal digits (blanks around them are ignored) whose value lies in
// -2147483647 .. 2147483647; empty for an empty, partial or out-of-range text and for the null integer.
std::optional<int32_t> IntFieldValue(std::string_view text);
