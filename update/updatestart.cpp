// The update start: eligibility rules, image path, image loading and check, the worker thread and
// the wait loop that shows progress until the worker has set UpdateResult.
#include "update/updatestart.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"
#include "update/updateview.h"

namespace {

constexpr int kTimedMessage = 2000;
constexpr auto kProgressStep = std::chrono::milliseconds(200);
constexpr int kProgressTotal = 10;

} // namespace

ImageRead ReadImage(const std::string& path, std::vector<uint8_t>& bytes, std::string* reason) {
    std::string ignored;
    std::string& why = reason != nullptr ? *reason : ignored;
    const std::filesystem::path file = PathFromUtf8(path);
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status)) {
        // A folder on the way that may not be searched hides the file: it is there, it cannot be read.
        if (status.type() == std::filesystem::file_type::none && ec) {
            why = ec.message();
            return ImageRead::Unreadable;
        }
        why = "the file does not exist";
        return ImageRead::NotFound;
    }
    if (std::filesystem::is_directory(status)) {
        why = "it is a folder, not a file";
        return ImageRead::Unreadable;
    }
    if (!std::filesystem::is_regular_file(status)) {
        why = "it is not a regular file";
        return ImageRead::Unreadable;
    }
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec && size > static_cast<std::uintmax_t>(kMaxImageBytes))
        return ImageRead::TooLarge;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            why = std::strerror(errno);
            return ImageRead::Unreadable;
        }
        // The size found above and one byte more in one read (a file that grew meanwhile is read on to its
        // end), never more than one byte beyond what an image may have.
        bytes.clear();
        constexpr size_t kPiece = 1 << 16;
        const size_t most = static_cast<size_t>(kMaxImageBytes) + 1;
        const size_t first = ec ? kPiece : static_cast<size_t>(size) + 1;
        while (in && bytes.size() < most) {
            const size_t at = bytes.size();
            bytes.resize(at + std::min(at == 0 ? first : kPiece, most - at));
            in.read(reinterpret_cast<char*>(bytes.data() + at), static_cast<std::streamsize>(bytes.size() - at));
            bytes.resize(at + static_cast<size_t>(in.gcount()));
        }
        if (in.bad()) {
            why = "a read error";
            return ImageRead::Unreadable;
        }
    } catch (const std::exception& e) {
        why = e.what();
        return ImageRead::Unreadable;
    }
    if (bytes.size() > static_cast<size_t>(kMaxImageBytes))
        return ImageRead::TooLarge;
    if (bytes.empty()) {
        why = "the file is empty";
        return ImageRead::Unreadable;
    }
    return ImageRead::Ok;
}

std::string ImagePathFor(const std::string& cfgFile, const std::string& filename) {
    const size_t sep = filename.find_last_of("\\/");
    const std::string name = sep == std::string::npos ? filename : filename.substr(sep + 1);
    std::string folder = PathToUtf8(PathFromUtf8(cfgFile).parent_path());
    if (folder.empty())
        folder = ".";
    // With the platform's own separator throughout, as the operator's system writes file names.
    return PathToUtf8(PathFromUtf8(folder + "/" + name).make_preferred());
}

