// Win32FleetWindow: creates the controls, places them for the DPI and the window's size, and carries out what
// the presenter shows.
#include "app/win32/win32fleetwindow.h"

#include <commctrl.h>

#include "app/fleetpresenter.h"

namespace {

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr int kDesignFontPixels = 12;
// The client area at 96 DPI when the window opens, and the least it may be made.
constexpr int kWidth = 1040, kHeight = 620;
constexpr int kRowHeight = 24;

enum class Kind { Label, Button, Edit, Number, EditCombo, DropCombo, Info };

// The controls of the three rows above the table, in focus order; x, y, width and height in layout units.
struct Item {
    int Id;
    Kind Type;
    const char* Text;
    int X, Y, W;
};
constexpr int kLabel = 0; // a label has no id of its own
const Item kItems[] = {
    {kLabel, Kind::Label, "Range", 8, 8, 44},
    {Win32FleetWindow::RANGE, Kind::EditCombo, "", 56, 8, 170},
    {kLabel, Kind::Label, "Port", 236, 8, 32},
    {Win32FleetWindow::PORT, Kind::Number, "2000", 270, 8, 60},
    {Win32FleetWindow::SCAN, Kind::Button, "Scan", 338, 8, 76},
    {Win32FleetWindow::OPENLIST, Kind::Button, "Open list…", 420, 8, 96},
    {kLabel, Kind::Label, "Address", 534, 8, 52},
    {Win32FleetWindow::ADDRESS, Kind::Edit, "", 590, 8, 160},
    {Win32FleetWindow::ADD, Kind::Button, "Add", 756, 8, 70},
    {Win32FleetWindow::CONFIG, Kind::Button, "Configuration…", 8, 40, 116},
    {Win32FleetWindow::CONFIGINFO, Kind::Info, "", 130, 40, 420},
    {kLabel, Kind::Label, "Jobs", 558, 40, 34},
    {Win32FleetWindow::JOBS, Kind::Number, "4", 594, 40, 54},
    {kLabel, Kind::Label, "Retries", 656, 40, 46},
    {Win32FleetWindow::RETRIES, Kind::Number, "1", 704, 40, 48},
    {Win32FleetWindow::UPDATE, Kind::Button, "Update selected", 760, 40, 114},
    {Win32FleetWindow::STOP, Kind::Button, "Stop", 880, 40, 60},
    {Win32FleetWindow::SAVEREPORT, Kind::Button, "Save report…", 946, 40, 86},
    {Win32FleetWindow::SELECTALL, Kind::Button, "Select all", 8, 72, 86},
    {Win32FleetWindow::SELECTNONE, Kind::Button, "Select none", 100, 72, 86},
    {Win32FleetWindow::VERSIONS, Kind::DropCombo, "", 192, 72, 130},
    {Win32FleetWindow::SELECTVERSION, Kind::Button, "Select version", 328, 72, 106},
};
constexpr int kTableTop = 104;
const int kColumnWidths[kFleetColumns] = {150, 110, 75, 80, 90, 90, 90, 90, 230};

int NumberIn(HWND edit) {
    BOOL ok = FALSE;
    const UINT value = GetDlgItemInt(GetParent(edit), GetDlgCtrlID(edit), &ok, FALSE);
    return ok ? static_cast<int>(value) : 0;
}

} // namespace

