// The diagnostic log: per-thread line collection, the file with its header, size restart and fallback folder.
#include "base/log.h"

#include "base/buildinfo.h"
#include "base/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    return FileWriteAll(fd, bytes);
}

// The name a run writes when another run holds the file: prog.log -> prog.<process id>.log.
std::filesystem::path OwnName(const std::filesystem::path& path) {
    std::filesystem::path own = path;
    own.replace_filename(path.stem().string() + "." + std::to_string(ProcessId()) +
                         path.extension().string());
    return own;
}

// The files of earlier runs that wrote beside a held log (prog.<process id>.log) and that no run holds any
// more: all but the newest kept are removed, so that runs side by side leave a bounded number of files.
void RemoveOldOwnFiles(const std::filesystem::path& path, size_t kept) {
    const std::string prefix = path.stem().string() + ".";
    const std::string suffix = path.extension().string();
    std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> found;
    std::error_code ec;
    const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = PathToUtf8(entry.path().filename());
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (middle.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code timeError;
        found.emplace_back(entry.last_write_time(timeError), entry.path());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = kept; i < found.size(); ++i) {
        const int file = FileOpenLocked(found[i].second, false);
        if (file < 0)
            continue; // a run still writes it
        FileClose(file); // first: Windows removes no open file
        std::filesystem::remove(found[i].second, ec);
    }
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

namespace {

// The logs in which the calling thread has begun a line it has not ended: the only ones whose lines it
// must put together under the log's lock. A few plain pointers, never an object with a destructor: with
// mingw-w64 the storage of a thread-local object can be freed before its destructor runs at the thread's
// end, which then frees whatever pointer lies in the reused memory. A thread that began lines in more logs
// than there is room for takes the lock for all its lines, which is always correct.
struct UnfinishedLogs {
    static constexpr int kRoom = 4;
    const DiagnosticLog* Logs[kRoom];
    int Count;
    bool Overflowed;
};
thread_local UnfinishedLogs tUnfinished{};

bool Unfinished(const DiagnosticLog* log) {
    return tUnfinished.Overflowed ||
           std::find(tUnfinished.Logs, tUnfinished.Logs + tUnfinished.Count, log) !=
               tUnfinished.Logs + tUnfinished.Count;
}

void NoteUnfinished(const DiagnosticLog* log, bool unfinished) {
    UnfinishedLogs& u = tUnfinished;
    const auto end = std::remove(u.Logs, u.Logs + u.Count, log);
    u.Count = static_cast<int>(end - u.Logs);
    if (!unfinished)
        return;
    if (u.Count < UnfinishedLogs::kRoom)
        u.Logs[u.Count++] = log;
    else
        u.Overflowed = true;
}

} // namespace

DiagnosticLog::~DiagnosticLog() {
    std::lock_guard guard(lock);
    for (auto& [id, line] : pending)
        if (!line.text.empty())
            WriteLines(line.text + "\r\n");
    CloseFile();
}

void DiagnosticLog::Write(std::string_view text) {
    // A whole line, too short to be split, from a thread with no line begun: made ready without the lock.
    if (!text.empty() && text.size() <= kMaxLineLength + 1 && text.find('\n') == text.size() - 1 &&
        !Unfinished(this)) {
        std::string_view body = text.substr(0, text.size() - 1);
        if (!body.empty() && body.back() == '\r')
            body.remove_suffix(1); // a caller's own CR LF must not come out as CR CR LF
        std::string line(body);
        line += "\r\n";
        Submit(std::move(line));
        return;
    }
    std::string lines; // the lines ended here, written once the lock is let go
    {
        std::lock_guard guard(lock);
        Pending& line = pending[std::this_thread::get_id()];
        for (char c : text) {
            if (c == '\n') {
                // A caller's own CR LF must not come out as CR CR LF.
                if (!line.text.empty() && line.text.back() == '\r')
                    line.text.pop_back();
                if (!(line.split && line.text.empty()))
                    lines += line.text + "\r\n";
                line.text.clear();
                line.split = false;
                continue;
            }
            line.text += c;
            line.split = false;
            if (line.text.size() > kMaxLineLength) {
                lines += line.text + "\r\n";
                line.text.clear();
                line.split = true;
            }
        }
        const bool unfinished = !line.text.empty() || line.split;
        if (!unfinished)
            pending.erase(std::this_thread::get_id());
        NoteUnfinished(this, unfinished);
    }
    if (!lines.empty())
        Submit(std::move(lines));
}

void DiagnosticLog::Submit(std::string lines) {
    {
        std::lock_guard hold(queueLock);
        if (writing) {
            queued += lines;
            return;
        }
        writing = true;
    }
    for (;;) {
        {
            std::lock_guard guard(lock);
            WriteLines(lines);
        }
        std::lock_guard hold(queueLock);
        if (queued.empty()) {
            writing = false;
            return;
        }
        lines.swap(queued);
        queued.clear();
    }
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

void DiagnosticLog::KeepOldLogs(int files) {
    std::lock_guard guard(lock);
    oldLogs = std::max(0, files);
}

std::filesystem::path DiagnosticLog::Path() const {
    std::lock_guard guard(lock);
    if (started && fd < 0)
        return {}; // the lines go to standard error
    return started ? activePath : preferredPath;
}

void DiagnosticLog::WriteLines(const std::string& lines) {
    if (!started)
        StartFile();
    // One write for all of them, unless they take the file past its limit: then one line at a time, so that
    // the file begins again right after the line that took it past.
    if (fd < 0 || size + lines.size() <= sizeLimit) {
        WriteChunk(lines);
        return;
    }
    for (size_t at = 0; at < lines.size();) {
        const size_t end = std::min(lines.find("\r\n", at), lines.size() - 2) + 2;
        WriteChunk(lines.substr(at, end - at));
        at = end;
    }
}

void DiagnosticLog::WriteChunk(const std::string& line) {
    if (fd >= 0 && WriteAll(fd, line)) {
        size += line.size();
        if (size > sizeLimit && oldLogs > 0) {
            MoveToOld();
        } else if (size > sizeLimit) {
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
    fd = OpenForRun(activePath);
    if (fd < 0 && errno == EBUSY) {
        // Another run writes this file: this run writes one of its own beside it.
        if (oldLogs > 0)
            RemoveOldOwnFiles(preferredPath, static_cast<size_t>(oldLogs));
        const std::filesystem::path own = OwnName(preferredPath);
        fd = OpenForRun(own);
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
            fd = OpenForRun(fallback);
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
    if (size >= sizeLimit && oldLogs > 0) {
        MoveToOld(); // full from earlier runs: this run begins a new file
        return;
    }
    WriteHeader();
}

int DiagnosticLog::OpenForRun(const std::filesystem::path& path) {
    size = 0;
    const int file = FileOpenLocked(path, oldLogs == 0);
    if (file >= 0 && oldLogs > 0) {
        std::error_code ec;
        const std::uintmax_t old = std::filesystem::file_size(path, ec);
        size = ec ? 0 : old;
    }
    return file;
}

void DiagnosticLog::MoveToOld() {
    // The file is closed first: Windows renames no file that is open without sharing.
    CloseFile();
    std::error_code ec;
    std::filesystem::remove(OldLogPath(activePath, oldLogs), ec);
    for (int n = oldLogs - 1; n >= 1; --n)
        if (std::filesystem::exists(OldLogPath(activePath, n), ec))
            FileReplace(OldLogPath(activePath, n), OldLogPath(activePath, n + 1));
    if (!FileReplace(activePath, OldLogPath(activePath, 1)))
        Note("cannot move " + PathToUtf8(activePath) + " to " + PathToUtf8(OldLogPath(activePath, 1)) + " (" +
             std::strerror(errno) + "); it begins again");
    size = 0;
    fd = FileOpenLocked(activePath, true);
    if (fd < 0) {
        Note("cannot create " + PathToUtf8(activePath) + " (" + std::strerror(errno) +
             "); further lines go to standard error");
        return;
    }
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

std::filesystem::path OldLogPath(const std::filesystem::path& path, int n) {
    std::filesystem::path old = path;
    old.replace_filename(path.stem().string() + "-" + std::to_string(n) + path.extension().string());
    return old;
}

namespace {

// The innermost scope's device. A plain pointer: a thread-local object with a destructor (a std::string)
// crashed the Windows build's threads at their end.
thread_local const std::string* tDevice = nullptr;

} // namespace

LogDeviceScope::LogDeviceScope(std::string device) : name(std::move(device)), outer(tDevice) {
    tDevice = &name;
}

LogDeviceScope::~LogDeviceScope() {
    tDevice = outer;
}

const std::string& LogDeviceScope::Current() {
    static const std::string none;
    return tDevice != nullptr ? *tDevice : none;
}

DiagnosticLog& TheLog() {
    // Never destroyed: threads that live until the process exits may still write while statics are torn down.
    static DiagnosticLog& log = *new DiagnosticLog(DefaultLogPath());
    return log;
}

namespace {

// The receiver of the devices' lines; the lock is held while it is called, so that it is not removed
// meanwhile.
std::mutex gDeviceLinesLock;
LogDeviceLines* gDeviceLines = nullptr;
std::atomic<bool> gAnyDeviceLines{false}; // the lines of a program without a receiver take no lock

} // namespace

void SetLogDeviceLines(LogDeviceLines* receiver) {
    std::lock_guard hold(gDeviceLinesLock);
    gDeviceLines = receiver;
    gAnyDeviceLines = receiver != nullptr;
}

void LogLine(std::string_view line) {
    std::string text;
    const std::string& device = LogDeviceScope::Current();
    if (device.empty()) {
        text = line;
    } else {
        if (gAnyDeviceLines.load()) {
            std::lock_guard hold(gDeviceLinesLock);
            if (gDeviceLines != nullptr)
                gDeviceLines->OnDeviceLine(device, line);
        }
        // Every line of a text of several lines names the device.
        text = device + " ";
        for (const char c : line) {
            text += c;
            if (c == '\n')
                text += device + " ";
        }
    }
    text += '\n';
    TheLog().Write(text);
}
