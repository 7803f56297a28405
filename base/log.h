// The diagnostic log: whole lines from any thread, written to a file beside the program
// (fwupdate -> fwupdate.log) that each run starts anew, or that keeps the lines of earlier runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

// One log file. Each thread collects its own line; a line is written whole (ended by CR LF) when its line
// feed arrives or when it has grown past kMaxLineLength characters. The file is created empty at the first
// line of a run and begins with a header naming the program, the local time and the operator. When a line
// takes the file past the size limit, the file is emptied and begun again with a new header.
// With KeepOldLogs(n), n > 0, the lines of earlier runs stay instead: a run appends its header and lines to
// the file, and a line that takes the file past the size limit moves it to <name>-1.<extension> (the one
// there to -2, and so on up to -n; the oldest goes) and begins a new file, so that at most n + 1 files of
// about the size limit each are kept; of the files of earlier runs that wrote beside a held file
// (<name>.<process id>.<extension>), the n newest are kept.
// The file is locked while it is written: when another run (another open log) holds it, this one writes
// <name>.<process id>.<extension> beside it. When the file cannot be created, the log goes to
// <StateFolder()>/fwupdate/<file name>, and failing that to standard error, with a note on standard error
// either way.
class DiagnosticLog {
public:
    static constexpr std::uintmax_t kDefaultSizeLimit = 0xA00000;
    static constexpr std::size_t kMaxLineLength = 500;

    explicit DiagnosticLog(std::filesystem::path path);
    // Writes the unfinished lines of all threads, so that nothing is lost.
    virtual ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // Adds text to the calling thread's line; each line feed ends a line.
    void Write(std::string_view text);
    // The next line starts a new file at this path (its fallback applies again).
    void SetPath(std::filesystem::path path);
    // Creates the file now rather than at the first line (a program that names its log in messages).
    void Begin();
    void SetSizeLimit(std::uintmax_t bytes);
    // How many full files of earlier lines are kept (see above); 0, the default, keeps none.
    void KeepOldLogs(int files);
    // The file written to: the fallback when it applied, else the path set; empty once lines go to
    // standard error.
    std::filesystem::path Path() const;

private:
    struct Pending {
        std::string text;
        bool split = false; // the text so far was written out for its length; a line feed now ends nothing
    };

    // Writes whole lines (each ended by CR LF): at once, or, while another thread writes, handed to that
    // thread, which writes them before it lets go. Many threads logging at once then neither wait for each
    // other nor write one line each.
    void Submit(std::string lines);
    // Writes whole lines to the file, or to standard error when there is none. Caller holds lock.
    void WriteLines(const std::string& lines);
    void WriteChunk(const std::string& lines);
    void StartFile();
    // Opens path for this run: emptied, or appended to when old lines are kept. Caller holds lock.
    int OpenForRun(const std::filesystem::path& path);
    // Moves the full file at activePath to <name>-1 (older ones up by one) and opens a new one there.
    void MoveToOld();
    bool WriteHeader();
    void CloseFile();

    mutable std::mutex lock;
    std::filesystem::path preferredPath; // as set; the file goes here when it can
    std::filesystem::path activePath;    // where the file of this run is, once started
    int fd = -1;
    bool started = false; // the first line of the run has been written (the file was created); fd < 0 then
                          // means that no file could be written and lines go to standard error
    std::uintmax_t size = 0;
    std::uintmax_t sizeLimit = kDefaultSizeLimit;
    int oldLogs = 0;
    std::unordered_map<std::thread::id, Pending> pending;

    std::mutex queueLock; // taken alone, or after lock
    std::string queued;   // lines handed to the writing thread
    bool writing = false; // a thread is writing
};

// The path of the program's log: $FWUPDATE_LOG when set; else, in a build from source, the program's own path
// with extension ".log", and in a packaged build or an installed copy (InstalledProgramFolder)
// <StateFolder()>/fwupdate/<program>.log (empty when there is
// no such folder).
std::filesystem::path DefaultLogPath();

// Where the log keeps the full file n (1 the newest) of path: prog.log -> prog-1.log.
std::filesystem::path OldLogPath(const std::filesystem::path& path, int n);

// While it lives, each line the calling thread writes through LogLine begins with device and a space, so
// that the lines of many devices at once can be told apart (fwupdate-cli's log). Threads without one write
// their lines as given, as the window does.
class LogDeviceScope {
public:
    explicit LogDeviceScope(std::string device);
    ~LogDeviceScope();
    LogDeviceScope(const LogDeviceScope&) = delete;
    LogDeviceScope& operator=(const LogDeviceScope&) = delete;
    // The calling thread's device, empty when none.
    static const std::string& Current();

private:
    const std::string name;
    const std::string* const outer; // the enclosing scope's device, or nullptr
};

// The program's log, created at first use at DefaultLogPath(); it lives until the process ends.
DiagnosticLog& TheLog();

// Writes one whole line to the program's log (the line end is added), after the thread's device if any.
void LogLine(std::string_view line);

// Receives, besides the log, every line LogLine writes for a device (a thread inside a LogDeviceScope):
// the window of many devices shows each device's own lines. Called on the writing thread, so it returns
// promptly and never logs.
class LogDeviceLines {
public:
    virtual ~LogDeviceLines() = default;
    virtual void OnDeviceLine(const std::string& device, std::string_view line) = 0;
};
// Sets the one receiver (nullptr: none); once it returns, the one before receives nothing more.
void SetLogDeviceLines(LogDeviceLines* receiver);
