// Where finished unit records go: the log file here, databases beside it, behind one interface.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace halyard::station {
// Where finished unit records go. Store() is called from one thread, in the order units end.
class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Stores one record; false and a reason in `error` when it could not be stored whole.
    virtual bool Store(const nlohmann::ordered_json& record, std::string& error) = 0;
    // Lines for the operator that came up since the last call (a database that went away or
    // came back), taken on the calling thread.
    virtual std::vector<std::string> TakeNotices() { return {}; }
    // At the end of a run: waits at most `wait` for records still on their way, and returns
    // what the operator should know about those that wait.
    virtual std::vector<std::string> Finish(std::chrono::milliseconds /*wait*/) { return {}; }
};

// --log FILE: one JSON line per record, appended under an advisory lock in one write, so that
// stations running at the same time can share the file. A line that cannot be written whole (a
// full disk) is cut back under the lock, so the file only ever holds whole lines.
class LogFileStore : public RecordStore {
  public:
    // How a line is written: ::write, unless a test puts a failing one in its place.
    using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

    LogFileStore() = default;
    ~LogFileStore() override;
    LogFileStore(const LogFileStore&) = delete;
    LogFileStore& operator=(const LogFileStore&) = delete;

    // Opens (creates) the file for appending; false with the reason in `error`. Every opening
    // of a log file goes through here.
    bool Open(const std::string& path, std::string& error);
    bool Store(const nlohmann::ordered_json& record, std::string& error) override;

    // The byte after the line the last successful Store wrote.
    uint64_t LastEnd() const { return mLastEnd; }

    WriteFunction write;

  private:
    std::string mPath;
    int mFd = -1;
    uint64_t mLastEnd = 0;
};

}  // namespace halyard::station
