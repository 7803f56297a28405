// Win32MainWindow: creates the controls of the layout and the status bar, places them for the DPI, and
// carries out what the presenter shows.
#include "app/win32/win32mainwindow.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

#include "app/q7config.h"
#include "app/vskfwlayoutitems.h"

namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;
// The design font's pixel height at 96 DPI, with which one layout unit is one pixel.
constexpr int kDesignFontPixels = 11;
constexpr UINT_PTR kStatusTimer = 1;
// Entries a dropped KENNUNG list would show at once (it never opens: the list is read-only).
constexpr int kDropRows = 15;
// Units between a caption's place and its value display's (x 108 + 96 and x 208).
constexpr int kCaptionGap = 4;

// KENNUNG only shows what the program selects: clicks, keys and the wheel do nothing.
LRESULT CALLBACK ReadOnlyListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR) {
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_LBUTTONUP:
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_CHAR:
    case WM_MOUSEWHEEL:
        return 0;
    case CB_SHOWDROPDOWN:
        if (wParam != FALSE)
            return TRUE;
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

// EDITPORT takes digits only: typed (ES_NUMBER does the same where the system has it) and pasted.
LRESULT CALLBACK DigitsOnlyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR) {
    if (message == WM_CHAR && wParam >= L' ' && !std::iswdigit(static_cast<wint_t>(wParam))) {
        MessageBeep(MB_OK);
        return 0;
    }
    if (message == WM_PASTE) {
        std::wstring digits;
        if (IsClipboardFormatAvailable(CF_UNICODETEXT) && OpenClipboard(window)) {
            if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                if (const auto* text = static_cast<const wchar_t*>(GlobalLock(data))) {
                    for (const wchar_t* c = text; *c != L'\0'; ++c)
                        if (std::iswdigit(static_cast<wint_t>(*c)))
                            digits += *c;
                    GlobalUnlock(data);
                }
            }
            CloseClipboard();
        }
        SendMessageW(window, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(digits.c_str()));
        return 0;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

int ControlOf(MainView::Field field) {
    switch (field) {
    case MainView::Field::IP:
        return VskFwId::IP;
    case MainView::Field::EDITPORT:
        return VskFwId::EDITPORT;
    case MainView::Field::VERSION:
        return VskFwId::VERSION;
    case MainView::Field::DSPMODSERIAL:
        return VskFwId::DSPMODSERIAL;
    case MainView::Field::MODE:
        return VskFwId::MODE;
    case MainView::Field::DSPMODNAME:
        return VskFwId::DSPMODNAME;
    case MainView::Field::OEMUSERNAME:
        return VskFwId::OEMUSERNAME;
    case MainView::Field::OEMDEVICENAME:
        return VskFwId::OEMDEVICENAME;
    case MainView::Field::OEMLIBNAME:
        return VskFwId::OEMLIBNAME;
    default:
        return 0; // the status bar's information fields
    }
}

} // namespace

Win32MainWindow::Win32MainWindow(HINSTANCE instance, int icon) : Instance(instance) {
    static const ATOM windowClass =
        RegisterWindowClass(instance, icon, &DispatchToWindow<Win32MainWindow>, kClassName);
    (void)windowClass;
    // Created small and hidden; Relayout gives it its size once its DPI is known.
    Window = CreateWindowExW(kExStyle, kClassName, L"", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                             nullptr, nullptr, Instance, this);
    if (Window == nullptr)
        return;
    Posted.Attach(Window);
    CreateControls();
    Relayout(WindowDpi(Window));
    CentreOnWorkArea(Window);
}

Win32MainWindow::~Win32MainWindow() {
    Posted.Detach();
    if (Window != nullptr) {
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        DestroyWindow(Window);
    }
    if (Font != nullptr)
        DeleteObject(Font);
}

