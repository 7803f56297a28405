// What a run says of a configuration or image it refuses, in the detail of a device's end and in the
// check of a configuration file: the same words for the same refusal, wherever it is found.
#pragma once

#include <string>

// "Error on reading config file: PATH (why)".
std::string ConfigErrorText(const std::string& path);
std::string ImageNotFoundText(const std::string& image);
std::string ImageUnreadableText(const std::string& image, const std::string& why);
std::string ImageTooLargeText(const std::string& image);
std::string ChecksumDiffersText(const std::string& image);
