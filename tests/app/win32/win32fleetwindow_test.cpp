// The Win32 window of many devices, fwupdate.exe -devices, driven from outside as an operator would (under
// Wine, on an X server of the test command's own) against fwdevsim.exe playing twenty devices on
// 127.0.0.100-119, two of them faulty: scanned, selected, updated; the table, the kept summary, the reports
// and what the devices received agree. Its layout from its least size up at the display scale of the run
// (the test command runs it again at 125 % and 150 %), and its keys. And 200 devices updated at once, after
// which the window closes cleanly.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "app/win32/win32fleetwindow.h"
#include "base/platform.h"
#include "tests/app/win32/windowdriver.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using W = ::Win32FleetWindow;

namespace {

constexpr int kState = static_cast<int>(FleetColumn::State);

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Win32FleetWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder.Path().empty());
        top = folder.Path();
        ASSERT_TRUE(fs::create_directories(top / "program"));
        program = top / "program" / "fwupdate.exe";
        fs::copy_file(NativePath(FWUPDATE_EXE), program);
        image = DemoImage(700, 3);
        ConfigFields fields;
        fields.Filename = "fw.bin";
        ASSERT_TRUE(WriteRelease(PathToUtf8(top / "fw.bin"), image, fields, PathToUtf8(top / "fw.cfg")));
    }
    // Starts fwdevsim.exe with these options (an address and a port among them); the port it listens on.
    int StartSim(ChildProcess& sim, const std::wstring& options, const std::string& tag) {
        const fs::path err = top / (tag + ".err");
        EXPECT_TRUE(sim.Start(NativePath(FWDEVSIM_EXE), L"--no-reconnect-port " + options, top.wstring(),
                              (top / (tag + ".json")).wstring(), err.wstring()));
        int port = 0;
        // "listening on 20 devices, 127.0.0.100 to 127.0.0.119:PORT"
        EXPECT_TRUE(WaitFor([&] {
            const std::string text = ReadAll(err);
            const size_t at = text.find("listening on ");
            const size_t end = text.find('\n', at);
            const size_t colon = at == std::string::npos || end == std::string::npos ? std::string::npos
                                                                                     : text.rfind(':', end);
            return colon != std::string::npos && colon > at &&
                   (port = std::atoi(text.c_str() + colon + 1)) > 0;
        })) << ReadAll(err);
        return port;
    }
    void StartWindow() {
        ASSERT_TRUE(window.Start(program.wstring(), L"-devices", program.parent_path().wstring()));
        ASSERT_TRUE(WaitFor([&] {
            return (main = FindTopWindow(window.Id(), W::kClassName, L"FW-Update devices OEM=19 V1.4")) !=
                   nullptr;
        })) << DescribeWindows(window.Id());
    }
    HWND Control(int id) const { return GetDlgItem(main, id); }
    std::wstring Status() const { return StatusText(Control(W::STATUS), 0); }
    bool StatusBegins(const std::wstring& text) const { return Status().rfind(text, 0) == 0; }
    void Scan(const std::wstring& range, int port) {
        SendMessageW(Control(W::RANGE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(range.c_str()));
        Type(Control(W::PORT), std::to_wstring(port));
        Press(Control(W::SCAN));
        ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Scan ended"); }, 60s)) << PathToUtf8(Status());
    }
    void ChooseConfig() {
        PressLater(Control(W::CONFIG));
        ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "fw.cfg").wstring()));
        ASSERT_TRUE(WaitFor([&] {
            return Text(Control(W::CONFIGINFO)).rfind(L"image checks out: fw.cfg", 0) == 0;
        })) << PathToUtf8(Text(Control(W::CONFIGINFO)));
    }
    void Close() {
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_TRUE(window.WaitForEnd(20s));
    }

    TestFolder folder{"win32fleetwindow"};
    fs::path top, program;
    std::vector<uint8_t> image;
    ChildProcess window;
    HWND main = nullptr;
};

