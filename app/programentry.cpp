// The program entry of fwupdate: only "-admin" on the command line means anything, so Qt is given the
// program name alone and none of its own options (-reverse, -qwindowtitle, -session ...) can change the
// window or swallow an argument. Qt's environment variables (QT_QPA_PLATFORM ...) still apply.
#include "app/programentry.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

#include "app/q7config.h"
#include "app/settings.h"
#include "base/platform.h"
#include "link/conbase.h"

int RunFwUpdate(int argc, char** argv, const ProgramEntryHooks& hooks) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Without a desktop session Qt would abort with a text that blames the installation.
    if (DesktopSessionMissing()) {
        std::fprintf(stderr, "fwupdate: the window needs a desktop session (no DISPLAY or WAYLAND_DISPLAY is "
                             "set); fwupdate-cli updates devices without one\n");
        return 1;
    }
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("fwupdate"), nullptr};
    QApplication app(qtArgc, qtArgv);

    // The link manager exists before the window; it and any open device live until the process ends.
    ConBase& link = TheConBase();
    Q7Config window(link, arguments);
    SettingsFiles settings = SettingsFilesFor(QCoreApplication::applicationDirPath().toStdString());
    if (!hooks.SettingsFile.empty())
        settings = {hooks.SettingsFile, hooks.SettingsFile};
    const auto serialize = [&window](SettingsStream& stream) { window.Serialize(stream); };
    LoadSettings(settings.Load, serialize);
    window.show();
    if (hooks.Shown)
        hooks.Shown(window);
    app.exec();
    StoreSettings(settings.Store, serialize);
    return 0;
}
