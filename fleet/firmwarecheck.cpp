// Checking a configuration file and its image.
#include "fleet/firmwarecheck.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "base/platform.h"
#include "crypto/sha256.h"
#include "fleet/refusaltext.h"
#include "fleet/resultcode.h"
#include "update/firmwareimage.h"

FirmwareCheck CheckFirmware(const std::string& path) {
    FirmwareCheck c;
    std::error_code ec;
    const std::filesystem::path file = PathFromUtf8(path);
    c.Readable = std::filesystem::is_regular_file(file, ec) && std::filesystem::file_size(file, ec) > 0 &&
                 !ec && std::ifstream(file, std::ios::binary).good();
    c.Valid = c.Readable && c.Config.Load(path) == 0;

    // The image the configuration names, looked for in the configuration file's folder and read as an
    // update reads it. A configuration that is not valid names no image to judge.
    c.Image = ImagePathFor(path, c.Config.Filename);
    std::vector<uint8_t> bytes;
    c.Read = c.Valid ? ReadImage(c.Image, bytes, &c.ImageProblem) : ImageRead::NotFound;
    c.TooLarge = c.Valid && c.Read == ImageRead::TooLarge;
    c.ImageFound = c.Valid && (c.Read == ImageRead::Ok || c.TooLarge);
    c.ImageBytes = static_cast<int64_t>(bytes.size());
    if (c.TooLarge)
        c.ImageBytes = static_cast<int64_t>(std::filesystem::file_size(PathFromUtf8(c.Image), ec));
    c.ChecksumMatches =
        c.Read == ImageRead::Ok && ImageChecksum(bytes.data(), bytes.size()) == c.Config.Checksum;
    if (c.Read == ImageRead::Ok) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.bad()) {
            Sha256State sha;
            Sha256Add(sha, config.data(), config.size());
            Sha256Add(sha, bytes.data(), bytes.size());
            c.Fingerprint = Sha256Hex(Sha256End(sha));
        }
    }

    if (!c.Valid) {
        c.Code = kExitBadConfig;
        c.Result = "bad-config";
        c.Message = "Error on reading config file";
        c.Reason = ConfigErrorText(path);
    } else if (c.Read == ImageRead::NotFound) {
        c.Code = kExitImageNotFound;
        c.Result = "image-not-found";
        c.Message = "binary - File not found";
        c.Reason = ImageNotFoundText(c.Image);
    } else if (c.Read == ImageRead::Unreadable) {
        c.Code = kExitImageNotFound;
        c.Result = "image-not-found";
        c.Message = "binary - File not found";
        c.Reason = ImageUnreadableText(c.Image, c.ImageProblem);
    } else if (c.TooLarge) {
        c.Code = kExitInvalidImage;
        c.Result = "image-too-large";
        c.Message = "Image too large: at most " + std::to_string(kMaxImageBytes) + " bytes (" +
                    std::to_string(kMaxPages) + " pages)";
        c.Reason = ImageTooLargeText(c.Image);
    } else if (!c.ChecksumMatches) {
        c.Code = kExitInvalidImage;
        c.Result = "invalid-binary";
        c.Message = "invalid binary";
        c.Reason = ChecksumDiffersText(c.Image);
    }
    return c;
}
