// The simulated device: identification replies, write acknowledgements and the flash model of an
// update, over byte buffers; framing and scanning come from the link's wire codec.
#include "tools/fwdevsim/simdevice.h"

#include "link/frame.h"
#include "update/firmwareimage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint8_t kCmdRead = 0, kCmdWrite = 1, kCmdValue = 2, kCmdWok = 3, kCmdError = 4;
constexpr uint8_t kTypeI32 = 3;
// Error codes the device puts in the 4 data bytes of an error reply.
constexpr uint32_t kErrUnknownObject = 1, kErrPageRejected = 2;
constexpr std::size_t kMaxProblems = 20;

uint8_t Command(uint8_t kindByte) {
    return kindByte & 7;
}
uint8_t TypeBits(uint8_t kindByte) {
    return (kindByte >> 3) & 7;
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

std::optional<uint32_t> FirstU32(const std::vector<uint8_t>& data) {
    if (data.size() < 4) {
        return std::nullopt;
    }
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

SimMessage ValueReply(const SimMessage& request, std::vector<uint8_t> data) {
    return SimMessage{static_cast<uint8_t>(kCmdValue | kTypeI32 << 3), request.Obj, request.Par,
                      std::move(data)};
}

SimMessage I32Reply(const SimMessage& request, uint32_t value) {
    std::vector<uint8_t> data;
    PutU32(data, value);
    return ValueReply(request, std::move(data));
}

// A 16-character text travels as four I32 values whose bytes, lowest first, are the characters.
SimMessage TextReply(const SimMessage& request, const std::string& text) {
    std::vector<uint8_t> data(16, 0);
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 16), data.begin());
    return ValueReply(request, std::move(data));
}

SimMessage ErrorReply(const SimMessage& request, uint32_t code) {
    std::vector<uint8_t> data;
    PutU32(data, code);
    return SimMessage{static_cast<uint8_t>(kCmdError | kTypeI32 << 3), request.Obj, request.Par,
                      std::move(data)};
}

// Device texts are bytes, not UTF-8: each byte stands for its Latin-1 code point.
std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

template <typename T> nlohmann::ordered_json NumberOrNull(const std::optional<T>& v) {
    return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
}

} // namespace

std::optional<int64_t> PageIndexOf(uint16_t obj, uint16_t par) {
    switch (obj) {
    case 2:
        return par >= 10 ? std::optional<int64_t>(par - 10) : std::nullopt;
    case 3:
        return 246 + int64_t(par);
    case 4:
        return 502 + int64_t(par);
    default:
        return std::nullopt;
    }
}

std::string DateText(uint32_t date) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", date & 0xFFFFu, (date >> 16) & 0xFFu, date >> 24);
    return buf;
}

SimDevice::SimDevice(SimIdentity identity, SimModelFaults faults)
    : identity_(std::move(identity)), faults_(faults) {}

void SimDevice::Reset(bool faulty) {
    faultsActive_ = faulty;
    report_ = {};
    flash_.clear();
    nextPage_ = 0;
    shortPageSeen_ = false;
    wantsClose_ = false;
    rx_.Clear();
    rxState_ = RxScanState::Searching;
    pending_.clear();
    holdPages_ = false;
    pageWaiting_ = false;
}

std::vector<std::vector<uint8_t>> SimDevice::Feed(const uint8_t* data, std::size_t size) {
    rx_.Append(data, size);
    ScanFrames(rx_, rxState_, 1, [&](const Msg& m) {
        SimMessage msg{static_cast<uint8_t>((m.Kind & 7) | (m.Type & 7) << 3), m.Obj, m.Par, {}};
        const std::size_t elem = ElementSize(m.Type);
        if (m.Count > 1) {
            msg.Data.assign(m.Buf.pU8, m.Buf.pU8 + static_cast<std::size_t>(m.Count) * elem);
        } else if (m.Count == 1) {
            msg.Data.assign(m.Buf.U8, m.Buf.U8 + elem);
        }
        pending_.push_back(std::move(msg));
    });
    return HandlePending(false);
}

std::vector<std::vector<uint8_t>> SimDevice::Continue() {
    return HandlePending(true);
}

