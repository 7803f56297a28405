// The program's start order: arguments, the window, data.dat read, the window shown, the event loop, data.dat
// written. The link manager exists before the window; it and any open device live until the process ends.
#include "app/programentry.h"

#include "app/q7config.h"
#include "app/settings.h"
#include "base/platform.h"
#include "link/conbase.h"

int RunFwUpdate(const std::vector<std::string>& arguments, WindowSystem& windows,
                const ProgramEntryHooks& hooks) {
    ConBase& link = TheConBase();
    const std::unique_ptr<MainView> view = windows.MakeMainView();
    Q7Config window(link, *view, arguments); // goes before its view
    SettingsFiles settings = SettingsFilesFor(ExecutablePath().parent_path());
    if (!hooks.SettingsFile.empty())
        settings = {hooks.SettingsFile, hooks.SettingsFile};
    const auto serialize = [&window](SettingsStream& stream) { window.Serialize(stream); };
    LoadSettings(settings.Load, serialize);
    view->Show();
    if (hooks.Shown)
        hooks.Shown(window);
    windows.Run();
    StoreSettings(settings.Store, serialize);
    return 0;
}
