// POSIX/Linux implementation of the platform calls (program path, login name, state folder, files,
// signals, terminal).
#include "base/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// The password entry of the current user, or nothing.
bool LookUpUser(std::string* name, std::string* home) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    if (name != nullptr && found->pw_name != nullptr)
        *name = found->pw_name;
    if (home != nullptr && found->pw_dir != nullptr)
        *home = found->pw_dir;
    return true;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

} // namespace

std::filesystem::path ExecutablePath() {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

std::filesystem::path PathFromUtf8(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

std::string PathToUtf8(const std::filesystem::path& path) {
    return path.string();
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

std::tm UtcTime(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    return utc;
}

int ProcessId() {
    return static_cast<int>(::getpid());
}

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

int FileOpenLocked(const std::filesystem::path& path, bool empty) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file < 0)
        return -1;
    int locked;
    do
        locked = ::flock(file, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(file);
        errno = error;
        return -1;
    }
    if (empty && ::ftruncate(file, 0) != 0) {
        const int error = errno;
        ::close(file);
        errno = error;
        return -1;
    }
    return file;
}

bool FileReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0; // replaces an existing file atomically
}

int FileCreate(const std::filesystem::path& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool FileSync(int file) {
    int synced;
    do
        synced = ::fsync(file);
    while (synced != 0 && errno == EINTR);
    return synced == 0;
}

bool FolderSync(const std::filesystem::path& folder) {
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = FileSync(dir);
    const int error = errno;
    ::close(dir);
    errno = error;
    return synced;
}

bool ProcessAlive(int pid) {
    // Signal 0 only asks: EPERM is a process of another user.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

bool FileWriteAll(int file, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(file, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool FileEmpty(int file) {
    return ::ftruncate(file, 0) == 0;
}

void FileClose(int file) {
    if (file >= 0)
        ::close(file);
}

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGHUP, SIGTERM};

std::atomic<void (*)(int)> gStopHandler{nullptr};
std::atomic<int> gStopHandled{0};
std::atomic<int> gStopRequests{0};
std::atomic<bool> gStopCaught[std::size(kStopSignals)];
std::atomic<bool> gResized{true};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
                  std::atomic<void (*)(int)>::is_always_lock_free,
              "the signal handlers store into them");

void OnStopSignal(int sig) {
    const int handled = gStopHandled.load();
    if (handled > 0 && gStopRequests.fetch_add(1) + 1 >= handled) {
        // The last request handled, of whichever kind: the next one of any kind finds the default and ends
        // the program. sigaction may be called in a signal handler.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            if (gStopCaught[i].load())
                sigaction(kStopSignals[i], &fallback, nullptr);
    }
    if (void (*handler)(int) = gStopHandler.load())
        handler(sig);
}

void OnResize(int) {
    gResized.store(true);
}

void MaskInterrupts(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kStopSignals)
        sigaddset(&set, sig);
    sigaddset(&set, SIGWINCH);
    pthread_sigmask(how, &set, nullptr);
}

} // namespace

void CatchInterrupts(void (*handler)(int), int handled) {
    gStopHandler = handler;
    gStopRequests = 0;
    gStopHandled = handled;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopSignals)
        sigaddset(&action.sa_mask, sig); // one request at a time
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        struct sigaction before {};
        sigaction(kStopSignals[i], nullptr, &before);
        // Ignored from the start (nohup, a background job of a script): whoever started the program
        // wants it to go on.
        const bool ignored = before.sa_handler == SIG_IGN;
        gStopCaught[i] = !ignored;
        if (!ignored)
            sigaction(kStopSignals[i], &action, nullptr);
    }
}

void BlockInterrupts() {
    MaskInterrupts(SIG_BLOCK);
}

void UnblockInterrupts() {
    MaskInterrupts(SIG_UNBLOCK);
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool StreamWritable(std::FILE* stream, int timeoutMs) {
    // A pipe that polls writable has room for at least one page (4096 bytes), which a write of that size
    // takes whole.
    pollfd p{fileno(stream), POLLOUT, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

int64_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<int64_t>(limit.rlim_cur);
}

bool IsLiveTerminal(std::FILE* stream) {
    return ::isatty(fileno(stream)) != 0;
}

TerminalSize TerminalSizeOf(std::FILE* stream) {
    winsize size{};
    if (::ioctl(fileno(stream), TIOCGWINSZ, &size) == 0)
        return {size.ws_row, size.ws_col};
    return {};
}

int TerminalColumns(std::FILE* stream) {
    return TerminalSizeOf(stream).Columns;
}

void WatchTerminalResize() {
    struct sigaction action {};
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
}

bool TerminalResized() {
    return gResized.exchange(false);
}

bool DesktopSessionMissing() {
    return Environment("DISPLAY").empty() && Environment("WAYLAND_DISPLAY").empty() &&
           Environment("QT_QPA_PLATFORM").empty();
}

std::string LoginName() {
    // getlogin_r names the user of the session (also under sudo); a program started without a terminal
    // session has none, so the user database and the environment stand in.
    char buffer[256];
    if (getlogin_r(buffer, sizeof buffer) == 0 && buffer[0] != '\0')
        return buffer;
    std::string name;
    if (LookUpUser(&name, nullptr) && !name.empty())
        return name;
    name = Environment("LOGNAME");
    return name.empty() ? Environment("USER") : name;
}

std::string HostName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    return buffer;
}

namespace {

std::filesystem::path HomeFolder() {
    std::filesystem::path home = Environment("HOME");
    if (home.is_absolute())
        return home;
    std::string fromDatabase;
    if (LookUpUser(nullptr, &fromDatabase) && std::filesystem::path(fromDatabase).is_absolute())
        return fromDatabase;
    return {};
}

// $<variable> when it is an absolute path, else home/<below...>; empty when neither is known.
std::filesystem::path XdgFolder(const char* variable, const std::filesystem::path& below) {
    std::filesystem::path folder = Environment(variable);
    if (folder.is_absolute())
        return folder;
    std::filesystem::path home = HomeFolder();
    return home.empty() ? home : home / below;
}

} // namespace

std::filesystem::path StateFolder() {
    return XdgFolder("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

std::string StateFolderText(std::string_view sub) {
    const std::string inside = std::string(sub) + "/";
    return "$XDG_STATE_HOME/" + inside + " (by default ~/.local/state/" + inside + ")";
}

std::filesystem::path ConfigFolder() {
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}

bool FolderWritable(const std::filesystem::path& folder) {
    return !folder.empty() && ::access(folder.c_str(), W_OK) == 0;
}

bool InstalledProgramFolder(const std::filesystem::path&) {
    return false;
}