TEST_F(Win32FleetWindow, ScansSelectsUpdatesAndReportsTwentyDevices) {
    // Devices 3 and 11 (127.0.0.103 and .111) reply with an error to the second page.
    ChildProcess sim;
    const int port =
        StartSim(sim, L"--address 127.0.0.100 --port 0 --count 20 --error-on-page 1 --faulty 3,11", "sim");
    ASSERT_NE(port, 0);
    StartWindow();
    const HWND table = Control(W::DEVICES);
    EXPECT_FALSE(IsWindowEnabled(Control(W::STOP)));
    Scan(L"127.0.0.100-119", port);
    ASSERT_EQ(ListRows(table), 20);
    const std::wstring p = L":" + std::to_wstring(port);
    EXPECT_EQ(ListCell(table, 0, 0), L"127.0.0.100" + p);
    EXPECT_EQ(ListCell(table, 0, static_cast<int>(FleetColumn::Kennung)), L"19 FARQUIN");
    EXPECT_EQ(ListCell(table, 0, static_cast<int>(FleetColumn::Version)), L"HWV=1.4");
    EXPECT_EQ(ListCell(table, 19, kState), L"found");

    // Every device of the version found (the last choice), but the last one.
    const HWND choices = Control(W::SELECTBY);
    SendMessageW(choices, CB_SETCURSEL, SendMessageW(choices, CB_GETCOUNT, 0, 0) - 1, 0);
    EXPECT_EQ(Text(choices), L"HWV=1.4");
    Press(Control(W::SELECT));
    SetListChecked(table, 19, false);
    EXPECT_EQ(Text(Control(W::SELECTION)), L"19 of 20 selected");
    ChooseConfig();
    Type(Control(W::JOBS), L"10");
    Type(Control(W::RETRIES), L"0");
    Press(Control(W::UPDATE));
    EXPECT_FALSE(IsWindowEnabled(Control(W::SELECTALL))) << "the selection is the run's own";
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Update ended"); }, 120s)) << PathToUtf8(Status());
    const fs::path report = program.parent_path() / "fwupdate-last-run.csv";
    EXPECT_EQ(Status(), L"Update ended: 17 OK, 2 incomplete; report: " + report.wstring());
    for (int row = 0; row < 20; ++row) {
        const std::wstring state = ListCell(table, row, kState);
        if (row == 3 || row == 11)
            EXPECT_EQ(state.rfind(L"incomplete: failed: update failed: ", 0), 0u)
                << row << " " << PathToUtf8(state);
        else
            EXPECT_EQ(state, row == 19 ? L"found" : L"OK") << row;
    }
    const std::wstring summary = Text(Control(W::SUMMARY));
    EXPECT_NE(summary.find(L"flash incomplete: 127.0.0.103" + p + L", 127.0.0.111" + p), std::wstring::npos)
        << PathToUtf8(summary);
    EXPECT_TRUE(IsWindowEnabled(Control(W::UPDATEREST)) && IsWindowEnabled(Control(W::RETRYFAILED)));
    // The details of the highlighted device.
    SelectListRow(table, 3);
    ASSERT_TRUE(WaitFor([&] {
        return Text(Control(W::DETAILS)).rfind(L"127.0.0.103" + p + L"\r\nState: ", 0) == 0;
    })) << PathToUtf8(Text(Control(W::DETAILS)));

    // The report beside the log, the one saved where the operator chose (its run as the command line fills
    // it, its paths with the Windows separator), and what the devices received.
    const std::string csv = ReadAll(report);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 20) << csv;
    PressLater(Control(W::SAVEREPORT));
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "saved.json").wstring()));
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Report saved: "); })) << PathToUtf8(Status());
    EXPECT_EQ(Text(Control(W::SUMMARY)), summary) << "a save keeps the summary";
    const nlohmann::json saved = nlohmann::json::parse(ReadAll(top / "saved.json"), nullptr, false);
    ASSERT_TRUE(saved.is_object()) << ReadAll(top / "saved.json");
    const nlohmann::json& run = saved.at("run");
    EXPECT_EQ(run.value("tool", ""), "fwupdate");
    EXPECT_EQ(run.value("host", ""), HostName());
    EXPECT_TRUE(run.at("end").is_string());
    const std::string imagePath = saved.at("devices").at(0).value("image", "");
    EXPECT_EQ(imagePath.find('/'), std::string::npos) << imagePath;
    std::map<std::string, nlohmann::json> updates;
    ASSERT_TRUE(WaitFor([&] {
        updates.clear();
        std::istringstream lines(ReadAll(top / "sim.json"));
        size_t sessions = 0;
        for (std::string line; std::getline(lines, line); ++sessions) {
            const nlohmann::json s = nlohmann::json::parse(line, nullptr, false);
            if (s.is_object() && s.value("writes", 0) > 0)
                updates[s.value("address", "")] = s;
        }
        return sessions >= 39;
    })) << ReadAll(top / "sim.json");
    ASSERT_EQ(updates.size(), 19u);
    for (const auto& [address, s] : updates) {
        const bool faulty = address == "127.0.0.103" || address == "127.0.0.111";
        EXPECT_EQ(s.value("errorReplies", -1), faulty ? 1 : 0) << address;
        if (!faulty) {
            EXPECT_EQ(s.value("checksum", 0), ImageChecksum(image.data(), image.size())) << address;
        }
    }
    Close();
    sim.Kill();
}

