// QtFleetWindow: the window of many devices drawn with Qt Widgets, in rows that fit a window from about 760
// by 440 logical pixels: the find row (range, port, Scan, a device list, one address), the configuration
// row (the configurations for all and by version with their verdict, Jobs, Retries, the rollout's Waves and
// Max failed), the update row (Update selected, Retry failed, Update the rest, Stop,
// Save report), the selection row (all, none, by state or version, "N of M selected"), the table of devices
// beside the details of the current one, the progress, the kept summary of the last update and the status
// line. It shows what its presenter FleetPresenter tells it; the controls and keys report to the presenter.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <functional>

#include "app/fleetview.h"

// A one-line label that never widens its window: its text is cut with "…" to the width it is given, and
// the whole text (with more where given) is its tooltip.
class ElidedLabel : public QLabel {
public:
    ElidedLabel();
    void SetFullText(const QString& text, const QString& tip = {});
    const QString& FullText() const { return Full; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Elide();
    QString Full;
};

class QtFleetWindow : public QMainWindow, public FleetView {
public:
    // Opens the file chooser of that kind in startFolder; the chosen file, or empty when cancelled.
    using FileChooser = std::function<QString(FileKind kind, const QString& startFolder)>;
    // Shows one text modally with one "OK" button.
    using InformationBox = std::function<void(const QString& text)>;
    // Asks whether to stop the updates and close: true for "Stop and close".
    using StopQuestion = std::function<bool(const QString& text)>;

    // The least size the window may be made (logical pixels): every control stays in it.
    static constexpr int kLeastWidth = 760, kLeastHeight = 440;
    // The size it opens at unless kept from the last time, within the screen's work area.
    static constexpr int kOpenWidth = 1100, kOpenHeight = 640;

    // Empty seams take the real dialogs.
    explicit QtFleetWindow(FileChooser chooser = {}, InformationBox infoBox = {}, StopQuestion question = {});

    // FleetView
    void Bind(FleetPresenter* presenter) override;
    void Show() override;
    void Close() override;
    void SetTitle(const std::string& title) override;
    void SetRanges(const std::vector<std::string>& ranges) override;
    void SetInputs(const FleetInputs& inputs) override;
    FleetInputs Inputs() override;
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override;
    void SetSelection(const std::string& text) override;
    void SetSelectChoices(const std::vector<std::string>& choices) override;
    void SetConfigInfo(const std::string& text, const std::string& tip) override;
    void SetStatus(const std::string& text) override;
    void SetOverall(int percent, const std::string& text) override;
    void SetSummary(const std::string& text, const std::string& tip) override;
    void SetDetails(const std::string& text) override;
    void SetControls(const FleetControls& controls) override;
    void InfoBox(const std::string& text) override;
    bool AskStopAndClose(const std::string& text) override;
    std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) override;
    std::optional<size_t> ChooseFromMenu(const std::vector<std::string>& entries) override;
    void PostToUi(std::function<void()> fn) override;
    void PostToUiAfter(int milliseconds, std::function<void()> fn) override;

    // The controls, by the names the tests and the Windows window use for them.
    QComboBox& RANGE;
    QLineEdit& PORT;
    QPushButton& SCAN;
    QPushButton& OPENLIST;
    QLineEdit& ADDRESS;
    QPushButton& ADD;
    QPushButton& CONFIG;
    QPushButton& BYVERSION;
    ElidedLabel& CONFIGINFO;
    QSpinBox& JOBS;
    QSpinBox& RETRIES;
    QLineEdit& WAVES;
    QLineEdit& MAXFAILED;
    QPushButton& UPDATE;
    QPushButton& RETRYFAILED;
    QPushButton& UPDATEREST;
    QPushButton& STOP;
    QPushButton& SAVEREPORT;
    QPushButton& SELECTALL;
    QPushButton& SELECTNONE;
    QComboBox& SELECTBY;
    QPushButton& SELECT;
    QLabel& SELECTION;
    QSplitter& SPLIT;
    QTableWidget& DEVICES;
    QPlainTextEdit& DETAILS;
    QProgressBar& OVERALL;
    ElidedLabel& OVERALLTEXT;
    ElidedLabel& SUMMARY;
    ElidedLabel& STATUS;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The State column takes the width the others leave.
    void FitStateColumn();
    // Places the window inside the work area of its screen at its size, no larger than the work area.
    void PlaceOnScreen(int width, int height);
    void RemoveCurrent();

    FleetPresenter* Presenter = nullptr;
    FileChooser Chooser;
    InformationBox InfoBoxSeam;
    StopQuestion QuestionSeam;
    int SortColumn = -1;
    bool SortAscending = true;
    bool Drawing = false; // the table is being filled: its changes are not the operator's
    bool Busy = false;
    QPointer<QWidget> FocusBeforeBusy; // where the operator was when a job began
};
