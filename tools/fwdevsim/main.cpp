// fwdevsim: plays networked DSP devices on loopback addresses for tests and the demo: one, or with
// --count N that many, each on its own address with its own session, flash and identity.
#include "tools/fwdevsim/simserver.h"

#include "base/buildinfo.h"
#include "base/platform.h"
#include "link/sockets.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Set once before the handler is installed, cleared after the devices end; the handler only
// reads it (lock-free).
std::atomic<SockWake*> gStop{nullptr};

void OnSignal(int) {
    if (SockWake* stop = gStop.load()) {
        stop->Signal();
    }
}

// Files one device may hold: its two listening sockets and a session.
constexpr int64_t kFilesPerDevice = 3;
// Standard streams, what the runtime keeps open, the poller and the stop wake-up, and each device's own
// stop wake-up (two ends), made with it.
constexpr int64_t kFilesBeside = 16;
constexpr int64_t kWakeFilesPerDevice = 2;

// The options of device `index`: the index-th address after the first, the serial counted up, and
// the fault triggers only where --faulty names it. Nothing when the address leaves 127.0.0.0/8.
std::optional<SimOptions> DeviceOptions(const SimOptions& all, int index) {
    SimOptions o = all;
    if (index == 0 && all.Count == 1) {
        return o;
    }
    const auto ip = SockResolve(all.Address);
    if (!ip) {
        return o; // Bind tells why
    }
    // Network byte order: the first byte in memory is the first number of the address.
    const auto* b = reinterpret_cast<const uint8_t*>(&*ip);
    const uint32_t host = (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]) +
                          static_cast<uint32_t>(index);
    if (host >> 24 != 127) {
        return std::nullopt;
    }
    o.Address = std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 255) + "." +
                std::to_string(host >> 8 & 255) + "." + std::to_string(host & 255);
    o.Identity.Serial =
        static_cast<int32_t>(static_cast<uint32_t>(all.Identity.Serial) + static_cast<uint32_t>(index));
    const bool faulty =
        all.Faulty.empty() || std::find(all.Faulty.begin(), all.Faulty.end(), index) != all.Faulty.end();
    if (!faulty) {
        const SimOptions plain;
        o.ModelFaults = plain.ModelFaults;
        o.Silent = plain.Silent;
        o.ByteByByte = plain.ByteByByte;
        o.Garbage = plain.Garbage;
        o.DelayMs = plain.DelayMs;
        o.PageMs = plain.PageMs;
        o.ReceiveBuffer = plain.ReceiveBuffer;
        o.Refuse = plain.Refuse;
        o.HangUp = plain.HangUp;
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    auto parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "fwdevsim: %s\n", error->c_str());
        return 2;
    }
    const SimOptions options = std::get<SimOptions>(parsed);
    if (options.Help) {
        std::fputs(kSimUsage, stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("fwdevsim %s\n", kFwUpdateVersion);
        return 0;
    }
    IgnoreBrokenPipe();
    if (options.Count > 1) {
        const int64_t limit = RaiseOpenFileLimit();
        if (limit != 0 && options.Count * (kFilesPerDevice + kWakeFilesPerDevice) + kFilesBeside > limit) {
            std::fprintf(stderr,
                         "fwdevsim: cannot hold %d devices: the system lets this process open %lld files and "
                         "each device takes up to %lld (raise the limit with ulimit -n)\n",
                         options.Count, static_cast<long long>(limit),
                         static_cast<long long>(kFilesPerDevice + kWakeFilesPerDevice));
            return 1;
        }
    }

    // The stop wake-up exists before the handler, so a signal during start-up is not lost.
    SockWake stop;
    std::vector<std::unique_ptr<SimServer>> servers;
    for (int i = 0; i < options.Count; ++i) {
        const auto device = DeviceOptions(options, i);
        if (!device) {
            std::fprintf(stderr,
                         "fwdevsim: cannot hold %d devices from %s: the addresses leave 127.0.0.0/8\n",
                         options.Count, options.Address.c_str());
            return 1;
        }
        servers.push_back(std::make_unique<SimServer>(*device));
    }
    gStop = &stop;
    CatchInterrupts(OnSignal, 0);
    for (int i = 0; i < options.Count; ++i) {
        // Port 0 lets the first device pick a free port; the others take the same one on their addresses.
        if (i > 0) {
            servers[static_cast<size_t>(i)]->UsePort(servers.front()->Port());
        }
        if (const auto error = servers[static_cast<size_t>(i)]->Bind()) {
            if (options.Count > 1) {
                std::fprintf(stderr, "fwdevsim: cannot hold %d devices: device %d: %s\n", options.Count, i,
                             error->c_str());
            } else {
                std::fprintf(stderr, "fwdevsim: %s\n", error->c_str());
            }
            gStop = nullptr;
            return 1;
        }
    }

    const SimServer& first = *servers.front();
    // The last lines before serving, once the devices are watched: tests and scripts wait for "listening on"
    // (the port is its last number).
    const auto ready = [&] {
        if (const auto reconnect = first.ReconnectPort()) {
            std::fprintf(stderr, "reconnect port %s:%u\n", first.Address().c_str(), *reconnect);
        }
        const char* refusing = options.Refuse && options.Faulty.empty() ? " (refusing connections)" : "";
        if (options.Count == 1) {
            std::fprintf(stderr, "listening on %s:%u%s\n", first.Address().c_str(), first.Port(), refusing);
        } else {
            std::fprintf(stderr, "listening on %d devices, %s to %s:%u%s\n", options.Count,
                         first.Address().c_str(), servers.back()->Address().c_str(), servers.back()->Port(),
                         refusing);
        }
        std::fflush(stderr);
    };
    // Every device on this one thread: a session waits for no other, as each is served as its socket
    // becomes ready, and a thousand devices do not need a thousand threads woken for every message.
    std::vector<SimServer*> devices;
    for (const auto& server : servers) {
        devices.push_back(server.get());
    }
    const int rc = ServeDevices(devices, stdout, stop, ready);
    gStop = nullptr;
    return rc;
}
