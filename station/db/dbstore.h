// --db URL: records go to the spool first and from there, on a thread of their own, to the
// database, so that a slow or absent database never holds a unit up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

    // Opens the spool and starts sending (what earlier runs left waiting first); false with
    // the reason when the spool cannot be opened.
    bool Open(std::string& error);

    // Appends the record to the spool: true once it is there, whether or not the database has
    // it yet.
    bool Store(const Json& record, std::string& error) override;
    std::vector<std::string> TakeNotices() override;
    std::vector<std::string> Finish(std::chrono::milliseconds wait) override;

    // How long the sender waits before it tries an absent database again.
    std::chrono::milliseconds retryInterval{1000};

  private:
    void Send();
    void Note(const std::string& line);  // with mMutex held

    const DatabaseUrl mUrl;
    LogFileStore mSpool;
    const std::string mSpoolPath;
    const std::string mHost;

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::deque<uint64_t> mOwnEnds;  // where this run's records end in the spool, oldest first
    uint64_t mSentTo = 0;           // the spool is in the database up to here
    bool mWork = false;             // a record came since the sender last looked
    bool mStopping = false;
    bool mFinishing = false;  // Finish is waiting: one more try now
    bool mDown = false;       // the last attempt failed
    bool mToldDown = false;   // the operator was told, and not yet that it came back
    unsigned mAttempts = 0;   // attempts made, to know when one was made after Finish began
    std::vector<std::string> mNotices;
    std::thread mSender;
};

}  // namespace halyard::station::db
