// Win32FleetWindow: creates the controls, places them for the DPI and the window's size, and carries out what
// the presenter shows.
#include "app/win32/win32fleetwindow.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "app/fleetpresenter.h"

namespace {

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr int kDesignFontPixels = 12;
constexpr int kRowHeight = 24;
constexpr int kRowStep = 30;   // a row and the gap under it
constexpr int kGap = 6;        // between two controls of a row
constexpr int kCaptionGap = 3; // between a caption and its field
constexpr int kMargin = 8;
constexpr int kRows = 4;

enum class Kind { Label, Button, Edit, Number, EditCombo, DropCombo, Info, Spacer };

// The controls of the rows above the table, in focus order (a caption right before its field, so that its
// mnemonic moves there). Width: the least in layout units (a button and a caption as wide as their text need
// when that is more); stretch: the share of the row's spare width.
struct Item {
    int Id;
    Kind Type;
    const char* Text;
    int Row;
    int Width;
    int Stretch;
    int GapBefore;
};
constexpr int kNoId = 0; // a caption or a spacer has no id of its own
const Item kItems[] = {
    {kNoId, Kind::Label, "Ran&ge", 0, 0, 0, 0},
    {Win32FleetWindow::RANGE, Kind::EditCombo, "", 0, 120, 2, 0},
    {kNoId, Kind::Label, "&Port", 0, 0, 0, 0},
    {Win32FleetWindow::PORT, Kind::Number, "2000", 0, 56, 0, 0},
    {Win32FleetWindow::SCAN, Kind::Button, "&Scan", 0, 64, 0, 0},
    {Win32FleetWindow::OPENLIST, Kind::Button, "&Open list…", 0, 80, 0, 0},
    {kNoId, Kind::Label, "Addr&ess", 0, 0, 0, 12},
    {Win32FleetWindow::ADDRESS, Kind::Edit, "", 0, 90, 1, 0},
    {Win32FleetWindow::ADD, Kind::Button, "A&dd", 0, 56, 0, 0},
    // The configurations' verdict takes what the fields leave; the rollout's two small fields go beside Jobs
    // and Retries.
    {Win32FleetWindow::CONFIG, Kind::Button, "&Configuration…", 1, 100, 0, 0},
    {Win32FleetWindow::BYVERSION, Kind::Button, "B&y version…", 1, 64, 0, 0},
    {Win32FleetWindow::CONFIGINFO, Kind::Info, "", 1, 60, 1, 0},
    {kNoId, Kind::Label, "&Jobs", 1, 0, 0, 6},
    {Win32FleetWindow::JOBS, Kind::Number, "4", 1, 50, 0, 0},
    {kNoId, Kind::Label, "Retr&ies", 1, 0, 0, 0},
    {Win32FleetWindow::RETRIES, Kind::Number, "1", 1, 44, 0, 0},
    {kNoId, Kind::Label, "&Waves", 1, 0, 0, 0},
    {Win32FleetWindow::WAVES, Kind::Edit, "", 1, 64, 0, 0},
    {kNoId, Kind::Label, "&Max failed", 1, 0, 0, 0},
    {Win32FleetWindow::MAXFAILED, Kind::Edit, "", 1, 40, 0, 0},
    {Win32FleetWindow::UPDATE, Kind::Button, "&Update selected", 2, 100, 0, 0},
    {Win32FleetWindow::RETRYFAILED, Kind::Button, "Retry &failed", 2, 80, 0, 0},
    {Win32FleetWindow::UPDATEREST, Kind::Button, "Update the &rest", 2, 100, 0, 0},
    {Win32FleetWindow::STOP, Kind::Button, "S&top", 2, 64, 0, 0},
    {kNoId, Kind::Spacer, "", 2, 0, 1, 0},
    {Win32FleetWindow::SAVEREPORT, Kind::Button, "Sa&ve report…", 2, 90, 0, 0},
    {Win32FleetWindow::SELECTALL, Kind::Button, "Select &all", 3, 76, 0, 0},
    {Win32FleetWindow::SELECTNONE, Kind::Button, "Select &none", 3, 80, 0, 0},
    {Win32FleetWindow::SELECTBY, Kind::DropCombo, "", 3, 110, 0, 0},
    {Win32FleetWindow::SELECT, Kind::Button, "Se&lect", 3, 64, 0, 0},
    {Win32FleetWindow::SELECTION, Kind::Info, "", 3, 100, 1, 6},
};
constexpr int kTableTop = kMargin + kRows * kRowStep;
// Column widths at 100 %; the State column's is its least, it takes what the others leave.
const int kColumnWidths[kFleetColumns] = {150, Win32FleetWindow::kStateWidth, 52, 86, 70, 70, 76, 76, 76, 76};
constexpr int kState = static_cast<int>(FleetColumn::State);

int NumberIn(HWND edit) {
    BOOL ok = FALSE;
    const UINT value = GetDlgItemInt(GetParent(edit), GetDlgCtrlID(edit), &ok, FALSE);
    return ok ? static_cast<int>(value) : 0;
}

// A caption's text as drawn: the mnemonic's "&" is not.
std::string WithoutMnemonic(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '&' || (i + 1 < text.size() && text[i + 1] == '&'))
            shown += text[i];
    return shown;
}