// Every control inside the client area, its text whole; the window inside the work area.
void ExpectEveryControlInside(HWND main, const DpiScale& scale, bool inWorkArea = true) {
    RECT client{};
    GetClientRect(main, &client);
    const HFONT font = MakeDesignFont(scale.Value(), 12);
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ previous = SelectObject(dc, font);
    for (HWND c = GetWindow(main, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        if (!IsWindowVisible(c))
            continue;
        wchar_t cls[32] = {};
        GetClassNameW(c, cls, 32);
        RECT r = RectInParent(c);
        if (_wcsicmp(cls, L"ComboBox") == 0) // its window holds its dropped list
            r.bottom = r.top + scale(24);
        const int id = GetDlgCtrlID(c);
        EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom)
            << id << " at " << r.left << "," << r.top << "-" << r.right << "," << r.bottom << " outside "
            << client.right << "x" << client.bottom;
        if (_wcsicmp(cls, L"Button") == 0 || (_wcsicmp(cls, L"Static") == 0 && id == 0)) {
            std::wstring text = Text(c);
            text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
            SIZE extent{};
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            EXPECT_LE(extent.cx, r.right - r.left) << PathToUtf8(text) << " is cut";
        }
    }
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    if (!inWorkArea)
        return;
    RECT frame{}, work{};
    GetWindowRect(main, &frame);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_TRUE(frame.left >= work.left && frame.top >= work.top && frame.right <= work.right &&
                frame.bottom <= work.bottom)
        << frame.left << "," << frame.top << "-" << frame.right << "," << frame.bottom
        << " outside the work area " << work.right << "x" << work.bottom;
}

