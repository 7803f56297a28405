// TextLines: what happens to each device as a line of text.
#include "tools/cli/textlines.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/timetext.h"
#include "fleet/addressrange.h"
#include "tools/cli/identitytext.h"
#include "tools/cli/stopsignal.h"

namespace {

std::string DateText(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", value & 0xFFFF, (value >> 16) & 0xFF, value >> 24);
    return text;
}

// The objects that receive the pages, as ranges per object: (2,10)-(2,25).
std::string PageObjects(const std::vector<PageRun>& runs) {
    std::string text;
    for (const PageRun& run : runs) {
        if (!text.empty())
            text += ", ";
        text += "(" + std::to_string(run.Obj) + "," + std::to_string(run.FirstPar) + ")";
        if (run.Pages > 1)
            text += "-(" + std::to_string(run.Obj) + "," + std::to_string(run.LastPar) + ")";
    }
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

TextLines::TextLines(CliOutput& out, const Presentation& p, int devices)
    : Out(out), P(p), Steps(devices, p.ProgressEvery), Untouched(static_cast<size_t>(std::max(devices, 0))) {}

bool TextLines::IsUntouched(const FleetDevice& device) const {
    return device.Index >= 0 && static_cast<size_t>(device.Index) < Untouched.size() &&
           Untouched[static_cast<size_t>(device.Index)];
}

void TextLines::OnConfigRefused(const ConfigRefusedEvent& e) {
    for (const int i : e.Devices)
        if (i >= 0 && static_cast<size_t>(i) < Untouched.size())
            Untouched[static_cast<size_t>(i)] = true;
    const size_t n = e.Devices.size();
    // The window's message, unless the detail begins with it.
    const std::string message = e.Detail.rfind(e.Message, 0) == 0 ? "" : " (" + e.Message + ")";
    if (n == 0) { // a configuration by version: its devices are known once they have reported it
        Out.Line(e.Detail + message + "; the devices it is for end with this once identified (exit " +
                 std::to_string(e.Code) + ")");
        return;
    }
    Out.Line(e.Detail + message + "; " + std::to_string(n) + (n == 1 ? " device" : " devices") +
             " not connected (exit " + std::to_string(e.Code) + ")");
}

namespace {
std::string Labels(const std::vector<FleetDevice>& devices) {
    std::vector<std::string> labels;
    for (const FleetDevice& d : devices)
        labels.push_back(d.Label);
    return AddressListText(labels);
}
} // namespace

void TextLines::OnWave(const WaveEvent& e) {
    const size_t n = e.Devices.size();
    Out.Line("wave " + std::to_string(e.Wave) + " of " + std::to_string(e.Waves) + ": " + std::to_string(n) +
             (n == 1 ? " device (" : " devices (") + Labels(e.Devices) + ")");
}

void TextLines::OnHold(const HoldEvent& e) {
    // The devices of later waves are named here once, not each again.
    for (const FleetDevice& d : e.Held)
        if (d.Index >= 0 && static_cast<size_t>(d.Index) < Untouched.size())
            Untouched[static_cast<size_t>(d.Index)] = true;
    // "held: 3 devices failed (...), more than the 2 the rollout allows; not updated"
    std::string text = "the rollout holds the devices not begun: " + e.Detail.substr(e.Detail.rfind("held: ", 0) == 0 ? 6 : 0);
    if (!e.Held.empty())
        text += "; " + std::to_string(e.Held.size()) + " of later waves held (" + Labels(e.Held) + ")";
    Out.Line(text);
}

void TextLines::Say(const FleetDevice& device, const std::string& text) {
    Out.Line(device.Label + ": " + text);
}

void TextLines::OnConnected(const ConnectedEvent& e) {
    Say(e.Device, "connected");
}

void TextLines::OnIdentified(const IdentifiedEvent& e) {
    const DeviceIdentity& id = e.Identity;
    auto value = [](const std::optional<std::string>& text) { return text ? *text : std::string("-"); };
    const std::string kennung = id.Kennung ? KennungShown(*id.Kennung) : "-";
    const std::string serial = id.Serial ? SerialShown(*id.Serial) : "-";
    if (P.Command != CliCommand::Info) {
        Say(e.Device, "ONLINE, Kennung " + kennung + ", " + value(id.Version) + ", Seriennummer " + serial);
        return;
    }
    // One block, so that the blocks of several devices do not interleave.
    Say(e.Device,
        "ONLINE\n  Kennung:        " + kennung + "\n  Version:        " + value(id.Version) +
            "\n  Seriennummer:   " + serial + "\n  Mode:           " + (id.Mode ? ModeShown(*id.Mode) : "-") +
            "\n  ManName:        " + value(id.Name) + "\n  UserName:       " + value(id.OemName) +
            "\n  OemDeviceName:  " + value(id.DeviceName) + "\n  LibraryName:    " + value(id.LibraryName));
}

void TextLines::OnPlan(const PlanEvent& e) {
    // One block, so that the plans of several devices do not interleave.
    std::string block = "dry run: every check passed; nothing was written. It would write:";
    auto row = [&](const std::string& object, const std::string& value, const std::string& what) {
        std::string line = "  " + object;
        line.resize(std::max<size_t>(line.size() + 1, 10), ' ');
        line += value;
        line.resize(std::max<size_t>(line.size() + 1, 24), ' ');
        block += "\n" + line + what;
    };
    row("(10,9)", "1", "update start");
    row("(2,6)", std::to_string(e.Date), "date " + DateText(e.Date) + " (the day of the update)");
    row("(2,7)", std::to_string(e.Version), "firmware version");
    row("(2,8)", std::to_string(e.Revision), "firmware revision");
    row("(2,4)", Quoted(e.Name), "firmware name");
    row("(2,9)", "0", "erase the flash");
    block += "\n  " + PageObjects(e.PageRuns) + "  " + std::to_string(e.Pages) + " pages, the " +
             std::to_string(e.Bytes) + " bytes of " + e.Image;
    row("(2,5)", "0", "end of the image");
    row("(10,9)", "0", "update end");
    block += "\n  about " + SecondsText(e.Seconds);
    Say(e.Device, block);
}

void TextLines::OnWaiting(const WaitingEvent& e) {
    Say(e.Device, "waiting for its turn (--jobs " + std::to_string(e.Jobs) +
                      ": that many devices are programmed at once)");
}

void TextLines::OnStarted(const StartedEvent& e) {
    Steps.Restart(e.Device);
    Say(e.Device, e.Caption + " " + std::to_string(e.Pages) + " pages, erasing the flash first, about " +
                      SecondsText(e.SecondsLeft));
}

void TextLines::OnProgress(const ProgressEvent& e) {
    // On a terminal the live line shows every page.
    if (!Out.Terminal() && Steps.Due(e))
        Say(e.Device, ProgressText(e.Written, e.Pages, e.SecondsLeft));
}

void TextLines::OnMessage(const MessageEvent& e) {
    if (IsUntouched(e.Device))
        return;
    Say(e.Device, e.Text);
}

void TextLines::OnRetry(const RetryEvent& e) {
    const double pause = std::chrono::duration<double>(e.Pause).count();
    Say(e.Device, e.Detail + "; trying again in " + SecondsText(pause) + " (attempt " +
                      std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) + ")");
}

void TextLines::OnDone(const DoneEvent& e) {
    // info: the identification block said it.
    if ((P.Command == CliCommand::Info && e.Code == 0) || IsUntouched(e.Device))
        return;
    Say(e.Device, e.Detail + (e.Code == 0 ? "" : " (exit " + std::to_string(e.Code) + ")"));
}

void TextLines::OnInterrupted(const InterruptedEvent& e) {
    Out.Line(InterruptedText(e.Reason.Signal, P.Command == CliCommand::Scan
                                                  ? "ending the scan"
                                                  : "stopping every update between pages (a second one quits "
                                                    "at once)"));
}

void TextLines::OnSummary(const SummaryEvent& e) {
    Out.EndLive();
    if (e.Devices <= 1)
        return;
    const bool update = P.Command == CliCommand::Update;
    Out.Line("summary: " + std::to_string(e.Ok) + " of " + std::to_string(e.Devices) + " devices " +
             (update ? (P.DryRun ? "passed every check" : "updated") : "answered") + "; exit " +
             std::to_string(e.Code));
    // Devices that ended alike are told once: how many, the outcome and their addresses, in ranges where
    // they run on.
    std::vector<std::pair<std::string, std::vector<std::string>>> outcomes; // in the order of the first
    for (const DeviceRecord& r : e.Records) {
        const std::string outcome =
            r.Detail + " (exit " + std::to_string(r.Code.value_or(kExitInternal)) + ")";
        auto alike =
            std::find_if(outcomes.begin(), outcomes.end(), [&](const auto& o) { return o.first == outcome; });
        if (alike == outcomes.end())
            alike = outcomes.insert(outcomes.end(), {outcome, {}});
        alike->second.push_back(r.Address);
    }
    for (const auto& [outcome, devices] : outcomes) {
        if (devices.size() == 1)
            Out.Line("  " + devices.front() + ": " + outcome);
        else
            Out.Line("  " + std::to_string(devices.size()) + " devices: " + outcome + "\n    " +
                     AddressListText(devices));
    }
}

void TextLines::OnFound(const FoundEvent& e) {
    const DeviceIdentity& id = e.Identity;
    // What info prints, in one line; an empty text and one not reported alike.
    auto value = [](const std::optional<std::string>& text) {
        return text && !text->empty() ? *text : std::string("-");
    };
    auto quoted = [](const std::optional<std::string>& text) { return Quoted(text.value_or("")); };
    Out.Line(e.Device.Label + "  Kennung " + (id.Kennung ? KennungShown(*id.Kennung) : "-") + ", " +
             value(id.Version) + ", Seriennummer " + (id.Serial ? SerialShown(*id.Serial) : "-") +
             ", ManName " + quoted(id.Name) + ", UserName " + quoted(id.OemName) + ", OemDeviceName " +
             quoted(id.DeviceName) + ", LibraryName " + quoted(id.LibraryName));
}

void TextLines::OnUnidentified(const UnidentifiedEvent& e) {
    Out.Line(e.Device.Label + "  took the connection but did not identify: " + e.Detail);
}

void TextLines::OnScanSummary(const ScanSummaryEvent& e) {
    Out.Line("scan " + ScanWhere(e.Range, e.Port) + ": " + ScanState(e));
}