std::vector<std::vector<uint8_t>> SimDevice::HandlePending(bool pageGoes) {
    std::vector<SimMessage> replies;
    pageWaiting_ = false;
    while (!pending_.empty() && !wantsClose_) {
        const SimMessage& msg = pending_.front();
        if (holdPages_ && Command(msg.KindByte) == kCmdWrite && PageIndexOf(msg.Obj, msg.Par)) {
            if (!pageGoes) {
                pageWaiting_ = true;
                break;
            }
            pageGoes = false;
        }
        HandleMessage(msg, replies);
        pending_.pop_front();
    }

    if (wantsClose_) {
        pending_.clear(); // the connection is about to close: the rest goes unheard
    }
    TxMessages queue;
    for (const auto& r : replies) {
        std::vector<uint8_t> encoded;
        if (EncodeMsg(encoded, r.KindByte, r.Obj, r.Par, r.Data.data(), r.Data.size()) > 0) {
            queue.push_back(std::move(encoded));
        }
    }
    std::vector<std::vector<uint8_t>> frames;
    while (!queue.empty()) {
        std::vector<uint8_t> frame;
        std::size_t removed = 0;
        if (BuildFrame(queue, frame, removed) > 0) {
            frames.push_back(std::move(frame));
        } else if (removed == 0) {
            break;
        }
    }
    return frames;
}

void SimDevice::HandleMessage(const SimMessage& msg, std::vector<SimMessage>& replies) {
    switch (Command(msg.KindByte)) {
    case kCmdRead:
        HandleRead(msg, replies);
        break;
    case kCmdWrite:
        HandleWrite(msg, replies);
        break;
    default:
        break; // values, acknowledgements and errors from the tool need no answer
    }
}

void SimDevice::HandleRead(const SimMessage& msg, std::vector<SimMessage>& replies) {
    ++report_.Reads;
    if (identity_.NoAnswer.count({msg.Obj, msg.Par}) != 0) {
        return;
    }
    const auto& id = identity_;
    switch (msg.Obj << 16 | msg.Par) {
    case 0 << 16 | 1:
        replies.push_back(I32Reply(msg, 1));
        return; // keep-alive
    case 1 << 16 | 2:
        replies.push_back(I32Reply(msg, 1));
        return;
    case 1 << 16 | 3:
        replies.push_back(I32Reply(msg, static_cast<uint32_t>(id.Serial)));
        return;
    case 1 << 16 | 5:
        replies.push_back(I32Reply(msg, static_cast<uint32_t>(id.Kennung)));
        return;
    case 1 << 16 | 6:
        replies.push_back(I32Reply(msg, static_cast<uint32_t>(id.Mode)));
        return;
    case 1 << 16 | 12:
        replies.push_back(I32Reply(msg, uint32_t(id.VersionHigh) << 16 | id.VersionLow));
        return;
    case 9 << 16 | 2:
        replies.push_back(TextReply(msg, id.Name));
        return;
    case 9 << 16 | 7:
        replies.push_back(TextReply(msg, id.OemName));
        return;
    case 9 << 16 | 8:
        replies.push_back(TextReply(msg, id.DeviceName));
        return;
    case 9 << 16 | 9:
        replies.push_back(TextReply(msg, id.LibraryName));
        return;
    default:
        replies.push_back(ErrorReply(msg, kErrUnknownObject));
        return;
    }
}

void SimDevice::HandleWrite(const SimMessage& msg, std::vector<SimMessage>& replies) {
    ++report_.Writes;
    if (const auto page = PageIndexOf(msg.Obj, msg.Par)) {
        HandlePage(*page, msg, replies);
        return;
    }
    const auto value = FirstU32(msg.Data);
    if (msg.Obj == 10 && msg.Par == 9 && value) {
        (*value != 0 ? report_.UpdateStarted : report_.UpdateEnded) = true;
    } else if (msg.Obj == 2) {
        switch (msg.Par) {
        case 4: {
            std::string name(msg.Data.begin(), msg.Data.begin() + std::min<std::size_t>(msg.Data.size(), 16));
            report_.Name = name.substr(0, name.find('\0'));
            break;
        }
        case 5:
            report_.ImageEnded = true;
            break;
        case 6:
            if (value) {
                report_.Date = *value;
            }
            break;
        case 7:
            if (value) {
                report_.Version = static_cast<int32_t>(*value);
            }
            break;
        case 8:
            if (value) {
                report_.Revision = static_cast<int32_t>(*value);
            }
            break;
        case 9:
            // Erasing empties the flash; pages already written before it are out of order.
            if (!flash_.empty()) {
                Problem("erase after page data");
            }
            ++report_.Erases;
            flash_.clear();
            nextPage_ = 0;
            shortPageSeen_ = false;
            break;
        default:
            break;
        }
    }
    // Acknowledge in the write's element type, without data (no more once it stopped acknowledging).
    if (!NoMoreAcknowledgements())
        replies.push_back(
        SimMessage{static_cast<uint8_t>(kCmdWok | TypeBits(msg.KindByte) << 3), msg.Obj, msg.Par, {}});
}

