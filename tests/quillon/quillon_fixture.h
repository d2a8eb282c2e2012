// A simulated device in a temporary folder with the transport initialised on it.
#pragma once

#include <quillon/ptapmessages.h>
#include <transports/transport.h>

#include <ostrel/ostrel.h>
#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testing_quillon {

inline CMessageHandler& Handler(CMessageHandler::GroupEnum group) {
    return CTheMsgHnd::GetAppropriateHandler(group, "test");
}

inline std::string LastError() {
    return Handler(CMessageHandler::GROUP_COMMUNICATION).GetErrorMsg();
}

class OnDevice : public ::testing::Test {
  protected:
    explicit OnDevice(ptapsim::Config config = ptapsim::Config::Default())
        : device(std::move(config)) {}

    void SetUp() override {
        ASSERT_TRUE(device.Ok()) << device.Error();
        Handler(CMessageHandler::GROUP_COMMUNICATION).Clear();
        ASSERT_TRUE(comm::trans::CTransport::Ref().Init(device.Connection()));
    }
    void TearDown() override { comm::trans::CTransport::Ref().Deinit(); }

    // The request bytes the device received last.
    std::vector<uint8_t> LastRequest() {
        const auto requests = device.Sim().Requests();
        return requests.empty() ? std::vector<uint8_t>() : requests.back();
    }

    void Fault(uint16_t id, ptapsim::Fault fault) { device.Sim().SetFault(id, fault); }

    ptapsim::TempDevice device;
};

}  // namespace testing_quillon