COLORREF ToneColour(FleetTone tone) {
    switch (tone) {
    case FleetTone::Busy:
        return RGB(21, 101, 192);
    case FleetTone::Ok:
        return RGB(27, 127, 55);
    case FleetTone::Failed:
        return RGB(198, 40, 40);
    case FleetTone::Refused:
        return RGB(178, 90, 0);
    case FleetTone::Stopped:
        return RGB(97, 97, 97);
    case FleetTone::Incomplete:
        return RGB(142, 36, 170);
    case FleetTone::Held:
        return RGB(0, 121, 107);
    case FleetTone::Skipped:
        return RGB(84, 110, 122);
    case FleetTone::Plain:
        break;
    }
    return GetSysColor(COLOR_WINDOWTEXT);
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
    ACCEL keys[] = {{FVIRTKEY, VK_F5, SCANAGAIN}};
    Keys = CreateAcceleratorTableW(keys, 1);
    SetWindowKeys(Window, Keys);
    Relayout(WindowDpi(Window));
    PlaceOnWorkArea(kOpenWidth, kOpenHeight);
}

Win32FleetWindow::~Win32FleetWindow() {
    Posted.Detach();
    if (Window != nullptr) {
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        SetWindowKeys(Window, nullptr);
        DestroyWindow(Window);
    }
    for (HFONT f : {Font, BoldFont})
        if (f != nullptr)
            DeleteObject(f);
    if (Keys != nullptr)
        DestroyAcceleratorTable(Keys);
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
            // What the presenter shows, as it is (no "&" mnemonics), cut with "…" to its width; SS_NOTIFY so
            // that its tooltip sees the mouse.
            create(WC_STATICW, item.Text, SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOTIFY,
                   0, item.Id);
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
        case Kind::Spacer:
            break;
        }
    }
    // The check boxes are the one selection; the highlighted row is the one whose details show.
    const HWND table = create(WC_LISTVIEWW, "", LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL | WS_TABSTOP,
                              WS_EX_CLIENTEDGE, DEVICES);
    ListView_SetExtendedListViewStyle(table, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER |
                                                 LVS_EX_INFOTIP | LVS_EX_LABELTIP);
    for (size_t c = 0; c < kFleetColumns; ++c) {
        std::wstring heading = Wide(FleetColumnHeading(static_cast<FleetColumn>(c)));
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = heading.data();
        column.cx = kColumnWidths[c];
        column.iSubItem = static_cast<int>(c);
        SendMessageW(table, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
    }
    create(WC_EDITW, "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP,
           WS_EX_CLIENTEDGE, DETAILS);
    create(PROGRESS_CLASSW, "", 0, 0, OVERALL);
    for (const int id : {OVERALLTEXT, SUMMARY})
        create(WC_STATICW, "", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE | SS_ENDELLIPSIS | SS_NOTIFY, 0, id);
    create(STATUSCLASSNAMEW, "", SBARS_SIZEGRIP | SBARS_TOOLTIPS, 0, STATUS);
    SendMessageW(Control(OVERALL), PBM_SETRANGE32, 0, 100);
    ShowWindow(Control(OVERALL), SW_HIDE);

    // The texts that may be cut show whole in a tooltip.
    Tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Window, nullptr,
                           Instance, nullptr);
    for (const int id : {CONFIGINFO, SELECTION, OVERALLTEXT, SUMMARY, BYVERSION, WAVES, MAXFAILED}) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = Window;
        tool.uId = reinterpret_cast<UINT_PTR>(Control(id));
        tool.lpszText = const_cast<wchar_t*>(L"");
        SendMessageW(Tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    SetTip(BYVERSION, kFleetByVersionTip);
    SetTip(WAVES, kFleetWavesTip);
    SetTip(MAXFAILED, kFleetMaxFailedTip);
}

