// The diagnostics framework: handlers per group, a debug gate and one output stream.

#include <ostrel/ostrel.h>

#include <unistd.h>

#include "common/userfiles.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

std::atomic<bool> CTheMsgHnd::mDebugActivated{false};

namespace {

// Where debug lines go. Handlers and this sink are created once and never destroyed, so
// libraries that trace while they unload still find them.
struct Sink {
    std::mutex lock;
    FILE* file = nullptr;  // null: standard error

    void Open(const char* path) {
        std::lock_guard<std::mutex> guard(lock);
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
        if (path != nullptr && *path != '\0') {
            // Opened as every appended file is: links followed only where the kernel would.
            std::string error;
            const int fd = varnak::OpenForAppending(path, &error);
            file = fd >= 0 ? fdopen(fd, "a") : nullptr;
            if (file == nullptr) {
                if (fd >= 0) {
                    error = std::string("cannot open ") + path + ": " + std::strerror(errno);
                    close(fd);
                }
                std::fprintf(stderr, "ostrel: cannot open the log file: %s\n", error.c_str());
            }
        }
    }

    void Write(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        FILE* out = file != nullptr ? file : stderr;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    }
};

Sink& TheSink() {
    static Sink* sink = new Sink;
    return *sink;
}

struct Registry {
    std::mutex lock;
    std::map<int, CMessageHandler*> handlers;
    // The handlers of groups 0 to 255 once made, read without the lock: every traced call of
    // the libraries looks its handler up, and a lock per lookup costs more than the trace gate.
    std::atomic<CMessageHandler*> small[256] = {};
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

const char* BaseName(const char* path) {
    if (path == nullptr) {
        return "";
    }
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Reads the environment when the library loads.
struct EnvironmentReader {
    EnvironmentReader() { CTheMsgHnd::ReadEnvironment(); }
} readEnvironmentAtLoad;

}  // namespace

struct CMessageHandler::Impl {
    GroupEnum group;
    mutable std::mutex lock;
    std::string errorText;
    short errorCode = 0;
};

CMessageHandler::CMessageHandler(GroupEnum group) : mImpl(new Impl) {
    mImpl->group = group;
}

CMessageHandler::~CMessageHandler() {
    delete mImpl;
}

CMessageHandler::GroupEnum CMessageHandler::Group() const {
    return mImpl->group;
}

void CMessageHandler::DebugOutputInHandler(unsigned long level, bool /*toConsole*/, bool exitLine,
                                           const char* function, const char* file,
                                           unsigned long line, const char* format, ...) {
    if (!CTheMsgHnd::DebugActivated() || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);

    char prefix[96];
    const char* kind = exitLine ? "exit" : level >= LEVEL_WARNING ? "warn" : "trace";
    std::snprintf(prefix, sizeof prefix, "ostrel[%d] %s ", static_cast<int>(mImpl->group), kind);
    std::string out = prefix;
    out += function != nullptr ? function : "?";
    out += " (";
    out += BaseName(file);
    out += ':';
    out += std::to_string(line);
    out += "): ";
    out += text;
    if (out.empty() || out.back() != '\n') {
        out += '\n';
    }
    TheSink().Write(out);
}

bool CMessageHandler::SetErrorMsg(short code, const std::string& text) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->errorText = text;
    mImpl->errorCode = code;
    return true;
}

void CMessageHandler::ClearError(GroupEnum group) {
    CMessageHandler& target =
        group == mImpl->group ? *this : CTheMsgHnd::GetAppropriateHandler(group, "ClearError");
    target.Clear();
}

void CMessageHandler::Clear() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->errorText.clear();
    mImpl->errorCode = 0;
}

std::string CMessageHandler::GetErrorMsg() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->errorText;
}

short CMessageHandler::GetErrorCode() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->errorCode;
}

CTheMsgHnd& CTheMsgHnd::Instance() {
    static CTheMsgHnd instance;
    return instance;
}

CMessageHandler& CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GroupEnum group,
                                                   const char* /*function*/,
                                                   bool /*registration*/) {
    Registry& registry = TheRegistry();
    const int number = static_cast<int>(group);
    const bool small = number >= 0 && number < 256;
    if (small) {
        if (CMessageHandler* known = registry.small[number].load(std::memory_order_acquire)) {
            return *known;
        }
    }
    std::lock_guard<std::mutex> guard(registry.lock);
    CMessageHandler*& handler = registry.handlers[number];
    if (handler == nullptr) {
        handler = new CMessageHandler(group);
    }
    if (small) {
        registry.small[number].store(handler, std::memory_order_release);
    }
    return *handler;
}

void CTheMsgHnd::SetDebugActivated(bool on) {
    mDebugActivated.store(on, std::memory_order_relaxed);
}

void CTheMsgHnd::ReadEnvironment() {
    const char* debug = std::getenv("OSTREL_DEBUG");
    SetDebugActivated(debug != nullptr && std::strcmp(debug, "1") == 0);
    TheSink().Open(std::getenv("OSTREL_LOG"));
}

CDebugSentry::CDebugSentry(CMessageHandler& handler, unsigned long line, const char* file,
                           const char* function)
    : mHandler(handler), mLine(line), mFile(file), mFunction(function) {
    if (CTheMsgHnd::DebugActivated()) {
        mHandler.DebugOutputInHandler(CMessageHandler::LEVEL_TRACE, false, false, mFunction, mFile,
                                      mLine, "-> %s", mFunction);
    }
}

CDebugSentry::~CDebugSentry() {
    CDebugSentry::CheckPrintExit();
}

void CDebugSentry::CheckPrintExit() {
    if (mExitPrinted) {
        return;
    }
    mExitPrinted = true;
    if (CTheMsgHnd::DebugActivated()) {
        mHandler.DebugOutputInHandler(CMessageHandler::LEVEL_EXIT, false, true, mFunction, mFile,
                                      mLine, "<- %s", mFunction);
    }
}
