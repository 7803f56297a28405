// POSIX/Linux implementation of the platform lookups (program path, login name, state and configuration
// folders).
#include "base/platform.h"

#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// The password entry of the current user, or nothing.
bool LookUpUser(std::string* name, std::string* home) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    if (name != nullptr && found->pw_name != nullptr)
        *name = found->pw_name;
    if (home != nullptr && found->pw_dir != nullptr)
        *home = found->pw_dir;
    return true;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::filesystem::path HomeFolder() {
    std::filesystem::path home = Environment("HOME");
    if (home.is_absolute())
        return home;
    std::string fromDatabase;
    if (LookUpUser(nullptr, &fromDatabase) && std::filesystem::path(fromDatabase).is_absolute())
        return fromDatabase;
    return {};
}

// $<variable> when it is an absolute path, else home/<below...>; empty when neither is known.
std::filesystem::path XdgFolder(const char* variable, const std::filesystem::path& below) {
    std::filesystem::path folder = Environment(variable);
    if (folder.is_absolute())
        return folder;
    std::filesystem::path home = HomeFolder();
    return home.empty() ? home : home / below;
}

} // namespace

std::filesystem::path ExecutablePath() {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

std::string LoginName() {
    // getlogin_r names the user of the session (also under sudo); a program started without a terminal
    // session has none, so the user database and the environment stand in.
    char buffer[256];
    if (getlogin_r(buffer, sizeof buffer) == 0 && buffer[0] != '\0')
        return buffer;
    std::string name;
    if (LookUpUser(&name, nullptr) && !name.empty())
        return name;
    name = Environment("LOGNAME");
    return name.empty() ? Environment("USER") : name;
}

std::filesystem::path StateFolder() {
    return XdgFolder("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

std::filesystem::path ConfigFolder() {
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}