void Win32MainWindow::CreateControls() {
    for (const LayoutItem& item : kVskFwLayout) {
        const wchar_t* controlClass = WC_STATICW;
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD exStyle = 0;
        switch (item.Kind) {
        case LayoutKind::PushButton:
            controlClass = WC_BUTTONW;
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case LayoutKind::Caption:
        case LayoutKind::PlainText:
            style |= SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE;
            break;
        case LayoutKind::ValueDisplay:
            // What a device reports is shown as it is: no "&" mnemonics, no wrapping.
            style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        case LayoutKind::DropList:
            controlClass = WC_COMBOBOXW;
            style |= CBS_DROPDOWNLIST | WS_VSCROLL;
            break;
        case LayoutKind::TextField:
            controlClass = WC_EDITW;
            style |= ES_AUTOHSCROLL | WS_TABSTOP;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        case LayoutKind::IntField:
            controlClass = WC_EDITW;
            style |= ES_AUTOHSCROLL | ES_NUMBER | WS_TABSTOP;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        }
        // In list order: the order of creation is the focus order of the controls with WS_TABSTOP.
        const HWND control =
            CreateWindowExW(exStyle, controlClass, Wide(item.Text).c_str(), style, 0, 0, 0, 0, Window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.ControlId)), Instance, nullptr);
        if (item.Kind == LayoutKind::DropList)
            SetWindowSubclass(control, ReadOnlyListProc, 0, 0);
        if (item.Kind == LayoutKind::TextField)
            SendMessageW(control, EM_SETLIMITTEXT, 0, 0); // no length limit beyond the system's
        if (item.Kind == LayoutKind::IntField)
            SetWindowSubclass(control, DigitsOnlyProc, 0, 0);
    }

    Status =
        CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, Window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(VskFwId::status)), Instance, nullptr);
    ProgressBar =
        CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 0, 0, Status,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(VskFwId::progress)), Instance, nullptr);

    Tooltips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, Window, nullptr, Instance, nullptr);
    for (const LayoutItem& item : kVskFwLayout) {
        if (*item.Tooltip == '\0')
            continue;
        std::wstring text = Wide(item.Tooltip);
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = Window;
        tool.uId = reinterpret_cast<UINT_PTR>(Control(item.ControlId));
        tool.lpszText = text.data();
        SendMessageW(Tooltips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void Win32MainWindow::Relayout(UINT dpi) {
    Scale = DpiScale(dpi);
    const HFONT old = Font;
    Font = MakeDesignFont(dpi, kDesignFontPixels);
    SetFontOfAll(Window, Font);
    if (old != nullptr)
        DeleteObject(old);

    const SIZE size = WindowSizeForClient({Scale(kLayoutWidth), Scale(kLayoutHeight)}, kStyle, kExStyle, dpi);
    SetWindowPos(Window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    const HDC dc = GetDC(Window);
    const HGDIOBJ previous = SelectObject(dc, Font);
    for (const LayoutItem& item : kVskFwLayout) {
        const HWND control = Control(item.ControlId);
        const int height = Scale(item.Height);
        // A drop-down list's window includes its dropped part; its selection field gets the item's height.
        const int windowHeight = item.Kind == LayoutKind::DropList ? height * (kDropRows + 1) : height;
        int width = Scale(item.WidthIn(kLayoutWidth));
        if (item.Kind == LayoutKind::Caption) {
            // A caption wider in this system's font than its place takes the gap before its value, so that it
            // is never cut.
            const std::wstring text = Wide(item.Text);
            SIZE extent{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            width = std::min(std::max(width, static_cast<int>(extent.cx)), Scale(item.Width + kCaptionGap));
        }
        MoveWindow(control, Scale(item.X), Scale(item.Y), width, windowHeight, TRUE);
        if (item.Kind == LayoutKind::DropList) {
            // The field is the item height and the system's frame: set, measure, correct once.
            SendMessageW(control, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), height - 6);
            RECT r{};
            GetWindowRect(control, &r);
            const int difference = height - (r.bottom - r.top);
            if (difference != 0)
                SendMessageW(control, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), height - 6 + difference);
        }
    }

    SelectObject(dc, previous);
    ReleaseDC(Window, dc);

    // The status bar takes the bottom of the client area at its font's height; from the right: onlineDisplay,
    // info1, info2, and the main area takes the rest.
    SendMessageW(Status, WM_SIZE, 0, 0);
    RECT client{};
    GetClientRect(Window, &client);
    const int w = client.right;
    const int edges[] = {w - Scale(kOnlineWidth + kInfo1Width + kInfo2Width),
                         w - Scale(kOnlineWidth + kInfo1Width), w - Scale(kOnlineWidth), -1};
    SendMessageW(Status, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    PlaceProgress();
}

void Win32MainWindow::PlaceProgress() {
    if (ProgressCaption.empty()) {
        ShowWindow(ProgressBar, SW_HIDE);
        return;
    }
    RECT part{};
    SendMessageW(Status, SB_GETRECT, kMainPart, reinterpret_cast<LPARAM>(&part));
    // The caption keeps its whole width; the bar beside it takes what is left.
    const std::wstring caption = Wide(ProgressCaption);
    SIZE extent{};
    const HDC dc = GetDC(Status);
    const HGDIOBJ previous =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(Status, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &extent);
    SelectObject(dc, previous);
    ReleaseDC(Status, dc);
    const int left = part.left + extent.cx + Scale(10);
    const int right = part.right - Scale(4);
    MoveWindow(ProgressBar, left, part.top + Scale(2), right > left ? right - left : 0,
               (part.bottom - part.top) - Scale(4), TRUE);
    ShowWindow(ProgressBar, SW_SHOWNA);
}

void Win32MainWindow::SetStatusText(int part, const std::string& text) {
    SendMessageW(Status, SB_SETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void Win32MainWindow::DrawOnlineField(const DRAWITEMSTRUCT& item) {
    const bool online = static_cast<LPARAM>(item.itemData) == kOnlineValue;
    const HBRUSH fill = CreateSolidBrush(online ? RGB(0, 255, 0) : RGB(255, 0, 0));
    FillRect(item.hDC, &item.rcItem, fill);
    DeleteObject(fill);
    // Black, at the field's top-left, in the window's font.
    const HGDIOBJ previous = SelectObject(item.hDC, Font);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, RGB(0, 0, 0));
    RECT r = item.rcItem;
    DrawTextW(item.hDC, online ? L"ONLINE" : L"OFFLINE", -1, &r,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(item.hDC, previous);
}

LRESULT Win32MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // While an update runs the presenter says so and the window stays, and the session may not end.
    if (const std::optional<LRESULT> answer = CommonWindowMessage(
            Window, Posted, message, wParam, lParam,
            [this] { return Presenter == nullptr || Presenter->OnCloseRequest(); },
            [this] { return Presenter != nullptr && Presenter->UpdateRunning(); }))
        return *answer;
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && Presenter != nullptr) {
            if (LOWORD(wParam) == VskFwId::CONNECT)
                Presenter->OnConnect();
            else if (LOWORD(wParam) == VskFwId::UPDATEFIRMWARE)
                Presenter->OnUpdateFirmware();
        }
        return 0;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID == static_cast<UINT>(VskFwId::status)) {
            DrawOnlineField(*item);
            return TRUE;
        }
        break;
    }
    case WM_TIMER:
        if (wParam == kStatusTimer) {
            KillTimer(Window, kStatusTimer);
            if (ProgressCaption.empty())
                SetStatusText(kMainPart, "");
            return 0;
        }
        break;
    case WM_DPICHANGED: {
        // Per-monitor DPI: the window moved to a monitor of another scale. Everything is placed anew and the
        // window keeps the top-left corner the system suggests.
        Relayout(HIWORD(wParam));
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(Window, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(Window, message, wParam, lParam);
}

void Win32MainWindow::Bind(Q7Config* presenter) {
    Presenter = presenter;
}

void Win32MainWindow::Show() {
    ShowWindow(Window, SW_SHOWNORMAL);
    UpdateWindow(Window);
    SetFocus(Control(VskFwId::CONNECT));
}

void Win32MainWindow::SetTitle(const std::string& title) {
    SetWindowTextW(Window, Wide(title).c_str());
}

void Win32MainWindow::SetFieldText(Field field, const std::string& text) {
    if (field == Field::info1 || field == Field::info2) {
        (field == Field::info1 ? Info1 : Info2) = text;
        SetStatusText(field == Field::info1 ? kInfo1Part : kInfo2Part, text);
        return;
    }
    SetWindowTextW(Control(ControlOf(field)), Wide(text).c_str());
}

std::string Win32MainWindow::FieldText(Field field) const {
    if (field == Field::info1)
        return Info1;
    if (field == Field::info2)
        return Info2;
    return WindowText(Control(ControlOf(field)));
}

void Win32MainWindow::AddKennung(int key, const std::string& text) {
    SendMessageW(Control(VskFwId::KENNUNG), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    KennungKeys.push_back(key);
}

void Win32MainWindow::SelectKennung(int key) {
    int index = -1; // no entry: the list shows nothing
    for (size_t i = 0; i < KennungKeys.size(); ++i)
        if (KennungKeys[i] == key)
            index = static_cast<int>(i);
    SendMessageW(Control(VskFwId::KENNUNG), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32MainWindow::SetConnectLabel(const std::string& label) {
    SetWindowTextW(Control(VskFwId::CONNECT), Wide(label).c_str());
}

void Win32MainWindow::SetOnline(bool online) {
    SendMessageW(Status, SB_SETTEXTW, kOnlinePart | SBT_OWNERDRAW, online ? kOnlineValue : kOfflineValue);
    RECT part{};
    SendMessageW(Status, SB_GETRECT, kOnlinePart, reinterpret_cast<LPARAM>(&part));
    InvalidateRect(Status, &part, TRUE);
}

void Win32MainWindow::SetUpdateRunning(bool running) {
    const HWND focus = GetFocus();
    for (int id : {static_cast<int>(VskFwId::CONNECT), static_cast<int>(VskFwId::UPDATEFIRMWARE)}) {
        const HWND button = Control(id);
        EnableWindow(button, !running);
        if (running && focus == button)
            SetFocus(Control(VskFwId::IP)); // the keyboard stays in the window
    }
    // Windows asks before it logs off or shuts down while an update runs, and shows why.
    if (running)
        ShutdownBlockReasonCreate(Window, Wide(Q7Config::kUpdateRunningText).c_str());
    else
        ShutdownBlockReasonDestroy(Window);
}

void Win32MainWindow::ShowTimed(const std::string& text, int milliseconds) {
    if (!ProgressCaption.empty()) { // the text takes the main area
        ProgressCaption.clear();
        PlaceProgress();
    }
    SetStatusText(kMainPart, text);
    SetTimer(Window, kStatusTimer, static_cast<UINT>(milliseconds > 0 ? milliseconds : 0), nullptr);
}

void Win32MainWindow::InfoBox(const std::string& text) {
    InformationBox(Window, text);
}

void Win32MainWindow::Progress(const std::string& caption, int position, int total) {
    if (ProgressCaption != caption) {
        KillTimer(Window, kStatusTimer);
        ProgressCaption = caption;
        SetStatusText(kMainPart, caption);
        PlaceProgress();
    }
    SendMessageW(ProgressBar, PBM_SETRANGE32, 0, total);
    SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32MainWindow::ProgressEnd() {
    if (ProgressCaption.empty())
        return;
    ProgressCaption.clear();
    PlaceProgress();
    SetStatusText(kMainPart, "");
}

std::optional<std::string> Win32MainWindow::ChooseConfigFile(const std::string& startFolder) {
    return ChooseFileToOpen(Window, "Firmware config files", "*.cfg", "cfg", startFolder);
}

void Win32MainWindow::PostToUi(std::function<void()> fn) {
    Posted.Post(std::move(fn));
}