Win32FleetWindow::Win32FleetWindow(HINSTANCE instance, int icon) : Instance(instance) {
    static const ATOM windowClass =
        RegisterWindowClass(instance, icon, &DispatchToWindow<Win32FleetWindow>, kClassName);
    (void)windowClass;
    Window = CreateWindowExW(0, kClassName, L"", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr,
                             nullptr, Instance, this);
    if (Window == nullptr)
        return;
    Posted.Attach(Window);
    CreateControls();
    const UINT dpi = WindowDpi(Window);
    Relayout(dpi);
    const SIZE size = WindowSizeForClient({DpiScale(dpi)(kWidth), DpiScale(dpi)(kHeight)}, kStyle, 0, dpi);
    SetWindowPos(Window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    CentreOnWorkArea(Window);
}

Win32FleetWindow::~Win32FleetWindow() {
    Posted.Detach();
    if (Window != nullptr) {
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        DestroyWindow(Window);
    }
    if (Font != nullptr)
        DeleteObject(Font);
}

void Win32FleetWindow::CreateControls() {
    auto create = [this](const wchar_t* controlClass, const std::string& text, DWORD style, DWORD exStyle,
                         int id) {
        return CreateWindowExW(exStyle, controlClass, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0,
                               0, 0, Window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance,
                               nullptr);
    };
    for (const Item& item : kItems) {
        switch (item.Type) {
        case Kind::Label:
            Labels.push_back(create(WC_STATICW, item.Text, SS_LEFT | SS_CENTERIMAGE, 0, item.Id));
            break;
        case Kind::Info:
            // The configuration's name and what it holds, as they are: no "&" mnemonics.
            create(WC_STATICW, item.Text, SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE, 0, item.Id);
            break;
        case Kind::Button:
            create(WC_BUTTONW, item.Text, BS_PUSHBUTTON | WS_TABSTOP, 0, item.Id);
            break;
        case Kind::Edit:
            create(WC_EDITW, item.Text, ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, item.Id);
            break;
        case Kind::Number: {
            const HWND edit = create(WC_EDITW, item.Text, ES_AUTOHSCROLL | ES_NUMBER | WS_TABSTOP,
                                     WS_EX_CLIENTEDGE, item.Id);
            if (item.Id == JOBS || item.Id == RETRIES) {
                const HWND spin = create(UPDOWN_CLASSW, "",
                                         UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                                         0, item.Id == JOBS ? JOBSSPIN : RETRIESSPIN);
                SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit), 0);
                SendMessageW(spin, UDM_SETRANGE32, 0, item.Id == JOBS ? 1000 : 10);
                SendMessageW(spin, UDM_SETPOS32, 0, item.Id == JOBS ? 4 : 1);
            }
            break;
        }
        case Kind::EditCombo:
            create(WC_COMBOBOXW, item.Text, CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0,
                   item.Id);
            break;
        case Kind::DropCombo:
            create(WC_COMBOBOXW, item.Text, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, item.Id);
            break;
        }
    }
    const HWND table =
        create(WC_LISTVIEWW, "", LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP, WS_EX_CLIENTEDGE, DEVICES);
    ListView_SetExtendedListViewStyle(table, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (size_t c = 0; c < kFleetColumns; ++c) {
        std::wstring heading = Wide(FleetColumnHeading(static_cast<FleetColumn>(c)));
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = heading.data();
        column.cx = kColumnWidths[c];
        column.iSubItem = static_cast<int>(c);
        SendMessageW(table, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
    }
    create(PROGRESS_CLASSW, "", 0, 0, OVERALL);
    create(WC_STATICW, "", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE, 0, OVERALLTEXT);
    create(STATUSCLASSNAMEW, "", 0, 0, STATUS);
    SendMessageW(Control(OVERALL), PBM_SETRANGE32, 0, 100);
    ShowWindow(Control(OVERALL), SW_HIDE);
}

void Win32FleetWindow::Relayout(UINT dpi) {
    Scale = DpiScale(dpi);
    const HFONT old = Font;
    Font = MakeDesignFont(dpi, kDesignFontPixels);
    SetFontOfAll(Window, Font);
    if (old != nullptr)
        DeleteObject(old);
    for (const Item& item : kItems) {
        if (item.Id == kLabel)
            continue;
        // A drop-down list's window includes its dropped part.
        const bool combo = item.Type == Kind::EditCombo || item.Type == Kind::DropCombo;
        MoveWindow(Control(item.Id), Scale(item.X), Scale(item.Y), Scale(item.W),
                   Scale(kRowHeight) * (combo ? 10 : 1), TRUE);
    }
    size_t label = 0;
    for (const Item& item : kItems)
        if (item.Id == kLabel && label < Labels.size())
            MoveWindow(Labels[label++], Scale(item.X), Scale(item.Y), Scale(item.W), Scale(kRowHeight), TRUE);
    for (const int spin : {JOBSSPIN, RETRIESSPIN})
        SendMessageW(Control(spin), UDM_SETBUDDY,
                     reinterpret_cast<WPARAM>(Control(spin == JOBSSPIN ? JOBS : RETRIES)), 0);
    const HWND table = Control(DEVICES);
    for (size_t c = 0; c < kFleetColumns; ++c)
        ListView_SetColumnWidth(table, static_cast<int>(c), Scale(kColumnWidths[c]));
    PlaceByClientSize();
}

void Win32FleetWindow::PlaceByClientSize() {
    const HWND status = Control(STATUS);
    SendMessageW(status, WM_SIZE, 0, 0);
    RECT client{}, bar{};
    GetClientRect(Window, &client);
    GetWindowRect(status, &bar);
    const int bottom = client.bottom - (bar.bottom - bar.top);
    const int progressTop = bottom - Scale(8 + 20);
    const int half = (client.right - Scale(24)) / 2;
    MoveWindow(Control(DEVICES), Scale(8), Scale(kTableTop), client.right - Scale(16),
               progressTop - Scale(8) - Scale(kTableTop), TRUE);
    MoveWindow(Control(OVERALL), Scale(8), progressTop, half, Scale(20), TRUE);
    MoveWindow(Control(OVERALLTEXT), Scale(16) + half, progressTop, half, Scale(20), TRUE);
}

void Win32FleetWindow::OnCommand(int id) {
    if (Presenter == nullptr)
        return;
    FleetPresenter& p = *Presenter;
    switch (id) {
    case SCAN:
        p.OnScan(WindowText(Control(RANGE)), WindowText(Control(PORT)));
        break;
    case OPENLIST:
        p.OnOpenList();
        break;
    case ADD:
        p.OnAdd(WindowText(Control(ADDRESS)));
        break;
    case CONFIG:
        p.OnChooseConfig();
        break;
    case UPDATE:
        p.OnUpdateSelected(NumberIn(Control(JOBS)), NumberIn(Control(RETRIES)));
        break;
    case STOP:
        p.OnStop();
        break;
    case SAVEREPORT:
        p.OnSaveReport();
        break;
    case SELECTALL:
        p.OnSelectAll();
        break;
    case SELECTNONE:
        p.OnSelectNone();
        break;
    case SELECTVERSION:
        if (SendMessageW(Control(VERSIONS), CB_GETCURSEL, 0, 0) != CB_ERR)
            p.OnSelectVersion(WindowText(Control(VERSIONS)));
        break;
    default:
        break;
    }
}

void Win32FleetWindow::OnNotify(const NMHDR& header) {
    if (header.idFrom != static_cast<UINT_PTR>(DEVICES) || Presenter == nullptr)
        return;
    if (header.code == LVN_ITEMCHANGED && !Drawing) {
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        // The check box is the item's state image: 1 unchecked, 2 checked.
        if ((change.uChanged & LVIF_STATE) != 0 &&
            ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) != 0 && change.iItem >= 0)
            Presenter->OnRowChecked(static_cast<size_t>(change.iItem),
                                    ((change.uNewState & LVIS_STATEIMAGEMASK) >> 12) == 2);
    } else if (header.code == LVN_COLUMNCLICK) {
        const int column = reinterpret_cast<const NMLISTVIEW&>(header).iSubItem;
        SortAscending = column == SortColumn ? !SortAscending : true;
        SortColumn = column;
        Presenter->OnSort(static_cast<FleetColumn>(column), SortAscending);
    }
}

