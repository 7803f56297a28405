// RecordingView: an UpdateView for tests that writes down every call as one line of text.
#pragma once

#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "update/updateview.h"

class RecordingView : public UpdateView {
public:
    // The display's name, in the order of UpdateView::Display.
    static const char* Name(Display d) {
        static const char* const names[] = {"VERSION",     "DSPMODSERIAL",  "MODE",      "DSPMODNAME",
                                            "OEMUSERNAME", "OEMDEVICENAME", "OEMLIBNAME"};
        const auto i = static_cast<size_t>(d);
        return i < std::size(names) ? names[i] : "?";
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
