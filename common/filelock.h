// An advisory lock (flock) that serialises the programs changing one file: each takes it from
// before it loads the file until after it has saved it, so no change is lost between them.
//
// The lock is on a hidden lock file beside the file, ".NAME.lock", not on the file itself: a
// save renames a new file over the old one, so a lock on the old file would not keep a second
// program from loading the new one in the middle of a load, change and save.
#pragma once

#include <filesystem>
#include <string>

namespace varnak {

// The lock file of `file`: DIR/.NAME.lock.
std::filesystem::path LockPathFor(const std::filesystem::path& file);

class FileLock {
  public:
    // Waits for the exclusive lock on `file`, creating its lock file when missing.
    explicit FileLock(const std::filesystem::path& file);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False, with the reason, when the lock file could not be opened or locked.
    bool Locked() const { return mFd >= 0; }
    const std::string& Error() const { return mError; }

  private:
    int mFd = -1;
    std::string mError;
};

}  // namespace varnak