int Win32FleetWindow::TextWidth(const std::string& text) const {
    const std::wstring wide = Wide(WithoutMnemonic(text));
    const HDC dc = GetDC(Window);
    const HGDIOBJ previous = SelectObject(dc, Font);
    SIZE extent{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
    SelectObject(dc, previous);
    ReleaseDC(Window, dc);
    return extent.cx;
}

void Win32FleetWindow::Relayout(UINT dpi) {
    Scale = DpiScale(dpi);
    const HFONT old = Font, oldBold = BoldFont;
    Font = MakeDesignFont(dpi, kDesignFontPixels);
    LOGFONTW bold{};
    GetObjectW(Font, sizeof bold, &bold);
    bold.lfWeight = FW_BOLD;
    BoldFont = CreateFontIndirectW(&bold);
    SetFontOfAll(Window, Font);
    SendMessageW(Tips, TTM_SETMAXTIPWIDTH, 0, Scale(520));
    for (HFONT f : {old, oldBold})
        if (f != nullptr)
            DeleteObject(f);
    const HWND table = Control(DEVICES);
    for (size_t c = 0; c < kFleetColumns; ++c)
        ListView_SetColumnWidth(table, static_cast<int>(c), Scale(kColumnWidths[c]));
    PlaceByClientSize();
}

void Win32FleetWindow::PlaceByClientSize() {
    RECT client{};
    GetClientRect(Window, &client);
    // The rows: each control as wide as it must be, the spare width to those that stretch.
    for (int row = 0; row < kRows; ++row) {
        std::vector<std::pair<const Item*, int>> placed; // an item and its width
        int used = 0, weights = 0;
        for (const Item& item : kItems) {
            if (item.Row != row)
                continue;
            int width = Scale(item.Width);
            if (item.Type == Kind::Button)
                width = std::max(width, TextWidth(item.Text) + Scale(20));
            else if (item.Type == Kind::Label)
                width = TextWidth(item.Text) + Scale(4);
            else if (item.Id == WAVES) // as wide as a usual rollout in the window's font
                width = std::max(width, TextWidth("2,25%,100%") + Scale(14));
            const bool captioned = !placed.empty() && placed.back().first->Type == Kind::Label;
            used +=
                width + (placed.empty() ? 0 : Scale(captioned ? kCaptionGap : kGap)) + Scale(item.GapBefore);
            weights += item.Stretch;
            placed.emplace_back(&item, width);
        }
        const int spare = std::max(0, static_cast<int>(client.right) - Scale(2 * kMargin) - used);
        int x = Scale(kMargin);
        const int y = Scale(kMargin + row * kRowStep);
        int given = 0, seen = 0;
        for (size_t i = 0; i < placed.size(); ++i) {
            const Item& item = *placed[i].first;
            int width = placed[i].second;
            if (item.Stretch > 0 && weights > 0) {
                // The last one takes what rounding left.
                seen += item.Stretch;
                const int share = seen == weights ? spare - given : spare * item.Stretch / weights;
                given += share;
                width += share;
            }
            const bool captioned = i > 0 && placed[i - 1].first->Type == Kind::Label;
            x += (i == 0 ? 0 : Scale(captioned ? kCaptionGap : kGap)) + Scale(item.GapBefore);
            HWND control = nullptr;
            if (item.Type == Kind::Label) {
                size_t before = 0;
                for (const Item& other : kItems) {
                    if (&other == &item)
                        break;
                    before += other.Type == Kind::Label ? 1 : 0;
                }
                control = before < Labels.size() ? Labels[before] : nullptr;
            } else if (item.Id != kNoId) {
                control = Control(item.Id);
            }
            // A drop-down list's window includes its dropped part.
            const bool combo = item.Type == Kind::EditCombo || item.Type == Kind::DropCombo;
            if (control != nullptr)
                MoveWindow(control, x, y, width, Scale(kRowHeight) * (combo ? 10 : 1), TRUE);
            x += width;
        }
    }
    for (const int spin : {JOBSSPIN, RETRIESSPIN})
        SendMessageW(Control(spin), UDM_SETBUDDY,
                     reinterpret_cast<WPARAM>(Control(spin == JOBSSPIN ? JOBS : RETRIES)), 0);

    // Under the rows: the table beside the details, the progress, the summary, the status bar.
    const HWND status = Control(STATUS);
    SendMessageW(status, WM_SIZE, 0, 0);
    RECT bar{};
    GetWindowRect(status, &bar);
    const int bottom = client.bottom - (bar.bottom - bar.top);
    const int summaryTop = bottom - Scale(2 + 20);
    const int progressTop = summaryTop - Scale(4 + 20);
    const int width = client.right - Scale(2 * kMargin);
    const int details = std::clamp(width * 28 / 100, Scale(160), Scale(300));
    const int tableWidth = width - details - Scale(kGap);
    const int tableHeight = std::max(Scale(40), progressTop - Scale(kGap) - Scale(kTableTop));
    const HWND table = Control(DEVICES);
    MoveWindow(table, Scale(kMargin), Scale(kTableTop), tableWidth, tableHeight, TRUE);
    MoveWindow(Control(DETAILS), Scale(kMargin) + tableWidth + Scale(kGap), Scale(kTableTop), details,
               tableHeight, TRUE);
    const int progress = std::min(Scale(320), width * 40 / 100);
    MoveWindow(Control(OVERALL), Scale(kMargin), progressTop, progress, Scale(20), TRUE);
    MoveWindow(Control(OVERALLTEXT), Scale(kMargin) + progress + Scale(kGap), progressTop,
               width - progress - Scale(kGap), Scale(20), TRUE);
    MoveWindow(Control(SUMMARY), Scale(kMargin), summaryTop, width, Scale(20), TRUE);
    // The State column takes the width the others leave.
    RECT inside{};
    GetClientRect(table, &inside);
    int others = 0;
    for (int c = 0; c < static_cast<int>(kFleetColumns); ++c)
        if (c != kState)
            others += ListView_GetColumnWidth(table, c);
    ListView_SetColumnWidth(table, kState,
                            std::max(Scale(kStateWidth), static_cast<int>(inside.right) - others));
}

void Win32FleetWindow::PlaceOnWorkArea(int width, int height) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(Window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    const RECT& work = monitor.rcWork;
    const SIZE frame = WindowSizeForClient({0, 0}, kStyle, 0, Scale.Value());
    const int workWidth = work.right - work.left, workHeight = work.bottom - work.top;
    const int frameWidth = frame.cx, frameHeight = frame.cy;
    const int w = std::clamp(Scale(width) + frameWidth, std::min(Scale(kLeastWidth) + frameWidth, workWidth),
                             workWidth);
    const int h = std::clamp(Scale(height) + frameHeight,
                             std::min(Scale(kLeastHeight) + frameHeight, workHeight), workHeight);
    SetWindowPos(Window, nullptr, work.left + (workWidth - w) / 2, work.top + (workHeight - h) / 2, w, h,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32FleetWindow::OnCommand(int id) {
    if (Presenter == nullptr)
        return;
    FleetPresenter& p = *Presenter;
    const int jobs = NumberIn(Control(JOBS)), retries = NumberIn(Control(RETRIES));
    const std::string waves = WindowText(Control(WAVES)), maxFailed = WindowText(Control(MAXFAILED));
    switch (id) {
    case IDOK: {
        // Enter: in Range or Port it scans, in Address it adds.
        const HWND focus = GetFocus();
        if (focus == Control(ADDRESS))
            p.OnAdd(WindowText(Control(ADDRESS)));
        else if (focus == Control(PORT) || focus == Control(RANGE) || GetParent(focus) == Control(RANGE))
            p.OnScan(WindowText(Control(RANGE)), WindowText(Control(PORT)));
        break;
    }
    case IDCANCEL: // Esc
    case STOP:
        p.OnStop();
        break;
    case SCAN:
        p.OnScan(WindowText(Control(RANGE)), WindowText(Control(PORT)));
        break;
    case SCANAGAIN:
        p.OnScanAgain(WindowText(Control(RANGE)), WindowText(Control(PORT)));
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
    case BYVERSION:
        p.OnConfigByVersion();
        break;
    case UPDATE:
        p.OnUpdateSelected(jobs, retries, waves, maxFailed);
        break;
    case RETRYFAILED:
        p.OnRetryFailed(jobs, retries, waves, maxFailed);
        break;
    case UPDATEREST:
        p.OnUpdateRest(jobs, retries, waves, maxFailed);
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
    case SELECT:
        if (SendMessageW(Control(SELECTBY), CB_GETCURSEL, 0, 0) != CB_ERR)
            p.OnSelect(WindowText(Control(SELECTBY)));
        break;
    case REMOVE:
        RemoveCurrent();
        break;
    default:
        break;
    }
}

void Win32FleetWindow::ReportCurrentRow() {
    if (Presenter == nullptr)
        return;
    const int row = ListView_GetNextItem(Control(DEVICES), -1, LVNI_SELECTED);
    Presenter->OnCurrentRow(row >= 0 ? std::optional<size_t>(static_cast<size_t>(row)) : std::nullopt);
}

void Win32FleetWindow::RemoveCurrent() {
    if (Presenter == nullptr)
        return;
    const int row = ListView_GetNextItem(Control(DEVICES), -1, LVNI_SELECTED);
    Presenter->OnRemove(row >= 0 ? std::optional<size_t>(static_cast<size_t>(row)) : std::nullopt);
    ReportCurrentRow();
}

LRESULT Win32FleetWindow::OnNotify(const NMHDR& header) {
    if (header.idFrom != static_cast<UINT_PTR>(DEVICES) || Presenter == nullptr)
        return 0;
    switch (header.code) {
    case LVN_ITEMCHANGED: {
        if (Drawing)
            break;
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        if (change.iItem < 0 || (change.uChanged & LVIF_STATE) == 0)
            break;
        // The check box is the item's state image: 1 unchecked, 2 checked.
        if (((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) != 0 &&
            (change.uOldState & LVIS_STATEIMAGEMASK) != 0)
            Presenter->OnRowChecked(static_cast<size_t>(change.iItem),
                                    ((change.uNewState & LVIS_STATEIMAGEMASK) >> 12) == 2,
                                    GetKeyState(VK_SHIFT) < 0);
        if (((change.uNewState ^ change.uOldState) & LVIS_SELECTED) != 0)
            ReportCurrentRow();
        break;
    }
    case LVN_COLUMNCLICK: {
        const int column = reinterpret_cast<const NMLISTVIEW&>(header).iSubItem;
        SortAscending = column == SortColumn ? !SortAscending : true;
        SortColumn = column;
        Presenter->OnSort(static_cast<FleetColumn>(column), SortAscending);
        ReportCurrentRow();
        break;
    }
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey == VK_DELETE)
            RemoveCurrent();
        break;
    case LVN_GETINFOTIPW: {
        // The row's state whole, with all the presenter knows of it.
        auto& tip = const_cast<NMLVGETINFOTIPW&>(reinterpret_cast<const NMLVGETINFOTIPW&>(header));
        if (tip.iItem >= 0 && static_cast<size_t>(tip.iItem) < Rows.size() && tip.cchTextMax > 0) {
            const FleetRow& row = Rows[static_cast<size_t>(tip.iItem)];
            TipText = Wide(row.Cells[0] + ": " + row.Tip);
            lstrcpynW(tip.pszText, TipText.c_str(), tip.cchTextMax);
        }
        break;
    }
    case NM_CUSTOMDRAW:
        return OnCustomDraw(const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header)));
    default:
        break;
    }
    return 0;
}

LRESULT Win32FleetWindow::OnCustomDraw(NMLVCUSTOMDRAW& draw) {
    // Each state in its colour, those that need action in bold.
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
        return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
        const size_t row = draw.nmcd.dwItemSpec;
        const bool state = draw.iSubItem == kState && row < Rows.size();
        const FleetTone tone = state ? Rows[row].Tone : FleetTone::Plain;
        draw.clrText = ToneColour(tone);
        SelectObject(draw.nmcd.hdc,
                     tone == FleetTone::Incomplete || tone == FleetTone::Failed ? BoldFont : Font);
        return CDRF_NEWFONT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

LRESULT Win32FleetWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // While an update runs the presenter asks, and the session may not end.
    if (const std::optional<LRESULT> answer = CommonWindowMessage(
            Window, Posted, message, wParam, lParam,
            [this] { return Presenter == nullptr || Presenter->OnCloseRequest(); },
            [this] { return Presenter != nullptr && Presenter->Busy(); }))
        return *answer;
    switch (message) {
    case WM_COMMAND:
        // A button's click, a key of the keys table (F5), a menu's command.
        if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == 1)
            OnCommand(LOWORD(wParam));
        return 0;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == Control(DEVICES)) {
            const HMENU menu = CreatePopupMenu();
            AppendMenuW(menu, MF_STRING, REMOVE, L"&Remove from the table\tDel");
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (at.x == -1 && at.y == -1) { // from the keyboard
                at = {0, 0};
                ClientToScreen(Control(DEVICES), &at);
            }
            TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, Window,
                           nullptr);
            DestroyMenu(menu);
            return 0;
        }
        break;
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
        // The least size holds every control; a work area smaller than that still holds the window.
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        const SIZE least =
            WindowSizeForClient({Scale(kLeastWidth), Scale(kLeastHeight)}, kStyle, 0, Scale.Value());
        RECT work{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        limits->ptMinTrackSize = {std::min<LONG>(least.cx, work.right - work.left),
                                  std::min<LONG>(least.cy, work.bottom - work.top)};
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

void Win32FleetWindow::Close() {
    PostMessageW(Window, WM_CLOSE, 0, 0);
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

void Win32FleetWindow::SetInputs(const FleetInputs& inputs) {
    SetWindowTextW(Control(RANGE), Wide(inputs.Range).c_str());
    SetWindowTextW(Control(PORT), Wide(inputs.Port).c_str());
    SendMessageW(Control(JOBSSPIN), UDM_SETPOS32, 0, inputs.Jobs);
    SendMessageW(Control(RETRIESSPIN), UDM_SETPOS32, 0, inputs.Retries);
    SetWindowTextW(Control(WAVES), Wide(inputs.Waves).c_str());
    SetWindowTextW(Control(MAXFAILED), Wide(inputs.MaxFailed).c_str());
    if (inputs.Width > 0 && inputs.Height > 0)
        PlaceOnWorkArea(inputs.Width, inputs.Height);
}

FleetInputs Win32FleetWindow::Inputs() {
    FleetInputs inputs{WindowText(Control(RANGE)),
                       WindowText(Control(PORT)),
                       NumberIn(Control(JOBS)),
                       NumberIn(Control(RETRIES)),
                       0,
                       0,
                       WindowText(Control(WAVES)),
                       WindowText(Control(MAXFAILED))};
    // The size it has when neither maximized nor minimized, as a client area in logical pixels.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (GetWindowPlacement(Window, &placement)) {
        const SIZE frame = WindowSizeForClient({0, 0}, kStyle, 0, Scale.Value());
        const RECT& r = placement.rcNormalPosition;
        inputs.Width =
            MulDiv(r.right - r.left - frame.cx, USER_DEFAULT_SCREEN_DPI, static_cast<int>(Scale.Value()));
        inputs.Height =
            MulDiv(r.bottom - r.top - frame.cy, USER_DEFAULT_SCREEN_DPI, static_cast<int>(Scale.Value()));
    }
    return inputs;
}

void Win32FleetWindow::SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) {
    const HWND table = Control(DEVICES);
    Drawing = true;
    SendMessageW(table, WM_SETREDRAW, FALSE, 0);
    Rows.resize(count);
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
        if (position >= count)
            continue;
        for (size_t c = 0; c < kFleetColumns; ++c) {
            if (Rows[position].Cells[c] == row.Cells[c] && !row.Cells[c].empty())
                continue;
            std::wstring text = Wide(row.Cells[c]);
            LVITEMW item{};
            item.iSubItem = static_cast<int>(c);
            item.pszText = text.data();
            SendMessageW(table, LVM_SETITEMTEXTW, position, reinterpret_cast<LPARAM>(&item));
        }
        ListView_SetCheckState(table, static_cast<UINT>(position), row.Selected ? TRUE : FALSE);
        Rows[position] = row;
    }
    SendMessageW(table, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(table, nullptr, FALSE);
    Drawing = false;
}

