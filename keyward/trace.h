// Scope tracing inside keyward: the OSTREL_TRACE macros with the handler of keyward's group
// looked up once, and the sentry made only while debugging is active. Handlers live as long as
// the process; a typed read passes about a dozen traced scopes, and building and destroying a
// sentry in each (two calls into Ostrel and a virtual destructor) cost more than the library's
// other work on the read while tracing was off.
#pragma once

#include <ostrel/ostrel.h>

#include <optional>
#include <type_traits>

namespace keyward::detail {

inline CMessageHandler& KvcmdHandler() {
    static CMessageHandler& handler = OSTREL_HANDLER(CMessageHandler::GROUP_KVCMD);
    return handler;
}

// A scope sentry that exists only when debugging was active as the scope began, so the entry
// and exit lines always come in pairs.
template <typename Sentry>
class ScopeTrace {
  public:
    template <typename... Returned>
    ScopeTrace(unsigned long line, const char* file, const char* function,
               const Returned&... returned) {
        if (CTheMsgHnd::DebugActivated()) [[unlikely]] {
            mSentry.emplace(KvcmdHandler(), line, file, function, returned...);
        }
    }
    ScopeTrace(const ScopeTrace&) = delete;
    ScopeTrace& operator=(const ScopeTrace&) = delete;

  private:
    std::optional<Sentry> mSentry;
};

}  // namespace keyward::detail

// Traces the enclosing scope.
#define KEYWARD_TRACE() \
    keyward::detail::ScopeTrace<CDebugSentry> keywardScopeSentry_(__LINE__, __FILE__, __func__)

// Traces the enclosing scope and the value of `var` when it ends.
#define KEYWARD_TRACE_RETURN(var)                                                         \
    keyward::detail::ScopeTrace<                                                          \
        CDebugSentryWithReturn<std::remove_cv_t<std::remove_reference_t<decltype(var)>>>> \
    keywardScopeSentry_(__LINE__, __FILE__, __func__, var)