void SimDevice::HandlePage(int64_t page, const SimMessage& msg, std::vector<SimMessage>& replies) {
    const std::string p = "page " + std::to_string(page);
    if (report_.Erases == 0) {
        Problem(p + " before the erase");
    }
    if (report_.ImageEnded) {
        Problem(p + " after the end of the image");
    }
    if (page < nextPage_) {
        Problem(p + (flash_.count(page) != 0 ? " repeated" : " out of order"));
    } else if (page > nextPage_) {
        Problem("pages " + std::to_string(nextPage_) + ".." + std::to_string(page - 1) + " missing before " +
                p);
    } else if (shortPageSeen_) {
        Problem(p + " after a short page");
    }
    if (msg.Data.empty() || msg.Data.size() > kPageSize) {
        Problem(p + " has " + std::to_string(msg.Data.size()) + " bytes");
    }
    flash_[page] = msg.Data;
    nextPage_ = page + 1;
    shortPageSeen_ = msg.Data.size() < kPageSize;
    ++report_.Pages;
    report_.Bytes += static_cast<int64_t>(msg.Data.size());

    if (faultsActive_ && faults_.ErrorOnPage && *faults_.ErrorOnPage == page) {
        ++report_.ErrorReplies;
        replies.push_back(ErrorReply(msg, kErrPageRejected));
    } else if (!NoMoreAcknowledgements() || report_.Pages == *faults_.NoAckAfterPages) {
        replies.push_back(
            SimMessage{static_cast<uint8_t>(kCmdWok | TypeBits(msg.KindByte) << 3), msg.Obj, msg.Par, {}});
    }
    if (faultsActive_ && faults_.CloseAfterPages && report_.Pages >= *faults_.CloseAfterPages) {
        wantsClose_ = true;
    }
}

bool SimDevice::NoMoreAcknowledgements() const {
    // A device that stopped acknowledging mid-image: it still reads and answers reads, and keeps the
    // connection, but acknowledges no write after its Nth page.
    return faultsActive_ && faults_.NoAckAfterPages && report_.Pages >= *faults_.NoAckAfterPages;
}

void SimDevice::Problem(std::string text) {
    ++report_.OrderErrors;
    if (report_.Problems.size() < kMaxProblems) {
        report_.Problems.push_back(std::move(text));
    }
}

SimSessionReport SimDevice::Report() const {
    SimSessionReport r = report_;
    // Pages lie at 256 x index; gaps read as erased flash (0xFF). The per-word bit reversal is its
    // own inverse, and a trailing partial word travels unconverted.
    std::size_t length = 0;
    for (const auto& [page, bytes] : flash_) {
        length = std::max(length, static_cast<std::size_t>(page) * kPageSize + bytes.size());
    }
    std::vector<uint8_t> received(length, 0xFF);
    for (const auto& [page, bytes] : flash_) {
        std::copy(bytes.begin(), bytes.end(),
                  received.begin() + static_cast<std::ptrdiff_t>(page * kPageSize));
    }
    r.Image = ConvertImage(received.data(), received.size());
    r.Whole = r.Erases > 0 && r.Pages > 0 && r.OrderErrors == 0 && r.ErrorReplies == 0 && r.ImageEnded &&
              r.UpdateEnded;
    return r;
}

std::string SimDevice::ToJson(const std::string& address, const SimSessionReport& r, const std::string& end,
                              int64_t session, const std::string& peer, uint16_t localPort) {
    nlohmann::ordered_json j;
    j["address"] = address;
    j["session"] = session;
    j["peer"] = peer;
    j["port"] = localPort;
    j["end"] = end;
    j["reads"] = r.Reads;
    j["writes"] = r.Writes;
    j["updateStarted"] = r.UpdateStarted;
    j["date"] = NumberOrNull(r.Date);
    j["dateYmd"] = r.Date ? nlohmann::ordered_json(DateText(*r.Date)) : nlohmann::ordered_json(nullptr);
    j["version"] = NumberOrNull(r.Version);
    j["revision"] = NumberOrNull(r.Revision);
    j["name"] = r.Name ? nlohmann::ordered_json(Latin1ToUtf8(*r.Name)) : nlohmann::ordered_json(nullptr);
    j["erased"] = r.Erases > 0;
    j["erases"] = r.Erases;
    j["pages"] = r.Pages;
    j["bytes"] = r.Bytes;
    j["imageBytes"] = r.Image.size();
    j["checksum"] = ImageChecksum(r.Image.data(), r.Image.size());
    j["orderErrors"] = r.OrderErrors;
    j["problems"] = r.Problems;
    j["errorReplies"] = r.ErrorReplies;
    j["imageEnded"] = r.ImageEnded;
    j["updateEnded"] = r.UpdateEnded;
    j["updateStartedAt"] = NumberOrNull(r.UpdateStartedAt);
    j["imageEndedAt"] = NumberOrNull(r.ImageEndedAt);
    j["whole"] = r.Whole;
    // ASCII only (every other character as \u escape), as the lines have always been.
    return j.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}
