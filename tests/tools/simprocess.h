// Runs fwdevsim as a child process for the tests: waits for its "listening on" line, reads its
// JSON lines, stops it and collects its exit code, every wait bounded by a deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

class SimProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the program with these arguments; false when it could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        // The child takes the stop signals as a program started from a shell does, even when the test
        // runs under nohup or with them blocked.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t stops, none;
        sigemptyset(&stops);
        sigemptyset(&none);
        for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
            sigaddset(&stops, sig);
        }
        posix_spawnattr_setsigdefault(&attributes, &stops);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        started_ = pid_;
        return true;
    }

    ~SimProcess() {
        Kill();
        for (int fd : {outFd_, errFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // Starts the device simulator at program on address with an ephemeral port, the reconnect port left
    // closed, and these options; the port it listens on, or nullopt.
    std::optional<int> StartDevice(const std::string& program, const std::string& address,
                                   const std::vector<std::string>& options = {}) {
        std::vector<std::string> args{"--address", address, "--port", "0", "--no-reconnect-port"};
        args.insert(args.end(), options.begin(), options.end());
        if (!Start(program, args)) {
            return std::nullopt;
        }
        return WaitListening();
    }

    // Waits for the ready line and returns the port it names.
    std::optional<int> WaitListening(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (auto line = ReadLine(errFd_, errBuf_, deadline)) {
            errText_ += *line + "\n";
            const auto at = line->find("listening on ");
            if (at != std::string::npos) {
                return std::stoi(line->substr(line->rfind(':') + 1));
            }
        }
        return std::nullopt;
    }

    // Waits for a line of standard error that holds text (kept for ErrText); false when none came in time.
    bool WaitErrLine(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (errText_.find(text) != std::string::npos) {
            return true;
        }
        const auto deadline = Clock::now() + limit;
        while (auto line = ReadLine(errFd_, errBuf_, deadline)) {
            errText_ += *line + "\n";
            if (line->find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // The next line of standard output (one JSON line per session).
    std::optional<std::string> NextJson(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return ReadLine(outFd_, outBuf_, Clock::now() + limit);
    }

    // Waits for the process to exit; its exit code, or nullopt on time-out or a signal.
    std::optional<int> WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitCode_ = WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
                break;
            }
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            usleep(2000);
        }
        return exitCode_;
    }

    // The process id while it runs (and after it has been waited for, the one it had).
    pid_t Pid() const { return started_; }

    void Signal(int sig) {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }

    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    // Everything read from standard error so far, plus what is left until end of file or limit.
    std::string ErrText(std::chrono::milliseconds limit = std::chrono::milliseconds(0)) {
        const auto deadline = Clock::now() + limit;
        while (auto line = ReadLine(errFd_, errBuf_, deadline)) {
            errText_ += *line + "\n";
        }
        return errText_ + errBuf_;
    }

private:
    static std::optional<std::string> ReadLine(int fd, std::string& buf, Clock::time_point deadline) {
        for (;;) {
            const auto nl = buf.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            if (fd < 0 || poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buf.append(chunk, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    pid_t started_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string outBuf_, errBuf_, errText_;
    std::optional<int> exitCode_;
};
