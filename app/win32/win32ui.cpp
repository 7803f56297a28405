// The Win32 helpers of the windows: texts, DPI scaling, the design font, the posted functions, the
// information box, the open-file dialog and the message loop.
#include "app/win32/win32ui.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>

#include <vector>

#include "base/platform.h"

namespace {

// Functions of newer Windows versions, looked up at run time so that the program still starts where they
// are missing.
template <class Fn> Fn User32Function(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

} // namespace

std::wstring Wide(std::string_view text) {
    return PathFromUtf8(text).wstring();
}

std::string Utf8(std::wstring_view text) {
    return PathToUtf8(std::filesystem::path(std::wstring(text)));
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return Utf8(text);
}

UINT WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window))
            return dpi;
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

SIZE WindowSizeForClient(SIZE client, DWORD style, DWORD exStyle, UINT dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    RECT r{0, 0, client.cx, client.cy};
    if (adjustForDpi == nullptr || !adjustForDpi(&r, style, FALSE, exStyle, dpi))
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return {r.right - r.left, r.bottom - r.top};
}

void CentreOnWorkArea(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    RECT r{};
    GetWindowRect(window, &r);
    const RECT& work = monitor.rcWork;
    const int x = work.left + ((work.right - work.left) - (r.right - r.left)) / 2;
    const int y = work.top + ((work.bottom - work.top) - (r.bottom - r.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HFONT MakeDesignFont(UINT dpi, int designPixels) {
    using ParametersForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto parametersForDpi = User32Function<ParametersForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    const bool known = (parametersForDpi != nullptr &&
                        parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) ||
                       SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    LOGFONTW font = known ? metrics.lfMessageFont : LOGFONTW{};
    if (!known)
        wcscpy_s(font.lfFaceName, L"Segoe UI");
    // A negative height is the characters' height without the internal leading.
    font.lfHeight = -MulDiv(designPixels, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    font.lfWidth = 0;
    return CreateFontIndirectW(&font);
}

void SetFontOfAll(HWND window, HFONT font) {
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    EnumChildWindows(
        window,
        [](HWND child, LPARAM f) -> BOOL {
            SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(f), TRUE);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(font));
}

void UiQueue::Attach(HWND window) {
    std::lock_guard hold(Lock);
    Window = window;
}

void UiQueue::Detach() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard hold(Lock);
        Window = nullptr;
        dropped.swap(Queue);
    }
}

void UiQueue::Post(std::function<void()> fn) {
    std::lock_guard hold(Lock);
    if (Window == nullptr)
        return;
    Queue.push_back(std::move(fn));
    PostMessageW(Window, Message, 0, 0); // the first of them runs everything queued until then
}

void UiQueue::RunPosted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard hold(Lock);
            if (Queue.empty())
                return;
            fn = std::move(Queue.front());
            Queue.pop_front();
        }
        fn();
    }
}

void InformationBox(HWND owner, const std::string& text) {
    MessageBeep(MB_ICONINFORMATION);
    const std::wstring title = owner != nullptr ? Wide(WindowText(owner)) : std::wstring();
    MessageBoxW(owner, Wide(text).c_str(), title.c_str(), MB_OK | MB_ICONINFORMATION);
}

namespace {

std::optional<std::string> ChooseFile(HWND owner, const std::vector<FileFilter>& filters,
                                      const std::string& defaultExtension, const std::string& startFolder,
                                      bool save) {
    // The filters: "name (patterns)", the patterns, each ended by a zero, and a zero at the end.
    std::wstring filter;
    for (const FileFilter& f : filters) {
        filter += Wide(f.Name + " (" + f.Pattern + ")");
        filter += L'\0';
        filter += Wide(f.Pattern);
        filter += L'\0';
    }
    const std::wstring extension = Wide(defaultExtension);
    const std::wstring folder = Wide(startFolder);
    std::vector<wchar_t> file(32768, L'\0');

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrDefExt = extension.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    if (!(save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn)))
        return std::nullopt;
    return Utf8(file.data());
}

} // namespace

