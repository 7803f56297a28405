// What update and inspect say of a configuration or image they refuse: the same words for the same
// refusal, whichever command finds it.
#pragma once

#include <string>

// "Error on reading config file: PATH (why)".
std::string ConfigErrorText(const std::string& path);
std::string ImageNotFoundText(const std::string& image);
std::string ImageUnreadableText(const std::string& image, const std::string& why);
std::string ImageTooLargeText(const std::string& image);
std::string ChecksumDiffersText(const std::string& image);
