// Tests of fwupdate.exe, the Win32 window, from outside as an operator would drive it (under Wine, on an X
// server of the test command's own): a copy of the program in a folder of each test, the device simulator
// fwdevsim.exe on 127.0.0.60-63, the window found by its title and its controls by their ids, typed into,
// pressed and read, the real file dialog driven to a configuration, the information boxes answered.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/q7config.h"
#include "app/settings.h"
#include "app/vskfwlayoutitems.h"
#include "app/win32/win32mainwindow.h"
#include "base/platform.h"
#include "tests/app/win32/windowdriver.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The program under test: the build's, or the one given (an installed copy).
std::wstring ProgramUnderTest() {
    if (const char* given = std::getenv("FWUPDATE_WINDOW_EXE"))
        return PathFromUtf8(given).wstring();
    return NativePath(FWUPDATE_EXE);
}

std::wstring W(const std::string& utf8) {
    return PathFromUtf8(utf8).wstring();
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The screen shows the colour at a point of the window once it has been painted.
::testing::AssertionResult ShowsColour(HWND window, POINT at, COLORREF colour) {
    COLORREF shown = CLR_INVALID;
    if (WaitFor([&] { return (shown = ClientPixel(window, at)) == colour; }, 5s))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "colour " << std::hex << shown << " instead of " << colour;
}

class Win32Window : public ::testing::Test {
protected:
    void SetUp() override {
        std::setvbuf(stdout, nullptr, _IONBF,
                     0); // a failure's message is out before anything can end the test
        ASSERT_FALSE(folder.Path().empty());
        top = folder.Path();
        ASSERT_TRUE(fs::create_directories(top / "program"));
        ASSERT_TRUE(fs::create_directories(top / "release"));
        // Each test runs its own copy, which keeps data.dat and its log beside itself.
        program = top / "program" / "fwupdate.exe";
        fs::copy_file(ProgramUnderTest(), program);
        image = DemoImage(12 * 256 + 7, 5);
        ConfigFields fields;
        fields.Filename = "DSPMAIN.bin";
        fields.FwVersion = 3;
        fields.FwRevision = 9;
        ASSERT_TRUE(
            WriteRelease(PathToUtf8(top / "release" / "DSPMAIN.bin"), image, fields, PathToUtf8(cfg)));
    }
    void TearDown() override {
        window.Kill();
        sim.Kill();
    }

    // Starts fwdevsim.exe on address with a free port (or the one given), telling the session's report and
    // the image it received.
    void StartSim(const std::string& address, const std::wstring& options = {}, int port = 0) {
        const std::wstring arguments = L"--address " + W(address) + L" --port " + std::to_wstring(port) +
                                       L" --no-reconnect-port --once --image-out \"" +
                                       (top / "received.bin").wstring() + L"\" " + options;
        ASSERT_TRUE(sim.Start(NativePath(FWDEVSIM_EXE), arguments, top.wstring(),
                              (top / "sim.json").wstring(), (top / "sim.err").wstring()));
        ASSERT_TRUE(WaitFor([&] {
            const std::string err = ReadAll(top / "sim.err");
            const size_t at = err.find("listening on " + address + ":");
            if (at == std::string::npos)
                return false;
            simPort = std::atoi(err.c_str() + at + 14 + address.size());
            return simPort > 0;
        })) << ReadAll(top / "sim.err");
    }

    // Starts the program and finds its window by the title it should have.
    void StartWindow(const std::wstring& arguments, const std::wstring& title) {
        ASSERT_TRUE(window.Start(program.wstring(), arguments, program.parent_path().wstring()));
        ASSERT_TRUE(WaitFor([&] { return (main = FindTopWindow(window.Id(), nullptr, title)) != nullptr; }))
            << "no window titled " << PathToUtf8(title) << "; the program's windows:\n"
            << DescribeWindows(window.Id());
        status = GetDlgItem(main, VskFwId::status);
        ASSERT_NE(status, nullptr);
    }

    HWND Control(int id) const { return GetDlgItem(main, id); }
    bool Online() const {
        return StatusPartValue(status, Win32MainWindow::kOnlinePart) == Win32MainWindow::kOnlineValue;
    }

    void Connect(const std::string& address, int port) {
        Type(Control(VskFwId::IP), W(address));
        Type(Control(VskFwId::EDITPORT), std::to_wstring(port));
        Press(Control(VskFwId::CONNECT));
    }

    // Presses "Update Firmware" and picks the configuration in the system's file dialog.
    void UpdateWith(const fs::path& file) {
        PressLater(Control(VskFwId::UPDATEFIRMWARE));
        ASSERT_TRUE(AnswerFileDialog(window.Id(), file.wstring()));
    }

    // Waits for an information box of the program, returns its text and presses its "OK".
    std::wstring AnswerBox() {
        HWND box = nullptr;
        if (!WaitFor([&] { return (box = FindDialog(window.Id())) != nullptr; }))
            return L"(no box)";
        const std::wstring text = Text(GetDlgItem(box, 0xFFFF));
        EXPECT_EQ(Text(GetDlgItem(box, IDOK)), L"OK");
        PressLater(GetDlgItem(box, IDOK));
        WaitFor([&] { return !IsWindow(box); });
        return text;
    }

    size_t LogCount(const std::string& line) const {
        return CountLogLine(program.parent_path() / "fwupdate.log", line);
    }

    TestFolder folder{"win32window"};
    fs::path top;
    fs::path program;
    fs::path cfg = fs::path(folder.Path()) / "release" / "fw.cfg";
    std::vector<uint8_t> image;
    ChildProcess sim;
    int simPort = 0;
    ChildProcess window;
    HWND main = nullptr;
    HWND status = nullptr;
};

TEST_F(Win32Window, StartsWithItsLayoutDefaultsAndAnOfflineStatusBar) {
    StartWindow(L"", L"FW-Update OEM=19 V1.4");
    wchar_t name[64] = {};
    GetClassNameW(main, name, 64);
    EXPECT_STREQ(name, Win32MainWindow::kClassName);

    // Fixed size: no sizing frame, no maximize box, no menu; centred on the work area.
    const LONG style = GetWindowLongW(main, GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(GetMenu(main), nullptr);
    const DpiScale scale(GetDpiForWindow(main));
    std::printf("the window at %u DPI\n", scale.Value()); // the test command runs this test at three scales
    RECT client{};
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, scale(kLayoutWidth));
    EXPECT_EQ(client.bottom, scale(kLayoutHeight));
    RECT frame{}, work{};
    GetWindowRect(main, &frame);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((frame.left + frame.right) / 2, (work.left + work.right) / 2, 2);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, (work.top + work.bottom) / 2, 2);

    // Every control at its place with its text, whole: measured in the design font at the window's DPI.
    const HFONT font = MakeDesignFont(scale.Value(), 11);
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ previous = SelectObject(dc, font);
    for (const LayoutItem& item : kVskFwLayout) {
        const HWND control = Control(item.ControlId);
        ASSERT_NE(control, nullptr) << item.Id;
        const RECT r = RectInParent(control);
        EXPECT_EQ(r.left, scale(item.X)) << item.Id;
        EXPECT_EQ(r.top, scale(item.Y)) << item.Id;
        // A caption may take the gap of 4 units before its value where this system's font needs it.
        EXPECT_GE(r.right - r.left, scale(item.WidthIn(kLayoutWidth))) << item.Id;
        EXPECT_LE(r.right - r.left,
                  scale(item.WidthIn(kLayoutWidth) + (item.Kind == LayoutKind::Caption ? 4 : 0)))
            << item.Id;
        EXPECT_EQ(r.bottom - r.top, scale(item.Height)) << item.Id;
        if (item.Kind == LayoutKind::PushButton || item.Kind == LayoutKind::Caption ||
            item.Kind == LayoutKind::PlainText) {
            EXPECT_EQ(Text(control), W(item.Text)) << item.Id;
            const std::wstring text = W(item.Text);
            SIZE extent{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            EXPECT_LE(extent.cx, r.right - r.left) << item.Id << " is cut";
            EXPECT_LE(extent.cy, r.bottom - r.top) << item.Id << " is cut";
        }
    }
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    // Focus order CONNECT, UPDATEFIRMWARE, EDITPORT, IP.
    std::vector<int> order{VskFwId::CONNECT};
    for (int i = 0; i < 4; ++i)
        order.push_back(GetDlgCtrlID(GetNextDlgTabItem(main, Control(order.back()), FALSE)));
    EXPECT_EQ(order, (std::vector<int>{VskFwId::CONNECT, VskFwId::UPDATEFIRMWARE, VskFwId::EDITPORT,
                                       VskFwId::IP, VskFwId::CONNECT}));

    EXPECT_EQ(Text(Control(VskFwId::IP)), L"192.168.10.10");
    EXPECT_EQ(Text(Control(VskFwId::EDITPORT)), L"2000");
    EXPECT_EQ(Text(Control(VskFwId::KENNUNG)), L"-----------");
    EXPECT_EQ(SendMessageW(Control(VskFwId::KENNUNG), CB_GETCOUNT, 0, 0), 14);

    // Status bar: main area, info2 "---", info1, then the red OFFLINE field at the right end.
    EXPECT_EQ(StatusText(status, Win32MainWindow::kInfo2Part), L"---");
    EXPECT_EQ(StatusText(status, Win32MainWindow::kInfo1Part), L"");
    EXPECT_FALSE(Online());
    const RECT info2 = StatusPartRect(status, Win32MainWindow::kInfo2Part);
    const RECT info1 = StatusPartRect(status, Win32MainWindow::kInfo1Part);
    const RECT online = StatusPartRect(status, Win32MainWindow::kOnlinePart);
    EXPECT_LE(info2.right, info1.left + 2);
    EXPECT_LE(info1.right, online.left + 2);
    EXPECT_NEAR(online.right - online.left, scale(Win32MainWindow::kOnlineWidth), 4);
    EXPECT_NEAR(info1.right - info1.left, scale(Win32MainWindow::kInfo1Width), 4);
    EXPECT_GT(info2.left, scale(100)); // room for the main area
    EXPECT_TRUE(ShowsColour(status, {online.right - 3, online.bottom - 3}, RGB(255, 0, 0)));

    // The port takes digits only; KENNUNG only shows what the program selects.
    Type(Control(VskFwId::EDITPORT), L"2x0-0 0");
    EXPECT_EQ(Text(Control(VskFwId::EDITPORT)), L"2000");
    const HWND kennung = Control(VskFwId::KENNUNG);
    SendMessageW(kennung, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(kennung, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    SendMessageW(kennung, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(SendMessageW(kennung, CB_GETDROPPEDSTATE, 0, 0), FALSE);
    EXPECT_EQ(Text(kennung), L"-----------");

    // Closing: the window goes, the program ends and keeps data.dat beside itself.
    PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(window.WaitForEnd(10s, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(fs::exists(program.parent_path() / "data.dat"));
}

TEST_F(Win32Window, AdminArgumentGivesTheAdminTitle) {
    StartWindow(L"x -admin", L"FW-Update ADMIN V1.4");
}

TEST_F(Win32Window, ConnectsShowsTheDeviceAndUpdatesIt) {
    // For the picture in docs/ the simulator takes the address and port of scripts/run.sh.
    const char* screenshots = std::getenv("FWUPDATE_SCREENSHOT_DIR");
    const std::string address = screenshots != nullptr ? "127.0.0.1" : "127.0.0.60";
    StartSim(address, {}, screenshots != nullptr ? 2000 : 0);
    StartWindow(L"", L"FW-Update OEM=19 V1.4");
    Connect(address, simPort);
    ASSERT_TRUE(WaitFor([&] { return Online() && !Text(Control(VskFwId::OEMLIBNAME)).empty(); }));
    EXPECT_EQ(Text(Control(VskFwId::CONNECT)), L"Close");
    const std::pair<int, const wchar_t*> shown[] = {{VskFwId::KENNUNG, L"19 FARQUIN"},
                                                    {VskFwId::VERSION, L"HWV=1.4"},
                                                    {VskFwId::DATE, L""},
                                                    {VskFwId::DSPMODSERIAL, L"12345678"},
                                                    {VskFwId::MODE, L"1Fh"},
                                                    {VskFwId::DSPMODNAME, L"DSP-Q7"},
                                                    {VskFwId::OEMUSERNAME, L"OEM User"},
                                                    {VskFwId::OEMDEVICENAME, L"Q7 Demo"},
                                                    {VskFwId::OEMLIBNAME, L"Lib 1.4"}};
    for (const auto& [id, text] : shown)
        EXPECT_EQ(Text(Control(id)), text) << id;
    const RECT online = StatusPartRect(status, Win32MainWindow::kOnlinePart);
    EXPECT_TRUE(ShowsColour(status, {online.right - 3, online.bottom - 3}, RGB(0, 255, 0)));
    if (screenshots != nullptr)
        SaveWindowBitmap(main, PathFromUtf8(std::string(screenshots) + "/window-windows.bmp").wstring());

    UpdateWith(cfg);
    // The update runs, the window answers: progress in the status bar, no second start, no closing under it.
    ASSERT_TRUE(
        WaitFor([&] { return StatusText(status, Win32MainWindow::kMainPart) == L"Firmware Update:"; }));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(status, VskFwId::progress)));
    EXPECT_FALSE(IsWindowEnabled(Control(VskFwId::UPDATEFIRMWARE)));
    EXPECT_FALSE(IsWindowEnabled(Control(VskFwId::CONNECT)));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(AnswerBox(), W(Q7Config::kUpdateRunningText));
    EXPECT_TRUE(IsWindowVisible(main));

    ASSERT_TRUE(WaitFor([&] { return Text(status) == L"Firmwareupdate OK"; }, 60s))
        << PathToUtf8(Text(status));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(status, VskFwId::progress)));
    // The buttons come back as the update's call returns, just after its result is shown.
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(VskFwId::UPDATEFIRMWARE)) != FALSE; }, 10s));
    // The result stays for 2000 ms.
    EXPECT_TRUE(WaitFor([&] { return Text(status).empty(); }, 10s));

    // Close once the device has acknowledged the end of the update; it tells what arrived.
    ASSERT_TRUE(WaitFor([&] { return LogCount("Q7Config::MsgCallback: WOK Obj(10,9)") == 2; }));
    Press(Control(VskFwId::CONNECT));
    ASSERT_TRUE(sim.WaitForEnd(20s));
    const std::string report = ReadAll(top / "sim.json");
    for (const std::string field : {"\"pages\":13", "\"bytes\":3079", "\"name\":\"DSPMAIN\"", "\"version\":3",
                                    "\"revision\":9", "\"orderErrors\":0", "\"imageEnded\":true"})
        EXPECT_NE(report.find(field), std::string::npos) << field << " in " << report;
    const std::string received = ReadAll(top / "received.bin");
    EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.end()), image);
    ASSERT_TRUE(WaitFor([&] { return !Online() && Text(Control(VskFwId::CONNECT)) == L"Connect"; }));

    // data.dat keeps the configuration's folder.
    PostMessageW(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(window.WaitForEnd(10s));
    const std::string dat = ReadAll(program.parent_path() / "data.dat");
    const auto folderKept = DecodeSettings(std::vector<uint8_t>(dat.begin(), dat.end()));
    ASSERT_TRUE(folderKept.has_value());
    EXPECT_TRUE(fs::equivalent(PathFromUtf8(*folderKept), cfg.parent_path())) << *folderKept;
}

