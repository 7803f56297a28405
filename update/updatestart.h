// Starting an update: the rules that decide whether the connected device may receive a firmware
// configuration, the image path, loading and checking the image, and the worker that programs it.
// Window-free: the main window and the command-line tool both call UpdateSession::StartUpdateWith.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "update/updatesession.h"

// How one start ended. Each refusal has shown its message and sent nothing to the device.
enum class UpdateOutcome : int {
    Ok,            // "Firmwareupdate OK"
    Error,         // "Firmwareupdate ERROR": the sequence stopped or the device reported an error
    BadConfig,     // "Error on reading config file"
    NoConnection,  // "No connection"
    OemRefused,    // "Online 19 Devices can be updated"
    SerialRefused, // "Update not allowed: Serial"
    ImageNotFound, // "binary - File not found"
    ImageTooLarge, // more than the page addressing reaches
    InvalidImage,  // "invalid binary": checksum differs
    WorkerFailed,  // the worker thread could not be started ("Firmwareupdate ERROR")
    Checked,       // a dry run (CheckOnly): every check passed, nothing was sent
};

// How reading an image went. The window says "binary - File not found" for both NotFound and Unreadable.
enum class ImageRead { Ok, NotFound, Unreadable, TooLarge };

// Reads the whole image at path (UTF-8) into bytes. A file beyond the page addressing is refused before it is
// read. For NotFound and Unreadable (a folder, an empty file, no permission, a read error), *reason tells why
// in a few words when given.
ImageRead ReadImage(const std::string& path, std::vector<uint8_t>& bytes, std::string* reason = nullptr);
// The same into bytes of their own, to be shared by whoever takes them.
ImageRead ReadImage(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image);

// The update job handed to the worker by value.
struct _FWUpdate {
    const uint8_t* data = nullptr; // the loaded image, owned by RunFirmwareUpdate
    int32_t length = 0;
    std::string name; // FirmwareName
    int32_t version = 0;
    int32_t revision = 0;
    UpdateSession* window = nullptr;
    int32_t result = 0;
};

// The caption of the progress indicator while the update worker runs.
inline constexpr const char* kUpdateCaption = "Firmware Update:";

// The image path: the folder of the configuration file and the name after the last "\" or "/" of
// Filename (configuration files are written on Windows).
std::string ImagePathFor(const std::string& cfgFile, const std::string& filename);
