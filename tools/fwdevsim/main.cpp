// fwdevsim: plays one networked DSP device on a loopback address for tests and the demo.
#include "tools/fwdevsim/simserver.h"

#include "base/platform.h"
#include "base/buildinfo.h"

#include <atomic>
#include <cstdio>

namespace {

// Lock-free, so the signal handler may read it.
std::atomic<SimServer*> gServer{nullptr};

void OnSignal(int) {
    if (SimServer* server = gServer.load()) {
        server->Stop();
    }
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

    // The stop wake-up exists from construction on, so a signal during start-up is not lost.
    SimServer server(options);
    gServer = &server;
    CatchInterrupts(OnSignal, false);
    if (const auto error = server.Bind()) {
        std::fprintf(stderr, "fwdevsim: %s\n", error->c_str());
        gServer = nullptr;
        return 1;
    }

    if (const auto reconnect = server.ReconnectPort()) {
        std::fprintf(stderr, "reconnect port %s:%u\n", options.Address.c_str(), *reconnect);
    }
    // The last line before serving: tests and scripts wait for it.
    std::fprintf(stderr, "listening on %s:%u%s\n", options.Address.c_str(), server.Port(),
                 options.Refuse ? " (refusing connections)" : "");
    const int rc = server.Run(stdout);
    gServer = nullptr;
    return rc;
}
