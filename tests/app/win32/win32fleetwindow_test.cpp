// The Win32 window of many devices, fwupdate.exe -devices, driven from outside as an operator would (under
// Wine, on an X server of the test command's own) against one fwdevsim.exe playing twenty devices on
// 127.0.0.100-119, two of them faulty: scanned, selected, updated; the table, the report beside the log and
// what the devices received agree. And 200 devices updated at once, after which the window closes cleanly.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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

namespace {

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Win32FleetWindow, ScansSelectsUpdatesAndReportsTwentyDevices) {
    TestFolder folder("win32fleetwindow");
    ASSERT_FALSE(folder.Path().empty());
    const fs::path top = folder.Path();
    ASSERT_TRUE(fs::create_directories(top / "program"));
    const fs::path program = top / "program" / "fwupdate.exe";
    fs::copy_file(NativePath(FWUPDATE_EXE), program);
    const std::vector<uint8_t> image = DemoImage(700, 3);
    ConfigFields fields;
    fields.Filename = "fw.bin";
    ASSERT_TRUE(WriteRelease(PathToUtf8(top / "fw.bin"), image, fields, PathToUtf8(top / "fw.cfg")));

    // Devices 3 and 11 (127.0.0.103 and .111) reply with an error to the second page.
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(NativePath(FWDEVSIM_EXE),
                          L"--address 127.0.0.100 --port 0 --no-reconnect-port --count 20 --error-on-page 1 "
                          L"--faulty 3,11",
                          top.wstring(), (top / "sim.json").wstring(), (top / "sim.err").wstring()));
    int port = 0;
    // "listening on 20 devices, 127.0.0.100 to 127.0.0.119:PORT"
    ASSERT_TRUE(WaitFor([&] {
        const std::string err = ReadAll(top / "sim.err");
        const size_t at = err.find("listening on ");
        const size_t end = err.find('\n', at);
        const size_t colon =
            at == std::string::npos || end == std::string::npos ? std::string::npos : err.rfind(':', end);
        return colon != std::string::npos && colon > at && (port = std::atoi(err.c_str() + colon + 1)) > 0;
    })) << ReadAll(top / "sim.err");

    ChildProcess window;
    ASSERT_TRUE(window.Start(program.wstring(), L"-devices", program.parent_path().wstring()));
    HWND main = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        return (main = FindTopWindow(window.Id(), Win32FleetWindow::kClassName,
                                     L"FW-Update devices OEM=19 V1.4")) != nullptr;
    })) << DescribeWindows(window.Id());
    auto control = [&](int id) { return GetDlgItem(main, id); };
    const HWND status = control(Win32FleetWindow::STATUS);
    const HWND table = control(Win32FleetWindow::DEVICES);
    auto statusBegins = [&](const std::wstring& text) { return StatusText(status, 0).rfind(text, 0) == 0; };
    EXPECT_FALSE(IsWindowEnabled(control(Win32FleetWindow::STOP)));

    SendMessageW(control(Win32FleetWindow::RANGE), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(L"127.0.0.100-119"));
    Type(control(Win32FleetWindow::PORT), std::to_wstring(port));
    Press(control(Win32FleetWindow::SCAN));
    ASSERT_TRUE(WaitFor([&] { return statusBegins(L"Scan ended"); }, 60s))
        << PathToUtf8(StatusText(status, 0));
    ASSERT_EQ(ListRows(table), 20);
    const std::wstring p = L":" + std::to_wstring(port);
    EXPECT_EQ(ListCell(table, 0, 0), L"127.0.0.100" + p);
    EXPECT_EQ(ListCell(table, 0, 1), L"19 FARQUIN");
    EXPECT_EQ(ListCell(table, 0, 2), L"HWV=1.4");
    EXPECT_EQ(ListCell(table, 19, 8), L"found");

    // Every device but the last.
    Press(control(Win32FleetWindow::SELECTALL));
    SetListChecked(table, 19, false);
    PressLater(control(Win32FleetWindow::CONFIG));
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "fw.cfg").wstring()));
    ASSERT_TRUE(WaitFor([&] {
        return Text(control(Win32FleetWindow::CONFIGINFO)).find(L"the image checks out") !=
               std::wstring::npos;
    })) << PathToUtf8(Text(control(Win32FleetWindow::CONFIGINFO)));
    Type(control(Win32FleetWindow::JOBS), L"10");
    Type(control(Win32FleetWindow::RETRIES), L"0");
    Press(control(Win32FleetWindow::UPDATE));
    // The picture of the README, taken by hand with FWUPDATE_SCREENSHOT_DIR set: the devices at work.
    if (const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR")) {
        WaitFor([&] { return ListCell(table, 9, 8).rfind(L"updating", 0) == 0; }, 60s);
        SaveWindowBitmap(main, PathFromUtf8(std::string(shots) + "/fleet-window-windows.bmp").wstring());
    }
    ASSERT_TRUE(WaitFor([&] { return statusBegins(L"Update ended"); }, 120s))
        << PathToUtf8(StatusText(status, 0));
    const fs::path report = program.parent_path() / "fwupdate-last-run.csv";
    EXPECT_EQ(StatusText(status, 0),
              L"Update ended: 17 OK, 2 failed, 0 refused; report: " + report.wstring());
    for (int row = 0; row < 20; ++row) {
        const std::wstring state = ListCell(table, row, 8);
        if (row == 3 || row == 11)
            EXPECT_EQ(state.rfind(L"failed: update failed: ", 0), 0u) << row << " " << PathToUtf8(state);
        else
            EXPECT_EQ(state, row == 19 ? L"found" : L"OK") << row;
    }

    // The report beside the log, and what the devices received: each its scan, then all but the last its
    // update.
    const std::string csv = ReadAll(report);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 20) << csv;
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
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(window.WaitForEnd(20s));
    sim.Kill();
}