LRESULT Win32FleetWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // While an update runs the presenter says so and the window stays, and the session may not end.
    if (const std::optional<LRESULT> answer = CommonWindowMessage(
            Window, Posted, message, wParam, lParam,
            [this] { return Presenter == nullptr || Presenter->OnCloseRequest(); },
            [this] { return Presenter != nullptr && Presenter->Busy(); }))
        return *answer;
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            OnCommand(LOWORD(wParam));
        return 0;
    case WM_NOTIFY:
        OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
        return 0;
    case WM_TIMER: {
        const auto it = Timers.find(wParam);
        if (it == Timers.end())
            break;
        KillTimer(Window, wParam);
        const std::function<void()> fn = std::move(it->second);
        Timers.erase(it);
        fn();
        return 0;
    }
    case WM_SIZE:
        PlaceByClientSize();
        return 0;
    case WM_GETMINMAXINFO: {
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        const SIZE least = WindowSizeForClient({Scale(kWidth), Scale(kHeight / 2)}, kStyle, 0, Scale.Value());
        limits->ptMinTrackSize = {least.cx, least.cy};
        return 0;
    }
    case WM_DPICHANGED: {
        // Per-monitor DPI: the window moved to a monitor of another scale; it takes the rectangle the system
        // suggests and everything is placed anew.
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        Scale = DpiScale(HIWORD(wParam));
        SetWindowPos(Window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        Relayout(HIWORD(wParam));
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(Window, message, wParam, lParam);
}

void Win32FleetWindow::Bind(FleetPresenter* presenter) {
    Presenter = presenter;
}

void Win32FleetWindow::Show() {
    ShowWindow(Window, SW_SHOWNORMAL);
    UpdateWindow(Window);
    SetFocus(Control(SCAN));
}

void Win32FleetWindow::SetTitle(const std::string& title) {
    SetWindowTextW(Window, Wide(title).c_str());
}

void Win32FleetWindow::SetRanges(const std::vector<std::string>& ranges) {
    const HWND range = Control(RANGE);
    SendMessageW(range, CB_RESETCONTENT, 0, 0);
    for (const std::string& r : ranges)
        SendMessageW(range, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(r).c_str()));
    if (!ranges.empty())
        SendMessageW(range, CB_SETCURSEL, 0, 0);
}