TEST_F(Win32Window, RefusedConnectionLeavesTheWindowDisconnected) {
    StartSim("127.0.0.61", L"--refuse");
    StartWindow(L"", L"FW-Update OEM=19 V1.4");
    Connect("127.0.0.61", simPort);
    // Refused at once, or soon after through CLOSED: either way the window ends disconnected.
    ASSERT_TRUE(WaitFor([&] { return Text(Control(VskFwId::CONNECT)) == L"Connect"; }));
    EXPECT_FALSE(Online());
    EXPECT_EQ(Text(status), L"");
    EXPECT_EQ(FindDialog(window.Id()), nullptr);
}

TEST_F(Win32Window, OemRefusalIsToldInAnInformationBox) {
    StartSim("127.0.0.62", L"--oem 11");
    StartWindow(L"", L"FW-Update OEM=19 V1.4");
    Connect("127.0.0.62", simPort);
    ASSERT_TRUE(WaitFor([&] { return Text(Control(VskFwId::KENNUNG)) == L"11 KORVAL"; }));
    UpdateWith(cfg);
    EXPECT_EQ(AnswerBox(), L"Online 19 Devices can be updated");
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(VskFwId::UPDATEFIRMWARE)) != FALSE; }));
    Press(Control(VskFwId::CONNECT));
    ASSERT_TRUE(sim.WaitForEnd(20s));
    const std::string report = ReadAll(top / "sim.json");
    EXPECT_NE(report.find("\"writes\":0"), std::string::npos) << report;
}