void Win32FleetWindow::SetTip(int id, const std::string& tip) {
    std::wstring text = Wide(tip);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = Window;
    tool.uId = reinterpret_cast<UINT_PTR>(Control(id));
    tool.lpszText = text.data();
    SendMessageW(Tips, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void Win32FleetWindow::SetSelection(const std::string& text) {
    SetWindowTextW(Control(SELECTION), Wide(text).c_str());
    SetTip(SELECTION, text);
}

void Win32FleetWindow::SetSelectChoices(const std::vector<std::string>& choices) {
    const HWND list = Control(SELECTBY);
    const std::string current = WindowText(list);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& c : choices)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(c).c_str()));
    const LRESULT at = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                    reinterpret_cast<LPARAM>(Wide(current).c_str()));
    SendMessageW(list, CB_SETCURSEL, at != CB_ERR ? at : (choices.empty() ? -1 : 0), 0);
}

void Win32FleetWindow::SetConfigInfo(const std::string& text, const std::string& tip) {
    SetWindowTextW(Control(CONFIGINFO), Wide(text).c_str());
    SetTip(CONFIGINFO, tip.empty() ? text : tip);
}

void Win32FleetWindow::SetStatus(const std::string& text) {
    const std::wstring wide = Wide(text);
    SendMessageW(Control(STATUS), SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    SendMessageW(Control(STATUS), SB_SETTIPTEXTW, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32FleetWindow::SetOverall(int percent, const std::string& text) {
    const HWND bar = Control(OVERALL);
    if (percent >= 0)
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    ShowWindow(bar, percent >= 0 ? SW_SHOWNA : SW_HIDE);
    SetWindowTextW(Control(OVERALLTEXT), Wide(text).c_str());
    SetTip(OVERALLTEXT, text);
}

void Win32FleetWindow::SetSummary(const std::string& text, const std::string& tip) {
    SetWindowTextW(Control(SUMMARY), Wide(text).c_str());
    SetTip(SUMMARY, tip.empty() ? text : tip);
}

void Win32FleetWindow::SetDetails(const std::string& text) {
    // An edit control breaks lines at CR LF.
    std::string lines;
    for (const char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    const HWND details = Control(DETAILS);
    if (WindowText(details) == lines)
        return;
    // The same device again: the reader's place stays.
    const std::string before = WindowText(details);
    const bool same = before.substr(0, before.find('\r')) == lines.substr(0, lines.find('\r'));
    const LRESULT top = SendMessageW(details, EM_GETFIRSTVISIBLELINE, 0, 0);
    SetWindowTextW(details, Wide(lines).c_str());
    if (same)
        SendMessageW(details, EM_LINESCROLL, 0, top);
}

void Win32FleetWindow::SetControls(const FleetControls& c) {
    const HWND focused = GetFocus();
    if (c.Busy && !Busy)
        FocusBeforeBusy = focused;
    for (const int id : {SCAN, OPENLIST, ADD, CONFIG, BYVERSION, UPDATE})
        EnableWindow(Control(id), c.Busy ? FALSE : TRUE);
    EnableWindow(Control(RETRYFAILED), !c.Busy && c.RetryFailed);
    EnableWindow(Control(UPDATEREST), !c.Busy && c.UpdateRest);
    EnableWindow(Control(SAVEREPORT), !c.Busy && c.SaveReport);
    for (const int id :
         {SELECTALL, SELECTNONE, SELECTBY, SELECT, JOBS, RETRIES, JOBSSPIN, RETRIESSPIN, WAVES, MAXFAILED})
        EnableWindow(Control(id), c.SelectionLocked ? FALSE : TRUE);
    EnableWindow(Control(STOP), c.Busy ? TRUE : FALSE);
    // A job ended: the focus goes back where the operator was when it began (Add, Scan, a field).
    if (Busy && !c.Busy && FocusBeforeBusy != nullptr && IsWindow(FocusBeforeBusy) &&
        IsWindowEnabled(FocusBeforeBusy)) {
        const HWND now = GetFocus();
        if (now == nullptr || now == Control(STOP) || !IsWindowEnabled(now))
            SetFocus(FocusBeforeBusy);
    } else if (!Busy && c.Busy && focused != nullptr && !IsWindowEnabled(focused)) {
        SetFocus(Control(STOP));
    }
    Busy = c.Busy;
}

void Win32FleetWindow::InfoBox(const std::string& text) {
    InformationBox(Window, text);
}

bool Win32FleetWindow::AskStopAndClose(const std::string& text) {
    return AskWithButtons(Window, text, "&Stop and close", "&Keep open");
}

std::optional<std::string> Win32FleetWindow::ChooseFile(FileKind kind, const std::string& startFolder) {
    std::vector<FileFilter> filters;
    for (const FleetFileType& type : FleetFileTypes(kind)) {
        FileFilter f{type.Name, ""};
        for (const char* pattern : type.Patterns)
            f.Pattern +=
                std::string(f.Pattern.empty() ? "" : ";") + (std::string(pattern) == "*" ? "*.*" : pattern);
        filters.push_back(std::move(f));
    }
    switch (kind) {
    case FileKind::Config:
        return ChooseFileToOpen(Window, filters, "cfg", startFolder);
    case FileKind::DeviceList:
        return ChooseFileToOpen(Window, filters, "txt", startFolder);
    case FileKind::Report:
        return ChooseFileToSave(Window, filters, "csv", startFolder);
    }
    return std::nullopt;
}

std::optional<size_t> Win32FleetWindow::ChooseFromMenu(const std::vector<std::string>& entries) {
    const HMENU menu = CreatePopupMenu();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].empty()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        // An "&" in a file's name is shown, not taken for a mnemonic.
        std::wstring text;
        for (const wchar_t c : Wide(entries[i]))
            text += c == L'&' ? std::wstring(L"&&") : std::wstring(1, c);
        AppendMenuW(menu, MF_STRING, i + 1, text.c_str());
    }
    // Under the button, as a drop-down.
    RECT button{};
    GetWindowRect(Control(BYVERSION), &button);
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                       button.left, button.bottom, 0, Window, nullptr));
    DestroyMenu(menu);
    if (chosen == 0 || chosen > entries.size())
        return std::nullopt;
    return static_cast<size_t>(chosen - 1);
}

void Win32FleetWindow::PostToUi(std::function<void()> fn) {
    Posted.Post(std::move(fn));
}

void Win32FleetWindow::PostToUiAfter(int milliseconds, std::function<void()> fn) {
    const UINT_PTR id = NextTimer++;
    Timers[id] = std::move(fn);
    SetTimer(Window, id, static_cast<UINT>(milliseconds > 0 ? milliseconds : 1), nullptr);
}