// 200 devices of one fwdevsim.exe on 127.0.1.1-200, opened from a device list and all updated at once: the
// run ends with every device OK, failed or refused (a Wine server too busy to serve 400 sockets in time fails
// devices; none may be OK that did not take the whole image), and the window, closed after it, ends with exit
// code 0 (device threads ending by the hundred once crashed it).
TEST(Win32FleetWindow, UpdatesTwoHundredDevicesAtOnceAndClosesCleanly) {
    constexpr int kDevices = 200;
    TestFolder folder("win32fleet200");
    ASSERT_FALSE(folder.Path().empty());
    const fs::path top = folder.Path();
    const fs::path program = top / "fwupdate.exe";
    fs::copy_file(NativePath(FWUPDATE_EXE), program);
    const std::vector<uint8_t> image = DemoImage(700, 5);
    ConfigFields fields;
    fields.Filename = "fw.bin";
    ASSERT_TRUE(WriteRelease(PathToUtf8(top / "fw.bin"), image, fields, PathToUtf8(top / "fw.cfg")));
    ChildProcess sim;
    ASSERT_TRUE(
        sim.Start(NativePath(FWDEVSIM_EXE),
                  L"--address 127.0.1.1 --port 0 --no-reconnect-port --count " + std::to_wstring(kDevices),
                  top.wstring(), (top / "sim.json").wstring(), (top / "sim.err").wstring()));
    int port = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string err = ReadAll(top / "sim.err");
            const size_t end = err.find('\n');
            const size_t colon = end == std::string::npos ? end : err.rfind(':', end);
            return colon != std::string::npos && (port = std::atoi(err.c_str() + colon + 1)) > 0;
        },
        60s))
        << ReadAll(top / "sim.err");
    {
        std::ofstream list(top / "devices.txt");
        for (int i = 1; i <= kDevices; ++i)
            list << "127.0.1." << i << ":" << port << "\n";
    }

    ChildProcess window;
    ASSERT_TRUE(window.Start(program.wstring(), L"-devices", top.wstring()));
    HWND main = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        return (main = FindTopWindow(window.Id(), Win32FleetWindow::kClassName)) != nullptr;
    })) << DescribeWindows(window.Id());
    auto control = [&](int id) { return GetDlgItem(main, id); };
    const HWND status = control(Win32FleetWindow::STATUS);
    const HWND table = control(Win32FleetWindow::DEVICES);
    auto statusBegins = [&](const std::wstring& text) { return StatusText(status, 0).rfind(text, 0) == 0; };
    PressLater(control(Win32FleetWindow::OPENLIST));
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "devices.txt").wstring()));
    ASSERT_TRUE(WaitFor([&] { return statusBegins(L"Done: "); }, 120s)) << PathToUtf8(StatusText(status, 0));
    ASSERT_EQ(ListRows(table), kDevices);
    Press(control(Win32FleetWindow::SELECTALL));
    PressLater(control(Win32FleetWindow::CONFIG));
    ASSERT_TRUE(AnswerFileDialog(window.Id(), (top / "fw.cfg").wstring()));
    ASSERT_TRUE(WaitFor([&] {
        return Text(control(Win32FleetWindow::CONFIGINFO)).find(L"the image checks out") !=
               std::wstring::npos;
    }));
    Type(control(Win32FleetWindow::JOBS), std::to_wstring(kDevices));
    Type(control(Win32FleetWindow::RETRIES), L"0");
    Press(control(Win32FleetWindow::UPDATE));
    // A window that ends meanwhile (a crash) fails at once.
    bool ended = false;
    ASSERT_TRUE(
        WaitFor([&] { return statusBegins(L"Update ended") || (ended = window.WaitForEnd(0ms)); }, 300s) &&
        !ended)
        << (ended ? "the window ended during the update" : PathToUtf8(StatusText(status, 0)));
    int ok = -1, failed = -1, refused = -1;
    ASSERT_EQ(swscanf(StatusText(status, 0).c_str(), L"Update ended: %d OK, %d failed, %d refused", &ok,
                      &failed, &refused),
              3)
        << PathToUtf8(StatusText(status, 0));
    EXPECT_EQ(ok + failed + refused, kDevices);
    std::printf("%d devices: %d OK, %d failed, %d refused\n", kDevices, ok, failed, refused);

    // Every device OK in the table took the whole image and the update end.
    std::set<std::string> whole;
    std::istringstream lines(ReadAll(top / "sim.json"));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json s = nlohmann::json::parse(line, nullptr, false);
        if (s.is_object() && s.value("checksum", 0) == ImageChecksum(image.data(), image.size()) &&
            s.value("imageEnded", false) && s.value("updateEnded", false))
            whole.insert(s.value("address", "") + ":" + std::to_string(port));
    }
    int okRows = 0;
    for (int row = 0; row < kDevices; ++row) {
        if (ListCell(table, row, 8) != L"OK")
            continue;
        ++okRows;
        EXPECT_TRUE(whole.count(PathToUtf8(ListCell(table, row, 0)))) << PathToUtf8(ListCell(table, row, 0));
    }
    EXPECT_EQ(okRows, ok);

    PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(window.WaitForEnd(60s, &code));
    EXPECT_EQ(code, 0u);
    sim.Kill();
}

} // namespace
