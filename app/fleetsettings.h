// The settings of the window of many devices: the fields as the operator left them (range, port, Jobs,
// Retries, Waves, Max failed), the configuration files (for all, and by version) and the window's size, kept
// in fwupdate-devices.ini beside data.dat, as operators redo the same venue. One "key=value" a line, UTF-8; a
// key it does not know is passed over.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "app/fleetview.h"

// The file's name, in the folder of data.dat.
inline constexpr const char* kFleetSettingsName = "fwupdate-devices.ini";

struct FleetSettings {
    FleetInputs Inputs;
    std::string Config; // the configuration file last chosen; empty: none
    // The configuration of each version a device reports ("HWV=1.3"), over the one for all.
    std::map<std::string, std::string> ConfigFor;

    bool operator==(const FleetSettings&) const = default;
};

std::string EncodeFleetSettings(const FleetSettings& settings);
// What the text holds; a value out of its range (waves or a failure limit the rollout would refuse) keeps
// the default.
FleetSettings DecodeFleetSettings(const std::string& text);

// Reads the file; the defaults when it is missing or unreadable.
FleetSettings LoadFleetSettings(const std::filesystem::path& file);
// Writes the file whole (creating its folder): false when it could not be written or the path is empty.
bool StoreFleetSettings(const std::filesystem::path& file, const FleetSettings& settings);
