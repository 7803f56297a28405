// RecordingMainView: a MainView for the presenter's tests. It keeps what the window would show, writes down
// every call as a line of text, and runs what is posted to the UI thread when the test, which plays the UI
// thread, waits with WaitFor.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/mainview.h"
#include "tests/app/testuithread.h"

class RecordingMainView : public MainView {
public:
    // ---- What the window shows (read and written on the UI thread) ----
    Q7Config* presenter = nullptr;
    bool shown = false;
    std::string title;
    std::map<Field, std::string> fields;
    std::vector<std::pair<int, std::string>> kennungEntries;
    std::optional<int> kennungKey;
    std::string connectLabel = "Connect"; // the layout's text
    bool online = false;
    bool updateRunning = false;
    std::string statusText; // the last timed text (its time is in Calls())
    std::vector<std::string> boxes;
    std::optional<std::string> progress; // "caption position/total" while shown
    // The chooser: each start folder it was opened in, and what it returns next (nothing: cancelled).
    std::vector<std::string> chooserStarts;
    std::optional<std::string> nextChoice;

    std::string Text(Field field) const {
        const auto it = fields.find(field);
        return it == fields.end() ? std::string() : it->second;
    }
    // ONLINE, and every value display that identification fills shows a text.
    bool IdentityShown() const {
        for (Field f : {Field::VERSION, Field::DSPMODSERIAL, Field::MODE, Field::DSPMODNAME,
                        Field::OEMUSERNAME, Field::OEMDEVICENAME, Field::OEMLIBNAME})
            if (Text(f).empty())
                return false;
        return online;
    }
    // The text the KENNUNG list shows: the selected entry's, empty when no entry has the key.
    std::string KennungText() const {
        for (const auto& [key, text] : kennungEntries)
            if (kennungKey == key)
                return text;
        return {};
    }
    static const char* Name(Field field) {
        static const char* const names[] = {"IP",         "EDITPORT",   "VERSION",     "DSPMODSERIAL",
                                            "MODE",       "DSPMODNAME", "OEMUSERNAME", "OEMDEVICENAME",
                                            "OEMLIBNAME", "info1",      "info2"};
        return names[static_cast<size_t>(field)];
    }
    // Every call, in order, as "Name=value".
    std::vector<std::string> Calls() const { return calls; }

    // Runs what is posted until cond holds: true, or false after limit.
    bool WaitFor(const std::function<bool()>& cond,
                 std::chrono::milliseconds limit = std::chrono::seconds(8)) {
        return Ui.WaitFor(cond, limit);
    }
    // Runs what has been posted so far.
    void RunPosted() { Ui.RunPosted(); }

    // ---- MainView ----
    void Bind(Q7Config* p) override { presenter = p; }
    void Show() override {
        shown = true;
        calls.push_back("Show");
    }
    void SetTitle(const std::string& text) override {
        title = text;
        calls.push_back("title=" + text);
    }
    void SetFieldText(Field field, const std::string& text) override {
        fields[field] = text;
        calls.push_back(std::string(Name(field)) + "=" + text);
    }
    std::string FieldText(Field field) const override { return Text(field); }
    void AddKennung(int key, const std::string& text) override { kennungEntries.emplace_back(key, text); }
    void SelectKennung(int key) override {
        kennungKey = key;
        calls.push_back("KENNUNG=" + std::to_string(key));
    }
    void SetConnectLabel(const std::string& label) override {
        connectLabel = label;
        calls.push_back("CONNECT=" + label);
    }
    void SetOnline(bool on) override {
        online = on;
        calls.push_back(on ? "ONLINE" : "OFFLINE");
    }
    void SetUpdateRunning(bool running) override {
        updateRunning = running;
        calls.push_back(running ? "update running" : "update ended");
    }
    void ShowTimed(const std::string& text, int milliseconds) override {
        statusText = text;
        calls.push_back("status=" + text + "/" + std::to_string(milliseconds));
    }
    void InfoBox(const std::string& text) override {
        boxes.push_back(text);
        calls.push_back("box=" + text);
    }
    void Progress(const std::string& caption, int position, int total) override {
        progress = caption + " " + std::to_string(position) + "/" + std::to_string(total);
        calls.push_back("progress=" + *progress);
    }
    void ProgressEnd() override {
        progress.reset();
        calls.push_back("progress end");
    }
    std::optional<std::string> ChooseConfigFile(const std::string& startFolder) override {
        chooserStarts.push_back(startFolder);
        return nextChoice;
    }
    void PostToUi(std::function<void()> fn) override { Ui.Post(std::move(fn)); }

private:
    std::vector<std::string> calls;
    TestUiThread Ui;
};
