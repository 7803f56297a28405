// The platform calls of the framework services: the program's own path, the operator's login name, the
// per-user folders, local and UTC time, file names in UTF-8, the log's file calls, Ctrl-C and the terminal.
// POSIX and Windows differ here only (platform_posix.cpp, platform_windows.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Full path of the running program (/proc/self/exe, GetModuleFileNameW); empty when it cannot be found.
std::filesystem::path ExecutablePath();

// File names are UTF-8 inside the program; Windows's own file names are UTF-16.
std::filesystem::path PathFromUtf8(std::string_view text);
std::string PathToUtf8(const std::filesystem::path& path);

// The calendar time in the local time zone, and in UTC.
std::tm LocalTime(std::time_t when);
std::tm UtcTime(std::time_t when);

// The id of this process.
int ProcessId();

// Sets (or, without a value, removes) a variable of this process's environment.
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

// The log's file calls, on a file number. OpenLocked creates or opens the file for appending, takes an
// advisory lock on it that lasts until FileClose (flock, LockFileEx) and then, with empty, empties it: -1
// and errno on failure, errno EBUSY when another open file (another run) holds the lock, whose content
// stays untouched. WriteAll writes every byte; Empty sets the size to 0.
int FileOpenLocked(const std::filesystem::path& path, bool empty = true);
bool FileWriteAll(int file, std::string_view bytes);
bool FileEmpty(int file);
void FileClose(int file);
// Puts the file from in the place of to, replacing a file there in one step (readers see the old or
// the new file, never a part of one); both in one folder. False, with errno set, on failure.
bool FileReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// Creates (or empties) a file for writing its bytes unchanged: its number, or -1 with errno set.
int FileCreate(const std::filesystem::path& path);
// Has the system put what was written to the file on its disk (fsync, FlushFileBuffers), so that a power
// cut finds it whole. False, with errno set, on failure.
bool FileSync(int file);
// Has the system put the names of folder on its disk after a file was created or renamed there: fsync of
// the folder on POSIX; on Windows FileReplace writes its rename through already. False, with errno set.
bool FolderSync(const std::filesystem::path& folder);

// Whether a process with this id runs now (also one of another user); false for an id no process has.
bool ProcessAlive(int pid);

// Ctrl-C, hang-ups and termination requests (SIGINT, SIGHUP, SIGTERM; the console's Ctrl-C and Ctrl-Break,
// close, logoff and shutdown events) call handler with the signal's number: 2 (Ctrl-C, Ctrl-Break), 1 (the
// terminal hung up: SIGHUP, the console closed, the user logged off) or 15 (termination: SIGTERM, shutdown).
// The handler may run in a signal handler or in a thread of its own: it may only store into lock-free atomics
// or signal a SockWake. With handled above 0, the first `handled` requests of any of them reach handler and
// the next one ends the program at once; with 0 every request reaches handler. A signal that was ignored
// when the program started (nohup, a script's background job) stays ignored.
void CatchInterrupts(void (*handler)(int), int handled);
// Keeps interrupts and the terminal's resize notice away from the calling thread and the threads it starts
// until UnblockInterrupts, so they reach the main thread (no-op where a handler gets a thread of its own).
void BlockInterrupts();
void UnblockInterrupts();
// A reader that goes away (a closed pipe) must not end the program.
void IgnoreBrokenPipe();

// Whether stream takes a write of up to 4096 bytes at once, now or within timeoutMs (negative: no limit), so
// that a writer can wait for an output nobody reads without being stuck in the write: poll on POSIX (where an
// output that failed counts as ready: its write fails at once). Always true on Windows, whose pipes and
// consoles tell no such thing: there the write itself waits.
bool StreamWritable(std::FILE* stream, int timeoutMs);

// Raises the number of files (sockets) the process may hold open as far as the system allows;
// returns the limit now in force, or 0 when the system sets none per process.
int64_t RaiseOpenFileLimit();

// Whether stream is a terminal that takes cursor-moving escape sequences (turned on where needed), and
// its size in character cells (0 when unknown).
bool IsLiveTerminal(std::FILE* stream);
struct TerminalSize {
    int Rows = 0;
    int Columns = 0;
};
TerminalSize TerminalSizeOf(std::FILE* stream);
int TerminalColumns(std::FILE* stream);
// The terminal's resize notice: after WatchTerminalResize, TerminalResized tells whether the size may have
// changed since its last call (true at its first call), so the size is read again only then. POSIX notes
// SIGWINCH; the Windows console gives no such notice to a program that writes only, so there it is
// always true and the size is read at each redraw.
void WatchTerminalResize();
bool TerminalResized();

// Whether a window cannot be shown because no desktop session is there: on POSIX none of DISPLAY,
// WAYLAND_DISPLAY and QT_QPA_PLATFORM is set; never on Windows.
bool DesktopSessionMissing();

// Login name of the operator; empty when no name is known.
std::string LoginName();

// The computer's name on the network (gethostname, the DNS host name on Windows); empty when unknown.
std::string HostName();

// On POSIX the home folder in both lookups below is $HOME when it is an absolute path, else the one the user
// database names; a relative folder is never returned, so nothing lands under the current folder.

// Per-user folder for state such as logs: $XDG_STATE_HOME when it is an absolute path, else ~/.local/state;
// %LOCALAPPDATA% on Windows; empty when none is known.
std::filesystem::path StateFolder();

// A folder inside StateFolder() as this platform's users write it, for help texts:
// "$XDG_STATE_HOME/fwupdate/ (by default ~/.local/state/fwupdate/)", "%LOCALAPPDATA%\fwupdate\".
std::string StateFolderText(std::string_view sub);

// Per-user folder for configuration such as data.dat: $XDG_CONFIG_HOME when it is an absolute path, else
// ~/.config; %LOCALAPPDATA% on Windows; empty when none is known.
std::filesystem::path ConfigFolder();

// Whether this user can create files in folder (on Windows tried with a file that is removed at once: the
// folder's attributes do not tell).
bool FolderWritable(const std::filesystem::path& folder);
// Whether folder is where installed programs live, which never write beside themselves: on Windows a folder
// in Program Files (where the installer puts the program for every user, and which Wine lets anyone write
// to); never on POSIX, where a packaged build knows that it is installed.
bool InstalledProgramFolder(const std::filesystem::path& folder);
