// Parses the device simulator's command line (through CLI11) into SimOptions, with a clear text for every bad
// value.
#include "tools/fwdevsim/simoptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

const char* const kSimUsage =
    "usage: fwdevsim [options]\n"
    "Plays one networked DSP device on a loopback address: answers the identification reads,\n"
    "acknowledges every write, takes a firmware update into its simulated flash, and prints one\n"
    "JSON line per session on standard output. \"listening on ADDR:PORT\" on standard error says\n"
    "it is ready.\n"
    "\n"
    "where:\n"
    "  --address A            loopback address to listen on (default 127.0.0.1)\n"
    "  --port N               port (default 2000; 0 picks a free port)\n"
    "  --reconnect-port N     the reconnect port, also listened on (default 2101)\n"
    "  --no-reconnect-port    listen on --port only\n"
    "  --once                 serve one session, then exit\n"
    "  --image-out FILE       write the reassembled image of a session with pages to FILE\n"
    "  --count N              play N devices, on N consecutive addresses from --address, with\n"
    "                         serials counting up from --serial (default 1)\n"
    "  --faulty K,L,...       the fault triggers apply to these devices only (0-based)\n"
    "  --fault-sessions N     the fault triggers apply to the first N sessions only; later\n"
    "                         sessions are served without them (--refuse and --receive-buffer\n"
    "                         always apply)\n"
    "\n"
    "identity:\n"
    "  --oem N                OEM id, (1,5) (default 19)\n"
    "  --serial N             serial number, (1,3) (default 12345678)\n"
    "  --fw-version H.L       version, (1,12) (default 1.4); --version H.L is the same\n"
    "  --mode N               mode word, (1,6) (default 0x1F)\n"
    "  --name T  --oem-name T  --device-name T  --library-name T\n"
    "                         texts of (9,2), (9,7), (9,8), (9,9), at most 16 characters\n"
    "  --no-answer O,P        leave read requests for (O,P) unanswered; may repeat\n"
    "\n"
    "faults:\n"
    "  --close-after-pages N  close the connection once N pages have arrived\n"
    "  --no-ack-after-pages N acknowledge the first N pages, then no write (reads are still answered)\n"
    "  --error-on-page N      reply with an error (command 4) instead of WOK to page N (0 = first)\n"
    "  --silent               read everything, answer nothing\n"
    "  --byte-by-byte         send replies one byte at a time, 1 ms apart\n"
    "  --garbage              put junk bytes before every reply frame\n"
    "  --delay-ms N           hold every reply N ms\n"
    "  --page-ms N            take N ms for each page write: its WOK comes when that time has\n"
    "                         passed, and nothing more is read meanwhile (a device writing flash)\n"
    "  --receive-buffer N     a receive buffer (TCP window) of N bytes, read 512 bytes at a time\n"
    "                         (an embedded network stack); 2048 with --page-ms 200 is a slow device\n"
    "  --hang-up              accept each connection and close it at once\n"
    "  --refuse               do not listen: connecting is refused\n"
    "\n"
    "  --version              print the program's version and exit\n"
    "  --help                 this text\n"
    "\n"
    "JSON fields: address, session, peer, port, end (peer-close, fault-close, hang-up, shutdown, error),\n"
    "reads, writes, updateStarted, date, dateYmd, version, revision, name, erased, erases, pages,\n"
    "bytes, imageBytes, checksum (of the reassembled image), orderErrors, problems, errorReplies,\n"
    "imageEnded, updateEnded, updateStartedAt, imageEndedAt (wall-clock ms since 1970, or null),\n"
    "whole (one whole image: erased, pages in order from the first without a gap, repeat or\n"
    "rejected page, then the end of the image and the update end).\n"
    "\n"
    "The session lines and notes are written by a thread of their own: an output nobody reads\n"
    "holds up no device; what does not fit in 16 MiB meanwhile is dropped and counted at the end.\n";

namespace {

std::optional<long long> ParseInteger(const std::string& text, long long lo, long long hi) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return std::nullopt;
    }
    return v;
}