std::optional<std::string> ChooseFileToOpen(HWND owner, const std::vector<FileFilter>& filters,
                                            const std::string& defaultExtension,
                                            const std::string& startFolder) {
    return ChooseFile(owner, filters, defaultExtension, startFolder, false);
}

std::optional<std::string> ChooseFileToSave(HWND owner, const std::vector<FileFilter>& filters,
                                            const std::string& defaultExtension,
                                            const std::string& startFolder) {
    return ChooseFile(owner, filters, defaultExtension, startFolder, true);
}

std::optional<std::string> ChooseFileToOpen(HWND owner, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExtension,
                                            const std::string& startFolder) {
    return ChooseFile(owner, {{filterName, pattern}}, defaultExtension, startFolder, false);
}

std::optional<std::string> ChooseFileToSave(HWND owner, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExtension,
                                            const std::string& startFolder) {
    return ChooseFile(owner, {{filterName, pattern}}, defaultExtension, startFolder, true);
}

bool AskWithButtons(HWND owner, const std::string& text, const std::string& first,
                    const std::string& second) {
    // The task dialog of the common controls 6, looked up at run time: a program without them asks with a
    // message box whose Yes and No stand for the two.
    using TaskDialogFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    const HMODULE controls = GetModuleHandleW(L"comctl32.dll");
    const auto taskDialog = controls == nullptr ? nullptr
                                                : reinterpret_cast<TaskDialogFn>(reinterpret_cast<void*>(
                                                      GetProcAddress(controls, "TaskDialogIndirect")));
    const std::wstring title = owner != nullptr ? Wide(WindowText(owner)) : std::wstring();
    const std::wstring content = Wide(text), yes = Wide(first), no = Wide(second);
    if (taskDialog != nullptr) {
        const TASKDIALOG_BUTTON buttons[] = {{IDYES, yes.c_str()}, {IDNO, no.c_str()}};
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = owner;
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
        config.pszWindowTitle = title.c_str();
        config.pszMainIcon = TD_WARNING_ICON;
        config.pszContent = content.c_str();
        config.cButtons = 2;
        config.pButtons = buttons;
        config.nDefaultButton = IDNO;
        int pressed = IDNO;
        if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr)))
            return pressed == IDYES;
    }
    std::string plain = first + " (Yes) or " + second + " (No)?";
    plain.erase(std::remove(plain.begin(), plain.end(), '&'), plain.end());
    return MessageBoxW(owner, Wide(text + "\n\n" + plain).c_str(), title.c_str(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

ATOM RegisterWindowClass(HINSTANCE instance, int icon, WNDPROC procedure, const wchar_t* className) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className;
    if (icon != 0) {
        wc.hIcon =
            static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
        wc.hIconSm =
            static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    }
    return RegisterClassExW(&wc);
}

std::optional<LRESULT> CommonWindowMessage(HWND& window, UiQueue& posted, UINT message, WPARAM wParam,
                                           LPARAM lParam, const std::function<bool()>& mayClose,
                                           const std::function<bool()>& busy) {
    switch (message) {
    case UiQueue::Message:
        posted.RunPosted();
        return 0;
    case WM_CLOSE:
        if (!mayClose())
            return 0;
        DestroyWindow(window);
        return 0;
    case WM_QUERYENDSESSION:
        return busy() ? FALSE : TRUE;
    case WM_DESTROY:
        posted.Detach();
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        const HWND ending = window;
        SetWindowLongPtrW(ending, GWLP_USERDATA, 0);
        window = nullptr;
        return DefWindowProcW(ending, message, wParam, lParam);
    }
    default:
        return std::nullopt;
    }
}

namespace {

constexpr const wchar_t* kKeysProperty = L"FwUpdateKeys";

} // namespace

void SetWindowKeys(HWND window, HACCEL keys) {
    if (keys != nullptr)
        SetPropW(window, kKeysProperty, keys);
    else
        RemovePropW(window, kKeysProperty);
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        const HWND top = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (top != nullptr)
            if (const auto keys = static_cast<HACCEL>(GetPropW(top, kKeysProperty));
                keys != nullptr && TranslateAcceleratorW(top, keys, &msg))
                continue;
        if (top != nullptr && IsDialogMessageW(top, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
