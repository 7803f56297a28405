// Program entry of fwupdate.exe, the Win32 window: the command line as UTF-8 arguments, --version, the
// window.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "app/programentry.h"
#include "app/win32/resource.h"
#include "app/win32/win32ui.h"
#include "app/win32/win32windowsystem.h"
#include "base/buildinfo.h"

namespace {

// The arguments after the program's name, split as Windows splits them (blanks, double quotes).
std::vector<std::string> Arguments() {
    std::vector<std::string> arguments;
    int count = 0;
    if (LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i)
            arguments.push_back(Utf8(words[i]));
        LocalFree(words);
    }
    return arguments;
}

// A windowed program has no console of its own: the version goes to the standard output it was given (a pipe,
// a file, Wine's terminal), else to the console of the command prompt that started it.
void PrintVersion() {
    const std::string text = std::string("fwupdate ") + kFwUpdateVersion + "\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
        out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE)
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const std::vector<std::string> arguments = Arguments();
    for (const std::string& argument : arguments) {
        if (argument == "--version") {
            PrintVersion();
            return 0;
        }
    }
    Win32WindowSystem windows(instance, IDI_FWUPDATE);
    return RunFwUpdate(arguments, windows);
}
