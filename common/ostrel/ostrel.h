/// @file
/// @brief Ostrel, the diagnostics framework: debug tracing and recorded error texts.
///
/// One process-wide set of message handlers, one per group number. Every library of this
/// project traces through it and records its failure texts in it:
///
///   - Debug lines are written only while debugging is active. It is off unless the
///     environment variable OSTREL_DEBUG is "1" when the library loads (or when
///     CTheMsgHnd::ReadEnvironment() is called); SetDebugActivated() switches it at run time.
///     Lines go to standard error, or are appended to the file named by OSTREL_LOG.
///   - Each handler keeps the last error text recorded with SetErrorMsg(); GetErrorMsg() reads
///     it back. Handlers live as long as the process and are safe to use from any thread.
///
/// Callers build debug text only when CTheMsgHnd::DebugActivated() is true; the OSTREL_*
/// macros at the end of this header do that for them.
#pragma once

#include <atomic>
#include <string>
#include <type_traits>

/// Marks what the ostrel library exports.
#define OSTREL_API __attribute__((visibility("default")))

/// The message handler of one group: writes its debug lines and keeps its last error text. Made by
/// CTheMsgHnd::GetAppropriateHandler and valid for the rest of the process; every member may be
/// called from any thread.
class OSTREL_API CMessageHandler {
  public:
    /// Group numbers. The framework accepts any number; these are the ones the libraries use.
    enum GroupEnum : int {
        GROUP_KVCMD = 19,                 ///< keyward's kvcmd transport methods
        GROUP_GENERAL = 27,               ///< registrations, enumeration traces, hex dumps
        GROUP_STRING_UTILITY = 103,       ///< string helpers of the transport library
        GROUP_COMMUNICATION = 120,        ///< traces and errors of transports and quillon
        GROUP_COMMUNICATION_ERROR = 121,  ///< cleared when a PTAP message that failed goes away
    };

    ///@{
    /// Trace levels passed to DebugOutputInHandler: a scope-exit line, a trace line, a warning.
    static constexpr unsigned long LEVEL_EXIT = 0;
    static constexpr unsigned long LEVEL_TRACE = 2;
    static constexpr unsigned long LEVEL_WARNING = 3;
    ///@}

    /// A handler of `group` (CTheMsgHnd::GetAppropriateHandler makes the process's handlers).
    explicit CMessageHandler(GroupEnum group);
    /// Frees the recorded text.
    ~CMessageHandler();
    CMessageHandler(const CMessageHandler&) = delete;
    CMessageHandler& operator=(const CMessageHandler&) = delete;

    /// The group number of this handler.
    GroupEnum Group() const;

    /// Writes one debug line when debugging is active. `level` 2 is a trace line, 3 a warning,
    /// 0 with `exitLine` true a scope-exit line. `toConsole` is accepted for callers that pass
    /// it and has no further meaning here.
    void DebugOutputInHandler(unsigned long level, bool toConsole, bool exitLine,
                              const char* function, const char* file, unsigned long line,
                              const char* format, ...) __attribute__((format(printf, 8, 9)));

    /// Records `text` as this handler's last error. Always returns true.
    bool SetErrorMsg(short code, const std::string& text);

    /// Clears the last error recorded by the handler of `group`.
    void ClearError(GroupEnum group);

    /// The last error text recorded by this handler ("" when none or cleared), and its code.
    std::string GetErrorMsg() const;
    /// The code recorded with the last error text (0 when none).
    short GetErrorCode() const;

    /// Forgets the last error of this handler.
    void Clear();

  private:
    struct Impl;
    Impl* mImpl;
};

/// The framework: the process-wide set of message handlers, one per group, and the debug gate.
class OSTREL_API CTheMsgHnd {
  public:
    /// The framework object. Callers touch it before each handler lookup.
    static CTheMsgHnd& Instance();

    /// The handler of `group`, created on first use and valid for the rest of the process.
    /// `function` names the caller; `registration` is true only for registration calls made
    /// from constructors, which ignore the result.
    static CMessageHandler& GetAppropriateHandler(CMessageHandler::GroupEnum group,
                                                  const char* function, bool registration = false);

    /// Whether debugging is active (debug lines are written).
    static bool DebugActivated() { return mDebugActivated.load(std::memory_order_relaxed); }
    /// Switches debugging on or off at run time.
    static void SetDebugActivated(bool on);

    /// Reads OSTREL_DEBUG and OSTREL_LOG again (done once when the library loads).
    static void ReadEnvironment();

    /// The gate itself; read directly by callers that test the flag.
    static std::atomic<bool> mDebugActivated;

  private:
    CTheMsgHnd() = default;
};