// True when text can only be a value, never an option: "1.4" or "-5", not "--port".
bool IsValue(const std::string& text) {
    return !text.empty() &&
           (text[0] != '-' || (text.size() > 1 && std::isdigit(static_cast<unsigned char>(text[1]))));
}

std::optional<std::pair<uint16_t, uint16_t>> ParsePair(const std::string& text, char sep) {
    const auto at = text.find(sep);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto a = ParseInteger(text.substr(0, at), 0, 65535);
    const auto b = ParseInteger(text.substr(at + 1), 0, 65535);
    if (!a || !b) {
        return std::nullopt;
    }
    return std::pair<uint16_t, uint16_t>(static_cast<uint16_t>(*a), static_cast<uint16_t>(*b));
}

} // namespace

std::variant<SimOptions, std::string> ParseSimOptions(const std::vector<std::string>& args) {
    // --version with a device version after it (or --version=V) is the older spelling of --fw-version;
    // a bare --version asks for the program's version.
    std::vector<std::string> rewritten = args;
    for (std::size_t i = 0; i < rewritten.size(); ++i) {
        std::string& a = rewritten[i];
        if (a.rfind("--version=", 0) == 0)
            a = "--fw-version" + a.substr(std::string("--version").size());
        else if (a == "--version" && i + 1 < rewritten.size() && IsValue(rewritten[i + 1]))
            a = "--fw-version";
    }

    SimOptions o;
    auto& id = o.Identity;
    // Every value as text, in the order given; the last one of a single-value option counts.
    std::map<std::string, std::vector<std::string>> values;
    CLI::App app("fwdevsim", "fwdevsim");
    app.set_help_flag();
    app.allow_extras();
    for (const char* name :
         {"--address", "--port", "--reconnect-port", "--image-out", "--oem", "--serial", "--mode",
          "--fw-version", "--name", "--oem-name", "--device-name", "--library-name", "--no-answer",
          "--close-after-pages", "--no-ack-after-pages", "--error-on-page", "--count", "--faulty", "--delay-ms", "--fault-sessions",
          "--page-ms", "--receive-buffer"})
        app.add_option(name, values[name])
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    bool noReconnect = false;
    app.add_flag("-h,--help", o.Help);
    app.add_flag("--version", o.Version);
    app.add_flag("--no-reconnect-port", noReconnect);
    app.add_flag("--once", o.Once);
    app.add_flag("--silent", o.Silent);
    app.add_flag("--byte-by-byte", o.ByteByByte);
    app.add_flag("--garbage", o.Garbage);
    app.add_flag("--refuse", o.Refuse);
    app.add_flag("--hang-up", o.HangUp);
    try {
        app.parse(std::vector<std::string>(rewritten.rbegin(), rewritten.rend()));
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        return "option " + what.substr(0, what.find(':')) + " needs a value (see --help)";
    } catch (const CLI::ParseError& e) {
        return std::string(e.what()) + " (see --help)";
    }
    if (!app.remaining().empty())
        return "unknown option " + app.remaining().front() + " (see --help)";

    for (const auto& entry : values) {
        const std::string& opt = entry.first; // named, not bound: lambdas below capture it
        for (const std::string& v : entry.second) {
            const auto bad = [&](const char* what) {
                return "bad value for " + opt + ": \"" + v + "\" (" + what + ")";
            };
            const auto i32 = [&]() { return ParseInteger(v, -2147483648LL, 4294967295LL); };
            if (opt == "--address") {
                o.Address = v;
            } else if (opt == "--port" || opt == "--reconnect-port") {
                const auto n = ParseInteger(v, 0, 65535);
                if (!n) {
                    return bad("a port 0..65535");
                }
                (opt == "--port" ? o.Port : o.ReconnectPort.emplace()) = static_cast<uint16_t>(*n);
            } else if (opt == "--image-out") {
                o.ImageOut = v;
            } else if (opt == "--oem" || opt == "--serial" || opt == "--mode") {
                const auto n = i32();
                if (!n) {
                    return bad("a 32-bit number");
                }
                const auto value = static_cast<int32_t>(static_cast<uint32_t>(*n));
                (opt == "--oem" ? id.Kennung : opt == "--serial" ? id.Serial : id.Mode) = value;
            } else if (opt == "--fw-version") {
                const auto hl = ParsePair(v, '.');
                if (!hl) {
                    return bad("high.low, each 0..65535");
                }
                id.VersionHigh = hl->first;
                id.VersionLow = hl->second;
            } else if (opt == "--name" || opt == "--oem-name" || opt == "--device-name" ||
                       opt == "--library-name") {
                if (v.size() > 16) {
                    return bad("at most 16 characters");
                }
                (opt == "--name"          ? id.Name
                 : opt == "--oem-name"    ? id.OemName
                 : opt == "--device-name" ? id.DeviceName
                                          : id.LibraryName) = v;
            } else if (opt == "--no-answer") {
                const auto op = ParsePair(v, ',');
                if (!op) {
                    return bad("object,parameter");
                }
                id.NoAnswer.insert(*op);
            } else if (opt == "--close-after-pages") {
                const auto n = ParseInteger(v, 1, 1LL << 40);
                if (!n) {
                    return bad("a page count of 1 or more");
                }
                o.ModelFaults.CloseAfterPages = *n;
            } else if (opt == "--no-ack-after-pages") {
                const auto n = ParseInteger(v, 0, 1LL << 40);
                if (!n) {
                    return bad("a page count");
                }
                o.ModelFaults.NoAckAfterPages = *n;
            } else if (opt == "--error-on-page") {
                const auto n = ParseInteger(v, 0, 1LL << 40);
                if (!n) {
                    return bad("a page index");
                }
                o.ModelFaults.ErrorOnPage = *n;
            } else if (opt == "--count") {
                const auto n = ParseInteger(v, 1, 65536);
                if (!n) {
                    return bad("1..65536 devices");
                }
                o.Count = static_cast<int>(*n);
            } else if (opt == "--faulty") {
                std::size_t from = 0;
                for (;;) {
                    const std::size_t comma = v.find(',', from);
                    const auto n = ParseInteger(v.substr(from, comma - from), 0, 65535);
                    if (!n) {
                        return bad("device indices K,L,... from 0");
                    }
                    o.Faulty.push_back(static_cast<int>(*n));
                    if (comma == std::string::npos) {
                        break;
                    }
                    from = comma + 1;
                }
            } else if (opt == "--fault-sessions") {
                const auto n = ParseInteger(v, 1, 1LL << 40);
                if (!n) {
                    return bad("a session count of 1 or more");
                }
                o.FaultSessions = *n;
            } else if (opt == "--delay-ms" || opt == "--page-ms") {
                const auto n = ParseInteger(v, 0, 600000);
                if (!n) {
                    return bad("0..600000 ms");
                }
                (opt == "--delay-ms" ? o.DelayMs : o.PageMs) = static_cast<int>(*n);
            } else if (opt == "--receive-buffer") {
                const auto n = ParseInteger(v, 512, 16 << 20);
                if (!n) {
                    return bad("512..16777216 bytes");
                }
                o.ReceiveBuffer = static_cast<int>(*n);
            }
        }
    }
    // --no-reconnect-port and --reconnect-port: the later one counts.
    if (noReconnect) {
        const auto order = app.parse_order();
        const auto last = std::find_if(order.rbegin(), order.rend(), [](const CLI::Option* opt) {
            return opt->check_name("--no-reconnect-port") || opt->check_name("--reconnect-port");
        });
        if (last != order.rend() && (*last)->check_name("--no-reconnect-port"))
            o.ReconnectPort.reset();
    }
    for (const int k : o.Faulty) {
        if (k >= o.Count) {
            return "--faulty names device " + std::to_string(k) + ", but --count is " +
                   std::to_string(o.Count);
        }
    }
    if (o.Refuse && o.HangUp) {
        return "--refuse and --hang-up exclude each other";
    }
    return o;
}
