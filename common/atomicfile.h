// Replacing a file so that readers see either the old contents or the new, never a part.
//
// The new contents go to a temporary file in the target's folder; Commit flushes it to disk,
// gives it the target's permissions, owner and group (or those of a new file under the umask),
// renames it over the target and flushes the folder, so the rename itself survives a power
// cut. Until Commit succeeds the target is untouched; a writer destroyed without a successful
// Commit removes its temporary file. A target that is a symbolic link has the file it points to
// replaced, where the link may be followed (see userfiles.h); a target the caller may not write
// is refused.
//
// The temporary file is ".NAME.tmpXXXXXX" (six random characters) and is locked (flock) while
// it lives. A program killed in the middle leaves it behind, unlocked; the next writer of the
// same file removes such leftovers when it opens.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varnak {

class AtomicFileWriter {
  public:
    explicit AtomicFileWriter(std::filesystem::path path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file. False, with Error() set, when the target may not be replaced
    // or the folder does not allow it.
    bool Open();
    // Appends to the temporary file; false once any write has failed.
    bool Write(std::string_view data);
    // Puts the written contents in place of the target. False, with Error() set and the target
    // left as it was, when anything fails.
    bool Commit();
    // Drops the temporary file; the target stays as it was.
    void Abort();

    // What failed, with the operating system's reason: "cannot write /x/y.ps: No space left".
    const std::string& Error() const { return mError; }
    // The temporary file while one is open, else empty; a program that ends on a signal can
    // unlink it from its handler (the string's storage stays valid until Commit or Abort).
    const std::string& TemporaryPath() const { return mTemporary; }

  private:
    bool Fail(const char* what, const std::filesystem::path& path);
    // Creates and locks the temporary file beside mTarget.
    bool CreateTemporary();

    std::filesystem::path mPath;
    std::filesystem::path mTarget;  // mPath with its links followed, once Open has run
    std::string mTemporary;
    std::string mError;
    int mFd = -1;
    bool mFailed = false;
};

// Replaces `path` with `contents` through an AtomicFileWriter. On failure returns false and,
// when `error` is given, stores the writer's message there.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error = nullptr);

}  // namespace varnak
