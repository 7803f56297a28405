// QtMainWindow: builds the main window with its status bar and carries out what the presenter shows.
#include "app/qt/qtmainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>

#include "app/q7config.h"

namespace {

QString ChooseConfigFileIn(QWidget* parent, const QString& startFolder) {
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

QtMainWindow::QtMainWindow(FileChooser chooser, InformationBox infoBox)
    : status(*new QStatusBar(this)), // the controls and fields are owned by the window (Qt parent)
      info1(*new QLabel(this)), info2(*new QLabel(this)), onlineDisplay(*new OnlineDisplay(this)),
      Chooser(std::move(chooser)), InfoBoxSeam(std::move(infoBox)) {
    if (!Chooser)
        Chooser = [this](const QString& start) { return ChooseConfigFileIn(this, start); };
    if (!InfoBoxSeam)
        InfoBoxSeam = [this](const QString& text) { ShowInformation(this, text); };

    // A plain fixed-size window: no resizing, no maximize box, no menu.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(GetLayoutSize());

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
    // The value displays show what a device reports: never as rich text (a name "<img src=...>" is text).
    for (QLabel* display : {&DATE, &VERSION, &DSPMODSERIAL, &MODE, &DSPMODNAME, &OEMUSERNAME, &OEMDEVICENAME,
                            &OEMLIBNAME, &info1, &info2})
        display->setTextFormat(Qt::PlainText);

    QObject::connect(&CONNECT, &QPushButton::clicked, this, [this] {
        if (Presenter)
            Presenter->OnConnect();
    });
    QObject::connect(&UPDATEFIRMWARE, &QPushButton::clicked, this, [this] {
        if (Presenter)
            Presenter->OnUpdateFirmware();
    });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void QtMainWindow::Bind(Q7Config* presenter) {
    Presenter = presenter;
}

void QtMainWindow::Show() {
    show();
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (Presenter && !Presenter->OnCloseRequest())
        event->ignore();
    else
        QMainWindow::closeEvent(event);
}

QLineEdit* QtMainWindow::EditFor(Field field) const {
    switch (field) {
    case Field::IP:
        return &IP;
    case Field::EDITPORT:
        return &EDITPORT;
    default:
        return nullptr;
    }
}

QLabel* QtMainWindow::LabelFor(Field field) const {
    switch (field) {
    case Field::VERSION:
        return &VERSION;
    case Field::DSPMODSERIAL:
        return &DSPMODSERIAL;
    case Field::MODE:
        return &MODE;
    case Field::DSPMODNAME:
        return &DSPMODNAME;
    case Field::OEMUSERNAME:
        return &OEMUSERNAME;
    case Field::OEMDEVICENAME:
        return &OEMDEVICENAME;
    case Field::OEMLIBNAME:
        return &OEMLIBNAME;
    case Field::info1:
        return &info1;
    case Field::info2:
        return &info2;
    default:
        return nullptr;
    }
}

void QtMainWindow::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void QtMainWindow::SetFieldText(Field field, const std::string& text) {
    if (QLineEdit* edit = EditFor(field))
        edit->setText(QString::fromStdString(text));
    else if (QLabel* label = LabelFor(field))
        label->setText(QString::fromStdString(text));
}

std::string QtMainWindow::FieldText(Field field) const {
    if (const QLineEdit* edit = EditFor(field))
        return edit->text().toStdString();
    if (const QLabel* label = LabelFor(field))
        return label->text().toStdString();
    return {};
}

void QtMainWindow::AddKennung(int key, const std::string& text) {
    KENNUNG.Add(key, QString::fromStdString(text));
}

void QtMainWindow::SelectKennung(int key) {
    KENNUNG.SetValue(key);
}

void QtMainWindow::SetConnectLabel(const std::string& label) {
    CONNECT.setText(QString::fromStdString(label));
}

void QtMainWindow::SetOnline(bool online) {
    onlineDisplay.isOnline = online;
    onlineDisplay.update();
}

void QtMainWindow::SetUpdateRunning(bool running) {
    CONNECT.setEnabled(!running);
    UPDATEFIRMWARE.setEnabled(!running);
}

void QtMainWindow::ShowTimed(const std::string& text, int milliseconds) {
    status.showMessage(QString::fromStdString(text), milliseconds);
}

void QtMainWindow::InfoBox(const std::string& text) {
    InfoBoxSeam(QString::fromStdString(text));
}

void QtMainWindow::Progress(const std::string& caption, int position, int total) {
    const QString text = QString::fromStdString(caption);
    if (!progressBar) {
        // The caption has its text and width before the status bar places it: the first paint may come
        // before the status bar would place the two again.
        progressCaption = new QLabel(text, &status); // owned by the status bar
        progressCaption->setTextFormat(Qt::PlainText);
        progressCaption->setMinimumWidth(progressCaption->sizeHint().width());
        progressBar = new QProgressBar(&status); // owned by the status bar
        progressBar->setTextVisible(false);
        status.addWidget(progressCaption);
        status.addWidget(progressBar, 1);
    } else if (progressCaption->text() != text) {
        progressCaption->setText(text);
        progressCaption->setMinimumWidth(progressCaption->sizeHint().width());
    }
    // The caption keeps its whole width; the bar beside it takes what is left.
    progressBar->setRange(0, total);
    progressBar->setValue(position);
    progressCaption->show();
    progressBar->show();
}

void QtMainWindow::ProgressEnd() {
    if (!progressBar)
        return;
    status.removeWidget(progressCaption);
    status.removeWidget(progressBar);
    delete progressCaption;
    delete progressBar;
    progressCaption = nullptr;
    progressBar = nullptr;
}

std::optional<std::string> QtMainWindow::ChooseConfigFile(const std::string& startFolder) {
    // File names travel as the system's bytes (QFile's encoding), which the update logic opens as they are.
    const QString file = Chooser(QFile::decodeName(QByteArray::fromStdString(startFolder)));
    if (file.isEmpty())
        return std::nullopt;
    return QFile::encodeName(file).toStdString();
}

void QtMainWindow::PostToUi(std::function<void()> fn) {
    // Dropped by Qt when the window is gone before it runs.
    QMetaObject::invokeMethod(static_cast<QMainWindow*>(this), std::move(fn), Qt::QueuedConnection);
}