TEST_F(Win32FleetWindow, FitsFromItsLeastSizeInsideTheWorkArea) {
    StartWindow();
    const DpiScale scale(GetDpiForWindow(main));
    RECT work{}, client{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    ExpectEveryControlInside(main, scale);
    // Made as small as it lets itself be: its least size, every control still in it.
    SetWindowPos(main, nullptr, 0, 0, 100, 100, SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(main, &client);
    EXPECT_LE(client.right, scale(W::kLeastWidth));
    ExpectEveryControlInside(main, scale);
    const HWND table = Control(W::DEVICES);
    const int state = ListView_GetColumnWidth(table, kState), address = ListView_GetColumnWidth(table, 0);
    EXPECT_GE(state, scale(W::kStateWidth));
    EXPECT_GE(RectInParent(table).bottom - RectInParent(table).top, scale(100)) << "rows to read";
    if (const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR")) // to look at by hand
        SaveWindowBitmap(main, PathFromUtf8(std::string(shots) + "/fleet-window-least.bmp").wstring());
    std::printf("the window of many devices at %u DPI: least client area %ldx%ld in a work area of %ldx%ld\n",
                scale.Value(), client.right, client.bottom, work.right - work.left, work.bottom - work.top);
    // Wider: the State column takes the extra width; the Save report button keeps to the right edge.
    RECT frame{};
    GetWindowRect(main, &frame);
    SetWindowPos(main, nullptr, 0, 0, frame.right - frame.left + scale(500),
                 frame.bottom - frame.top + scale(100), SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    ExpectEveryControlInside(main, scale, false);
    GetClientRect(main, &client);
    int columns = 0; // the other columns and the State column's least width
    for (int c = 0; c < static_cast<int>(kFleetColumns); ++c)
        columns += c == kState ? state : ListView_GetColumnWidth(table, c);
    const RECT room = RectInParent(table);
    if (room.right - room.left - scale(24) > columns) { // a screen wide enough for the window to grow
        EXPECT_GT(ListView_GetColumnWidth(table, kState), state);
    }
    EXPECT_EQ(ListView_GetColumnWidth(table, 0), address);
    EXPECT_NEAR(RectInParent(Control(W::SAVEREPORT)).right, client.right - scale(8), 2);
    Close();
}

TEST_F(Win32FleetWindow, KeysScanAddStopTheFocusStaysAndClosingDuringAnUpdateAsks) {
    ChildProcess silent; // a scan waits for it until Esc stops the scan
    const int port = StartSim(silent, L"--address 127.0.0.120 --port 0 --silent", "silent");
    ASSERT_NE(port, 0);
    StartWindow();
    // Enter in Address adds; the focus stays in the field.
    const HWND address = Control(W::ADDRESS);
    Type(address, L"127.0.0.121:1");
    PressKey(address, VK_RETURN);
    ASSERT_TRUE(WaitFor([&] { return ListRows(Control(W::DEVICES)) == 1 && StatusBegins(L"Done"); }))
        << PathToUtf8(Status());
    EXPECT_EQ(FocusOf(main), address);
    // Enter in Port scans; Esc stops it; F5 scans the same again.
    SendMessageW(Control(W::RANGE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"127.0.0.120"));
    Type(Control(W::PORT), std::to_wstring(port));
    PressKey(Control(W::PORT), VK_RETURN);
    ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(W::STOP)) != FALSE; }));
    PressKey(Control(W::PORT), VK_ESCAPE);
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Scan stopped"); })) << PathToUtf8(Status());
    EXPECT_EQ(FocusOf(main), Control(W::PORT));
    PressKey(Control(W::PORT), VK_F5);
    ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(W::STOP)) != FALSE; }));
    Press(Control(W::STOP));
    ASSERT_TRUE(WaitFor([&] { return !IsWindowEnabled(Control(W::STOP)); }));
    // Alt and a button's letter presses it: Alt+A selects all; Delete removes the selected rows.
    const int rows = ListRows(Control(W::DEVICES));
    PressKey(Control(W::PORT), 'A', true);
    ASSERT_TRUE(WaitFor([&] {
        return Text(Control(W::SELECTION)) ==
               std::to_wstring(rows) + L" of " + std::to_wstring(rows) + L" selected";
    })) << PathToUtf8(Text(Control(W::SELECTION)));
    PressKey(Control(W::DEVICES), VK_DELETE);
    ASSERT_TRUE(WaitFor([&] { return ListRows(Control(W::DEVICES)) == 0; }));

    // Closed while the silent device is updated: "Stop and close" stops it, then the window closes.
    Type(address, L"127.0.0.120:" + std::to_wstring(port));
    Press(Control(W::ADD));
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Done"); }, 30s)) << PathToUtf8(Status());
    ChooseConfig();
    Press(Control(W::UPDATE));
    ASSERT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(W::STOP)) != FALSE; }));
    PostMessageW(main, WM_CLOSE, 0, 0);
    HWND question = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (question = FindDialog(window.Id())) != nullptr; }))
        << DescribeWindows(window.Id());
    const HWND stop = GetDlgItem(question, IDYES);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(Text(stop), L"&Stop and close");
    PressLater(stop);
    EXPECT_TRUE(window.WaitForEnd(30s));
}

