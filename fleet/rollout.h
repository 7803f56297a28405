// Rollout: a run's devices in waves, and the failure threshold that holds the rest of a run back. Plain
// logic over device indexes and results, without threads or devices: FleetRun asks it whenever a device
// ends and before a device begins programming, under a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One cumulative wave size: a count of devices, or a percentage of the run's devices.
struct WaveSize {
    int64_t Value = 0;
    bool Percent = false;
};

// Reads "1,10%,100%": cumulative sizes, counts (at least 1) or percentages (1% to 100%), each larger than the
// one before where both are of one kind. Empty, with error, when the text is none.
std::vector<WaveSize> ParseWaves(const std::string& text, std::string& error);
// The sizes as they are read back: "1,10%,100%".
std::string WavesText(const std::vector<WaveSize>& waves);
// Each of count devices' wave, from 1, the devices in list order: a percentage rounds down, a wave that
// would take no device takes one, and the devices after the last size form a wave of their own.
std::vector<int> WaveOfEach(const std::vector<WaveSize>& waves, size_t count);

// How many failures a run tolerates: more than Value devices, or than Value percent of the devices that
// have ended, and no further device begins programming.
struct FailureLimit {
    int64_t Value = 0;
    bool Percent = false;
};
// Reads "N" (0 or more) or "P%" (0% to 100%): nothing, with error, when the text is none.
std::optional<FailureLimit> ParseFailureLimit(const std::string& text, std::string& error);
std::string FailureLimitText(const FailureLimit& limit);

// Whether a device's result counts as a failure of the rollout: a failed update, no connection, a
// configuration or image that could not be used, a failure of the tool. Not a refusal by the OEM or serial
// rule, a dry run, a stop, nor a device held or skipped.
bool IsRolloutFailure(const std::string& result);

// The result of a device the rollout held back (its code: kExitHeld), and of one whose version no
// configuration of the run is for (code 0).
inline constexpr const char* kResultHeld = "held";
inline constexpr const char* kResultSkipped = "skipped";

class Rollout {
public:
    // waveOf: each device's wave from 1, ascending in list order (empty: all devices in one wave);
    // limit: none when the run tolerates every failure. With several waves and no limit, a wave that ends
    // with a failure holds the rest.
    Rollout(std::vector<int> waveOf, size_t devices, std::optional<FailureLimit> limit);

    int Waves() const { return LastWave; }
    int WaveOf(size_t device) const;
    // The devices of a wave, in list order.
    std::vector<size_t> DevicesOf(int wave) const;
    // The wave whose devices may run now (1 at first).
    int OpenWave() const { return Open; }

    // What a device's end changes.
    struct Step {
        std::optional<std::string> Held; // the run has just been held: why, as the held devices' detail
        int NextWave = 0;                // this wave opens now (0: none)
    };
    // A device ended with result (its label names it in a hold's detail). A device the rollout held ends
    // with kResultHeld and counts for nothing but its wave's end.
    Step Ended(size_t device, const std::string& label, const std::string& result);
    // Why no further device may begin programming, or nothing while they may.
    const std::optional<std::string>& Held() const { return Hold; }
    int Failed() const { return static_cast<int>(FailedLabels.size()); }

private:
    std::string FailedText() const;

    std::vector<int> WaveOfDevice;
    std::vector<size_t> Left; // by wave: its devices that have not ended
    int LastWave = 1;
    int Open = 1;
    std::optional<FailureLimit> Limit;
    int EndedCount = 0; // devices that ended, held ones aside
    std::vector<std::string> FailedLabels;
    std::optional<std::string> Hold;
};
