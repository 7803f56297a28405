// Which link manager each device of a run goes to. A link manager keeps one device per address
// (opening a known address reconnects that device on the fixed reconnect port instead), so devices
// behind one address - a test jig forwarding ports 2000, 2001, ... - need a manager each.
#pragma once

#include <string>
#include <vector>

#include "fleet/devicetarget.h"

// For each device the index of its link manager, from 0: the n-th device of an address goes to
// manager n-1, so no manager holds two devices of one address and there are as many managers as
// the address given most often has devices.
std::vector<int> LinkGroups(const std::vector<DeviceTarget>& devices);
