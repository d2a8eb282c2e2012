// Records an error and traces a scope through the installed diagnostics framework.
#include <ostrel/ostrel.h>

#include <cstdio>

static bool Traced() {
    bool result = true;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_GENERAL, result);
    return result;
}

int main() {
    OSTREL_SET_ERROR(CMessageHandler::GROUP_COMMUNICATION, "consumer error");
    if (OSTREL_HANDLER(CMessageHandler::GROUP_COMMUNICATION).GetErrorMsg() != "consumer error") {
        std::fprintf(stderr, "error text was not kept\n");
        return 1;
    }
    return Traced() ? 0 : 1;
}
