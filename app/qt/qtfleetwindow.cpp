// QtFleetWindow: builds the window of many devices and carries out what the presenter shows.
#include "app/qt/qtfleetwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/fleetpresenter.h"

namespace {

QString ChooseFileIn(QWidget* parent, FleetView::FileKind kind, const QString& startFolder) {
    QFileDialog dialog(parent);
    switch (kind) {
    case FleetView::FileKind::Config:
        dialog.setNameFilter(QStringLiteral("Firmware config files (*.cfg)"));
        dialog.setFileMode(QFileDialog::ExistingFile);
        break;
    case FleetView::FileKind::DeviceList:
        dialog.setNameFilters(
            {QStringLiteral("Device lists (*.txt *.list)"), QStringLiteral("All files (*)")});
        dialog.setFileMode(QFileDialog::ExistingFile);
        break;
    case FleetView::FileKind::Report:
        dialog.setNameFilters(
            {QStringLiteral("CSV reports (*.csv)"), QStringLiteral("JSON reports (*.json)")});
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        break;
    }
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

template <typename W> W& Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return *widget;
}

QPushButton& Button(const char* name, const char* text) {
    return Named(new QPushButton(QString::fromUtf8(text)), name); // owned by the layout's widget once added
}

QSpinBox& Spin(const char* name, int low, int high, int value) {
    QSpinBox& box = Named(new QSpinBox, name);
    box.setRange(low, high);
    box.setValue(value);
    return box;
}

} // namespace

