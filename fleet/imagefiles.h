// ImageFiles: the image files of a run, each read once for all of its devices. A thousand devices of one
// configuration share one copy of its image instead of reading a copy each at their update's start.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/updatestart.h"

class ImageFiles {
public:
    // The image at path as ReadImage reads it. The first device to ask reads the file (the others wait for
    // it) and the bytes it read are kept for every later one; a file that could not be read is read again
    // at the next request. Safe from any thread.
    ImageRead Get(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image);

private:
    std::mutex Lock;
    std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> Read;
};
