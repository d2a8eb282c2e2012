// keyward's scope tracing: entry and exit lines while debugging is active, in pairs also when
// debugging is switched on in the middle of a call, and nothing at all while it is off.
#include "support.h"

#include "../common/debuglog.h"

#include <ostrel/ostrel.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

using keyward_test::Response;
using keyward_test::ScriptedTransport;

// A server on a transport that answers every request, with debug output in a private file.
class Tracing : public ::testing::Test {
  protected:
    void SetUp() override {
        log.emplace("keyward_trace");
        ASSERT_TRUE(log->Made());
        CTheMsgHnd::SetDebugActivated(false);
        transport = new ScriptedTransport([this](const KVCMD_PDU& request, PDU& response) {
            if (onRequest) {
                onRequest();
            }
            // Memory reads refused: the keys are learnt by walking them, and there are none.
            // Every key holds the one word 3.
            const uint16_t varid = request.get_varid();
            response =
                Response(request,
                         varid == KVCMD_MEMORY_PDU::VARID ? KVCMD_PDU::STATUS_ACCESS_DENIED
                                                          : KVCMD_PDU::STATUS_OK,
                         {request.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD0),
                          static_cast<uint16_t>(varid == KVCMD_PSNEXT_ALL_PDU::VARID ? 0 : 1)},
                         {3});
            return 0;
        });
        server = std::make_unique<PsKvcmd>(transport);
        ASSERT_TRUE(server->open());
        keys.SetServer(server.get());
    }
    std::string Log() const { return log->Text(); }
    // Per traced function, entry lines minus exit lines.
    std::map<std::string, int> Unpaired() const {
        std::map<std::string, int> open;
        std::istringstream lines(Log());
        std::string line;
        while (std::getline(lines, line)) {
            for (const char* arrow : {"-> ", "<- "}) {
                const size_t at = line.find(arrow);
                if (at != std::string::npos) {
                    const std::string name = line.substr(at + 3, line.find(' ', at + 3) - at - 3);
                    open[name] += arrow[0] == '-' ? 1 : -1;
                }
            }
        }
        for (auto it = open.begin(); it != open.end();) {
            it = it->second == 0 ? open.erase(it) : std::next(it);
        }
        return open;
    }

    std::optional<varnak_test::PrivateDebugLog> log;
    ScriptedTransport* transport = nullptr;  // owned by the server
    std::unique_ptr<PsKvcmd> server;
    CKeyWarder keys;
    std::function<void()> onRequest;
};

TEST_F(Tracing, ATypedReadTracesEveryScopeWhileDebuggingIsActive) {
    CTheMsgHnd::SetDebugActivated(true);
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint16(0x01F9, value));
    EXPECT_EQ(value, 3);
    const std::string log = Log();
    for (const char* line :
         {"-> pskv_get_uint16", "<- pskv_get_uint16 [returning true]", "-> pskv_size",
          "-> run_pdu_report_errs", "Send request", "-> do_request", "<- do_request [returning 0]",
          "check response", "<- check_status [returning false]"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << " missing in\n" << log;
    }
    EXPECT_TRUE(Unpaired().empty());
}

TEST_F(Tracing, NothingIsWrittenWhileDebuggingIsOff) {
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint16(0x01F9, value));
    EXPECT_TRUE(keys.pskv_set_uint16(0x01F9, 4));
    EXPECT_EQ(Log(), "");
}

TEST_F(Tracing, DebuggingSwitchedOnInsideACallWritesNoExitWithoutItsEntry) {
    onRequest = [] { CTheMsgHnd::SetDebugActivated(true); };
    uint16_t value = 0;
    EXPECT_TRUE(keys.pskv_get_uint16(0x01F9, value));
    const std::string log = Log();
    EXPECT_EQ(log.find("<- pskv_get_uint16"), std::string::npos)
        << "the scope began before debugging was on";
    EXPECT_NE(log.find("-> pskv_get\n"), std::string::npos) << "the second request's scopes";
    EXPECT_TRUE(Unpaired().empty()) << log;
}

}  // namespace