// An installed copy (FWUPDATE_WINDOW_EXE names it; the test command installs the MSI first) keeps data.dat
// and its log in %LOCALAPPDATA%\fwupdate\, never beside itself in Program Files, also where it could write
// there (as under Wine).
TEST(InstalledWindow, KeepsItsFilesPerUser) {
    const char* installed = std::getenv("FWUPDATE_WINDOW_EXE");
    if (installed == nullptr)
        GTEST_SKIP() << "no installed copy named (FWUPDATE_WINDOW_EXE)";
    const fs::path program = PathFromUtf8(installed);
    const fs::path perUser = StateFolder() / "fwupdate";
    ASSERT_FALSE(perUser.parent_path().empty());
    fs::remove_all(perUser);
    TestFolder folder("installedwindow");
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(
        NativePath(FWDEVSIM_EXE), L"--address 127.0.0.63 --port 0 --no-reconnect-port --once",
        PathFromUtf8(folder.Path()).wstring(), {}, (PathFromUtf8(folder.Path()) / "sim.err").wstring()));
    int port = 0;
    ASSERT_TRUE(WaitFor([&] {
        const std::string err = ReadAll(PathFromUtf8(folder.Path()) / "sim.err");
        const size_t at = err.find("listening on 127.0.0.63:");
        return at != std::string::npos && (port = std::atoi(err.c_str() + at + 24)) > 0;
    }));

    ChildProcess window;
    ASSERT_TRUE(window.Start(program.wstring(), L"", program.parent_path().wstring()));
    HWND main = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] { return (main = FindTopWindow(window.Id(), nullptr, L"FW-Update OEM=19 V1.4")) != nullptr; }));
    const HWND status = GetDlgItem(main, VskFwId::status);
    Type(GetDlgItem(main, VskFwId::IP), L"127.0.0.63");
    Type(GetDlgItem(main, VskFwId::EDITPORT), std::to_wstring(port));
    Press(GetDlgItem(main, VskFwId::CONNECT));
    ASSERT_TRUE(WaitFor([&] {
        return StatusPartValue(status, Win32MainWindow::kOnlinePart) == Win32MainWindow::kOnlineValue;
    }));
    PostMessageW(main, WM_CLOSE, 0, 0);
    ASSERT_TRUE(window.WaitForEnd(10s));

    EXPECT_TRUE(fs::exists(perUser / "data.dat"));
    EXPECT_NE(CountLogLine(perUser / "fwupdate.log", "Q7Config::MsgCallback: CONNECTED"), 0u);
    for (const char* beside : {"data.dat", "fwupdate.log"})
        EXPECT_FALSE(fs::exists(program.parent_path() / beside)) << beside;
}

} // namespace
