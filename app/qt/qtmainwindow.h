// QtMainWindow: the main window of fwupdate drawn with Qt Widgets. It carries the layout VSKFWLAYOUT and the
// status bar, and shows what its presenter Q7Config tells it; the buttons and the close box report to the
// presenter.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QStatusBar>
#include <functional>

#include "app/mainview.h"
#include "app/qt/onlinedisplay.h"
#include "app/qt/vskfwlayout.h"

class QtMainWindow : public WithVSKFWLAYOUT<QMainWindow>, public MainView {
public:
    // Opens the configuration-file selector in startFolder; the chosen file, or empty when cancelled.
    using FileChooser = std::function<QString(const QString& startFolder)>;
    // Shows one text modally with one "OK" button.
    using InformationBox = std::function<void(const QString& text)>;

    // Empty seams take the real dialogs.
    explicit QtMainWindow(FileChooser chooser = {}, InformationBox infoBox = {});

    // MainView
    void Bind(Q7Config* presenter) override;
    void Show() override;
    void SetTitle(const std::string& title) override;
    void SetFieldText(Field field, const std::string& text) override;
    std::string FieldText(Field field) const override;
    void AddKennung(int key, const std::string& text) override;
    void SelectKennung(int key) override;
    void SetConnectLabel(const std::string& label) override;
    void SetOnline(bool online) override;
    void SetUpdateRunning(bool running) override;
    void ShowTimed(const std::string& text, int milliseconds) override;
    void InfoBox(const std::string& text) override;
    void Progress(const std::string& caption, int position, int total) override;
    void ProgressEnd() override;
    std::optional<std::string> ChooseConfigFile(const std::string& startFolder) override;
    void PostToUi(std::function<void()> fn) override;

    // The status bar: main text area, then info2, info1 and onlineDisplay from left to right.
    QStatusBar& status;
    QLabel& info1;
    QLabel& info2;
    OnlineDisplay& onlineDisplay;

    // Widths of the status bar fields in layout units.
    static constexpr int kInfo1Width = 120;
    static constexpr int kInfo2Width = 50;
    static constexpr int kOnlineWidth = 48;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLineEdit* EditFor(Field field) const;
    QLabel* LabelFor(Field field) const;

    Q7Config* Presenter = nullptr;
    FileChooser Chooser;
    InformationBox InfoBoxSeam;
    QLabel* progressCaption = nullptr;
    QProgressBar* progressBar = nullptr;
};