// Thirty simulated devices as an operator meets them: 20 current, 4 of another version, 3 of another OEM id,
// one that drops the link once, one that replies with an error, one silent; a 200 KB image. Scanned, the
// version selected, updated, stopped at about a third, scanned again (the results stay), the rest updated
// in one click. Run by hand (it takes minutes) with FWUPDATE_SCREENSHOT_DIR set: the picture of the README
// (docs/fleet-window-windows.png, from the BMP) is the window after the second scan.
TEST_F(Win32FleetWindow, ScreenshotThirtyDevicesStopped) {
    const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR");
    if (shots == nullptr || *shots == '\0')
        GTEST_SKIP() << "FWUPDATE_SCREENSHOT_DIR names no folder for the picture";
    ConfigFields fields;
    fields.Filename = "fw.bin";
    ASSERT_TRUE(WriteRelease(PathToUtf8(top / "fw.bin"), DemoImage(200 * 1024, 3), fields,
                             PathToUtf8(top / "fw.cfg")));
    ChildProcess sims[6];
    const int port = StartSim(sims[0], L"--address 127.0.0.200 --port 0 --count 20", "current");
    ASSERT_NE(port, 0);
    // On the same port as the others, so that one scan finds them all.
    const std::wstring p = L" --port " + std::to_wstring(port);
    const wchar_t* const others[] = {
        L"--address 127.0.0.220 --count 4 --fw-version 1.3", L"--address 127.0.0.224 --count 3 --oem 7",
        L"--address 127.0.0.227 --close-after-pages 200 --fault-sessions 2",
        L"--address 127.0.0.228 --error-on-page 300", L"--address 127.0.0.229 --silent"};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(StartSim(sims[i + 1], others[i] + p, "sim" + std::to_string(i)), port);
    StartWindow();
    const HWND table = Control(W::DEVICES);
    Scan(L"127.0.0.200-229", port);
    ASSERT_EQ(ListRows(table), 30);
    const HWND choices = Control(W::SELECTBY);
    SendMessageW(choices, CB_SETCURSEL,
                 SendMessageW(choices, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                              reinterpret_cast<LPARAM>(L"HWV=1.4")),
                 0);
    Press(Control(W::SELECT));
    EXPECT_EQ(Text(Control(W::SELECTION)), L"25 of 30 selected");
    ChooseConfig();
    Type(Control(W::JOBS), L"8");
    Press(Control(W::UPDATE));
    ASSERT_TRUE(WaitFor([&] { return SendMessageW(Control(W::OVERALL), PBM_GETPOS, 0, 0) >= 31; }, 600s));
    Press(Control(W::STOP));
    ASSERT_TRUE(WaitFor([&] { return !IsWindowEnabled(Control(W::STOP)); }, 60s));
    std::vector<std::wstring> states;
    for (int row = 0; row < 30; ++row)
        states.push_back(ListCell(table, row, kState));
    Scan(L"127.0.0.200-229", port);
    int incomplete = -1;
    for (int row = 0; row < 30; ++row) {
        EXPECT_EQ(ListCell(table, row, kState), states[static_cast<size_t>(row)]) << row;
        if (incomplete < 0 && states[static_cast<size_t>(row)].rfind(L"incomplete", 0) == 0)
            incomplete = row;
    }
    SelectListRow(table, incomplete);
    WaitFor([&] { return !Text(Control(W::DETAILS)).empty(); });
    EXPECT_TRUE(
        SaveWindowBitmap(main, PathFromUtf8(std::string(shots) + "/fleet-window-windows.bmp").wstring()));
    std::printf("%s\n%s\n", PathToUtf8(Text(Control(W::OVERALLTEXT))).c_str(),
                PathToUtf8(Text(Control(W::SUMMARY))).c_str());

    // The rest in one click: each device of the version ends OK, but the one that fails every time.
    ASSERT_TRUE(IsWindowEnabled(Control(W::UPDATEREST)));
    Press(Control(W::UPDATEREST));
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Update ended"); }, 1200s)) << PathToUtf8(Status());
    std::printf("%s\n%s\n", PathToUtf8(Text(Control(W::OVERALLTEXT))).c_str(),
                PathToUtf8(Text(Control(W::SUMMARY))).c_str());
    for (int row = 0; row < 30; ++row) {
        const std::wstring state = ListCell(table, row, kState);
        if (row == 28) {
            EXPECT_EQ(state.rfind(L"incomplete: failed: ", 0), 0u) << PathToUtf8(state);
        } else if (row >= 24 && row < 27) {
            EXPECT_EQ(state.rfind(L"refused by the OEM rule: the device reports OEM id 7", 0), 0u)
                << PathToUtf8(state);
        } else if (row < 20 || row == 27) {
            EXPECT_EQ(state.rfind(L"OK", 0), 0u) << row << " " << PathToUtf8(state);
        }
    }
    SaveWindowBitmap(main, PathFromUtf8(std::string(shots) + "/fleet-window-windows-rest.bmp").wstring());
    Close();
}

