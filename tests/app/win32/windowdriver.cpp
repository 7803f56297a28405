// WindowDriver: processes, windows, texts, the status bar's parts in the other process's memory, pixels.
#include "tests/app/win32/windowdriver.h"

#include <commctrl.h>

#include <cwctype>

#include "tests/support/waituntil.h"
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// Memory in another process for a message whose answer the system does not carry across (SB_GETTEXT,
// SB_GETRECT): allocated there, read back here.
class RemoteBuffer {
public:
    RemoteBuffer(HWND window, size_t bytes) : Size(bytes) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        Process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (Process != nullptr)
            Address = VirtualAllocEx(Process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (Address != nullptr)
            VirtualFreeEx(Process, Address, 0, MEM_RELEASE);
        if (Process != nullptr)
            CloseHandle(Process);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    LPARAM Pointer() const { return reinterpret_cast<LPARAM>(Address); }
    bool Read(void* into) const {
        SIZE_T read = 0;
        return Address != nullptr && ReadProcessMemory(Process, Address, into, Size, &read) && read == Size;
    }
    bool Write(const void* from, size_t bytes) const {
        SIZE_T written = 0;
        return Address != nullptr && bytes <= Size &&
               WriteProcessMemory(Process, Address, from, bytes, &written) && written == bytes;
    }

private:
    size_t Size;
    HANDLE Process = nullptr;
    void* Address = nullptr;
};

constexpr UINT kSendLimitMs = 5000;

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendLimitMs, &result);
    return static_cast<LRESULT>(result);
}

} // namespace

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& arguments, const std::wstring& folder,
                         const std::wstring& outFile, const std::wstring& errFile) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const std::wstring& name) {
        return name.empty() ? INVALID_HANDLE_VALUE
                            : CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    const HANDLE out = open(outFile);
    const HANDLE err = open(errFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (out != INVALID_HANDLE_VALUE || err != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = err;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    const BOOL started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.empty() ? nullptr : folder.c_str(), &startup, &Info);
    for (HANDLE h : {out, err})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    return started != FALSE;
}

ChildProcess::~ChildProcess() {
    Kill();
    if (Info.hThread != nullptr)
        CloseHandle(Info.hThread);
    if (Info.hProcess != nullptr)
        CloseHandle(Info.hProcess);
}

bool ChildProcess::WaitForEnd(std::chrono::milliseconds limit, DWORD* code) {
    if (Info.hProcess == nullptr ||
        WaitForSingleObject(Info.hProcess, static_cast<DWORD>(limit.count())) != 0)
        return false;
    if (code != nullptr)
        GetExitCodeProcess(Info.hProcess, code);
    return true;
}

void ChildProcess::Kill() {
    if (Info.hProcess != nullptr && WaitForSingleObject(Info.hProcess, 0) != 0) {
        TerminateProcess(Info.hProcess, 1);
        WaitForSingleObject(Info.hProcess, 5000);
    }
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    return WaitUntil(cond, limit, std::chrono::milliseconds(20));
}

HWND FindTopWindow(DWORD pid, const wchar_t* className, const std::wstring& title) {
    struct Search {
        DWORD pid;
        const wchar_t* className;
        const std::wstring& title;
        HWND found;
    } search{pid, className, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s.pid || !IsWindowVisible(window))
                return TRUE;
            wchar_t name[256] = {};
            GetClassNameW(window, name, 256);
            if (s.className != nullptr && _wcsicmp(name, s.className) != 0)
                return TRUE;
            if (!s.title.empty() && Text(window) != s.title)
                return TRUE;
            s.found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string DescribeWindows(DWORD pid) {
    struct Search {
        DWORD pid;
        std::string text;
    } search{pid, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s.pid)
                return TRUE;
            wchar_t name[256] = {};
            GetClassNameW(window, name, 256);
            const std::wstring title = Text(window);
            s.text += std::string(name, name + wcslen(name)) + " '" +
                      std::string(title.begin(), title.end()) +
                      (IsWindowVisible(window) ? "' visible\n" : "' hidden\n");
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.text.empty() ? "no window\n" : search.text;
}

HWND FindDialog(DWORD pid) {
    return FindTopWindow(pid, L"#32770");
}

std::wstring Text(HWND window) {
    const auto length = static_cast<size_t>(Send(window, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(length + 1, L'\0');
    const auto got =
        static_cast<size_t>(Send(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data())));
    text.resize(got < text.size() ? got : 0);
    return text;
}

void Type(HWND edit, const std::wstring& text) {
    Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    for (wchar_t c : text)
        Send(edit, WM_CHAR, c, 1);
}

void Press(HWND button) {
    Send(button, BM_CLICK, 0, 0);
}

void PressLater(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

void FocusControl(HWND control) {
    const HWND top = GetAncestor(control, GA_ROOT);
    const DWORD target = GetWindowThreadProcessId(control, nullptr);
    const DWORD self = GetCurrentThreadId();
    AttachThreadInput(self, target, TRUE);
    SetForegroundWindow(top);
    SetFocus(control);
    AttachThreadInput(self, target, FALSE);
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void PressKey(HWND control, UINT key, bool alt) {
    FocusControl(control);
    if (alt) {
        // Bit 29: Alt is held.
        PostMessageW(control, WM_SYSCHAR, static_cast<WPARAM>(towlower(static_cast<wint_t>(key))),
                     0x20000001);
        return;
    }
    PostMessageW(control, WM_KEYDOWN, key, 1);
    PostMessageW(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

std::wstring StatusText(HWND status, int part) {
    const auto length = static_cast<size_t>(LOWORD(Send(status, SB_GETTEXTLENGTHW, part, 0)));
    RemoteBuffer buffer(status, (length + 1) * sizeof(wchar_t));
    Send(status, SB_GETTEXTW, part, buffer.Pointer());
    std::wstring text(length + 1, L'\0');
    if (!buffer.Read(text.data()))
        return {};
    text.resize(length);
    return text;
}

RECT StatusPartRect(HWND status, int part) {
    RemoteBuffer buffer(status, sizeof(RECT));
    RECT r{};
    Send(status, SB_GETRECT, part, buffer.Pointer());
    buffer.Read(&r);
    return r;
}

LRESULT StatusPartValue(HWND status, int part) {
    return Send(status, SB_GETTEXTW, part, 0);
}

int ListRows(HWND list) {
    return static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring ListCell(HWND list, int row, int column) {
    // The item and its text buffer in the other process: the item first, the text after it.
    constexpr size_t kChars = 512;
    RemoteBuffer buffer(list, sizeof(LVITEMW) + kChars * sizeof(wchar_t));
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(buffer.Pointer() + static_cast<LPARAM>(sizeof(LVITEMW)));
    item.cchTextMax = kChars;
    if (!buffer.Write(&item, sizeof item))
        return {};
    const auto length = static_cast<size_t>(Send(list, LVM_GETITEMTEXTW, row, buffer.Pointer()));
    std::vector<unsigned char> all(sizeof(LVITEMW) + kChars * sizeof(wchar_t));
    if (!buffer.Read(all.data()))
        return {};
    const auto* text = reinterpret_cast<const wchar_t*>(all.data() + sizeof(LVITEMW));
    return std::wstring(text, length < kChars ? length : 0);
}

void SetListChecked(HWND list, int row, bool checked) {
    RemoteBuffer buffer(list, sizeof(LVITEMW));
    LVITEMW item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    if (buffer.Write(&item, sizeof item))
        Send(list, LVM_SETITEMSTATE, row, buffer.Pointer());
}

void SelectListRow(HWND list, int row) {
    RemoteBuffer buffer(list, sizeof(LVITEMW));
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (buffer.Write(&item, sizeof item))
        Send(list, LVM_SETITEMSTATE, row, buffer.Pointer());
}

bool AnswerFileDialog(DWORD pid, const std::wstring& file) {
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = FindDialog(pid)) != nullptr; }))
        return false;
    // The file name field: the edit inside the combo box cmb13 (an edit edt1 in older dialogs).
    HWND name = GetDlgItem(dialog, 0x480);
    if (const HWND combo = GetDlgItem(dialog, 0x47c); name == nullptr && combo != nullptr)
        EnumChildWindows(
            combo,
            [](HWND child, LPARAM found) -> BOOL {
                wchar_t cls[16] = {};
                GetClassNameW(child, cls, 16);
                if (_wcsicmp(cls, L"Edit") != 0)
                    return TRUE;
                *reinterpret_cast<HWND*>(found) = child;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&name));
    if (name == nullptr)
        return false;
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()));
    PressLater(GetDlgItem(dialog, IDOK));
    return WaitFor([&] { return !IsWindow(dialog); });
}

bool ChooseMenuEntry(DWORD pid, int index) {
    HWND menu = nullptr;
    if (!WaitFor([&] { return (menu = FindTopWindow(pid, L"#32768")) != nullptr; }))
        return false;
    // The menu's own loop takes the keys of its thread: Down selects the first entry, then the next ones.
    for (int i = 0; i <= index; ++i)
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 1);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 1);
    return WaitFor([&] { return !IsWindow(menu) || !IsWindowVisible(menu); });
}

COLORREF ClientPixel(HWND window, POINT at) {
    ClientToScreen(window, &at);
    const HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, at.x, at.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

RECT RectInParent(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool SaveWindowBitmap(HWND window, const std::wstring& file) {
    // Whatever it has not painted yet, painted first (sent to its thread, which paints before it answers).
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height; // bottom-up, as BMP files keep their rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42; // "BM"
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + imageBytes;
    info.bmiHeader.biSizeImage = imageBytes;
    std::ofstream out(std::filesystem::path(file), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), imageBytes);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return static_cast<bool>(out);
}

std::wstring NativePath(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    if (wide.empty() || wide.front() != L'/')
        return wide;
    for (wchar_t& c : wide)
        if (c == L'/')
            c = L'\\';
    return L"Z:" + wide;
}
