// The codes a device's run ends with, in the order of how far an update got, and its result words.
// The command-line tool exits with the highest code of its devices, so a device left with a half-written
// flash outranks one that was refused.
#pragma once

enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,      // an unexpected failure of the tool itself
    kExitUsage = 2,         // the command line is wrong
    kExitBadConfig = 3,     // "Error on reading config file"
    kExitNoConnection = 4,  // no connection, or no answer within the time-out ("No connection")
    kExitOemRule = 5,       // "Online 19 Devices can be updated"
    kExitSerialRule = 6,    // "Update not allowed: Serial"
    kExitImageNotFound = 7, // "binary - File not found"
    kExitInvalidImage = 8,  // "invalid binary", or an image larger than the page addressing reaches
    kExitUpdateFailed = 9,  // "Firmwareupdate ERROR": link lost or error reply during the update
    // Not begun: the rollout was held, as more devices had failed than it allows (or a wave ended with a
    // failure). The flash is untouched; the code outranks the failures that held it.
    kExitHeld = 10,
    // Stopped between pages or before the update began, by a stop signal: 128 + the signal's number.
    kExitHangUp = 129,      // SIGHUP: the terminal hung up (a dropped SSH session, a closed console)
    kExitInterrupted = 130, // SIGINT: Ctrl-C
    kExitTerminated = 143,  // SIGTERM: a termination request
};

// The code of a run that signal (1, 2 or 15) stopped.
constexpr int ExitCodeForSignal(int signal) {
    return 128 + signal;
}

// Whether a device that ended with this code was refused before anything was written: the configuration,
// the connection, the rules or the image.
constexpr bool IsRefusal(int code) {
    return code >= kExitBadConfig && code <= kExitInvalidImage;
}
