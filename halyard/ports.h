// The port table: the programming ports the port listing reports, then the fixed USB device
// path. The first entry is chosen for the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halyard {

struct PortEntry {
    std::string name;        // shown to the user
    std::string connection;  // transport string, or the device path for the USB device
};

// The port listing's call: in/out buffer length, names, transports, out port count.
using ListPortsFunction = std::function<int(uint16_t*, char*, char*, uint16_t*)>;

class PortTable {
  public:
    static constexpr size_t kCapacity = 12;  // pairs, the USB device included: the window's table
    static constexpr size_t kUnlimited = SIZE_MAX;  // every listed port (halyard-cli)
    static constexpr size_t kMaxText = 255;         // characters of a name or connection string
    static constexpr const char* kUsbDevicePath = "\\\\.\\MVT0";

    // Rebuilds the table: the listed ports without "LPT" entries (at most capacity - 1 of them,
    // texts cut to kMaxText), then the USB device path. Without a listing function the
    // port-listing library is asked.
    void List(const ListPortsFunction& listPorts = {}, size_t capacity = kCapacity);

    const std::vector<PortEntry>& Entries() const { return mEntries; }
    // The listed ports the table had no room for.
    const std::vector<PortEntry>& LeftOut() const { return mLeftOut; }
    // The number of programming ports in the table: every entry but the USB device path.
    size_t ProgrammingPortCount() const { return mEntries.size() - 1; }
    // The index of the entry with exactly this name.
    std::optional<size_t> Find(const std::string& name) const;

  private:
    std::vector<PortEntry> mEntries;
    std::vector<PortEntry> mLeftOut;
};

// A chosen port; opened by device path when its name contains "MVT0".
struct ChosenPort {
    PortEntry entry;
    bool devicePath = false;
    bool valid = false;

    static ChosenPort From(const PortEntry& entry);
};

}  // namespace halyard