// The rollout an operator runs: two devices of HWV=1.3 without a configuration, then forty of HWV=1.4, three
// of them (1, 3, 5) replying with an error to their second page, in waves 2,25%,100% with at most two
// failures, eight at once, HWV=1.4's configuration picked from the menu under "By version…". The third
// failure holds the third wave whole while the second wave's others finish; with the simulator started again
// without faults, "Update the rest" finishes them in the waves they had. With FWUPDATE_SCREENSHOT_DIR set,
// the held run is the README's picture (docs/fleet-window-held-windows.png, from the BMP).
TEST_F(Win32FleetWindow, ARolloutHeldAfterTheThirdFailureIsFinishedOnceTheFaultIsGone) {
    auto sim = std::make_unique<ChildProcess>();
    ChildProcess older;
    const std::wstring forty = L"--address 127.0.0.160 --count 40 --port ";
    const int port = StartSim(*sim, forty + L"0 --error-on-page 1 --faulty 1,3,5", "faulty");
    ASSERT_NE(port, 0);
    ASSERT_EQ(StartSim(older,
                       L"--address 127.0.0.158 --count 2 --fw-version 1.3 --port " + std::to_wstring(port),
                       "older"),
              port);
    StartWindow();
    const HWND table = Control(W::DEVICES);
    Scan(L"127.0.0.158-199", port);
    PressLater(Control(W::BYVERSION));
    ASSERT_TRUE(ChooseMenuEntry(window.Id(), 1)) << DescribeWindows(window.Id());
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "fw.cfg").wstring()));
    ASSERT_TRUE(WaitFor([&] {
        return Text(Control(W::CONFIGINFO)) == L"image checks out: HWV=1.4 fw.cfg, others skipped";
    })) << PathToUtf8(Text(Control(W::CONFIGINFO)));
    Press(Control(W::SELECTALL));
    Type(Control(W::JOBS), L"8");
    Type(Control(W::RETRIES), L"0");
    Type(Control(W::WAVES), L"2,25%,100%");
    Type(Control(W::MAXFAILED), L"2");
    Press(Control(W::UPDATE));
    EXPECT_FALSE(IsWindowEnabled(Control(W::WAVES)) || IsWindowEnabled(Control(W::BYVERSION)))
        << "the run's own";
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Update ended"); }, 200s)) << PathToUtf8(Status());
    EXPECT_TRUE(StatusBegins(L"Update ended: 5 OK, 3 incomplete, 32 held, 2 skipped; held at "))
        << PathToUtf8(Status());
    EXPECT_EQ(SendMessageW(Control(W::OVERALL), PBM_GETPOS, 0, 0), 100);
    const int wave = static_cast<int>(FleetColumn::Wave);
    for (int row = 0; row < 42; ++row) {
        EXPECT_EQ(ListCell(table, row, wave), row < 2 ? L"1" : row < 10 ? L"2" : L"3") << row;
        if (row >= 10) {
            EXPECT_EQ(ListCell(table, row, kState).rfind(L"held: 3 devices failed (127.0.0.16", 0), 0u)
                << row;
        }
    }
    if (const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR")) {
        SelectListRow(table, 10);
        WaitFor([&] { return !Text(Control(W::DETAILS)).empty(); });
        SaveWindowBitmap(main, PathFromUtf8(std::string(shots) + "/fleet-window-held-windows.bmp").wstring());
    }

    sim = std::make_unique<ChildProcess>();
    ASSERT_EQ(StartSim(*sim, forty + std::to_wstring(port), "fixed"), port);
    Press(Control(W::UPDATEREST));
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Update ended"); }, 200s)) << PathToUtf8(Status());
    EXPECT_EQ(Text(Control(W::OVERALLTEXT)), L"ended: 35 OK, 2 skipped");
    EXPECT_EQ(ListCell(table, 41, wave), L"3");
    Close();
}

