// The program's start order: arguments, the window, data.dat read, the window shown, the event loop, data.dat
// written. The link manager exists before the window; it and any open device live until the process ends.
#include "app/programentry.h"

#include <algorithm>
#include <cstdio>

#include "app/fleetpresenter.h"
#include "app/fleetsettings.h"
#include "app/q7config.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/platform.h"
#include "link/conbase.h"
#include "link/sockets.h"

namespace {

SettingsFiles SettingsFor(const ProgramEntryHooks& hooks) {
    if (!hooks.SettingsFile.empty())
        return {hooks.SettingsFile, hooks.SettingsFile};
    return SettingsFilesFor(ExecutablePath().parent_path());
}

// The file beside data.dat (an empty path: none).
std::filesystem::path Beside(const std::filesystem::path& dataFile, const char* name) {
    return dataFile.empty() ? dataFile : dataFile.parent_path() / name;
}

// The window of many devices: it keeps CfgFolder in data.dat as the main window does, its fields,
// configuration and size in the file beside it, and the report of its last run beside the log.
int RunFleetWindow(const std::vector<std::string>& arguments, WindowSystem& windows,
                   const ProgramEntryHooks& hooks) {
    const std::unique_ptr<FleetView> view = windows.MakeFleetView();
    if (!view) {
        std::fprintf(stderr, "fwupdate: this build has no window of many devices\n");
        return 2;
    }
    const SettingsFiles settings = SettingsFor(hooks);
    FleetOptions options;
    options.Arguments = arguments;
    options.Ranges = DefaultScanRanges(SockLocalNetworks());
    options.Settings = LoadFleetSettings(Beside(settings.Load, kFleetSettingsName));
    if (const std::filesystem::path log = DefaultLogPath(); !log.empty())
        options.AutoReportPath = PathToUtf8(log.parent_path() / (log.stem().string() + "-last-run.csv"));
    FleetPresenter window(*view, std::move(options)); // goes before its view
    LoadSettings(settings.Load);
    view->Show();
    if (hooks.FleetShown)
        hooks.FleetShown(window);
    windows.Run();
    StoreSettings(settings.Store);
    StoreFleetSettings(Beside(settings.Store, kFleetSettingsName), window.Settings());
    return 0;
}

} // namespace

int RunFwUpdate(const std::vector<std::string>& arguments, WindowSystem& windows,
                const ProgramEntryHooks& hooks) {
    if (std::find(arguments.begin(), arguments.end(), kDevicesOption) != arguments.end())
        return RunFleetWindow(arguments, windows, hooks);
    ConBase& link = TheConBase();
    const std::unique_ptr<MainView> view = windows.MakeMainView();
    Q7Config window(link, *view, arguments); // goes before its view
    const SettingsFiles settings = SettingsFor(hooks);
    const auto serialize = [&window](SettingsStream& stream) { window.Serialize(stream); };
    LoadSettings(settings.Load, serialize);
    view->Show();
    if (hooks.Shown)
        hooks.Shown(window);
    windows.Run();
    StoreSettings(settings.Store, serialize);
    return 0;
}