/// Scope tracer: built at function entry, writes "-> function" then, when the scope ends,
/// one exit line "<- function".
class OSTREL_API CDebugSentry {
  public:
    /// Writes the entry line "-> function" of the scope in `file` at `line` (when debugging is
    /// active).
    CDebugSentry(CMessageHandler& handler, unsigned long line, const char* file,
                 const char* function);
    virtual ~CDebugSentry();
    CDebugSentry(const CDebugSentry&) = delete;
    CDebugSentry& operator=(const CDebugSentry&) = delete;

  protected:
    /// Prints the exit line once; later calls do nothing.
    virtual void CheckPrintExit();
    /// Whether the exit line was printed.
    bool ExitPrinted() const { return mExitPrinted; }
    /// Marks the exit line as printed.
    void MarkExitPrinted() { mExitPrinted = true; }

    /// The handler the lines go to.
    CMessageHandler& mHandler;
    /// The line of the traced scope.
    unsigned long mLine;
    /// The source file of the traced scope.
    const char* mFile;
    /// The name of the traced function.
    const char* mFunction;

  private:
    bool mExitPrinted = false;
};

/// Scope tracer that also reports the value the function returns: it keeps a pointer to the
/// variable that will be returned and prints it in the exit line, formatted by type:
///   bool "<- %s [returning %s]" (true/false), int "<- %s [returning %d]",
///   unsigned long "<- %s [returning %lu]", std::string "<- %s [returning \"%s\"]".
/// Other integer types are printed as the nearest of int and unsigned long, pointers with %p.
template <typename T>
class CDebugSentryWithReturn : public CDebugSentry {
  public:
    /// Traces the scope and keeps a pointer to `returned`, the variable the function returns, which
    /// must outlive the tracer.
    CDebugSentryWithReturn(CMessageHandler& handler, unsigned long line, const char* file,
                           const char* function, const T& returned)
        : CDebugSentry(handler, line, file, function), mReturned(&returned) {}
    ~CDebugSentryWithReturn() override { CheckPrintExit(); }

  protected:
    void CheckPrintExit() override {
        if (ExitPrinted()) {
            return;
        }
        MarkExitPrinted();
        if (!CTheMsgHnd::DebugActivated()) {
            return;
        }
        const T& v = *mReturned;
        if constexpr (std::is_same_v<T, bool>) {
            Print("<- %s [returning %s]", v ? "true" : "false");
        } else if constexpr (std::is_same_v<T, std::string>) {
            Print("<- %s [returning \"%s\"]", v.c_str());
        } else if constexpr (std::is_pointer_v<T>) {
            Print("<- %s [returning %p]", static_cast<const void*>(v));
        } else if constexpr (std::is_enum_v<T>) {
            Print("<- %s [returning %d]", static_cast<int>(v));
        } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T> &&
                             sizeof(T) <= sizeof(int)) {
            Print("<- %s [returning %d]", static_cast<int>(v));
        } else if constexpr (std::is_integral_v<T>) {
            Print("<- %s [returning %lu]", static_cast<unsigned long>(v));
        } else {
            static_assert(std::is_integral_v<T>, "no exit-line format for this return type");
        }
    }

  private:
    template <typename V>
    void Print(const char* format, V value) {
        mHandler.DebugOutputInHandler(CMessageHandler::LEVEL_EXIT, false, true, mFunction, mFile,
                                      mLine, format, mFunction, value);
    }

    const T* mReturned;
};

/// The handler of a group, looked up the way every caller does it.
#define OSTREL_HANDLER(group) \
    (CTheMsgHnd::Instance(),  \
     CTheMsgHnd::GetAppropriateHandler(static_cast<CMessageHandler::GroupEnum>(group), __func__))

/// Traces the enclosing scope.
#define OSTREL_TRACE(group) \
    CDebugSentry ostrelScopeSentry_(OSTREL_HANDLER(group), __LINE__, __FILE__, __func__)

/// Traces the enclosing scope and the value of `var` when it ends; declare `var` first and
/// return it.
#define OSTREL_TRACE_RETURN(group, var)                                              \
    CDebugSentryWithReturn<std::remove_cv_t<std::remove_reference_t<decltype(var)>>> \
    ostrelScopeSentry_(OSTREL_HANDLER(group), __LINE__, __FILE__, __func__, var)

/// One debug line at `level`; the arguments are evaluated only while debugging is active.
#define OSTREL_DEBUG(group, level, ...)                                                         \
    do {                                                                                        \
        if (CTheMsgHnd::DebugActivated()) {                                                     \
            OSTREL_HANDLER(group).DebugOutputInHandler(level, false, false, __func__, __FILE__, \
                                                       __LINE__, __VA_ARGS__);                  \
        }                                                                                       \
    } while (0)

/// Records a failure text (code 0) in the handler of `group`.
#define OSTREL_SET_ERROR(group, text) OSTREL_HANDLER(group).SetErrorMsg(0, (text))
