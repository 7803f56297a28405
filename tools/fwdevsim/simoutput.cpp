// The simulator's writer thread: one queue, in order, bounded in bytes; each output is written in pieces it
// takes without blocking, so that a stop is never stuck behind an output nobody reads.
#include "tools/fwdevsim/simoutput.h"

#include "base/platform.h"
#include "tools/mkfwcfg/cfgwriter.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A piece an output that polls writable takes whole (a pipe's page).
constexpr std::size_t kPiece = 4096;
// How often a writer waiting for its output looks whether it is to stop.
constexpr int kWaitMs = 100;
// After a stop, an output that took nothing for this long gets nothing more.
constexpr auto kGiveUpAfter = std::chrono::seconds(1);

} // namespace

SimOutput::SimOutput(std::FILE* lines, std::FILE* notes, std::size_t limit)
    : lines_(lines), notes_(notes), limit_(limit), writer_([this] { Run(); }) {}

SimOutput::~SimOutput() {
    Stop();
}

void SimOutput::Line(std::string line) {
    Push(Item{Kind::Line, std::move(line), {}});
}

void SimOutput::Note(std::string note) {
    Push(Item{Kind::Note, std::move(note), {}});
}

void SimOutput::Image(std::string path, std::vector<uint8_t> bytes) {
    Push(Item{Kind::Image, std::move(path), std::move(bytes)});
}

void SimOutput::Push(Item item) {
    {
        std::lock_guard hold(lock_);
        if (stopping_ || queued_ + item.Size() > limit_) {
            Count(item.What);
            return;
        }
        queued_ += item.Size();
        queue_.push_back(std::move(item));
    }
    wake_.notify_one();
}

void SimOutput::Count(Kind what) {
    ++(what == Kind::Line ? dropped_.Lines : what == Kind::Note ? dropped_.Notes : dropped_.Images);
}

SimOutput::Dropped SimOutput::DroppedSoFar() const {
    std::lock_guard hold(lock_);
    return dropped_;
}

void SimOutput::Stop() {
    {
        std::lock_guard hold(lock_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
    const Dropped d = DroppedSoFar();
    if ((d.Lines > 0 || d.Notes > 0 || d.Images > 0) && StreamWritable(notes_, 0)) {
        std::fprintf(notes_,
                     "fwdevsim: the output did not take %lld session lines, %lld notes and %lld image files: "
                     "they were dropped\n",
                     static_cast<long long>(d.Lines), static_cast<long long>(d.Notes),
                     static_cast<long long>(d.Images));
        std::fflush(notes_);
    }
}

bool SimOutput::WriteText(std::FILE* stream, const std::string& text) {
    auto progress = Clock::now();
    bool stopSeen = false;
    for (std::size_t at = 0; at < text.size();) {
        if (!StreamWritable(stream, kWaitMs)) {
            std::lock_guard hold(lock_);
            if (stopping_ && !stopSeen) {
                stopSeen = true; // the second of grace counts from the stop
                progress = std::max(progress, Clock::now());
            } else if (stopping_ && Clock::now() - progress >= kGiveUpAfter) {
                return false;
            }
            continue;
        }
        const std::size_t n = std::min(kPiece, text.size() - at);
        if (std::fwrite(text.data() + at, 1, n, stream) != n || std::fflush(stream) != 0) {
            std::clearerr(stream);
            return false; // the reader has gone
        }
        at += n;
        progress = Clock::now();
    }
    return true;
}

void SimOutput::Run() {
    // An output given up on at the stop gets nothing more, so the rest is dropped at once.
    bool linesGone = false, notesGone = false;
    for (;;) {
        Item item;
        {
            std::unique_lock hold(lock_);
            wake_.wait(hold, [&] { return !queue_.empty() || stopping_; });
            if (queue_.empty()) {
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
            queued_ -= item.Size();
        }
        bool dropped = false;
        switch (item.What) {
        case Kind::Line:
            dropped = linesGone = linesGone || !WriteText(lines_, item.Text + "\n");
            break;
        case Kind::Note:
            dropped = notesGone = notesGone || !WriteText(notes_, item.Text + "\n");
            break;
        case Kind::Image:
            // A file that cannot be written is said, not counted as dropped.
            if (!WriteFileBytes(item.Text, item.Bytes)) {
                notesGone = notesGone || !WriteText(notes_, "fwdevsim: cannot write " + item.Text + "\n");
            }
            break;
        }
        if (dropped) {
            std::lock_guard hold(lock_);
            Count(item.What);
        }
    }
}