void Win32FleetWindow::SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) {
    const HWND table = Control(DEVICES);
    Drawing = true;
    SendMessageW(table, WM_SETREDRAW, FALSE, 0);
    int rows = ListView_GetItemCount(table);
    while (rows > static_cast<int>(count))
        ListView_DeleteItem(table, --rows);
    for (; rows < static_cast<int>(count); ++rows) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = rows;
        item.pszText = const_cast<wchar_t*>(L"");
        SendMessageW(table, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    for (const auto& [position, row] : changed) {
        for (size_t c = 0; c < kFleetColumns; ++c) {
            std::wstring text = Wide(row.Cells[c]);
            LVITEMW item{};
            item.iSubItem = static_cast<int>(c);
            item.pszText = text.data();
            SendMessageW(table, LVM_SETITEMTEXTW, position, reinterpret_cast<LPARAM>(&item));
        }
        ListView_SetCheckState(table, static_cast<UINT>(position), row.Selected ? TRUE : FALSE);
    }
    SendMessageW(table, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(table, nullptr, FALSE);
    Drawing = false;
}

void Win32FleetWindow::SetVersions(const std::vector<std::string>& versions) {
    const HWND list = Control(VERSIONS);
    const std::string current = WindowText(list);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& v : versions)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(v).c_str()));
    const LRESULT at = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                    reinterpret_cast<LPARAM>(Wide(current).c_str()));
    SendMessageW(list, CB_SETCURSEL, at != CB_ERR ? at : (versions.empty() ? -1 : 0), 0);
}

void Win32FleetWindow::SetConfigInfo(const std::string& text) {
    SetWindowTextW(Control(CONFIGINFO), Wide(text).c_str());
}

void Win32FleetWindow::SetStatus(const std::string& text) {
    SendMessageW(Control(STATUS), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void Win32FleetWindow::SetOverall(int percent, const std::string& text) {
    const HWND bar = Control(OVERALL);
    if (percent >= 0)
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    ShowWindow(bar, percent >= 0 ? SW_SHOWNA : SW_HIDE);
    SetWindowTextW(Control(OVERALLTEXT), Wide(text).c_str());
}

void Win32FleetWindow::SetBusy(bool busy) {
    for (const int id : {SCAN, OPENLIST, ADD, CONFIG, UPDATE, SAVEREPORT})
        EnableWindow(Control(id), busy ? FALSE : TRUE);
    EnableWindow(Control(STOP), busy ? TRUE : FALSE);
}

void Win32FleetWindow::InfoBox(const std::string& text) {
    InformationBox(Window, text);
}

std::optional<std::string> Win32FleetWindow::ChooseFile(FileKind kind, const std::string& startFolder) {
    switch (kind) {
    case FileKind::Config:
        return ChooseFileToOpen(Window, "Firmware config files", "*.cfg", "cfg", startFolder);
    case FileKind::DeviceList:
        return ChooseFileToOpen(Window, "Device lists", "*.txt", "txt", startFolder);
    case FileKind::Report:
        return ChooseFileToSave(Window, "Reports", "*.csv;*.json", "csv", startFolder);
    }
    return std::nullopt;
}

void Win32FleetWindow::PostToUi(std::function<void()> fn) {
    Posted.Post(std::move(fn));
}

void Win32FleetWindow::PostToUiAfter(int milliseconds, std::function<void()> fn) {
    const UINT_PTR id = NextTimer++;
    Timers[id] = std::move(fn);
    SetTimer(Window, id, static_cast<UINT>(milliseconds > 0 ? milliseconds : 1), nullptr);
}
