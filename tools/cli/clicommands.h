// The entry of fwupdate-cli: runs one command line and gives the process's exit code.
#pragma once

#include <string>
#include <vector>

// args are the arguments after the program name. The exit code (see ExitCode in clioptions.h).
int RunCli(const std::vector<std::string>& args);
