// The whole run's time left, from where each device stands: for the line that counts the devices.
#pragma once

#include <vector>

// Where a device is on its way through the run.
enum class DeviceStage { NotBegun, Connecting, Queued, Updating, Ended };
struct DeviceTime {
    DeviceStage At = DeviceStage::NotBegun;
    double Left = 0; // while Updating: its own time left in seconds
};

// The run's time left in seconds. A device connecting, or one that has not begun or waits for its turn,
// takes a whole update's time (full); those waiting take the places that come free first, jobs at a time
// (0: all at once). Negative when not known (full is 0: no update has begun yet).
double RunSecondsLeft(const std::vector<DeviceTime>& devices, double full, int jobs);