bool UpdateSession::StartUpdateWorker(std::function<void()> body) {
    try {
        UpdateThread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void UpdateSession::UpdateWorker(_FWUpdate job) {
    int result = -1;
    try {
        result = job.window->ProgramFlash(job.data, job.length, job.name, job.version, job.revision);
    } catch (const std::exception& e) { // e.g. no memory for the converted image: the wait must still end
        LogLine(std::string("FIRMWAREUPDATE: ") + e.what());
    }
    {
        std::lock_guard guard(PaceLock);
        UpdateResult = result == 0 ? 1 : -1;
    }
    PaceWake.notify_all();
}

ImageRead ReadImage(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image) {
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    const ImageRead read = ReadImage(path, *bytes);
    image = std::move(bytes);
    return read;
}

ImageRead UpdateSession::LoadImage(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image) {
    return ReadImage(path, image);
}

UpdateOutcome UpdateSession::RunFirmwareUpdate(const std::string& path, int32_t version, int32_t revision,
                                               int32_t checksum) {
    std::shared_ptr<const std::vector<uint8_t>> image;
    switch (LoadImage(path, image)) {
    case ImageRead::NotFound:
    case ImageRead::Unreadable:
        View.InfoBox("binary - File not found");
        return UpdateOutcome::ImageNotFound;
    case ImageRead::TooLarge:
        View.InfoBox("Image too large: at most " + std::to_string(kMaxImageBytes) + " bytes (" +
                     std::to_string(kMaxPages) + " pages)");
        return UpdateOutcome::ImageTooLarge;
    case ImageRead::Ok:
        break;
    }
    if (ImageChecksum(image->data(), image->size()) != checksum) {
        View.InfoBox("invalid binary");
        return UpdateOutcome::InvalidImage;
    }
    if (CheckOnly)
        return UpdateOutcome::Checked;

    _FWUpdate job;
    job.data = image->data();
    job.length = static_cast<int32_t>(image->size());
    job.name = FirmwareName(path);
    job.version = version;
    job.revision = revision;
    job.window = this;
    job.result = 0;

    {
        std::lock_guard guard(PaceLock);
        UpdateResult = 0;
        StopUpdate = false;
    }
    const bool started = StartUpdateWorker([this, job] { UpdateWorker(job); });
    if (!started) {
        LogLine("FIRMWAREUPDATE: Update worker could not be started");
        UpdateResult = -1;
    }

    // The GUI thread only shows activity here: it handles no input and runs no posted callbacks,
    // the worker drains the messages. The wait ends as soon as the worker has set its result.
    const std::string caption = kUpdateCaption;
    View.Progress(caption, 0, kProgressTotal);
    int position = 0;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += kProgressStep;
        {
            std::unique_lock lock(PaceLock);
            const auto ended = [this] { return UpdateResult.load() != 0; };
            if (!ActivitySteps) {
                PaceWake.wait(lock, ended);
                break;
            }
            if (PaceWake.wait_until(lock, next, ended))
                break;
        }
        View.Progress(caption, position, kProgressTotal);
        position = position == kProgressTotal ? 0 : position + 1;
        View.Repaint();
    }
    if (UpdateThread.joinable())
        UpdateThread.join();

    const bool ok = UpdateResult.load() == 1;
    View.ProgressEnd();
    View.ShowTimed(ok ? "Firmwareupdate OK" : "Firmwareupdate ERROR", kTimedMessage);
    if (!started)
        return UpdateOutcome::WorkerFailed;
    return ok ? UpdateOutcome::Ok : UpdateOutcome::Error;
}

UpdateOutcome UpdateSession::StartUpdateWith(FwConfig& config, const std::string& cfgFile) {
    if (config.Load(cfgFile) != 0) {
        View.InfoBox("Error on reading config file");
        return UpdateOutcome::BadConfig;
    }
    if (Online.load() == 0) {
        View.ShowTimed("No connection", kTimedMessage);
        return UpdateOutcome::NoConnection;
    }
    // Only what the current connection has reported decides; an id or serial not yet reported
    // does not match.
    if (!AdminMode && !(KennungReported.load() && Kennung == OemNumber)) {
        View.InfoBox("Online " + std::to_string(OemNumber) + " Devices can be updated");
        return UpdateOutcome::OemRefused;
    }
    if (config.UseSeriennummer != 0 && !(SerialReported.load() && config.Seriennummer == Serial)) {
        View.InfoBox("Update not allowed: Serial");
        return UpdateOutcome::SerialRefused;
    }
    LogLine("OK");
    return RunFirmwareUpdate(ImagePathFor(cfgFile, config.Filename), config.FwVersion, config.FwRevision,
                             config.Checksum);
}
