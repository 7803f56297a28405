// The device simulator's output: session lines (standard output), notes (standard error) and image files,
// written by a thread of their own so that an output nobody reads holds up no simulated device.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SimOutput {
public:
    // What waits to be written at most; what comes while it is full is dropped and counted.
    static constexpr std::size_t kDefaultLimit = 16 << 20;

    SimOutput(std::FILE* lines, std::FILE* notes, std::size_t limit = kDefaultLimit);
    ~SimOutput();
    SimOutput(const SimOutput&) = delete;
    SimOutput& operator=(const SimOutput&) = delete;

    // Queue a session's line (a line feed is added), a note, or an image file; in this order they are
    // written. None of them waits for the output.
    void Line(std::string line);
    void Note(std::string note);
    void Image(std::string path, std::vector<uint8_t> bytes);

    // Writes what waits while the outputs take it (giving up after an output took nothing for a second),
    // joins the writer and says on the notes' stream what was not written. Further items are dropped.
    void Stop();

    struct Dropped {
        int64_t Lines = 0, Notes = 0, Images = 0;
    };
    Dropped DroppedSoFar() const;

private:
    enum class Kind { Line, Note, Image };
    struct Item {
        Kind What = Kind::Note;
        std::string Text; // the line or note, or the image's path
        std::vector<uint8_t> Bytes;
        std::size_t Size() const { return Text.size() + Bytes.size(); }
    };

    void Push(Item item);
    void Run();
    // Writes text to stream in pieces the stream takes without blocking; false when it gave up.
    bool WriteText(std::FILE* stream, const std::string& text);
    void Count(Kind what);

    std::FILE* const lines_;
    std::FILE* const notes_;
    const std::size_t limit_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Item> queue_; // under lock_
    std::size_t queued_ = 0; // bytes in queue_, under lock_
    bool stopping_ = false;  // under lock_
    Dropped dropped_;        // under lock_
    std::thread writer_;
};
