// Rollouts: wave sizes read and applied to a run's devices, and the failure threshold and the waves deciding
// when the rest of a run is held.
#include "fleet/rollout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct WavesCase {
    const char* title;
    const char* text;
    size_t devices;
    std::vector<size_t> sizes; // the devices of each wave, in order
};
void PrintTo(const WavesCase& c, std::ostream* os) {
    *os << c.title;
}

class Waves : public ::testing::TestWithParam<WavesCase> {};

TEST_P(Waves, CumulativeSizesSplitTheDevicesInListOrder) {
    const WavesCase& c = GetParam();
    std::string error;
    const std::vector<WaveSize> waves = ParseWaves(c.text, error);
    ASSERT_FALSE(waves.empty()) << error;
    EXPECT_EQ(WavesText(waves), c.text);
    const std::vector<int> waveOf = WaveOfEach(waves, c.devices);
    std::vector<size_t> sizes;
    for (size_t i = 0; i < waveOf.size(); ++i) {
        ASSERT_TRUE(i == 0 || waveOf[i] == waveOf[i - 1] || waveOf[i] == waveOf[i - 1] + 1) << i;
        if (sizes.size() < static_cast<size_t>(waveOf[i]))
            sizes.push_back(0);
        ++sizes.back();
    }
    EXPECT_EQ(sizes, c.sizes);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Waves,
    ::testing::Values(WavesCase{"canary, a tenth, the rest", "1,10%,100%", 40, {1, 3, 36}},
                      WavesCase{"the issue's rollout", "2,25%,100%", 40, {2, 8, 30}},
                      WavesCase{"all at once", "100%", 5, {5}},
                      WavesCase{"one device", "1", 1, {1}},
                      WavesCase{"a percentage of no device takes one", "10%,100%", 5, {1, 4}},
                      WavesCase{"more waves than devices", "1,2,3,4,5", 3, {1, 1, 1}},
                      WavesCase{"a count beyond the devices", "5", 3, {3}},
                      WavesCase{"the rest after the last size", "1,2", 10, {1, 1, 8}},
                      WavesCase{"half of one device", "50%", 1, {1}}));

TEST(WavesText, NoWaveSizeIsRefusedWithItsReason) {
    for (const char* text : {"", "0", "10%,5%", "2,1", "101%", "1,,2", "a", "-1", "1.5", "0%"}) {
        std::string error;
        EXPECT_TRUE(ParseWaves(text, error).empty()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::string error;
    EXPECT_FALSE(ParseFailureLimit("2%%", error));
    EXPECT_FALSE(ParseFailureLimit("101%", error));
    ASSERT_TRUE(ParseFailureLimit("0", error));
    EXPECT_EQ(FailureLimitText(*ParseFailureLimit("10%", error)), "10%");
}

struct HoldCase {
    const char* title;
    std::vector<int> waveOf;         // empty: one wave
    const char* limit;               // "" : none
    std::vector<const char* > ended; // results, the devices ending in list order
    int heldAfter;                   // the end (from 1) that holds the run; 0: never
    std::vector<int> opened;         // the waves opened, in order
};
void PrintTo(const HoldCase& c, std::ostream* os) {
    *os << c.title;
}

class Threshold : public ::testing::TestWithParam<HoldCase> {};

TEST_P(Threshold, HoldsTheRestOnceMoreDevicesFailedThanAllowed) {
    const HoldCase& c = GetParam();
    std::string error;
    std::optional<FailureLimit> limit;
    if (*c.limit != '\0')
        limit = ParseFailureLimit(c.limit, error);
    Rollout rollout(c.waveOf, c.ended.size(), limit);
    int heldAfter = 0;
    std::vector<int> opened;
    for (size_t i = 0; i < c.ended.size(); ++i) {
        // A device of a wave not open yet never ends but held.
        const std::string result = rollout.WaveOf(i) > rollout.OpenWave() ? kResultHeld : c.ended[i];
        const Rollout::Step step = rollout.Ended(i, "127.0.0." + std::to_string(i + 1) + ":2000", result);
        if (step.Held) {
            EXPECT_EQ(heldAfter, 0) << "held twice";
            heldAfter = static_cast<int>(i + 1);
            EXPECT_EQ(step.Held->rfind("held: ", 0), 0u) << *step.Held;
        }
        if (step.NextWave != 0)
            opened.push_back(step.NextWave);
    }
    EXPECT_EQ(heldAfter, c.heldAfter);
    EXPECT_EQ(opened, c.opened);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Threshold,
    ::testing::Values(
        HoldCase{"exactly N failures", {}, "2", {"failed", "no-connection", "ok", "ok"}, 0, {}},
        HoldCase{"N + 1 failures", {}, "2", {"failed", "ok", "invalid-binary", "failed", "ok"}, 4, {}},
        HoldCase{"refusals by the rules are no failures", {}, "0", {"oem-rule", "serial-rule", "ok"}, 0, {}},
        HoldCase{"no failure tolerated", {}, "0", {"ok", "image-not-found", "ok"}, 2, {}},
        HoldCase{"a percentage with one device ended", {}, "10%", {"failed", "ok", "ok"}, 1, {}},
        HoldCase{"a percentage of those ended", {}, "50%", {"ok", "failed", "failed", "ok"}, 3, {}},
        HoldCase{"no limit, one wave", {}, "", {"failed", "failed", "ok"}, 0, {}},
        HoldCase{"a canary that fails holds the rest", {1, 2, 2, 3}, "", {"failed", "ok", "ok", "ok"}, 1, {}},
        HoldCase{"a canary that succeeds", {1, 2, 2, 3}, "", {"ok", "ok", "ok", "ok"}, 0, {2, 3}},
        HoldCase{"a failure late in the last wave holds nothing more",
                 {1, 2, 2}, "", {"ok", "ok", "failed"}, 0, {2}},
        HoldCase{"a limit overrides the canary", {1, 2, 2, 3}, "1", {"failed", "ok", "failed", "ok"}, 3, {2}}));

} // namespace
