// ImageFiles: the image files of a run, each read once for all of its devices.
#include "fleet/imagefiles.h"

ImageRead ImageFiles::Get(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image) {
    std::lock_guard hold(Lock);
    if (const auto it = Read.find(path); it != Read.end()) {
        image = it->second;
        return ImageRead::Ok;
    }
    const ImageRead read = ReadImage(path, image);
    if (read == ImageRead::Ok)
        Read.emplace(path, image);
    return read;
}
