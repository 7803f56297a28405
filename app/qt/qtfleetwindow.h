// QtFleetWindow: the window of many devices drawn with Qt Widgets: the find row (range, port, Scan, a device
// list, one address), the update row (configuration, jobs, retries, Update selected, Stop, Save report), the
// selection row and the table of devices, the overall progress and the status line. It shows what its
// presenter FleetPresenter tells it; the controls report to the presenter.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <functional>

#include "app/fleetview.h"

class QtFleetWindow : public QMainWindow, public FleetView {
public:
    // Opens the file chooser of that kind in startFolder; the chosen file, or empty when cancelled.
    using FileChooser = std::function<QString(FileKind kind, const QString& startFolder)>;
    // Shows one text modally with one "OK" button.
    using InformationBox = std::function<void(const QString& text)>;

    // Empty seams take the real dialogs.
    explicit QtFleetWindow(FileChooser chooser = {}, InformationBox infoBox = {});

    // FleetView
    void Bind(FleetPresenter* presenter) override;
    void Show() override;
    void SetTitle(const std::string& title) override;
    void SetRanges(const std::vector<std::string>& ranges) override;
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override;
    void SetVersions(const std::vector<std::string>& versions) override;
    void SetConfigInfo(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    void SetOverall(int percent, const std::string& text) override;
    void SetBusy(bool busy) override;
    void InfoBox(const std::string& text) override;
    std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) override;
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
    QLabel& CONFIGINFO;
    QSpinBox& JOBS;
    QSpinBox& RETRIES;
    QPushButton& UPDATE;
    QPushButton& STOP;
    QPushButton& SAVEREPORT;
    QPushButton& SELECTALL;
    QPushButton& SELECTNONE;
    QComboBox& VERSIONS;
    QPushButton& SELECTVERSION;
    QTableWidget& DEVICES;
    QProgressBar& OVERALL;
    QLabel& OVERALLTEXT;
    QLabel& STATUS;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    FleetPresenter* Presenter = nullptr;
    FileChooser Chooser;
    InformationBox InfoBoxSeam;
    int SortColumn = -1;
    bool SortAscending = true;
    bool Drawing = false; // the table is being filled: its changes are not the operator's
};
