// --db URL: records go to the spool first and from there, through a process of their own, to
// the database, so that a slow or absent database never holds a unit up. A process, not a
// thread: the station forks a process for every unit, and a fork while a thread is inside the
// database library (or the allocator) could leave the unit's process waiting on a lock that
// nobody will release.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "database.h"
#include "station/store.h"

namespace halyard::station::db {

class DatabaseStore : public RecordStore {
  public:
    // `spool`: the --log file, or DefaultSpoolPath(url). `host`: whose spool it is.
    DatabaseStore(DatabaseUrl url, std::string spool, std::string host);
    ~DatabaseStore() override;
    DatabaseStore(const DatabaseStore&) = delete;
    DatabaseStore& operator=(const DatabaseStore&) = delete;

    // Opens the spool and starts the sender (which sends what earlier runs left waiting
    // first); false with the reason when the spool cannot be opened or the sender started.
    // Called before any other thread or unit process is started.
    bool Open(std::string& error);

    // Appends the record to the spool: true once it is there, whether or not the database has
    // it yet.
    bool Store(const Json& record, std::string& error) override;
    std::vector<std::string> TakeNotices() override;
    std::vector<std::string> Finish(std::chrono::milliseconds wait) override;

    // How long the sender waits before it tries an absent database again (set before Open).
    std::chrono::milliseconds retryInterval{1000};

  private:
    [[noreturn]] void SendInChild(int wakeFd, int reportFd) const;
    // Reads what the sender reported; waits up to `waitMs` for the first of it.
    void TakeReports(int waitMs);
    void Stop();

    const DatabaseUrl mUrl;
    LogFileStore mSpool;
    const std::string mSpoolPath;
    const std::string mHost;

    pid_t mSender = -1;
    int mWakeFd = -1;      // to the sender: 'R' a record was spooled, 'F' the run ends
    int mReportFd = -1;    // from the sender: lines "S POSITION", "N NOTICE", "D" (a try failed)
    std::string mPending;  // a report line not yet whole
    std::deque<uint64_t> mOwnEnds;  // where this run's records end in the spool, oldest first
    unsigned mFailures = 0;         // "D" reports so far
    std::vector<std::string> mNotices;
};

}  // namespace halyard::station::db
