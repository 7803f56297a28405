// QtFleetWindow: builds the window of many devices and carries out what the presenter shows.
#include "app/qt/qtfleetwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "app/fleetpresenter.h"

// ---- ElidedLabel ----

ElidedLabel::ElidedLabel() {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::SetFullText(const QString& text, const QString& tip) {
    Full = text;
    setToolTip(tip.isEmpty() ? text : tip);
    Elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().averageCharWidth() * 20, QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Elide();
}

void ElidedLabel::Elide() {
    const QString shown = fontMetrics().elidedText(Full, Qt::ElideRight, std::max(0, contentsRect().width()));
    if (shown != text())
        setText(shown);
}

namespace {

QString NameFilter(const FleetFileType& type) {
    QStringList patterns;
    for (const char* p : type.Patterns)
        patterns << QString::fromLatin1(p);
    return QString::fromUtf8(type.Name) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
           QLatin1Char(')');
}

QString ChooseFileIn(QWidget* parent, FleetView::FileKind kind, const QString& startFolder) {
    QFileDialog dialog(parent);
    QStringList filters;
    for (const FleetFileType& type : FleetFileTypes(kind))
        filters << NameFilter(type);
    dialog.setNameFilters(filters);
    if (kind == FleetView::FileKind::Report) {
        // A name typed without its extension takes the one of the type chosen.
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
            dialog.setDefaultSuffix(filter.contains(QStringLiteral("*.json")) ? QStringLiteral("json")
                                                                              : QStringLiteral("csv"));
        });
        dialog.setAcceptMode(QFileDialog::AcceptSave);
    } else {
        dialog.setFileMode(QFileDialog::ExistingFile);
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

bool AskStop(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, parent->windowTitle(), text, QMessageBox::NoButton, parent);
    QPushButton* stop = box.addButton(QStringLiteral("&Stop and close"), QMessageBox::AcceptRole);
    QPushButton* stay = box.addButton(QStringLiteral("&Keep open"), QMessageBox::RejectRole);
    box.setDefaultButton(stay);
    box.setEscapeButton(stay);
    box.exec();
    return box.clickedButton() == stop;
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

// A field's caption, its mnemonic moving the focus to the field.
QLabel* Caption(const char* text, QWidget& field) {
    auto* label = new QLabel(QString::fromUtf8(text)); // owned by the layout's widget once added
    label->setBuddy(&field);
    return label;
}

// The colour of a state, and its mark: a disc of that colour before the text.
QColor ToneColour(FleetTone tone) {
    switch (tone) {
    case FleetTone::Busy:
        return {21, 101, 192};
    case FleetTone::Ok:
        return {27, 127, 55};
    case FleetTone::Failed:
        return {198, 40, 40};
    case FleetTone::Refused:
        return {178, 90, 0};
    case FleetTone::Stopped:
        return {97, 97, 97};
    case FleetTone::Incomplete:
        return {142, 36, 170};
    case FleetTone::Held:
        return {0, 121, 107};
    case FleetTone::Skipped:
        return {84, 110, 122};
    case FleetTone::Plain:
        break;
    }
    return {};
}

QIcon ToneIcon(FleetTone tone) {
    static QIcon icons[9];
    QIcon& icon = icons[static_cast<int>(tone)];
    if (icon.isNull() && tone != FleetTone::Plain) {
        QPixmap mark(12, 12);
        mark.fill(Qt::transparent);
        QPainter paint(&mark);
        paint.setRenderHint(QPainter::Antialiasing);
        paint.setPen(Qt::NoPen);
        paint.setBrush(ToneColour(tone));
        if (tone == FleetTone::Incomplete || tone == FleetTone::Failed) {
            paint.drawRect(1, 1, 10, 10); // a square: the states that need action
        } else if (tone == FleetTone::Held) {
            paint.drawRect(2, 1, 3, 10); // a pause: held back, nothing written
            paint.drawRect(7, 1, 3, 10);
        } else if (tone == FleetTone::Skipped) {
            paint.setPen(QPen(ToneColour(tone), 2)); // a ring: passed over
            paint.setBrush(Qt::NoBrush);
            paint.drawEllipse(2, 2, 8, 8);
        } else {
            paint.drawEllipse(1, 1, 10, 10);
        }
        icon = QIcon(mark);
    }
    return icon;
}

// Column widths at 100 %; the State column's is its least, it takes what the others leave.
const int kColumnWidths[kFleetColumns] = {150, 240, 44, 86, 70, 70, 76, 76, 76, 76};

} // namespace

QtFleetWindow::QtFleetWindow(FileChooser chooser, InformationBox infoBox, StopQuestion question)
    // Every control is owned by the window's central widget once the layouts below place it.
    : RANGE(Named(new QComboBox, "RANGE")), PORT(Named(new QLineEdit(QStringLiteral("2000")), "PORT")),
      SCAN(Button("SCAN", "&Scan")), OPENLIST(Button("OPENLIST", "&Open list…")),
      ADDRESS(Named(new QLineEdit, "ADDRESS")), ADD(Button("ADD", "A&dd")),
      CONFIG(Button("CONFIG", "&Configuration…")), BYVERSION(Button("BYVERSION", "B&y version…")),
      CONFIGINFO(Named(new ElidedLabel, "CONFIGINFO")), JOBS(Spin("JOBS", 0, 1000, 4)),
      RETRIES(Spin("RETRIES", 0, 10, 1)), WAVES(Named(new QLineEdit, "WAVES")),
      MAXFAILED(Named(new QLineEdit, "MAXFAILED")), UPDATE(Button("UPDATE", "&Update selected")),
      RETRYFAILED(Button("RETRYFAILED", "Retry &failed")),
      UPDATEREST(Button("UPDATEREST", "Update the &rest")), STOP(Button("STOP", "S&top")),
      SAVEREPORT(Button("SAVEREPORT", "Sa&ve report…")), SELECTALL(Button("SELECTALL", "Select &all")),
      SELECTNONE(Button("SELECTNONE", "Select &none")), SELECTBY(Named(new QComboBox, "SELECTBY")),
      SELECT(Button("SELECT", "Se&lect")), SELECTION(Named(new QLabel, "SELECTION")),
      SPLIT(Named(new QSplitter(Qt::Horizontal), "SPLIT")),
      DEVICES(Named(new QTableWidget(0, static_cast<int>(kFleetColumns)), "DEVICES")),
      DETAILS(Named(new QPlainTextEdit, "DETAILS")), OVERALL(Named(new QProgressBar, "OVERALL")),
      OVERALLTEXT(Named(new ElidedLabel, "OVERALLTEXT")), SUMMARY(Named(new ElidedLabel, "SUMMARY")),
      STATUS(Named(new ElidedLabel, "STATUS")), Chooser(std::move(chooser)), InfoBoxSeam(std::move(infoBox)),
      QuestionSeam(std::move(question)) {
    if (!Chooser)
        Chooser = [this](FileKind kind, const QString& start) { return ChooseFileIn(this, kind, start); };
    if (!InfoBoxSeam)
        InfoBoxSeam = [this](const QString& text) { ShowInformation(this, text); };
    if (!QuestionSeam)
        QuestionSeam = [this](const QString& text) { return AskStop(this, text); };

    auto* central = new QWidget(this); // owned by the window
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 8, 8, 4);
    layout->setSpacing(6);
    // The combo boxes are as wide as a few characters, whatever they hold.
    for (QComboBox* box : {&RANGE, &SELECTBY}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(box == &RANGE ? 16 : 10);
    }
    RANGE.setEditable(true);
    RANGE.setInsertPolicy(QComboBox::NoInsert);
    PORT.setMaximumWidth(64);
    ADDRESS.setPlaceholderText(QStringLiteral("HOST[:PORT]"));
    ADDRESS.setMinimumWidth(90);
    auto* find = new QHBoxLayout;
    find->addWidget(Caption("Ran&ge", RANGE));
    find->addWidget(&RANGE, 2);
    find->addWidget(Caption("&Port", PORT));
    find->addWidget(&PORT);
    find->addWidget(&SCAN);
    find->addWidget(&OPENLIST);
    find->addSpacing(12);
    find->addWidget(Caption("Addr&ess", ADDRESS));
    find->addWidget(&ADDRESS, 1);
    find->addWidget(&ADD);
    // The configurations' verdict takes what the fields leave; the rollout's two small fields go beside Jobs
    // and Retries, as wide as their longest usual value.
    WAVES.setFixedWidth(WAVES.fontMetrics().horizontalAdvance(QStringLiteral("2,25%,100%")) + 12);
    MAXFAILED.setFixedWidth(MAXFAILED.fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 14);
    WAVES.setToolTip(QString::fromUtf8(kFleetWavesTip));
    MAXFAILED.setToolTip(QString::fromUtf8(kFleetMaxFailedTip));
    BYVERSION.setToolTip(QString::fromUtf8(kFleetByVersionTip));
    auto* config = new QHBoxLayout;
    config->addWidget(&CONFIG);
    config->addWidget(&BYVERSION);
    config->addWidget(&CONFIGINFO, 1);
    // Each caption close to its field, so that the verdict keeps what it can.
    const std::pair<const char*, QWidget*> fields[] = {
        {"&Jobs", &JOBS}, {"Retr&ies", &RETRIES}, {"&Waves", &WAVES}, {"&Max failed", &MAXFAILED}};
    for (const auto& [caption, field] : fields) {
        auto* pair = new QHBoxLayout; // owned by the row once added
        pair->setSpacing(3);
        pair->addWidget(Caption(caption, *field));
        pair->addWidget(field);
        config->addLayout(pair);
    }
    auto* update = new QHBoxLayout;
    update->addWidget(&UPDATE);
    update->addWidget(&RETRYFAILED);
    update->addWidget(&UPDATEREST);
    update->addWidget(&STOP);
    update->addStretch(1);
    update->addWidget(&SAVEREPORT);
    auto* select = new QHBoxLayout;
    select->addWidget(&SELECTALL);
    select->addWidget(&SELECTNONE);
    select->addWidget(&SELECTBY);
    select->addWidget(&SELECT);
    select->addSpacing(12);
    select->addWidget(&SELECTION, 1);
    SELECTION.setTextFormat(Qt::PlainText);
    SELECTION.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addLayout(find);
    layout->addLayout(config);
    layout->addLayout(update);
    layout->addLayout(select);
    DETAILS.setReadOnly(true);
    DETAILS.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    DETAILS.setPlaceholderText(QStringLiteral("The details of the device of the highlighted row"));
    DETAILS.setMinimumWidth(160);
    DEVICES.setMinimumWidth(240);
    SPLIT.addWidget(&DEVICES);
    SPLIT.addWidget(&DETAILS);
    // The table takes the extra width (its State column most of it); the details keep theirs.
    SPLIT.setStretchFactor(0, 1);
    SPLIT.setStretchFactor(1, 0);
    SPLIT.setSizes({kOpenWidth - 260, 260});
    SPLIT.setChildrenCollapsible(false);
    layout->addWidget(&SPLIT, 1);
    auto* overall = new QHBoxLayout;
    OVERALL.setRange(0, 100);
    OVERALL.setVisible(false);
    OVERALL.setMaximumWidth(320);
    overall->addWidget(&OVERALL, 1);
    overall->addWidget(&OVERALLTEXT, 2);
    layout->addLayout(overall);
    layout->addWidget(&SUMMARY);
    setCentralWidget(central);
    statusBar()->addWidget(&STATUS, 1);
    statusBar()->setSizeGripEnabled(true);

    QStringList headings;
    for (size_t c = 0; c < kFleetColumns; ++c)
        headings << QString::fromUtf8(FleetColumnHeading(static_cast<FleetColumn>(c)));
    DEVICES.setHorizontalHeaderLabels(headings);
    DEVICES.setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The check boxes are the one selection; the highlighted row is the one whose details show.
    DEVICES.setSelectionMode(QAbstractItemView::SingleSelection);
    DEVICES.setSelectionBehavior(QAbstractItemView::SelectRows);
    DEVICES.setContextMenuPolicy(Qt::CustomContextMenu);
    DEVICES.verticalHeader()->setVisible(false);
    DEVICES.verticalHeader()->setDefaultSectionSize(DEVICES.fontMetrics().height() + 6);
    DEVICES.horizontalHeader()->setStretchLastSection(false);
    DEVICES.horizontalHeader()->setSectionsClickable(true);
    DEVICES.horizontalHeader()->setHighlightSections(false);
    DEVICES.setWordWrap(false);
    DEVICES.setTextElideMode(Qt::ElideRight);
    for (size_t c = 0; c < kFleetColumns; ++c)
        DEVICES.setColumnWidth(static_cast<int>(c), kColumnWidths[c]);
    DEVICES.viewport()->installEventFilter(this);
    DEVICES.installEventFilter(this);

    auto on = [this](QPushButton& button, auto action) {
        QObject::connect(&button, &QPushButton::clicked, this, [this, action] {
            if (Presenter)
                action(*Presenter);
        });
    };
    auto scan = [this](FleetPresenter& p) {
        p.OnScan(RANGE.currentText().toStdString(), PORT.text().toStdString());
    };
    on(SCAN, scan);
    on(OPENLIST, [](FleetPresenter& p) { p.OnOpenList(); });
    auto add = [this](FleetPresenter& p) { p.OnAdd(ADDRESS.text().toStdString()); };
    on(ADD, add);
    on(CONFIG, [](FleetPresenter& p) { p.OnChooseConfig(); });
    on(BYVERSION, [](FleetPresenter& p) { p.OnConfigByVersion(); });
    on(UPDATE, [this](FleetPresenter& p) {
        p.OnUpdateSelected(JOBS.value(), RETRIES.value(), WAVES.text().toStdString(),
                           MAXFAILED.text().toStdString());
    });
    on(RETRYFAILED, [this](FleetPresenter& p) {
        p.OnRetryFailed(JOBS.value(), RETRIES.value(), WAVES.text().toStdString(),
                        MAXFAILED.text().toStdString());
    });
    on(UPDATEREST, [this](FleetPresenter& p) {
        p.OnUpdateRest(JOBS.value(), RETRIES.value(), WAVES.text().toStdString(),
                       MAXFAILED.text().toStdString());
    });
    on(STOP, [](FleetPresenter& p) { p.OnStop(); });
    on(SAVEREPORT, [](FleetPresenter& p) { p.OnSaveReport(); });
    on(SELECTALL, [](FleetPresenter& p) { p.OnSelectAll(); });
    on(SELECTNONE, [](FleetPresenter& p) { p.OnSelectNone(); });
    on(SELECT, [this](FleetPresenter& p) {
        if (SELECTBY.currentIndex() >= 0)
            p.OnSelect(SELECTBY.currentText().toStdString());
    });
    // Enter in Range or Port scans, in Address adds; Esc stops; F5 scans again.
    auto onEnter = [this](QLineEdit* field, auto action) {
        QObject::connect(field, &QLineEdit::returnPressed, this, [this, action] {
            if (Presenter)
                action(*Presenter);
        });
    };
    onEnter(RANGE.lineEdit(), scan);
    onEnter(&PORT, scan);
    onEnter(&ADDRESS, add);
    QObject::connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (Presenter)
            Presenter->OnStop();
    });
    QObject::connect(new QShortcut(QKeySequence(Qt::Key_F5), this), &QShortcut::activated, this, [this] {
        if (Presenter)
            Presenter->OnScanAgain(RANGE.currentText().toStdString(), PORT.text().toStdString());
    });

    QObject::connect(&DEVICES, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (Drawing || !Presenter || item->column() != 0)
            return;
        const bool extend = (QGuiApplication::keyboardModifiers() & Qt::ShiftModifier) != 0;
        Presenter->OnRowChecked(static_cast<size_t>(item->row()), item->checkState() == Qt::Checked, extend);
    });
    QObject::connect(&DEVICES, &QTableWidget::currentCellChanged, this,
                     [this](int row, int, int previous, int) {
                         if (Presenter && row != previous)
                             Presenter->OnCurrentRow(row >= 0 ? std::optional<size_t>(row) : std::nullopt);
                     });
    QObject::connect(&DEVICES, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        menu.addAction(QStringLiteral("&Remove from the table\tDel"), this, [this] { RemoveCurrent(); });
        menu.exec(DEVICES.viewport()->mapToGlobal(at));
    });
    QObject::connect(DEVICES.horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
        SortAscending = column == SortColumn ? !SortAscending : true;
        SortColumn = column;
        DEVICES.horizontalHeader()->setSortIndicatorShown(true);
        DEVICES.horizontalHeader()->setSortIndicator(column, SortAscending ? Qt::AscendingOrder
                                                                           : Qt::DescendingOrder);
        if (Presenter) {
            Presenter->OnSort(static_cast<FleetColumn>(column), SortAscending);
            const int row = DEVICES.currentRow();
            Presenter->OnCurrentRow(row >= 0 ? std::optional<size_t>(row) : std::nullopt);
        }
    });

    setMinimumSize(kLeastWidth, kLeastHeight);
    PlaceOnScreen(kOpenWidth, kOpenHeight);
}

