// RecordingView: an UpdateView for tests that writes down every call as one line of text.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "update/updateview.h"

class RecordingView : public UpdateView {
public:
    static const char* Name(Display d) {
        switch (d) {
        case Display::VERSION:
            return "VERSION";
        case Display::DSPMODSERIAL:
            return "DSPMODSERIAL";
        case Display::MODE:
            return "MODE";
        case Display::DSPMODNAME:
            return "DSPMODNAME";
        case Display::OEMUSERNAME:
            return "OEMUSERNAME";
        case Display::OEMDEVICENAME:
            return "OEMDEVICENAME";
        case Display::OEMLIBNAME:
            return "OEMLIBNAME";
        }
        return "?";
    }

    void SetDisplayText(Display which, const std::string& text) override {
        Add(std::string(Name(which)) + "=" + text);
    }
    void SetKennung(int key) override { Add("KENNUNG=" + std::to_string(key)); }
    void SetOnline(bool online) override { Add(online ? "ONLINE" : "OFFLINE"); }
    void SetConnectLabel(const std::string& label) override { Add("CONNECT=" + label); }
    void ShowTimed(const std::string& text, int ms) override {
        Add("status=" + text + "/" + std::to_string(ms));
    }
    void InfoBox(const std::string& text) override { Add("box=" + text); }
    void Progress(const std::string& caption, int position, int total) override {
        Add("progress=" + caption + std::to_string(position) + "/" + std::to_string(total));
    }
    void ProgressEnd() override { Add("progress end"); }

    std::vector<std::string> Calls() const {
        std::lock_guard hold(lock);
        return calls;
    }
    void Clear() {
        std::lock_guard hold(lock);
        calls.clear();
    }

private:
    void Add(std::string call) {
        std::lock_guard hold(lock);
        calls.push_back(std::move(call));
    }

    mutable std::mutex lock;
    std::vector<std::string> calls;
};
