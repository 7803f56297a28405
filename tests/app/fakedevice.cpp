// FakeDevice: answers the window's I32 reads from its table of values through a TestDevice.
#include "tests/app/fakedevice.h"

#include "link/msg.h"

FakeDevice::FakeDevice(const std::string& address) : device(address) {
    SetValues(0, 1, {0}); // keep-alive
    SetValues(1, 2, {1});
    SetValues(1, 3, {123});
    SetValues(1, 5, {19});
    SetValues(1, 6, {31});
    SetValues(1, 12, {0x00010004});
    SetText(9, 2, "DSP-Q7");
    SetText(9, 7, "Farquin Audio");
    SetText(9, 8, "Q7 Stage");
    SetText(9, 9, "LIB-2.31");
    device.WithKeepAlives = true;
    device.OnMessage = [this](const Received& r) { return Answer(r); };
}

void FakeDevice::SetValues(int obj, int par, std::vector<int32_t> v) {
    std::lock_guard hold(lock);
    values[{obj, par}] = std::move(v);
}

void FakeDevice::SetText(int obj, int par, const std::string& text) {
    std::vector<int32_t> v(4, 0);
    for (size_t i = 0; i < text.size() && i < 16; ++i)
        v[i / 4] |=
            static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * (i % 4)));
    SetValues(obj, par, std::move(v));
}

std::vector<std::pair<int, int>> FakeDevice::Requests() {
    std::vector<std::pair<int, int>> requests;
    for (const Received& r : device.Messages())
        if (r.Kind == KIND_READ && r.Type == TYPE_I32)
            requests.emplace_back(r.Obj, r.Par);
    return requests;
}

DeviceAction FakeDevice::Answer(const Received& r) {
    DeviceAction action;
    if (r.Kind != KIND_READ || r.Type != TYPE_I32 || silent)
        return action;
    std::lock_guard hold(lock);
    const auto it = values.find({r.Obj, r.Par});
    if (it != values.end())
        action.Replies.push_back(ValueReplyI32(r.Obj, r.Par, it->second));
    return action;
}
