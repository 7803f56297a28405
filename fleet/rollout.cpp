// Rollout: waves and the failure threshold.
#include "fleet/rollout.h"

#include <algorithm>
#include <charconv>

namespace {

// A whole number of at most 9 digits, with an optional % after it.
bool ReadSize(std::string text, int64_t& value, bool& percent) {
    percent = !text.empty() && text.back() == '%';
    if (percent)
        text.pop_back();
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return true;
}

std::string SizeText(int64_t value, bool percent) {
    return std::to_string(value) + (percent ? "%" : "");
}

} // namespace

std::vector<WaveSize> ParseWaves(const std::string& text, std::string& error) {
    std::vector<WaveSize> waves;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        const std::string item = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        WaveSize w;
        if (!ReadSize(item, w.Value, w.Percent) || w.Value < 1 || (w.Percent && w.Value > 100)) {
            error = "\"" + item + "\" is no wave size: a count of devices (1 or more) or a percentage (1% to 100%)";
            return {};
        }
        for (const WaveSize& before : waves)
            if (before.Percent == w.Percent && before.Value >= w.Value) {
                error = "the wave sizes add up: " + SizeText(w.Value, w.Percent) + " must be more than " +
                        SizeText(before.Value, before.Percent) + " before it";
                return {};
            }
        waves.push_back(w);
        if (comma == std::string::npos)
            return waves;
        from = comma + 1;
    }
}

std::string WavesText(const std::vector<WaveSize>& waves) {
    std::string text;
    for (const WaveSize& w : waves)
        text += (text.empty() ? "" : ",") + SizeText(w.Value, w.Percent);
    return text;
}

std::vector<int> WaveOfEach(const std::vector<WaveSize>& waves, size_t count) {
    std::vector<int> waveOf(count, 1);
    size_t done = 0;
    int wave = 0;
    for (const WaveSize& w : waves) {
        if (done >= count)
            break;
        const int64_t upTo = w.Percent ? static_cast<int64_t>(count) * w.Value / 100 : w.Value;
        // Up to that many devices in all; a wave that would take none takes one.
        const size_t end = std::min(count, std::max(done + 1, static_cast<size_t>(std::max<int64_t>(upTo, 0))));
        ++wave;
        for (; done < end; ++done)
            waveOf[done] = wave;
    }
    if (done < count) {
        ++wave;
        for (; done < count; ++done)
            waveOf[done] = wave;
    }
    return waveOf;
}

std::optional<FailureLimit> ParseFailureLimit(const std::string& text, std::string& error) {
    FailureLimit limit;
    if (!ReadSize(text, limit.Value, limit.Percent) || (limit.Percent && limit.Value > 100)) {
        error = "\"" + text + "\" is no failure limit: a count of devices (0 or more) or a percentage (0% to 100%)";
        return std::nullopt;
    }
    return limit;
}

std::string FailureLimitText(const FailureLimit& limit) {
    return SizeText(limit.Value, limit.Percent);
}

bool IsRolloutFailure(const std::string& result) {
    return result == "failed" || result == "no-connection" || result == "bad-config" ||
           result == "image-not-found" || result == "invalid-binary" || result == "image-too-large" ||
           result == "internal";
}

Rollout::Rollout(std::vector<int> waveOf, size_t devices, std::optional<FailureLimit> limit)
    : WaveOfDevice(std::move(waveOf)), Limit(limit) {
    WaveOfDevice.resize(devices, WaveOfDevice.empty() ? 1 : WaveOfDevice.back());
    for (const int w : WaveOfDevice)
        LastWave = std::max(LastWave, w);
    Left.assign(static_cast<size_t>(LastWave) + 1, 0);
    for (const int w : WaveOfDevice)
        ++Left[static_cast<size_t>(w)];
    // Waves without devices (never made by WaveOfEach) are passed over.
    while (Open < LastWave && Left[static_cast<size_t>(Open)] == 0)
        ++Open;
}

int Rollout::WaveOf(size_t device) const {
    return device < WaveOfDevice.size() ? WaveOfDevice[device] : LastWave;
}

std::vector<size_t> Rollout::DevicesOf(int wave) const {
    std::vector<size_t> devices;
    for (size_t i = 0; i < WaveOfDevice.size(); ++i)
        if (WaveOfDevice[i] == wave)
            devices.push_back(i);
    return devices;
}

std::string Rollout::FailedText() const {
    constexpr size_t kNamed = 5;
    std::string text;
    for (size_t i = 0; i < FailedLabels.size() && i < kNamed; ++i)
        text += (i == 0 ? "" : ", ") + FailedLabels[i];
    if (FailedLabels.size() > kNamed)
        text += " and " + std::to_string(FailedLabels.size() - kNamed) + " more";
    return text;
}

Rollout::Step Rollout::Ended(size_t device, const std::string& label, const std::string& result) {
    Step step;
    const bool wasHeld = Hold.has_value();
    if (result != kResultHeld) {
        ++EndedCount;
        if (IsRolloutFailure(result))
            FailedLabels.push_back(label);
    }
    const int failed = Failed();
    if (!Hold && Limit) {
        const bool over = Limit->Percent ? int64_t{failed} * 100 > Limit->Value * EndedCount
                                         : int64_t{failed} > Limit->Value;
        if (over) {
            const std::string devices = failed == 1 ? "1 device" : std::to_string(failed) + " devices";
            Hold = Limit->Percent ? "held: " + std::to_string(failed) + " of " + std::to_string(EndedCount) +
                                        " devices that ended failed (" + FailedText() + "), more than the " +
                                        FailureLimitText(*Limit) + " the rollout allows; not updated"
                                  : "held: " + devices + " failed (" + FailedText() + "), more than the " +
                                        std::to_string(Limit->Value) + " the rollout allows; not updated";
        }
    }
    const int wave = WaveOf(device);
    size_t& left = Left[static_cast<size_t>(wave)];
    if (left > 0)
        --left;
    // The open wave has ended: the next one opens, unless the run is held. Without a limit, a wave that
    // ended with a failure holds the rest (a canary's meaning).
    if (wave == Open && left == 0 && Open < LastWave && !Hold) {
        if (!Limit && failed > 0) {
            const std::string devices = failed == 1 ? "1 failed device" : std::to_string(failed) + " failed devices";
            Hold = "held: wave " + std::to_string(Open) + " ended with " + devices + " (" + FailedText() +
                   "); not updated";
        } else {
            do
                ++Open;
            while (Open < LastWave && Left[static_cast<size_t>(Open)] == 0);
            step.NextWave = Open;
        }
    }
    if (Hold && !wasHeld)
        step.Held = Hold;
    return step;
}
