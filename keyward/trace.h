// Scope tracing inside keyward: the OSTREL_TRACE macros with the handler of keyward's group
// looked up once. Handlers live as long as the process, and a lookup per traced call (a lock and
// a map search) would cost more than the rest of a typed read does.
#pragma once

#include <ostrel/ostrel.h>

#include <type_traits>

namespace keyward::detail {

inline CMessageHandler& KvcmdHandler() {
    static CMessageHandler& handler = OSTREL_HANDLER(CMessageHandler::GROUP_KVCMD);
    return handler;
}

}  // namespace keyward::detail

// Traces the enclosing scope.
#define KEYWARD_TRACE() \
    CDebugSentry keywardScopeSentry_(keyward::detail::KvcmdHandler(), __LINE__, __FILE__, __func__)

// Traces the enclosing scope and the value of `var` when it ends.
#define KEYWARD_TRACE_RETURN(var)                                                    \
    CDebugSentryWithReturn<std::remove_cv_t<std::remove_reference_t<decltype(var)>>> \
    keywardScopeSentry_(keyward::detail::KvcmdHandler(), __LINE__, __FILE__, __func__, var)
