// WindowDriver: drives a Win32 window of another process as an operator would, for the tests of fwupdate.exe
// under Wine: starts programs, finds their windows and controls, types, presses, reads texts (also the
// status bar's parts, through memory in the other process), pixels of the screen, and the dialogs they open.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A program started by the driver: its process, ended (and waited for) when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    // Starts exe with the command line arguments (already quoted) in folder; its standard output and error go
    // to the files outFile and errFile when given.
    bool Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder = {},
               const std::wstring& outFile = {}, const std::wstring& errFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    DWORD Id() const { return Info.dwProcessId; }
    // Whether it ended within limit; its exit code in *code.
    bool WaitForEnd(std::chrono::milliseconds limit, DWORD* code = nullptr);
    void Kill();

private:
    PROCESS_INFORMATION Info{};
};

// True when cond holds within limit, looked at every 20 ms.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20));

// The visible top-level window of process pid with this class (nullptr: any) and, when given, this title.
HWND FindTopWindow(DWORD pid, const wchar_t* className, const std::wstring& title = {});
// The top-level windows of process pid, one a line (class, title, visible), for a failure's message.
std::string DescribeWindows(DWORD pid);
// A visible dialog (class #32770) of process pid, other than the window except.
HWND FindDialog(DWORD pid);

std::wstring Text(HWND window);
// Empties an edit field and types text into it, one character at a time.
void Type(HWND edit, const std::wstring& text);
// Presses a button and returns when the program has handled the press.
void Press(HWND button);
// Presses a button without waiting for what it starts (a modal dialog, say).
void PressLater(HWND button);

// Moves the keyboard focus to a control of another process, as a click into it would.
void FocusControl(HWND control);
// The window that has the keyboard focus in the thread of window.
HWND FocusOf(HWND window);
// Presses and releases a key in a control (it takes the focus first), as the keyboard would: the program's
// message loop sees it. With alt, the key is a letter typed with Alt held (a mnemonic).
void PressKey(HWND control, UINT key, bool alt = false);

// A status bar part's text, its rectangle (client coordinates) and, for a part the window draws itself, the
// value it carries.
std::wstring StatusText(HWND status, int part);
RECT StatusPartRect(HWND status, int part);
LRESULT StatusPartValue(HWND status, int part);

// A list view control's rows, the text of one of its cells, and its check box ticked or cleared as a click
// would.
int ListRows(HWND list);
std::wstring ListCell(HWND list, int row, int column);
void SetListChecked(HWND list, int row, bool checked);
// Highlights one row of a list view, as a click on it would.
void SelectListRow(HWND list, int row);

// Waits for the system's file dialog of process pid, enters file as the file name and presses its OK: true
// once the dialog has closed.
bool AnswerFileDialog(DWORD pid, const std::wstring& file);

// Waits for a popup menu of process pid and chooses its entry at index (separators not counted) with the
// keys, as an operator would: true once the menu has closed.
bool ChooseMenuEntry(DWORD pid, int index);

// The colour of the screen at a point of a window's client area.
COLORREF ClientPixel(HWND window, POINT at);
// A control's rectangle in the client coordinates of its parent window.
RECT RectInParent(HWND control);
// Writes the window as it is on the screen to a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const std::wstring& file);

// "/a/b" (a Unix path, as CMake writes the build's paths) as Wine names it ("Z:\a\b"); other paths unchanged.
std::wstring NativePath(const std::string& path);
