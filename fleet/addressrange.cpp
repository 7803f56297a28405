// Reading address ranges.
#include "fleet/addressrange.h"

#include <algorithm>
#include <utility>

namespace {

// One number of a dotted address: decimal, 0 to 255, no sign, at most three digits.
bool ParseOctet(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::stoul(text));
    return value <= 255;
}

std::optional<uint32_t> ParseDotted(const std::string& text) {
    uint32_t address = 0;
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.', from) : text.size();
        uint32_t octet = 0;
        if (dot == std::string::npos || !ParseOctet(text.substr(from, dot - from), octet))
            return std::nullopt;
        address = address << 8 | octet;
        from = dot + 1;
    }
    return address;
}

} // namespace

std::string DottedAddress(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
           std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
}

std::optional<AddressRange> ParseAddressRange(const std::string& text, std::string& error) {
    const std::string form = text + ": ";
    const size_t slash = text.find('/');
    const size_t dash = text.find('-');
    const std::optional<uint32_t> first = ParseDotted(text.substr(0, std::min(slash, dash)));
    if (!first || (slash != std::string::npos && dash != std::string::npos)) {
        error = form + "the range must be A.B.C.D/NN, A.B.C.D-E or one address A.B.C.D";
        return std::nullopt;
    }
    if (slash != std::string::npos) {
        uint32_t bits = 0;
        const std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            prefix.find_first_not_of("0123456789") != std::string::npos ||
            (bits = static_cast<uint32_t>(std::stoul(prefix))) > 32) {
            error = form + "the prefix length after '/' must be a number from 16 to 32";
            return std::nullopt;
        }
        if (bits < 16) {
            error = form + "at most 65536 addresses (a /16) are scanned at a time";
            return std::nullopt;
        }
        const uint64_t count = uint64_t{1} << (32 - bits);
        const uint32_t mask = ~uint32_t{0} << (32 - bits);
        return AddressRange{*first & mask, static_cast<uint32_t>(count)};
    }
    if (dash != std::string::npos) {
        uint32_t last = 0;
        if (!ParseOctet(text.substr(dash + 1), last) || last < (*first & 255)) {
            error = form + "after '-' comes the last number of the last address, from " +
                    std::to_string(*first & 255) + " to 255";
            return std::nullopt;
        }
        return AddressRange{*first, last - (*first & 255) + 1};
    }
    return AddressRange{*first, 1};
}

std::string AddressListText(const std::vector<std::string>& labels) {
    struct Device {
        std::optional<uint32_t> Address; // a dotted address with a port
        int Port = 0;
        std::string Label;
    };
    std::vector<Device> devices;
    for (const std::string& label : labels) {
        Device d{std::nullopt, 0, label};
        const size_t colon = label.rfind(':');
        const std::string port = colon == std::string::npos ? "" : label.substr(colon + 1);
        if (!port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos) {
            d.Address = ParseDotted(label.substr(0, colon));
            d.Port = std::stoi(port);
        }
        devices.push_back(std::move(d));
    }
    std::stable_sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) {
        if (!a.Address || !b.Address)
            return a.Address.has_value() && !b.Address.has_value();
        return std::pair(*a.Address, a.Port) < std::pair(*b.Address, b.Port);
    });
    // b follows a: on the next port of its address, or on the next address (of the same block of 256) and
    // the same port.
    const auto follows = [](const Device& a, const Device& b, bool byPort) {
        if (!a.Address || !b.Address)
            return false;
        return byPort ? *b.Address == *a.Address && b.Port == a.Port + 1
                      : b.Port == a.Port && *b.Address == *a.Address + 1 && (*b.Address & 255) != 0;
    };
    std::string text;
    for (size_t i = 0, end; i < devices.size(); i = end) {
        const bool byPort = i + 1 < devices.size() && follows(devices[i], devices[i + 1], true);
        for (end = i + 1; end < devices.size() && follows(devices[end - 1], devices[end], byPort);)
            ++end;
        const Device& first = devices[i];
        const Device& last = devices[end - 1];
        std::string piece = first.Label;
        if (end - i > 1 && byPort)
            piece = DottedAddress(*first.Address) + ":" + std::to_string(first.Port) + "-" +
                    std::to_string(last.Port);
        else if (end - i > 1)
            piece = DottedAddress(*first.Address) + "-" + std::to_string(*last.Address & 255) + ":" +
                    std::to_string(first.Port);
        text += (text.empty() ? "" : ", ") + piece;
    }
    return text;
}
