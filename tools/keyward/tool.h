// What the source files of the keyward tool share: its options, reports, and the session on a
// chip image that every command runs in (session.cpp), the parsing of its arguments
// (keywardargs.h), and the power-table command (powertables.cpp).
#pragma once

#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <varnakcli.h>

#include "common/atomicfile.h"
#include "common/filelock.h"
#include "keywardargs.h"

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace keyward_tool {

using varnak::cli::kExitFailure;
using varnak::cli::kExitInterrupted;
using varnak::cli::kExitSuccess;
using varnak::cli::kExitUsage;
constexpr size_t kProgressWidth = 79;  // a progress line never wraps on a standard terminal

struct Options {
    std::string chip;
    bool create = false;
    bool verbose = false;
    bool keepGoing = false;
    bool cache = false;
};

// ---------------------------------------------------------------- reports

// Progress notes: one line rewritten in place on a terminal, a line each with --verbose.
class Progress {
  public:
    Progress(bool verbose, bool terminal) : mVerbose(verbose), mTerminal(terminal) {}

    void Show(const std::string& text) {
        ++mCount;
        if (mVerbose) {
            std::cerr << text << '\n';
        } else if (mTerminal) {
            std::cerr << '\r' << text.substr(0, kProgressWidth) << "\x1b[K" << std::flush;
            mShown = true;
        }
    }
    // Ends the progress line, with a closing summary when progress is being shown at all.
    void Finish(const std::string& summary) {
        Clear();
        if ((mVerbose || mTerminal) && !summary.empty()) {
            std::cerr << summary << '\n';
        }
    }
    void Clear() {
        if (mShown) {
            std::cerr << "\r\x1b[K" << std::flush;
            mShown = false;
        }
    }
    int Count() const { return mCount; }

  private:
    bool mVerbose;
    bool mTerminal;
    bool mShown = false;
    int mCount = 0;
};

// Prints every report with its caption and counts the errors. An error stops the running
// operation unless --keep-going asked to go on.
class ToolHandler : public kvcmd_trans_error_handler {
  public:
    ToolHandler(Progress& progress, bool keepGoing) : mProgress(progress), mKeepGoing(keepGoing) {}

    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int /*code*/,
                                      int type) override {
        if (type == -1) {
            mProgress.Show(keyward::Narrow(text));
            return KVCMD_RESPONSE_NONE;
        }
        mProgress.Clear();
        ++mErrors;
        std::cerr << keyward::Narrow(caption) << ": " << UserPaths(keyward::Narrow(text))
                  << std::endl;
        return mKeepGoing ? KVCMD_RESPONSE_IGNORE : KVCMD_RESPONSE_ABORT;
    }
    int Errors() const { return mErrors; }
    // Reports name `shown` where the library names `written`: the library writes an output to
    // its temporary file, but the user asked for the file itself.
    void ShowPathAs(const std::string& written, const std::string& shown) {
        mWritten = written;
        mShown = shown;
    }

  private:
    std::string UserPaths(std::string text) const {
        if (!mWritten.empty()) {
            for (size_t at = text.find(mWritten); at != std::string::npos;
                 at = text.find(mWritten, at + mShown.size())) {
                text.replace(at, mWritten.size(), mShown);
            }
        }
        return text;
    }

    Progress& mProgress;
    bool mKeepGoing;
    int mErrors = 0;
    std::string mWritten;
    std::string mShown;
};

// "keyward: " and the text, on standard error.
void Fail(const std::string& text);

// ---------------------------------------------------------------- interrupts and files

// On SIGINT (Ctrl-C) or SIGTERM a command that only reads the chip ends at once. One that may
// change it stops after the key or line in progress and saves what was done; a second signal
// ends it at once. The exit code is 130 either way, and the temporary file of an output being
// written is removed, so the old file stays as it was.
void CatchInterrupts();
// Whether a signal asked the running command to stop.
bool Interrupted();

// A file the tool writes: the library writes it to a temporary file beside it, which replaces
// it on Commit; otherwise (a failure, an interrupt) the temporary file goes and the old file
// stays.
class ChipSession;
class OutputFile {
  public:
    // Reports of `session` name the file, not its temporary file.
    OutputFile(const std::string& path, ChipSession& session)
        : mPath(path), mSession(session), mWriter(path) {}
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file; false after reporting why not.
    bool Open();
    std::wstring TemporaryPath() const { return keyward::Widen(mWriter.TemporaryPath()); }
    // Puts the file in place; false after reporting why not.
    bool Commit();

  private:
    std::string mPath;
    ChipSession& mSession;
    varnak::AtomicFileWriter mWriter;
};

// ---------------------------------------------------------------- the chip

// Whether a command may change the chip, which decides how an interrupt ends it and whether
// it takes the image's lock.
enum class Access { READ, WRITE };

// A simulated chip loaded from its image, behind a server and a CKeyWarder.
class ChipSession {
  public:
    explicit ChipSession(const Options& options);
    ~ChipSession();
    ChipSession(const ChipSession&) = delete;
    ChipSession& operator=(const ChipSession&) = delete;

    // Loads the image and opens the chip; false after reporting why not. A session that may
    // change the image holds its lock from before the load until the session ends, after the
    // save, so that programs changing one image at the same time lose nothing.
    bool Open(const std::string& image, Access access);
    // Closes the chip, which saves its image when it changed, and gives the exit code: 0 when
    // `ok` and nothing was reported.
    int Close(bool ok, const std::string& summary = {});

    CKeyWarder& Keys() { return mKeys; }
    const Progress& Notes() const { return mProgress; }
    int Errors() const { return mHandler.Errors(); }
    ToolHandler& Handler() { return mHandler; }

  private:
    // Detaches the chip from its image after a save failed and was reported, so that the chip
    // does not try (and report) it once more when it is destroyed.
    void ForgetImage() { mChip->AttachImage(std::string()); }

    std::unique_ptr<varnak::FileLock> mLock;  // first, so that it goes last
    Progress mProgress;
    ToolHandler mHandler;
    std::shared_ptr<kvcmdsim::SimChip> mChip;
    bool mCreate;
    bool mCached;
    std::unique_ptr<PsKvcmd> mServer;
    std::unique_ptr<PsCache> mCache;  // wraps mServer with --cache
    CKeyWarder mKeys;
};

// Runs `work` on the chip of --chip; `work` returns whether it succeeded. The exit code.
int WithChip(const Options& options, Access access, const std::function<bool(ChipSession&)>& work,
             const std::function<std::string(const ChipSession&)>& summary = nullptr);

// ---------------------------------------------------------------- power tables

struct TableEdits {
    std::vector<int> deletes;
    std::vector<std::string> adds;
    int at = -1;  // insert the added settings here; -1 appends them
    bool sort = false;

    bool Any() const { return !deletes.empty() || !adds.empty() || sort; }
};

// Shows the transmit-power table of `key` in the format `kind` ("basic", "enhanced", "v0"; empty:
// from the key) and applies the edits. The exit code.
int PowerTableCommand(const Options& options, uint16_t key, std::string kind,
                      const TableEdits& edits);

}  // namespace keyward_tool
