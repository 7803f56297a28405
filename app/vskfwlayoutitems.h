// The layout VSKFWLAYOUT of the main window as data, for the windows drawn without a layout file (the Win32
// window) and for the tests of every window: 23 controls in list order (also the focus order of the
// focusable ones), placed in layout units on a design area of 432 x 412. The Qt window has the same layout in
// app/qt/vskfwlayout.ui; its tests check the two against each other.
#pragma once

#include <string_view>

// How a control looks and what it takes.
enum class LayoutKind {
    PushButton,   // a label; runs its action when pressed
    Caption,      // a fixed text beside a value display
    ValueDisplay, // a text set by the program in an edit-field frame; not editable, takes no focus
    PlainText,    // a fixed text without frame
    DropList,     // list of (key, text) entries; read-only: shows what the program selects
    TextField,    // one line of text
    IntField,     // one integer
};

struct LayoutItem {
    const char* Id; // the layout id
    int ControlId;  // the control's number where the toolkit wants one (Win32)
    LayoutKind Kind;
    const char* Text;    // the control's text at start
    const char* Tooltip; // empty: none
    int X;               // left edge
    int Width;           // at the design width
    int Y;
    int Height;
    // Stretched items keep this margin from the right edge when the area is wider (0: left-anchored).
    int RightMargin = 0;

    constexpr int WidthIn(int areaWidth) const {
        return RightMargin > 0 ? areaWidth - X - RightMargin : Width;
    }
};

inline constexpr int kLayoutWidth = 432;
inline constexpr int kLayoutHeight = 412;

// Control numbers, in list order from 1000; the status bar and its progress bar follow.
namespace VskFwId {
enum : int {
    CONNECT = 1000,
    DATE,
    dv___2,
    dv___3,
    dv___4,
    dv___5,
    dv___6,
    dv___7,
    dv___8,
    DSPMODSERIAL,
    DSPMODNAME,
    MODE,
    OEMLIBNAME,
    OEMUSERNAME,
    OEMDEVICENAME,
    dv___15,
    KENNUNG,
    VERSION,
    dv___18,
    UPDATEFIRMWARE,
    EDITPORT,
    dv___21,
    IP,
    status = 1100,
    progress,
};
} // namespace VskFwId

inline constexpr LayoutItem kVskFwLayout[] = {
    {"CONNECT", VskFwId::CONNECT, LayoutKind::PushButton, "Connect", "", 104, 228, 68, 24, 100},
    {"DATE", VskFwId::DATE, LayoutKind::ValueDisplay, "", "", 208, 124, 160, 19},
    {"dv___2", VskFwId::dv___2, LayoutKind::Caption, "Version", "", 108, 96, 136, 21},
    {"dv___3", VskFwId::dv___3, LayoutKind::Caption, "Date", "", 108, 96, 160, 21},
    {"dv___4", VskFwId::dv___4, LayoutKind::Caption, "Seriennummer", "", 108, 96, 184, 21},
    {"dv___5", VskFwId::dv___5, LayoutKind::Caption, "Mode", "", 108, 96, 208, 21},
    {"dv___6", VskFwId::dv___6, LayoutKind::Caption, "ManName", "", 108, 96, 232, 21},
    {"dv___7", VskFwId::dv___7, LayoutKind::Caption, "UserName", "", 108, 96, 256, 21},
    {"dv___8", VskFwId::dv___8, LayoutKind::Caption, "OemDeviceName", "", 108, 96, 280, 21},
    {"DSPMODSERIAL", VskFwId::DSPMODSERIAL, LayoutKind::ValueDisplay, "", "", 208, 124, 184, 19},
    {"DSPMODNAME", VskFwId::DSPMODNAME, LayoutKind::ValueDisplay, "", "", 208, 124, 232, 19},
    {"MODE", VskFwId::MODE, LayoutKind::ValueDisplay, "", "", 208, 124, 208, 19},
    {"OEMLIBNAME", VskFwId::OEMLIBNAME, LayoutKind::ValueDisplay, "", "", 208, 124, 304, 19},
    {"OEMUSERNAME", VskFwId::OEMUSERNAME, LayoutKind::ValueDisplay, "", "", 208, 124, 256, 19},
    {"OEMDEVICENAME", VskFwId::OEMDEVICENAME, LayoutKind::ValueDisplay, "", "", 208, 124, 280, 19},
    {"dv___15", VskFwId::dv___15, LayoutKind::Caption, "Kennung", "", 108, 96, 112, 21},
    {"KENNUNG", VskFwId::KENNUNG, LayoutKind::DropList, "", "", 208, 124, 112, 19},
    {"VERSION", VskFwId::VERSION, LayoutKind::ValueDisplay, "", "", 208, 124, 136, 19},
    {"dv___18", VskFwId::dv___18, LayoutKind::Caption, "LibraryName", "", 108, 96, 304, 21},
    {"UPDATEFIRMWARE", VskFwId::UPDATEFIRMWARE, LayoutKind::PushButton, "Update Firmware", "", 156, 120, 344,
     24},
    {"EDITPORT", VskFwId::EDITPORT, LayoutKind::IntField, "", "Enter Id", 288, 48, 32, 21},
    {"dv___21", VskFwId::dv___21, LayoutKind::PlainText, "IP", "", 132, 28, 32, 21},
    {"IP", VskFwId::IP, LayoutKind::TextField, "", "Enter IP-Adresse \"192.168.1.100\"", 160, 124, 32, 21},
};

// The item with this layout id, or nullptr.
constexpr const LayoutItem* FindLayoutItem(std::string_view id) {
    for (const LayoutItem& item : kVskFwLayout)
        if (id == item.Id)
            return &item;
    return nullptr;
}
