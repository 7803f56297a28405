// The platform lookups of the framework services: the program's own path, the operator's login name and the
// per-user folders for state and configuration files. A port to another desktop platform touches this file
// pair only.
#pragma once

#include <filesystem>
#include <string>

// Full path of the running program (from /proc/self/exe); empty when it cannot be found.
std::filesystem::path ExecutablePath();

// Login name of the operator; empty when no name is known.
std::string LoginName();

// The home folder in both lookups below is $HOME when it is an absolute path, else the one the user database
// names; a relative folder is never returned, so nothing lands under the current folder.

// Per-user folder for state such as logs: $XDG_STATE_HOME when it is an absolute path, else ~/.local/state;
// empty when neither is known.
std::filesystem::path StateFolder();

// Per-user folder for configuration such as data.dat: $XDG_CONFIG_HOME when it is an absolute path, else
// ~/.config; empty when neither is known.
std::filesystem::path ConfigFolder();
