// Program entry of fwupdate: builds the main window, loads the settings, runs the window until it is
// closed, then stores the settings.
#include <QApplication>
#include <QStringList>

#include "app/q7config.h"
#include "app/settings.h"
#include "link/conbase.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty())
        arguments.removeFirst(); // the program name

    // The link manager exists before the window; it and any open device live until the process ends.
    ConBase& link = TheConBase();
    Q7Config window(link, arguments);
    const std::filesystem::path settings =
        SettingsFilePath(QCoreApplication::applicationDirPath().toStdString());
    const auto serialize = [&window](SettingsStream& stream) { window.Serialize(stream); };
    LoadSettings(settings, serialize);
    window.show();
    app.exec();
    StoreSettings(settings, serialize);
    return 0;
}
