// Device lists: one HOST[:PORT][=FILE.cfg] a line, '#' starts a comment (a whole line or the rest of
// one), blank lines are skipped. A scan writes them; a run reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fleet/devicetarget.h"

struct DeviceListRead {
    std::vector<DeviceTarget> Devices;
    std::string Error; // "FILE:LINE: what is wrong", or why the file cannot be read; empty when read
    bool IsReport = false; // the file is a run report (JSON or CSV), not a list: Error says so
};

// The devices of the list text; name is the file as the messages name it. A relative FILE.cfg is
// taken from the list file's folder. allowConfig: whether =FILE.cfg is allowed (update only).
DeviceListRead ParseDeviceList(std::string_view text, const std::string& name, bool allowConfig);
DeviceListRead ReadDeviceList(const std::string& path, bool allowConfig);

// A list of devices as ParseDeviceList reads it: the header as comment lines, then one HOST:PORT
// a line, each followed by its comment when one is given (notes empty or one per device).
std::string DeviceListText(const std::vector<DeviceTarget>& devices, const std::vector<std::string>& notes,
                           const std::string& header);
