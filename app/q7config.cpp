// Q7Config: builds the main window, connects and closes the device, and shows what identification reports.
#include "app/q7config.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <limits>

#include "app/settings.h"
#include "update/kennunglist.h"

namespace {

constexpr char kAdminArgument[] = "-admin";

QString ChooseConfigFile(QWidget* parent, const QString& startFolder) {
    QFileDialog dialog(parent);
    dialog.setNameFilter(QStringLiteral("Firmware config files (*.cfg)"));
    dialog.setDefaultSuffix(QStringLiteral("cfg"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!startFolder.isEmpty())
        dialog.setDirectory(startFolder);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

void ShowInformation(QWidget* parent, const QString& text) {
    QApplication::beep();
    QMessageBox box(QMessageBox::Information, parent->windowTitle(), text, QMessageBox::NoButton, parent);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

} // namespace

Q7Config::Q7Config(ConBase& link, const QStringList& arguments, FileChooser chooser, InformationBox infoBox)
    : Connection_Main(link), UpdateSession(link, *this),
      status(*new QStatusBar(this)), // the controls and fields are owned by the window (Qt parent)
      info1(*new QLabel(this)), info2(*new QLabel(this)), onlineDisplay(*new OnlineDisplay(this)),
      Chooser(std::move(chooser)), InfoBoxSeam(std::move(infoBox)) {
    if (!Chooser)
        Chooser = [this](const QString& start) { return ChooseConfigFile(this, start); };
    if (!InfoBoxSeam)
        InfoBoxSeam = [this](const QString& text) { ShowInformation(this, text); };

    for (const QString& argument : arguments)
        if (argument == QLatin1String(kAdminArgument))
            AdminMode = true;

    // A plain fixed-size window: no resizing, no maximize box, no menu.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(GetLayoutSize());
    setWindowTitle(AdminMode ? QStringLiteral("FW-Update ADMIN V1.4")
                             : QString::asprintf("FW-Update OEM=%d V1.4", int(OemNumber)));

    status.setObjectName(QStringLiteral("status"));
    status.setSizeGripEnabled(false);
    setStatusBar(&status);
    info2.setObjectName(QStringLiteral("info2"));
    info1.setObjectName(QStringLiteral("info1"));
    onlineDisplay.setObjectName(QStringLiteral("onlineDisplay"));
    info2.setFixedWidth(kInfo2Width);
    info1.setFixedWidth(kInfo1Width);
    onlineDisplay.setFixedWidth(kOnlineWidth);
    // Left to right after the main text area: info2, info1, onlineDisplay.
    status.addPermanentWidget(&info2);
    status.addPermanentWidget(&info1);
    status.addPermanentWidget(&onlineDisplay);
    info2.setText(QStringLiteral("---"));
    // The value displays show what a device reports: never as rich text (a name "<img src=...>" is text).
    for (QLabel* display : {&DATE, &VERSION, &DSPMODSERIAL, &MODE, &DSPMODNAME, &OEMUSERNAME, &OEMDEVICENAME,
                            &OEMLIBNAME})
        display->setTextFormat(Qt::PlainText);
    onlineDisplay.isOnline = false;
    onlineDisplay.update();

    IP.setText(QStringLiteral("192.168.10.10"));
    EDITPORT.SetValue(2000);

    QObject::connect(&CONNECT, &QPushButton::clicked, this, [this] { OnConnect(); });
    QObject::connect(&UPDATEFIRMWARE, &QPushButton::clicked, this, [this] { OnUpdateFirmware(); });

    for (const KennungEntry& e : kKennungEntries)
        KENNUNG.Add(e.key, QString::fromLatin1(e.text));
    KENNUNG.SetValue(-1);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    Built = true;
    // A record queued while the window was being built is drained now.
    QMetaObject::invokeMethod(
        static_cast<QMainWindow*>(this), [this] { MsgCallback(0); }, Qt::QueuedConnection);
}

Q7Config::~Q7Config() {
    // No notification may reach the window while it is being taken apart.
    Detach();
}

void Q7Config::Serialize(SettingsStream& stream) {
    SerializeCfgFolder(stream);
}

void Q7Config::OnConnect() {
    const std::string address = IP.text().toStdString();
    // An empty or incomplete port is the null integer, which no connection accepts.
    const int port = EDITPORT.GetValue().value_or(std::numeric_limits<int32_t>::min());
    if (CurrentDevice != 0) {
        CloseDevice();
        CONNECT.setText(QStringLiteral("Connect"));
        return;
    }
    if (OpenDevice(address, port) != 0) {
        CONNECT.setText(QStringLiteral("Close"));
        RequestIdentification();
    }
}

void Q7Config::OnUpdateFirmware() {
    const QString file = Chooser(QString::fromStdString(CfgFolder));
    if (file.isEmpty())
        return;
    CfgFolder = QFileInfo(file).absolutePath().toStdString();
    StartUpdateWith(file);
}

void Q7Config::OnNotify(int handle) {
    // Only posts: the queue is drained in the GUI thread.
    if (!Built)
        return;
    QMetaObject::invokeMethod(
        static_cast<QMainWindow*>(this), [this, handle] { MsgCallback(handle); }, Qt::QueuedConnection);
}

void Q7Config::InGui(std::function<void()> fn) {
    if (QThread::currentThread() == thread())
        fn();
    else
        QMetaObject::invokeMethod(static_cast<QMainWindow*>(this), std::move(fn), Qt::QueuedConnection);
}

QLabel* Q7Config::DisplayFor(Display which) {
    switch (which) {
    case Display::VERSION:
        return &VERSION;
    case Display::DSPMODSERIAL:
        return &DSPMODSERIAL;
    case Display::MODE:
        return &MODE;
    case Display::DSPMODNAME:
        return &DSPMODNAME;
    case Display::OEMUSERNAME:
        return &OEMUSERNAME;
    case Display::OEMDEVICENAME:
        return &OEMDEVICENAME;
    case Display::OEMLIBNAME:
        return &OEMLIBNAME;
    }
    return nullptr;
}

void Q7Config::SetDisplayText(Display which, const std::string& text) {
    InGui([this, which, text] {
        if (QLabel* display = DisplayFor(which))
            display->setText(QString::fromStdString(text));
    });
}

void Q7Config::SetKennung(int key) {
    InGui([this, key] { KENNUNG.SetValue(key); });
}

void Q7Config::SetOnline(bool online) {
    InGui([this, online] {
        onlineDisplay.isOnline = online;
        onlineDisplay.update();
    });
}

void Q7Config::SetConnectLabel(const std::string& label) {
    InGui([this, label] { CONNECT.setText(QString::fromStdString(label)); });
}

void Q7Config::ShowTimed(const std::string& text, int milliseconds) {
    InGui([this, text, milliseconds] { status.showMessage(QString::fromStdString(text), milliseconds); });
}

void Q7Config::InfoBox(const std::string& text) {
    InGui([this, text] { InfoBoxSeam(QString::fromStdString(text)); });
}

void Q7Config::Progress(const std::string& caption, int position, int total) {
    InGui([this, caption, position, total] {
        if (!progressBar) {
            progressCaption = new QLabel(&status);   // owned by the status bar
            progressBar = new QProgressBar(&status); // owned by the status bar
            progressBar->setTextVisible(false);
            status.addWidget(progressCaption);
            status.addWidget(progressBar, 1);
        }
        progressCaption->setText(QString::fromStdString(caption));
        // The caption keeps its whole width; the bar beside it takes what is left.
        progressCaption->setMinimumWidth(progressCaption->sizeHint().width());
        progressBar->setRange(0, total);
        progressBar->setValue(position);
        progressCaption->show();
        progressBar->show();
    });
}

void Q7Config::ProgressEnd() {
    InGui([this] {
        if (!progressBar)
            return;
        status.removeWidget(progressCaption);
        status.removeWidget(progressBar);
        delete progressCaption;
        delete progressBar;
        progressCaption = nullptr;
        progressBar = nullptr;
    });
}

void Q7Config::Repaint() {
    // Only the GUI thread may paint; it does so at once, without handling input or posted callbacks.
    if (QThread::currentThread() == thread())
        repaint();
}
