// The diagnostic log: per-thread line collection, the file with its header, size restart and fallback folder.
#include "base/log.h"

#include "base/buildinfo.h"
#include "base/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    return FileWriteAll(fd, bytes);
}

int OpenTruncated(const std::filesystem::path& path) {
    return FileOpenLocked(path);
}

// The name a run writes when another run holds the file: prog.log -> prog.<process id>.log.
std::filesystem::path OwnName(const std::filesystem::path& path) {
    std::filesystem::path own = path;
    own.replace_filename(path.stem().string() + "." + std::to_string(ProcessId()) +
                         path.extension().string());
    return own;
}

void Note(const std::string& text) {
    std::string line = "diagnostic log: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string HeaderLine() {
    const std::tm local = LocalTime(std::time(nullptr));
    // "* %s %02d.%02d.%04d %02d:%02d:%02d, user: %s", put together so that no path is cut short.
    char when[64];
    std::snprintf(when, sizeof when, "%02d.%02d.%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    // The format's own line end, then the CR LF that ends every line of the file: LF CR LF.
    return "* " + PathToUtf8(ExecutablePath()) + " " + when + ", user: " + LoginName() + "\n\r\n";
}

} // namespace

DiagnosticLog::DiagnosticLog(std::filesystem::path path) : preferredPath(std::move(path)) {}

DiagnosticLog::~DiagnosticLog() {
    std::lock_guard guard(lock);
    for (auto& [id, line] : pending)
        if (!line.text.empty())
            EmitLine(line.text);
    CloseFile();
}

void DiagnosticLog::Write(std::string_view text) {
    std::lock_guard guard(lock);
    Pending& line = pending[std::this_thread::get_id()];
    for (char c : text) {
        if (c == '\n') {
            // A caller's own CR LF must not come out as CR CR LF.
            if (!line.text.empty() && line.text.back() == '\r')
                line.text.pop_back();
            if (!(line.split && line.text.empty()))
                EmitLine(line.text);
            line.text.clear();
            line.split = false;
            continue;
        }
        line.text += c;
        line.split = false;
        if (line.text.size() > kMaxLineLength) {
            EmitLine(line.text);
            line.text.clear();
            line.split = true;
        }
    }
    if (line.text.empty() && !line.split)
        pending.erase(std::this_thread::get_id());
}

void DiagnosticLog::SetPath(std::filesystem::path path) {
    std::lock_guard guard(lock);
    CloseFile();
    preferredPath = std::move(path);
    activePath.clear();
    started = false;
}

void DiagnosticLog::Begin() {
    std::lock_guard guard(lock);
    if (!started)
        StartFile();
}

void DiagnosticLog::SetSizeLimit(std::uintmax_t bytes) {
    std::lock_guard guard(lock);
    sizeLimit = bytes;
}

std::filesystem::path DiagnosticLog::Path() const {
    std::lock_guard guard(lock);
    if (started && fd < 0)
        return {}; // the lines go to standard error
    return started ? activePath : preferredPath;
}

void DiagnosticLog::EmitLine(std::string_view text) {
    if (!started)
        StartFile();
    std::string line(text);
    line += "\r\n";
    if (fd >= 0 && WriteAll(fd, line)) {
        size += line.size();
        if (size > sizeLimit) {
            // Keeps the log of a long run bounded: begin again with a header of its own.
            if (FileEmpty(fd)) {
                size = 0;
                WriteHeader();
            }
        }
        return;
    }
    if (fd >= 0) {
        Note("cannot write " + PathToUtf8(activePath) + " (" + std::strerror(errno) +
             "); further lines go to standard error");
        CloseFile();
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void DiagnosticLog::StartFile() {
    started = true;
    activePath = preferredPath;
    fd = OpenTruncated(activePath);
    if (fd < 0 && errno == EBUSY) {
        // Another run writes this file: this run writes one of its own beside it.
        const std::filesystem::path own = OwnName(preferredPath);
        fd = OpenTruncated(own);
        if (fd >= 0) {
            Note(PathToUtf8(activePath) + " is in use by another run; this run writes " + PathToUtf8(own));
            activePath = own;
        } else {
            errno = EBUSY;
        }
    }
    if (fd < 0) {
        // The program's folder is often not writable for the operator: the per-user state folder takes the
        // log.
        std::string reason = std::strerror(errno);
        std::filesystem::path folder = StateFolder();
        if (!folder.empty()) {
            folder /= "fwupdate";
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
            std::filesystem::path fallback = folder / preferredPath.filename();
            fd = OpenTruncated(fallback);
            if (fd >= 0) {
                Note("cannot create " + PathToUtf8(activePath) + " (" + reason + "); writing " +
                     PathToUtf8(fallback));
                activePath = fallback;
            }
        }
        if (fd < 0) {
            Note("cannot create " + PathToUtf8(activePath) + " (" + reason + "); lines go to standard error");
            activePath.clear();
            return;
        }
    }
    size = 0;
    WriteHeader();
}

bool DiagnosticLog::WriteHeader() {
    std::string header = HeaderLine();
    if (!WriteAll(fd, header))
        return false;
    size += header.size();
    return true;
}

void DiagnosticLog::CloseFile() {
    FileClose(fd);
    fd = -1;
}

std::filesystem::path DefaultLogPath() {
    const char* configured = std::getenv("FWUPDATE_LOG");
    if (configured != nullptr && *configured != '\0')
        return configured;
    std::filesystem::path program = ExecutablePath();
    if (program.empty())
        program = "fwupdate";
    if (!kPackagedBuild && !InstalledProgramFolder(program.parent_path()))
        return program.replace_extension(".log");
    // An installed program never writes beside itself (also where it could): its log lives in the per-user
    // state folder, created here so that the file opens there at once. No such folder: lines go to standard
    // error.
    std::filesystem::path folder = StateFolder();
    if (folder.empty())
        return {};
    folder /= "fwupdate";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return folder / program.filename().replace_extension(".log");
}

DiagnosticLog& TheLog() {
    // Never destroyed: threads that live until the process exits may still write while statics are torn down.
    static DiagnosticLog& log = *new DiagnosticLog(DefaultLogPath());
    return log;
}

void LogLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    TheLog().Write(text);
}
