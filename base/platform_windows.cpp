// Windows implementation of the platform calls (program path, login name, %LOCALAPPDATA%, files in
// UTF-16 names, the console's Ctrl-C and close events, the console as a terminal).
#include "base/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text, int length) {
    if (length <= 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring Wide(std::string_view text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring result(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, result.data(), size);
    return result;
}

std::wstring EnvironmentWide(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

std::atomic<void (*)(int)> gInterruptHandler{nullptr};
std::atomic<int> gInterruptsHandled{0};
std::atomic<int> gInterrupts{0};

// The POSIX signal a console event stands for: the keys are an interrupt, a closed console or a logoff
// takes the terminal away as a hang-up does, a shutdown asks the program to end.
int SignalOfConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return 2;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
        return 1;
    default:
        return 15;
    }
}

// Runs in a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    void (*handler)(int) = gInterruptHandler.load();
    if (handler == nullptr)
        return FALSE;
    const int handled = gInterruptsHandled.load();
    if (handled > 0 && gInterrupts.fetch_add(1) >= handled)
        return FALSE; // one request more than handled: the default ends the program
    handler(SignalOfConsoleEvent(event));
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this returns: give the program time to stop in order.
        Sleep(4000);
    }
    return TRUE;
}

} // namespace

std::filesystem::path ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::filesystem::path(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path PathFromUtf8(std::string_view text) {
    return std::filesystem::path(Wide(text));
}

std::string PathToUtf8(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return Utf8(wide.data(), static_cast<int>(wide.size()));
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

std::tm UtcTime(std::time_t when) {
    std::tm utc{};
    gmtime_s(&utc, &when);
    return utc;
}

int ProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
    // _putenv_s keeps the C library's copy (getenv) and the process's environment in step; an empty
    // value removes the variable.
    _putenv_s(name.c_str(), value ? value->c_str() : "");
}

namespace {

// errno for the last failed file call: EACCES, ENOENT or EIO.
void SetErrnoFromLastError() {
    const DWORD error = GetLastError();
    errno = error == ERROR_ACCESS_DENIED                                     ? EACCES
            : error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ENOENT
                                                                             : EIO;
}

} // namespace

int FileOpenLocked(const std::filesystem::path& path, bool empty) {
    // Shared for deleting and renaming as well, as a POSIX file is: a log that is open never keeps
    // others from removing or replacing it. Opened without emptying: the lock decides first.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return -1;
    }
    // The lock covers one byte far beyond any log's end, so readers of the file are never kept out; it
    // ends when the handle is closed.
    OVERLAPPED beyondEnd{};
    beyondEnd.Offset = 0xFFFFFFFEu;
    beyondEnd.OffsetHigh = 0x7FFFFFFFu;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyondEnd)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        errno = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EBUSY : EIO;
        return -1;
    }
    if (empty && !SetEndOfFile(file)) { // at offset 0 just after opening: empties the file
        CloseHandle(file);
        errno = EIO;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND);
    if (fd < 0)
        CloseHandle(file);
    return fd;
}

bool FileReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    // rename() refuses an existing target on Windows; MoveFileEx replaces it.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}

int FileCreate(const std::filesystem::path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    if (fd < 0)
        CloseHandle(file);
    return fd;
}

bool FileSync(int file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file));
    if (handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle))
        return true;
    errno = EIO;
    return false;
}

bool FolderSync(const std::filesystem::path&) {
    return true; // FileReplace moves with MOVEFILE_WRITE_THROUGH
}

bool ProcessAlive(int pid) {
    if (pid <= 0)
        return false;
    const HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but not ours to look at
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

bool FileWriteAll(int file, std::string_view bytes) {
    while (!bytes.empty()) {
        const unsigned chunk = bytes.size() > 0x40000000 ? 0x40000000u : static_cast<unsigned>(bytes.size());
        const int written = _write(file, bytes.data(), chunk);
        if (written < 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool FileEmpty(int file) {
    return _chsize_s(file, 0) == 0;
}

void FileClose(int file) {
    if (file >= 0)
        _close(file);
}

void CatchInterrupts(void (*handler)(int), int handled) {
    gInterruptsHandled = handled;
    gInterrupts = 0;
    gInterruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void BlockInterrupts() {}

void UnblockInterrupts() {}

void IgnoreBrokenPipe() {}

bool StreamWritable(std::FILE*, int) {
    return true;
}

// Winsock sets no per-process limit on sockets.
int64_t RaiseOpenFileLimit() {
    return 0;
}

bool IsLiveTerminal(std::FILE* stream) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
        return false;
    // The live lines move the cursor with escape sequences; a console that does not take them gets
    // plain lines.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

TerminalSize TerminalSizeOf(std::FILE* stream) {
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info))
        return {};
    return {info.srWindow.Bottom - info.srWindow.Top + 1, info.srWindow.Right - info.srWindow.Left + 1};
}

int TerminalColumns(std::FILE* stream) {
    return TerminalSizeOf(stream).Columns;
}

void WatchTerminalResize() {}

bool TerminalResized() {
    return true;
}

bool DesktopSessionMissing() {
    return false;
}

std::string LoginName() {
    wchar_t name[257];
    DWORD size = sizeof name / sizeof name[0];
    if (GetUserNameW(name, &size) && size > 1)
        return Utf8(name, static_cast<int>(size - 1));
    const std::wstring user = EnvironmentWide(L"USERNAME");
    return Utf8(user.data(), static_cast<int>(user.size()));
}

std::string HostName() {
    wchar_t name[256];
    DWORD size = sizeof name / sizeof name[0];
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &size) && size > 0)
        return Utf8(name, static_cast<int>(size));
    size = sizeof name / sizeof name[0];
    if (GetComputerNameW(name, &size) && size > 0)
        return Utf8(name, static_cast<int>(size));
    return {};
}

std::filesystem::path StateFolder() {
    const std::wstring local = EnvironmentWide(L"LOCALAPPDATA");
    std::filesystem::path folder(local);
    return folder.is_absolute() ? folder : std::filesystem::path();
}

std::string StateFolderText(std::string_view sub) {
    return "%LOCALAPPDATA%\\" + std::string(sub) + "\\";
}

std::filesystem::path ConfigFolder() {
    // Windows keeps a program's settings and its logs in the same per-user folder.
    return StateFolder();
}

bool FolderWritable(const std::filesystem::path& folder) {
    if (folder.empty())
        return false;
    const std::filesystem::path probe =
        folder / (L".fwupdate-write-" + std::to_wstring(GetCurrentProcessId()));
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool InstalledProgramFolder(const std::filesystem::path& folder) {
    // Compared by their components, ignoring letter case as Windows does: C:\Program Files\fwupdate is in
    // C:\program files, C:\Program Files (x86) is not in C:\Program Files.
    const auto lower = [](std::wstring text) {
        if (!text.empty())
            CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
        return std::filesystem::path(text).lexically_normal();
    };
    const std::filesystem::path inside = lower(folder.wstring());
    for (const wchar_t* name : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
        const std::filesystem::path root = lower(EnvironmentWide(name));
        if (!root.is_absolute())
            continue;
        auto [r, f] = std::mismatch(root.begin(), root.end(), inside.begin(), inside.end());
        // A root written with a trailing backslash ends in an empty component.
        if (r == root.end() || (std::next(r) == root.end() && r->empty()))
            return true;
    }
    return false;
}
