// Command line of the device simulator: what it plays, where it listens, and its fault triggers.
#pragma once

#include "tools/fwdevsim/simdevice.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct SimOptions {
    std::string Address = "127.0.0.1";
    uint16_t Port = 2000;                         // 0: a free port, told on standard error
    std::optional<uint16_t> ReconnectPort = 2101; // the tool reconnects a known device there
    bool Once = false;                            // serve one session, then exit
    std::string ImageOut;                         // where the reassembled image of a session goes
    SimIdentity Identity;
    SimModelFaults ModelFaults;
    // Transport faults.
    bool Silent = false;     // read everything, answer nothing
    bool ByteByByte = false; // every reply byte in its own send, 1 ms apart
    bool Garbage = false;    // a few junk bytes before every reply frame
    int DelayMs = 0;         // hold every reply this long
    int PageMs = 0;          // the time each page write takes; the device reads nothing meanwhile
    int ReceiveBuffer = 0;   // the sessions' receive buffer (SO_RCVBUF), read 512 bytes at a time
    bool Refuse = false;     // bound but not listening: connecting is refused
    bool HangUp = false;     // accept, then close at once
    // Devices in this process, on consecutive addresses from Address, serials counting up.
    int Count = 1;
    // The devices (0-based) the fault triggers apply to; empty: all of them.
    std::vector<int> Faulty;
    // The sessions (counted from 1) the fault triggers apply to: the first N; none given: every one.
    // --refuse and --receive-buffer (set on the listening socket) always apply.
    std::optional<int64_t> FaultSessions;
    bool Help = false;
    bool Version = false; // a bare --version: print the program's version
};

extern const char* const kSimUsage;

// The options from the command line, or the text of the first error.
std::variant<SimOptions, std::string> ParseSimOptions(const std::vector<std::string>& args);