QtFleetWindow::QtFleetWindow(FileChooser chooser, InformationBox infoBox)
    // Every control is owned by the window's central widget once the layouts below place it.
    : RANGE(Named(new QComboBox, "RANGE")), PORT(Named(new QLineEdit(QStringLiteral("2000")), "PORT")),
      SCAN(Button("SCAN", "Scan")), OPENLIST(Button("OPENLIST", "Open list…")),
      ADDRESS(Named(new QLineEdit, "ADDRESS")), ADD(Button("ADD", "Add")),
      CONFIG(Button("CONFIG", "Configuration…")), CONFIGINFO(Named(new QLabel, "CONFIGINFO")),
      JOBS(Spin("JOBS", 0, 1000, 4)), RETRIES(Spin("RETRIES", 0, 10, 1)),
      UPDATE(Button("UPDATE", "Update selected")), STOP(Button("STOP", "Stop")),
      SAVEREPORT(Button("SAVEREPORT", "Save report…")), SELECTALL(Button("SELECTALL", "Select all")),
      SELECTNONE(Button("SELECTNONE", "Select none")), VERSIONS(Named(new QComboBox, "VERSIONS")),
      SELECTVERSION(Button("SELECTVERSION", "Select version")),
      DEVICES(Named(new QTableWidget(0, static_cast<int>(kFleetColumns)), "DEVICES")),
      OVERALL(Named(new QProgressBar, "OVERALL")), OVERALLTEXT(Named(new QLabel, "OVERALLTEXT")),
      STATUS(Named(new QLabel, "STATUS")), Chooser(std::move(chooser)), InfoBoxSeam(std::move(infoBox)) {
    if (!Chooser)
        Chooser = [this](FileKind kind, const QString& start) { return ChooseFileIn(this, kind, start); };
    if (!InfoBoxSeam)
        InfoBoxSeam = [this](const QString& text) { ShowInformation(this, text); };

    auto* central = new QWidget(this); // owned by the window
    auto* layout = new QVBoxLayout(central);
    auto* find = new QHBoxLayout;
    RANGE.setEditable(true);
    RANGE.setMinimumWidth(170);
    PORT.setMaximumWidth(70);
    ADDRESS.setPlaceholderText(QStringLiteral("HOST[:PORT]"));
    find->addWidget(new QLabel(QStringLiteral("Range")));
    find->addWidget(&RANGE);
    find->addWidget(new QLabel(QStringLiteral("Port")));
    find->addWidget(&PORT);
    find->addWidget(&SCAN);
    find->addWidget(&OPENLIST);
    find->addSpacing(16);
    find->addWidget(new QLabel(QStringLiteral("Address")));
    find->addWidget(&ADDRESS);
    find->addWidget(&ADD);
    find->addStretch();
    auto* update = new QHBoxLayout;
    CONFIGINFO.setTextFormat(Qt::PlainText);
    update->addWidget(&CONFIG);
    update->addWidget(&CONFIGINFO, 1);
    update->addWidget(new QLabel(QStringLiteral("Jobs")));
    update->addWidget(&JOBS);
    update->addWidget(new QLabel(QStringLiteral("Retries")));
    update->addWidget(&RETRIES);
    update->addWidget(&UPDATE);
    update->addWidget(&STOP);
    update->addWidget(&SAVEREPORT);
    auto* select = new QHBoxLayout;
    select->addWidget(&SELECTALL);
    select->addWidget(&SELECTNONE);
    VERSIONS.setMinimumWidth(110);
    select->addWidget(&VERSIONS);
    select->addWidget(&SELECTVERSION);
    select->addStretch();
    layout->addLayout(find);
    layout->addLayout(update);
    layout->addLayout(select);
    layout->addWidget(&DEVICES, 1);
    auto* overall = new QHBoxLayout;
    OVERALL.setRange(0, 100);
    OVERALL.setVisible(false);
    OVERALLTEXT.setTextFormat(Qt::PlainText);
    overall->addWidget(&OVERALL, 1);
    overall->addWidget(&OVERALLTEXT, 1);
    layout->addLayout(overall);
    setCentralWidget(central);
    STATUS.setTextFormat(Qt::PlainText);
    statusBar()->addWidget(&STATUS, 1);

    QStringList headings;
    for (size_t c = 0; c < kFleetColumns; ++c)
        headings << QString::fromUtf8(FleetColumnHeading(static_cast<FleetColumn>(c)));
    DEVICES.setHorizontalHeaderLabels(headings);
    DEVICES.setEditTriggers(QAbstractItemView::NoEditTriggers);
    DEVICES.setSelectionBehavior(QAbstractItemView::SelectRows);
    DEVICES.verticalHeader()->setVisible(false);
    DEVICES.verticalHeader()->setDefaultSectionSize(DEVICES.fontMetrics().height() + 6);
    DEVICES.horizontalHeader()->setStretchLastSection(true);
    DEVICES.horizontalHeader()->setSectionsClickable(true);
    DEVICES.setWordWrap(false);
    const int widths[kFleetColumns] = {150, 110, 75, 80, 90, 90, 90, 90, 200};
    for (size_t c = 0; c < kFleetColumns; ++c)
        DEVICES.setColumnWidth(static_cast<int>(c), widths[c]);

    auto on = [this](QPushButton& button, auto action) {
        QObject::connect(&button, &QPushButton::clicked, this, [this, action] {
            if (Presenter)
                action(*Presenter);
        });
    };
    on(SCAN,
       [this](FleetPresenter& p) { p.OnScan(RANGE.currentText().toStdString(), PORT.text().toStdString()); });
    on(OPENLIST, [](FleetPresenter& p) { p.OnOpenList(); });
    on(ADD, [this](FleetPresenter& p) { p.OnAdd(ADDRESS.text().toStdString()); });
    on(CONFIG, [](FleetPresenter& p) { p.OnChooseConfig(); });
    on(UPDATE, [this](FleetPresenter& p) { p.OnUpdateSelected(JOBS.value(), RETRIES.value()); });
    on(STOP, [](FleetPresenter& p) { p.OnStop(); });
    on(SAVEREPORT, [](FleetPresenter& p) { p.OnSaveReport(); });
    on(SELECTALL, [](FleetPresenter& p) { p.OnSelectAll(); });
    on(SELECTNONE, [](FleetPresenter& p) { p.OnSelectNone(); });
    on(SELECTVERSION, [this](FleetPresenter& p) {
        if (VERSIONS.currentIndex() >= 0)
            p.OnSelectVersion(VERSIONS.currentText().toStdString());
    });
    QObject::connect(&DEVICES, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (Drawing || !Presenter || item->column() != 0)
            return;
        Presenter->OnRowChecked(static_cast<size_t>(item->row()), item->checkState() == Qt::Checked);
    });
    QObject::connect(DEVICES.horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
        SortAscending = column == SortColumn ? !SortAscending : true;
        SortColumn = column;
        DEVICES.horizontalHeader()->setSortIndicatorShown(true);
        DEVICES.horizontalHeader()->setSortIndicator(column, SortAscending ? Qt::AscendingOrder
                                                                           : Qt::DescendingOrder);
        if (Presenter)
            Presenter->OnSort(static_cast<FleetColumn>(column), SortAscending);
    });

    resize(1100, 640);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void QtFleetWindow::Bind(FleetPresenter* presenter) {
    Presenter = presenter;
}

