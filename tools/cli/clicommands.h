// The entry of fwupdate-cli: runs one command line and gives the process's exit code.
#pragma once

#include <string>
#include <vector>

// args are the arguments after the program name. The exit code (see ExitCode in clioptions.h).
int RunCli(const std::vector<std::string>& args);

struct CliOptions;
// Opens the run's log (--log, or the default file; a default that another run holds gives way to one of
// this run's own, said on standard error) before any device is touched, so every message can name it.
// The path in UTF-8.
std::string BeginRunLog(const CliOptions& o);
