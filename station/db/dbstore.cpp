#include "dbstore.h"

#include <filesystem>

namespace halyard::station::db {

DatabaseStore::DatabaseStore(DatabaseUrl url, std::string spool, std::string host)
    : mUrl(std::move(url)), mSpoolPath(std::move(spool)), mHost(std::move(host)) {}

DatabaseStore::~DatabaseStore() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mChanged.notify_all();
    if (mSender.joinable()) {
        mSender.join();
    }
}

bool DatabaseStore::Open(std::string& error) {
    // The default spool's folder is made on first use.
    const std::filesystem::path folder = std::filesystem::path(mSpoolPath).parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
    }
    if (!mSpool.Open(mSpoolPath, error)) {
        return false;
    }
    mSender = std::thread([this] { Send(); });
    return true;
}

bool DatabaseStore::Store(const Json& record, std::string& error) {
    if (!mSpool.Store(record, error)) {
        return false;
    }
    {
        std::lock_guard lock(mMutex);
        mOwnEnds.push_back(mSpool.LastEnd());
        mWork = true;
    }
    mChanged.notify_all();
    return true;
}

void DatabaseStore::Note(const std::string& line) {
    mNotices.push_back("database " + mUrl.Shown() + ": " + line);
}

void DatabaseStore::Send() {
    std::unique_ptr<Database> db;
    uint64_t position = 0;
    std::unique_lock lock(mMutex);
    while (!mStopping) {
        mWork = false;
        lock.unlock();
        std::string error;
        bool ok = true;
        if (!db) {
            db = Database::Open(mUrl, error);
            ok = db && SentPosition(*db, mHost, SpoolKey(mSpoolPath), position, error);
        }
        SendCounts counts;
        ok = ok && SendSpool(*db, mHost, mSpoolPath, position, counts, error);
        if (!ok && db) {
            // Whatever failed (a lost connection, a full disk, a lock held too long), the next
            // attempt starts on a new connection from the position the database holds.
            db.reset();
        }
        lock.lock();
        ++mAttempts;
        mDown = !ok;
        if (ok) {
            mSentTo = position;
            while (!mOwnEnds.empty() && mOwnEnds.front() <= mSentTo) {
                mOwnEnds.pop_front();
            }
            if (mToldDown) {
                Note("reachable again; the records that waited are sent");
                mToldDown = false;
            }
        } else if (!mToldDown) {
            Note(error + "; records wait in the spool " + mSpoolPath);
            mToldDown = true;
        }
        mChanged.notify_all();
        if (ok) {
            mChanged.wait(lock, [this] { return mStopping || mWork; });
        } else {
            // New records wait for the next try; the run's end does not.
            mChanged.wait_for(lock, retryInterval, [this] { return mStopping || mFinishing; });
        }
    }
}

std::vector<std::string> DatabaseStore::TakeNotices() {
    std::lock_guard lock(mMutex);
    return std::exchange(mNotices, {});
}

std::vector<std::string> DatabaseStore::Finish(std::chrono::milliseconds wait) {
    std::unique_lock lock(mMutex);
    if (mSender.joinable()) {
        // Wait while records are on their way, but not for a database that is down: one more
        // attempt after this point tells.
        const unsigned attempts = mAttempts;
        mWork = true;
        mFinishing = true;
        mChanged.notify_all();
        mChanged.wait_for(lock, wait, [&] {
            return mOwnEnds.empty() || (mDown && mAttempts > attempts);
        });
        mStopping = true;
        mChanged.notify_all();
        lock.unlock();
        mSender.join();
        lock.lock();
    }
    std::vector<std::string> notices = std::exchange(mNotices, {});
    if (!mOwnEnds.empty()) {
        notices.push_back(std::to_string(mOwnEnds.size()) +
                          (mOwnEnds.size() == 1 ? " record waits" : " records wait") +
                          " in the spool " + mSpoolPath +
                          " for the database; they are sent at the next run with --db or by "
                          "'halyard-cli db sync'");
    }
    return notices;
}

}  // namespace halyard::station::db
