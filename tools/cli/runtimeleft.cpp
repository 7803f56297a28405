// The whole run's time left.
#include "tools/cli/runtimeleft.h"

#include <algorithm>
#include <cstddef>

double RunSecondsLeft(const std::vector<DeviceTime>& devices, double full, int jobs) {
    if (full <= 0)
        return -1;
    std::vector<double> busy; // when each device at work is done
    size_t waiting = 0;
    for (const DeviceTime& d : devices) {
        if (d.At == DeviceStage::Updating)
            busy.push_back(std::max(0.0, d.Left));
        else if (d.At == DeviceStage::Connecting)
            busy.push_back(full);
        else if (d.At != DeviceStage::Ended)
            ++waiting;
    }
    if (jobs <= 0 || waiting == 0) {
        double longest = waiting > 0 ? full : 0;
        for (const double b : busy)
            longest = std::max(longest, b);
        return longest;
    }
    // With equal updates, the k-th one waiting goes to the k-th place in the order the places come free.
    busy.resize(std::max(busy.size(), static_cast<size_t>(jobs)), 0.0);
    std::sort(busy.begin(), busy.end());
    const size_t places = busy.size();
    double end = 0;
    for (size_t i = 0; i < places; ++i) {
        const size_t more = waiting / places + (i < waiting % places ? 1 : 0);
        end = std::max(end, busy[i] + static_cast<double>(more) * full);
    }
    return end;
}