void QtFleetWindow::Show() {
    show();
}

void QtFleetWindow::closeEvent(QCloseEvent* event) {
    if (Presenter && !Presenter->OnCloseRequest())
        event->ignore();
    else
        QMainWindow::closeEvent(event);
}

void QtFleetWindow::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void QtFleetWindow::SetRanges(const std::vector<std::string>& ranges) {
    RANGE.clear();
    for (const std::string& r : ranges)
        RANGE.addItem(QString::fromStdString(r));
}

void QtFleetWindow::SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) {
    Drawing = true;
    DEVICES.setUpdatesEnabled(false);
    DEVICES.setRowCount(static_cast<int>(count));
    for (const auto& [position, row] : changed) {
        const int r = static_cast<int>(position);
        for (size_t c = 0; c < kFleetColumns; ++c) {
            QTableWidgetItem* item = DEVICES.item(r, static_cast<int>(c));
            if (item == nullptr) {
                item = new QTableWidgetItem; // owned by the table
                if (c == 0)
                    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
                DEVICES.setItem(r, static_cast<int>(c), item);
            }
            const QString text = QString::fromStdString(row.Cells[c]);
            if (item->text() != text)
                item->setText(text);
        }
        DEVICES.item(r, 0)->setCheckState(row.Selected ? Qt::Checked : Qt::Unchecked);
    }
    DEVICES.setUpdatesEnabled(true);
    Drawing = false;
}

void QtFleetWindow::SetVersions(const std::vector<std::string>& versions) {
    const QString current = VERSIONS.currentText();
    VERSIONS.clear();
    for (const std::string& v : versions)
        VERSIONS.addItem(QString::fromStdString(v));
    if (const int at = VERSIONS.findText(current); at >= 0)
        VERSIONS.setCurrentIndex(at);
}

void QtFleetWindow::SetConfigInfo(const std::string& text) {
    CONFIGINFO.setText(QString::fromStdString(text));
}

void QtFleetWindow::SetStatus(const std::string& text) {
    STATUS.setText(QString::fromStdString(text));
}

void QtFleetWindow::SetOverall(int percent, const std::string& text) {
    OVERALL.setVisible(percent >= 0);
    if (percent >= 0)
        OVERALL.setValue(percent);
    OVERALLTEXT.setText(QString::fromStdString(text));
}

void QtFleetWindow::SetBusy(bool busy) {
    for (QWidget* w : std::initializer_list<QWidget*>{&SCAN, &OPENLIST, &ADD, &CONFIG, &UPDATE, &SAVEREPORT})
        w->setEnabled(!busy);
    STOP.setEnabled(busy);
}

void QtFleetWindow::InfoBox(const std::string& text) {
    InfoBoxSeam(QString::fromStdString(text));
}

std::optional<std::string> QtFleetWindow::ChooseFile(FileKind kind, const std::string& startFolder) {
    const QString file = Chooser(kind, QString::fromStdString(startFolder));
    if (file.isEmpty())
        return std::nullopt;
    return file.toStdString();
}

void QtFleetWindow::PostToUi(std::function<void()> fn) {
    // Dropped by Qt when the window is gone before it runs.
    QMetaObject::invokeMethod(static_cast<QMainWindow*>(this), std::move(fn), Qt::QueuedConnection);
}

void QtFleetWindow::PostToUiAfter(int milliseconds, std::function<void()> fn) {
    QTimer::singleShot(milliseconds, this, std::move(fn));
}
