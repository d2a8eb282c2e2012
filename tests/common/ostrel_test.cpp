#include <ostrel/ostrel.h>

#include "debuglog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Sends debug output to a private file for the length of a test.
class OstrelLog : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("OSTREL_DEBUG", "1", 1);
        log.emplace("ostrel_test");
        ASSERT_TRUE(log->Made());
    }
    void TearDown() override {
        unsetenv("OSTREL_DEBUG");
        log.reset();
    }
    std::string Log() const { return log->Text(); }
    std::optional<varnak_test::PrivateDebugLog> log;
};

bool ReturnsBool(bool value) {
    bool result = value;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_COMMUNICATION, result);
    return result;
}
int ReturnsInt() {
    int result = -5;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_COMMUNICATION, result);
    return result;
}
unsigned long ReturnsUnsignedLong() {
    unsigned long result = 4000000000ul;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_COMMUNICATION, result);
    return result;
}
std::string ReturnsString() {
    std::string result = "a,b";
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_COMMUNICATION, result);
    result += ",c";  // the exit line shows the value at return, not at entry
    return result;
}

TEST_F(OstrelLog, ExitLinesShowTheReturnedValueInEachFormat) {
    ReturnsBool(true);
    ReturnsBool(false);
    ReturnsInt();
    ReturnsUnsignedLong();
    ReturnsString();
    const std::string log = Log();
    EXPECT_NE(log.find("<- ReturnsBool [returning true]"), std::string::npos) << log;
    EXPECT_NE(log.find("<- ReturnsBool [returning false]"), std::string::npos);
    EXPECT_NE(log.find("<- ReturnsInt [returning -5]"), std::string::npos);
    EXPECT_NE(log.find("<- ReturnsUnsignedLong [returning 4000000000]"), std::string::npos);
    EXPECT_NE(log.find("<- ReturnsString [returning \"a,b,c\"]"), std::string::npos);
}

TEST_F(OstrelLog, ExitLineIsPrintedOnce) {
    ReturnsInt();
    const std::string log = Log();
    const auto first = log.find("<- ReturnsInt");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("<- ReturnsInt", first + 1), std::string::npos) << log;
}

TEST_F(OstrelLog, NothingIsWrittenWhileDebugIsOff) {
    CTheMsgHnd::SetDebugActivated(false);
    int evaluated = 0;
    OSTREL_DEBUG(CMessageHandler::GROUP_COMMUNICATION, 2, "value %d", ++evaluated);
    ReturnsBool(true);
    EXPECT_EQ(evaluated, 0) << "arguments are not evaluated while debug is off";
    EXPECT_EQ(Log(), "");

    CTheMsgHnd::SetDebugActivated(true);
    OSTREL_DEBUG(CMessageHandler::GROUP_COMMUNICATION, 2, "value %d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    EXPECT_NE(Log().find("value 1"), std::string::npos);
}

TEST_F(OstrelLog, DebugGateFollowsTheEnvironment) {
    setenv("OSTREL_DEBUG", "0", 1);
    CTheMsgHnd::ReadEnvironment();
    EXPECT_FALSE(CTheMsgHnd::DebugActivated());
    EXPECT_FALSE(CTheMsgHnd::mDebugActivated);
    setenv("OSTREL_DEBUG", "1", 1);
    CTheMsgHnd::ReadEnvironment();
    EXPECT_TRUE(CTheMsgHnd::DebugActivated());
}

TEST(Ostrel, EachHandlerKeepsItsOwnLastError) {
    CMessageHandler& comms = OSTREL_HANDLER(CMessageHandler::GROUP_COMMUNICATION);
    CMessageHandler& strings = OSTREL_HANDLER(CMessageHandler::GROUP_STRING_UTILITY);
    EXPECT_EQ(&comms, &OSTREL_HANDLER(120)) << "one handler per group for the whole process";
    EXPECT_NE(&comms, &strings);

    comms.SetErrorMsg(0, "first");
    comms.SetErrorMsg(0, "Unknown protocol: x");
    strings.SetErrorMsg(3, "other");
    EXPECT_EQ(comms.GetErrorMsg(), "Unknown protocol: x");
    EXPECT_EQ(strings.GetErrorMsg(), "other");
    EXPECT_EQ(strings.GetErrorCode(), 3);

    // Clearing a named group leaves the others alone.
    comms.ClearError(CMessageHandler::GROUP_STRING_UTILITY);
    EXPECT_EQ(strings.GetErrorMsg(), "");
    EXPECT_EQ(comms.GetErrorMsg(), "Unknown protocol: x");
    comms.ClearError(CMessageHandler::GROUP_COMMUNICATION);
    EXPECT_EQ(comms.GetErrorMsg(), "");
}

TEST_F(OstrelLog, ConcurrentTracingAndErrorsFromManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                OSTREL_DEBUG(100 + t % 3, 2, "thread %d line %d", t, i);
                OSTREL_SET_ERROR(100 + t % 3, "error " + std::to_string(t));
                ReturnsBool(i % 2 == 0);
                if (i % 50 == 0) {
                    CTheMsgHnd::SetDebugActivated(true);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::istringstream lines(Log());
    int count = 0;
    std::string line;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("ostrel[", 0), 0u) << "lines are never interleaved: " << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines * 3);  // the debug line, then entry and exit of the tracer
    const std::string last = OSTREL_HANDLER(100).GetErrorMsg();
    EXPECT_TRUE(last == "error 0" || last == "error 3" || last == "error 6") << last;
}

}  // namespace
