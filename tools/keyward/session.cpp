// The keyward tool's session on a chip image, the reports of its commands, and how interrupts
// end them.
#include "tool.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "common/userfiles.h"

namespace keyward_tool {

namespace {

std::atomic<PsServer*> gInterruptible{nullptr};  // the server whose long runs poll the flag
volatile sig_atomic_t gChipMayChange = 0;
volatile sig_atomic_t gInterrupted = 0;
volatile sig_atomic_t gOutputPending = 0;
const char* gPendingOutput = nullptr;  // the temporary file, while gOutputPending is set

extern "C" void OnInterrupt(int) {
    if (gChipMayChange != 0 && gInterrupted == 0) {
        gInterrupted = 1;
        if (PsServer* server = gInterruptible.load()) {
            server->do_cancel();
            return;
        }
    }
    if (gOutputPending != 0) {
        unlink(gPendingOutput);
    }
    _exit(kExitInterrupted);
}

// Holds SIGINT and SIGTERM back while the chip image is saved, so that no save is cut short;
// a signal that came meanwhile is taken when the object goes.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigemptyset(&mSignals);
        sigaddset(&mSignals, SIGINT);
        sigaddset(&mSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &mSignals, nullptr);
    }
    ~InterruptsHeld() { pthread_sigmask(SIG_UNBLOCK, &mSignals, nullptr); }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    sigset_t mSignals;
};

}  // namespace

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
    return gInterrupted != 0;
}

void Fail(const std::string& text) {
    std::cerr << "keyward: " << text << std::endl;
}

// ---------------------------------------------------------------- files

OutputFile::~OutputFile() {
    mWriter.Abort();
    gOutputPending = 0;
}

bool OutputFile::Open() {
    if (!mWriter.Open()) {
        Fail(mWriter.Error());
        return false;
    }
    gPendingOutput = mWriter.TemporaryPath().c_str();
    gOutputPending = 1;
    mSession.Handler().ShowPathAs(mWriter.TemporaryPath(), mPath);
    return true;
}

bool OutputFile::Commit() {
    const bool committed = mWriter.Commit();
    gOutputPending = 0;
    if (!committed) {
        Fail(mWriter.Error());
    }
    return committed;
}

// ---------------------------------------------------------------- the chip

ChipSession::ChipSession(const Options& options)
    : mProgress(options.verbose, isatty(STDERR_FILENO) != 0),
      mHandler(mProgress, options.keepGoing),
      mChip(std::make_shared<kvcmdsim::SimChip>()),
      mCreate(options.create),
      mCached(options.cache) {}

ChipSession::~ChipSession() {
    gInterruptible = nullptr;
}

bool ChipSession::Open(const std::string& image, Access access) {
    std::error_code ignored;
    if (std::filesystem::is_directory(image, ignored)) {
        Fail("the chip image " + image + " is a folder");
        return false;
    }
    // A mistyped name must not quietly become a new, blank chip.
    const auto refuseMissing = [&] {
        if (mCreate || std::filesystem::exists(image, ignored)) {
            return false;
        }
        Fail("there is no chip image " + image + " (give --create to start a blank chip there)");
        return true;
    };
    if (refuseMissing()) {
        return false;
    }
    // A command that only reads a chip reads its image whole, as saves replace it atomically;
    // one that creates a missing image writes it, and so takes the lock as a change does.
    if (access == Access::WRITE || !std::filesystem::exists(image, ignored)) {
        mLock = std::make_unique<varnak::FileLock>(image);
        if (!mLock->Locked()) {
            Fail(mLock->Error());
            return false;
        }
        if (refuseMissing()) {  // removed while this program waited for the lock
            return false;
        }
        // An image that may not be replaced is reported before any work that could not be kept.
        std::filesystem::path target;
        std::string why;
        if (!varnak::ResolveWriteTarget(image, target, &why)) {
            Fail(why);
            return false;
        }
    }
    std::string error;
    if (!mChip->AttachImage(image, &error)) {
        Fail("cannot load chip image: " + error);
        return false;
    }
    // A missing image is created blank at once, so that an image that cannot be written is
    // reported before any work is done.
    bool saved;
    {
        const InterruptsHeld held;
        saved = mChip->Flush(&error);
    }
    if (!saved) {
        Fail(error);
        ForgetImage();
        return false;
    }
    auto* transport = new kvcmdsim::SimTransport(mChip);
    transport->set_error_handler(&mHandler);
    mServer = std::make_unique<PsKvcmd>(transport);
    PsServer* outermost = mServer.get();
    if (mCached) {
        mCache = std::make_unique<PsCache>();
        mCache->SetServer(mServer.get());
        outermost = mCache.get();
    }
    mKeys.SetServer(outermost);
    gInterruptible = outermost;
    if (!outermost->open()) {
        if (mHandler.Errors() == 0) {
            Fail("cannot open the chip of " + image);
        }
        return false;
    }
    return true;
}

int ChipSession::Close(bool ok, const std::string& summary) {
    PsServer* outermost = mCache != nullptr ? static_cast<PsServer*>(mCache.get()) : mServer.get();
    const int errorsBefore = mHandler.Errors();
    {
        const InterruptsHeld held;
        if (outermost != nullptr) {
            outermost->close();  // a failed save is reported through the handler
        }
        if (mChip->HasUnsavedChanges()) {
            ForgetImage();
        }
    }
    const bool interrupted = gInterrupted != 0;
    mProgress.Finish(ok && !interrupted && errorsBefore == 0 ? summary : std::string());
    if (interrupted) {
        Fail("interrupted");
        return kExitInterrupted;
    }
    return ok && mHandler.Errors() == 0 ? kExitSuccess : kExitFailure;
}

int WithChip(const Options& options, Access access, const std::function<bool(ChipSession&)>& work,
             const std::function<std::string(const ChipSession&)>& summary) {
    gChipMayChange = access == Access::WRITE ? 1 : 0;
    ChipSession session(options);
    if (!session.Open(options.chip, access)) {
        session.Close(false);
        return kExitFailure;
    }
    const bool ok = work(session);
    return session.Close(ok, summary ? summary(session) : std::string());
}

}  // namespace keyward_tool