// 200 devices of one fwdevsim.exe on 127.0.1.1-200, opened from a device list and all updated at once: the
// run ends with every device ended, none OK that did not take the whole image and the update end (a Wine
// server too busy to serve 400 sockets in time may fail some), and the window, closed after it, ends with
// exit code 0 (device threads ending by the hundred once crashed it).
TEST_F(Win32FleetWindow, UpdatesTwoHundredDevicesAtOnceAndClosesCleanly) {
    constexpr int kDevices = 200;
    ChildProcess sim;
    const int port = StartSim(sim, L"--address 127.0.1.1 --port 0 --count " + std::to_wstring(kDevices), "many");
    ASSERT_NE(port, 0);
    {
        std::ofstream list(top / "devices.txt");
        for (int i = 1; i <= kDevices; ++i)
            list << "127.0.1." << i << ":" << port << "\n";
    }
    StartWindow();
    const HWND table = Control(W::DEVICES);
    PressLater(Control(W::OPENLIST));
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "devices.txt").wstring()));
    ASSERT_TRUE(WaitFor([&] { return ListRows(table) == kDevices && StatusBegins(L"Done"); }, 120s))
        << PathToUtf8(Status());
    Press(Control(W::SELECTALL));
    ChooseConfig();
    Type(Control(W::JOBS), std::to_wstring(kDevices));
    Type(Control(W::RETRIES), L"0");
    Press(Control(W::UPDATE));
    // A window that ends meanwhile (a crash) fails at once.
    bool ended = false;
    ASSERT_TRUE(WaitFor([&] { return StatusBegins(L"Update ended") || (ended = window.WaitForEnd(0ms)); }, 300s) &&
                !ended)
        << (ended ? "the window ended during the update" : PathToUtf8(Status()));
    std::printf("%d devices: %s\n", kDevices, PathToUtf8(Status()).c_str());

    // Every device OK in the table took the whole image and the update end.
    std::set<std::string> whole;
    std::istringstream lines(ReadAll(top / "many.json"));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json s = nlohmann::json::parse(line, nullptr, false);
        if (s.is_object() && s.value("checksum", 0) == ImageChecksum(image.data(), image.size()) &&
            s.value("imageEnded", false) && s.value("updateEnded", false))
            whole.insert(s.value("address", "") + ":" + std::to_string(port));
    }
    int ok = 0;
    for (int row = 0; row < kDevices; ++row) {
        const std::wstring state = ListCell(table, row, kState);
        EXPECT_TRUE(state.rfind(L"waiting", 0) != 0 && state.rfind(L"updating", 0) != 0) << PathToUtf8(state);
        if (state.rfind(L"OK", 0) != 0)
            continue;
        ++ok;
        EXPECT_TRUE(whole.count(PathToUtf8(ListCell(table, row, 0)))) << PathToUtf8(ListCell(table, row, 0));
    }
    EXPECT_GT(ok, 0);

    PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(window.WaitForEnd(60s, &code));
    EXPECT_EQ(code, 0u);
    sim.Kill();
}

} // namespace
