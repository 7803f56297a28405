// Program entry of fwupdate: builds the main window, loads the settings, runs the window until it is
// closed, then stores the settings.
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "app/q7config.h"
#include "app/settings.h"
#include "base/buildinfo.h"
#include "link/conbase.h"

int main(int argc, char** argv) {
    // Answered before the framework starts, so no window opens and no display is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("fwupdate %s\n", kFwUpdateVersion);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty())
        arguments.removeFirst(); // the program name

    // The link manager exists before the window; it and any open device live until the process ends.
    ConBase& link = TheConBase();
    Q7Config window(link, arguments);
    const SettingsFiles settings = SettingsFilesFor(QCoreApplication::applicationDirPath().toStdString());
    const auto serialize = [&window](SettingsStream& stream) { window.Serialize(stream); };
    LoadSettings(settings.Load, serialize);
    window.show();
    app.exec();
    StoreSettings(settings.Store, serialize);
    return 0;
}
