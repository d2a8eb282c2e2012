#include "ports.h"

#include <nimbra/nimbra.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace halyard {

namespace {

constexpr uint16_t kFirstBufferLength = 256;

// Splits a comma-separated list held in a buffer (up to its first NUL or its end), leaving out
// empty pieces and pieces that contain "LPT".
std::vector<std::string> SplitPorts(const std::vector<char>& buffer) {
    const size_t end = std::find(buffer.begin(), buffer.end(), '\0') - buffer.begin();
    const std::string_view text(buffer.data(), end);
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            comma = text.size();
        }
        const std::string_view piece = text.substr(start, comma - start);
        if (!piece.empty() && piece.find("LPT") == std::string_view::npos) {
            pieces.emplace_back(piece.substr(0, PortTable::kMaxText));
        }
        start = comma + 1;
    }
    return pieces;
}

}  // namespace

void PortTable::List(const ListPortsFunction& listPorts, size_t capacity) {
    const ListPortsFunction list = listPorts ? listPorts : ListPortsFunction(ListProgrammingPorts);
    mEntries.clear();
    mLeftOut.clear();
    uint16_t length = kFirstBufferLength;
    uint16_t count = 0;
    std::vector<char> names(length, '\0');
    std::vector<char> transports(length, '\0');
    int result = list(&length, names.data(), transports.data(), &count);
    if (result != 0 && length != 0) {
        // One retry with buffers of the length the listing asked for.
        names.assign(length, '\0');
        transports.assign(length, '\0');
        count = 0;
        result = list(&length, names.data(), transports.data(), &count);
    }
    if (result == 0 && count != 0) {
        const std::vector<std::string> nameList = SplitPorts(names);
        const std::vector<std::string> transportList = SplitPorts(transports);
        for (size_t i = 0; i < transportList.size(); ++i) {
            PortEntry entry{i < nameList.size() ? nameList[i] : std::string(), transportList[i]};
            (mEntries.size() + 1 < capacity ? mEntries : mLeftOut).push_back(std::move(entry));
        }
    }
    mEntries.push_back({kUsbDevicePath, kUsbDevicePath});
}

std::optional<size_t> PortTable::Find(const std::string& name) const {
    for (size_t i = 0; i < mEntries.size(); ++i) {
        if (mEntries[i].name == name) {
            return i;
        }
    }
    return std::nullopt;
}

ChosenPort ChosenPort::From(const PortEntry& entry) {
    return {entry, entry.name.find("MVT0") != std::string::npos, true};
}

}  // namespace halyard
