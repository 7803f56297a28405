// Q7Config: starting the firmware update with a chosen configuration file.
#include <QFile>

#include "app/q7config.h"
#include "update/updatestart.h"

void Q7Config::StartUpdateWith(const QString& cfgFile) {
    // Reading the file, the rules, the image and the worker are the window-free update logic; it shows
    // its messages, progress and result through this window's UpdateView.
    UpdateSession::StartUpdateWith(Config, QFile::encodeName(cfgFile).toStdString());
}
