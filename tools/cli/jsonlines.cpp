// JsonLines: every event of a run or a scan as one JSON object a line.
#include "tools/cli/jsonlines.h"

#include "tools/cli/identitytext.h"
#include "tools/cli/jsonline.h"
#include "tools/cli/stopsignal.h"
#include "update/kennunglist.h"

namespace {

// A device's event: "device" first after the time.
JsonLine DeviceLine(const char* event, const DeviceEvent& e) {
    JsonLine j(event, e.Time);
    j.Text("device", e.Device.Label);
    return j;
}

// What the device reported, each value null when it has not reported it.
void AddIdentity(JsonLine& j, const DeviceIdentity& id, bool withMode, bool emptyIsNull) {
    auto text = [&](const char* key, const std::optional<std::string>& value) {
        if (value && !(emptyIsNull && value->empty()))
            j.Text(key, *value);
        else
            j.Null(key);
    };
    if (id.Kennung) {
        j.Int("kennung", *id.Kennung);
        if (const char* listText = KennungText(*id.Kennung))
            j.Text("kennungText", listText);
        else
            j.Null("kennungText");
    } else {
        j.Null("kennung").Null("kennungText");
    }
    text("version", id.Version);
    if (id.Serial)
        j.Int("serial", *id.Serial).Text("serialText", SerialShown(*id.Serial));
    else
        j.Null("serial").Null("serialText");
    if (withMode)
        text("mode", id.Mode ? std::optional<std::string>(ModeShown(*id.Mode)) : std::nullopt);
    text("name", id.Name);
    text("oemName", id.OemName);
    text("deviceName", id.DeviceName);
    text("libraryName", id.LibraryName);
}

} // namespace

JsonLines::JsonLines(CliOutput& out, const Presentation& p, int devices)
    : Out(out), Steps(devices, p.ProgressEvery) {}

void JsonLines::OnConnected(const ConnectedEvent& e) {
    Out.Event(DeviceLine("connected", e).Str());
}

void JsonLines::OnIdentified(const IdentifiedEvent& e) {
    JsonLine j = DeviceLine("identified", e);
    j.Bool("online", e.Online);
    AddIdentity(j, e.Identity, true, false);
    Out.Event(j.Str());
}

void JsonLines::OnPlan(const PlanEvent& e) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const PageRun& run : e.PageRuns)
        runs.push_back(
            {{"obj", run.Obj}, {"firstPar", run.FirstPar}, {"lastPar", run.LastPar}, {"pages", run.Pages}});
    Out.Event(DeviceLine("plan", e)
                  .Text("image", e.Image)
                  .Int("bytes", e.Bytes)
                  .Int("pages", e.Pages)
                  .Text("name", e.Name)
                  .Int("version", e.Version)
                  .Int("revision", e.Revision)
                  .Value("pageObjects", std::move(runs))
                  .Number("seconds", e.Seconds)
                  .Str());
}

void JsonLines::OnWaiting(const WaitingEvent& e) {
    Out.Event(DeviceLine("waiting", e).Int("jobs", e.Jobs).Str());
}

void JsonLines::OnStarted(const StartedEvent& e) {
    Steps.Restart(e.Device);
    Out.Event(DeviceLine("started", e).Int("pages", e.Pages).Number("secondsLeft", e.SecondsLeft).Str());
}

void JsonLines::OnProgress(const ProgressEvent& e) {
    if (!Steps.Due(e))
        return;
    Out.Event(DeviceLine("progress", e)
                  .Int("pages", e.Written)
                  .Int("total", e.Pages)
                  .Int("percent", Percent(e.Written, e.Pages))
                  .Number("secondsLeft", e.SecondsLeft)
                  .Str());
}

void JsonLines::OnRetry(const RetryEvent& e) {
    Out.Event(DeviceLine("retry", e)
                  .Int("attempt", e.Attempt)
                  .Int("attempts", e.Attempts)
                  .Text("reason", e.Reason)
                  .Int("code", e.Code)
                  .Text("detail", e.Detail)
                  .Number("pause", std::chrono::duration<double>(e.Pause).count())
                  .Str());
}

void JsonLines::OnRefused(const RefusedEvent& e) {
    Out.Event(DeviceLine("refused", e)
                  .Text("reason", e.Reason)
                  .Text("message", e.Message)
                  .Text("detail", e.Detail)
                  .Str());
}

void JsonLines::OnDone(const DoneEvent& e) {
    JsonLine line = DeviceLine("done", e);
    line.Text("result", e.Result).Int("code", e.Code).Text("message", e.Message).Text("detail", e.Detail);
    if (!e.Cause.empty())
        line.Text("cause", e.Cause);
    line.Text("flash", e.Flash);
    Out.Event(line.Str());
}

void JsonLines::OnInterrupted(const InterruptedEvent& e) {
    Out.Event(JsonLine("interrupted", e.Time)
                  .Int("signal", e.Reason.Signal)
                  .Text("name", NameOfSignal(e.Reason.Signal).Name)
                  .Str());
}

namespace {
nlohmann::ordered_json Labels(const std::vector<FleetDevice>& devices) {
    nlohmann::ordered_json labels = nlohmann::ordered_json::array();
    for (const FleetDevice& d : devices)
        labels.push_back(d.Label);
    return labels;
}
} // namespace

void JsonLines::OnWave(const WaveEvent& e) {
    Out.Event(JsonLine("wave", e.Time).Int("wave", e.Wave).Int("waves", e.Waves).Value("devices", Labels(e.Devices)).Str());
}

void JsonLines::OnHold(const HoldEvent& e) {
    Out.Event(
        JsonLine("hold", e.Time).Int("failed", e.Failed).Text("detail", e.Detail).Value("held", Labels(e.Held)).Str());
}

void JsonLines::OnSummary(const SummaryEvent& e) {
    // The last event of the run, after every device's done.
    Out.Event(JsonLine("summary", e.Time)
                  .Value("results", e.Results)
                  .Int("devices", e.Devices)
                  .Int("code", e.Code)
                  .Number("seconds", e.Seconds)
                  .Str());
}

void JsonLines::OnFound(const FoundEvent& e) {
    JsonLine j("found", e.Time);
    j.Text("device", e.Device.Label);
    AddIdentity(j, e.Identity, false, true);
    Out.Event(j.Str());
}

void JsonLines::OnUnidentified(const UnidentifiedEvent& e) {
    Out.Event(JsonLine("unidentified", e.Time).Text("device", e.Device.Label).Text("detail", e.Detail).Str());
}

void JsonLines::OnScanSummary(const ScanSummaryEvent& e) {
    Out.Event(JsonLine("summary", e.Time)
                  .Text("range", e.Range)
                  .Int("port", e.Port)
                  .Int("addresses", e.Addresses)
                  .Int("scanned", e.Scanned)
                  .Int("found", e.Found)
                  .Int("unidentified", e.Unidentified)
                  .Int("refused", e.Refused)
                  .Int("unfinished", e.Unfinished)
                  .Int("code", e.Code)
                  .Number("seconds", e.Seconds)
                  .Str());
}
