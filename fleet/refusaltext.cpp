// The texts of the refusals of configurations and images.
#include "fleet/refusaltext.h"

#include "update/firmwareimage.h"
#include "update/fwconfig.h"

std::string ConfigErrorText(const std::string& path) {
    return "Error on reading config file: " + path + " (" + ConfigProblem(path) + ")";
}

std::string ImageNotFoundText(const std::string& image) {
    return "image not found: " + image;
}

std::string ImageUnreadableText(const std::string& image, const std::string& why) {
    return "image cannot be read: " + image + " (" + why + ")";
}

std::string ImageTooLargeText(const std::string& image) {
    return "image too large: " + image + " has more than " + std::to_string(kMaxPages) + " pages";
}

std::string ChecksumDiffersText(const std::string& image) {
    return "invalid binary: the checksum of " + image + " differs from the configuration's";
}