void QtFleetWindow::PlaceOnScreen(int width, int height) {
    const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        resize(width, height);
        return;
    }
    // The frame around the client area is the window manager's; leave room for it.
    const QRect work = screen->availableGeometry();
    const int frameWidth = std::max(0, frameGeometry().width() - geometry().width());
    const int frameHeight = std::max(32, frameGeometry().height() - geometry().height());
    width = std::clamp(width, std::min(kLeastWidth, work.width()), work.width() - frameWidth);
    height = std::clamp(height, std::min(kLeastHeight, work.height()), work.height() - frameHeight);
    resize(width, height);
    move(work.left() + (work.width() - width - frameWidth) / 2,
         work.top() + (work.height() - height - frameHeight) / 2);
}

void QtFleetWindow::FitStateColumn() {
    const int state = static_cast<int>(FleetColumn::State);
    int others = 0;
    for (int c = 0; c < static_cast<int>(kFleetColumns); ++c)
        if (c != state)
            others += DEVICES.columnWidth(c);
    DEVICES.setColumnWidth(state, std::max(kColumnWidths[state], DEVICES.viewport()->width() - others));
}

bool QtFleetWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == DEVICES.viewport() && event->type() == QEvent::Resize)
        FitStateColumn();
    if (watched == &DEVICES && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete && Presenter) {
            RemoveCurrent();
            return true;
        }
        // Space ticks or clears the highlighted row, wherever in the row the cursor is.
        if (key->key() == Qt::Key_Space && Presenter && DEVICES.currentRow() >= 0) {
            const QTableWidgetItem* item = DEVICES.item(DEVICES.currentRow(), 0);
            Presenter->OnRowChecked(static_cast<size_t>(DEVICES.currentRow()),
                                    item == nullptr || item->checkState() != Qt::Checked);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void QtFleetWindow::RemoveCurrent() {
    if (!Presenter)
        return;
    const int row = DEVICES.currentRow();
    Presenter->OnRemove(row >= 0 ? std::optional<size_t>(row) : std::nullopt);
    const int now = DEVICES.currentRow();
    Presenter->OnCurrentRow(now >= 0 ? std::optional<size_t>(now) : std::nullopt);
}

void QtFleetWindow::Bind(FleetPresenter* presenter) {
    Presenter = presenter;
}

void QtFleetWindow::Show() {
    show();
    FitStateColumn();
    SCAN.setFocus();
}

void QtFleetWindow::Close() {
    close();
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

void QtFleetWindow::SetInputs(const FleetInputs& inputs) {
    RANGE.setEditText(QString::fromStdString(inputs.Range));
    PORT.setText(QString::fromStdString(inputs.Port));
    JOBS.setValue(inputs.Jobs);
    RETRIES.setValue(inputs.Retries);
    WAVES.setText(QString::fromStdString(inputs.Waves));
    MAXFAILED.setText(QString::fromStdString(inputs.MaxFailed));
    if (inputs.Width > 0 && inputs.Height > 0)
        PlaceOnScreen(inputs.Width, inputs.Height);
}

FleetInputs QtFleetWindow::Inputs() {
    const QRect normal = isMaximized() || isFullScreen() ? normalGeometry() : geometry();
    return {RANGE.currentText().toStdString(),
            PORT.text().toStdString(),
            JOBS.value(),
            RETRIES.value(),
            normal.width(),
            normal.height(),
            WAVES.text().toStdString(),
            MAXFAILED.text().toStdString()};
}

void QtFleetWindow::SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) {
    Drawing = true;
    DEVICES.setUpdatesEnabled(false);
    DEVICES.setRowCount(static_cast<int>(count));
    const int state = static_cast<int>(FleetColumn::State);
    for (const auto& [position, row] : changed) {
        const int r = static_cast<int>(position);
        for (size_t c = 0; c < kFleetColumns; ++c) {
            QTableWidgetItem* item = DEVICES.item(r, static_cast<int>(c));
            if (item == nullptr) {
                item = new QTableWidgetItem; // owned by the table
                item->setFlags(c == 0 ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable
                                      : Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                DEVICES.setItem(r, static_cast<int>(c), item);
            }
            const QString text = QString::fromStdString(row.Cells[c]);
            if (item->text() != text)
                item->setText(text);
            // Every cell may be cut: its tooltip holds it whole, the state's with all it knows.
            const QString tip = static_cast<int>(c) == state ? QString::fromStdString(row.Tip) : text;
            if (item->toolTip() != tip)
                item->setToolTip(tip);
        }
        QTableWidgetItem* stateItem = DEVICES.item(r, state);
        stateItem->setIcon(ToneIcon(row.Tone));
        if (row.Tone == FleetTone::Plain)
            stateItem->setData(Qt::ForegroundRole, QVariant());
        else
            stateItem->setForeground(ToneColour(row.Tone));
        QFont font = DEVICES.font();
        font.setBold(row.Tone == FleetTone::Incomplete || row.Tone == FleetTone::Failed);
        stateItem->setFont(font);
        DEVICES.item(r, 0)->setCheckState(row.Selected ? Qt::Checked : Qt::Unchecked);
    }
    DEVICES.setUpdatesEnabled(true);
    Drawing = false;
}

void QtFleetWindow::SetSelection(const std::string& text) {
    SELECTION.setText(QString::fromStdString(text));
    SELECTION.setToolTip(SELECTION.text());
}

void QtFleetWindow::SetSelectChoices(const std::vector<std::string>& choices) {
    const QString current = SELECTBY.currentText();
    SELECTBY.clear();
    for (const std::string& c : choices)
        SELECTBY.addItem(QString::fromStdString(c));
    if (const int at = SELECTBY.findText(current); at >= 0)
        SELECTBY.setCurrentIndex(at);
}

void QtFleetWindow::SetConfigInfo(const std::string& text, const std::string& tip) {
    CONFIGINFO.SetFullText(QString::fromStdString(text), QString::fromStdString(tip));
}

void QtFleetWindow::SetStatus(const std::string& text) {
    STATUS.SetFullText(QString::fromStdString(text));
}

void QtFleetWindow::SetOverall(int percent, const std::string& text) {
    OVERALL.setVisible(percent >= 0);
    if (percent >= 0)
        OVERALL.setValue(percent);
    OVERALLTEXT.SetFullText(QString::fromStdString(text));
}

void QtFleetWindow::SetSummary(const std::string& text, const std::string& tip) {
    SUMMARY.SetFullText(QString::fromStdString(text), QString::fromStdString(tip));
}

void QtFleetWindow::SetDetails(const std::string& text) {
    const QString next = QString::fromStdString(text);
    if (next == DETAILS.toPlainText())
        return;
    // The same device again: the reader's place stays.
    const bool same =
        next.section(QLatin1Char('\n'), 0, 0) == DETAILS.toPlainText().section(QLatin1Char('\n'), 0, 0);
    const int at = DETAILS.verticalScrollBar()->value();
    DETAILS.setPlainText(next);
    if (same)
        DETAILS.verticalScrollBar()->setValue(at);
}

void QtFleetWindow::SetControls(const FleetControls& c) {
    QWidget* focused = QApplication::focusWidget();
    if (c.Busy && !Busy)
        FocusBeforeBusy = focused;
    for (QWidget* w : std::initializer_list<QWidget*>{&SCAN, &OPENLIST, &ADD, &CONFIG, &BYVERSION, &UPDATE})
        w->setEnabled(!c.Busy);
    RETRYFAILED.setEnabled(!c.Busy && c.RetryFailed);
    UPDATEREST.setEnabled(!c.Busy && c.UpdateRest);
    SAVEREPORT.setEnabled(!c.Busy && c.SaveReport);
    for (QWidget* w : std::initializer_list<QWidget*>{&SELECTALL, &SELECTNONE, &SELECTBY, &SELECT, &JOBS,
                                                      &RETRIES, &WAVES, &MAXFAILED})
        w->setEnabled(!c.SelectionLocked);
    STOP.setEnabled(c.Busy);
    // A job ended: the focus goes back where the operator was when it began (Add, Scan, a field).
    // (Qt has moved the focus off a control it disabled: where it was before this call tells.)
    if (Busy && !c.Busy && FocusBeforeBusy && FocusBeforeBusy->isEnabled()) {
        if (focused == nullptr || focused == &STOP || focused == FocusBeforeBusy || !focused->isEnabled() ||
            focused->window() != this)
            FocusBeforeBusy->setFocus();
    } else if (!Busy && c.Busy && focused != nullptr && !focused->isEnabled()) {
        STOP.setFocus();
    }
    Busy = c.Busy;
}

void QtFleetWindow::InfoBox(const std::string& text) {
    InfoBoxSeam(QString::fromStdString(text));
}

bool QtFleetWindow::AskStopAndClose(const std::string& text) {
    return QuestionSeam(QString::fromStdString(text));
}

std::optional<std::string> QtFleetWindow::ChooseFile(FileKind kind, const std::string& startFolder) {
    const QString file = Chooser(kind, QString::fromStdString(startFolder));
    if (file.isEmpty())
        return std::nullopt;
    return file.toStdString();
}

std::optional<size_t> QtFleetWindow::ChooseFromMenu(const std::vector<std::string>& entries) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("BYVERSIONMENU"));
    std::vector<QAction*> actions;
    for (const std::string& entry : entries) {
        if (entry.empty()) {
            menu.addSeparator();
            actions.push_back(nullptr);
            continue;
        }
        // An "&" in a file's name is shown, not taken for a mnemonic.
        QString text = QString::fromStdString(entry);
        actions.push_back(menu.addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&"))));
    }
    const QAction* chosen = menu.exec(BYVERSION.mapToGlobal(QPoint(0, BYVERSION.height())));
    const auto at = std::find(actions.begin(), actions.end(), chosen);
    if (chosen == nullptr || at == actions.end())
        return std::nullopt;
    return static_cast<size_t>(at - actions.begin());
}

void QtFleetWindow::PostToUi(std::function<void()> fn) {
    // Dropped by Qt when the window is gone before it runs.
    QMetaObject::invokeMethod(static_cast<QMainWindow*>(this), std::move(fn), Qt::QueuedConnection);
}

void QtFleetWindow::PostToUiAfter(int milliseconds, std::function<void()> fn) {
    QTimer::singleShot(milliseconds, this, std::move(fn));
}
