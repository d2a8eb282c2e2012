// The worker thread and its queue against the simulated device: order across threads,
// requests without response, failed writes and reads, time-outs and stopping.
#include "receiver.h"

#include <transports/socket.h>
#include <transports/transport.h>

#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>

namespace {

using comm::ISocket;
using comm::trans::CTransport;
using namespace testing_ptap;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A DATA_DOWN for the started service 1; the device echoes it as a DATA_UP.
std::vector<unsigned char> DataDown(std::initializer_list<unsigned> payload) {
    std::vector<unsigned char> out = Bytes({0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x02, 0x00});
    for (unsigned v : payload) {
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

class Worker : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(device.Ok()) << device.Error();
        CommHandler().Clear();
        ASSERT_TRUE(transport.Init(device.Connection()));
        socket = transport.GetDefaultSocket();
        ASSERT_NE(socket, nullptr) << LastError();
    }
    void TearDown() override { transport.Deinit(); }

    void Send(ISocket& on, const std::vector<unsigned char>& bytes, Receiver& receiver,
              ItemActionEnum action = SEND) {
        on.Send(bytes.data(), static_cast<unsigned>(bytes.size()), receiver.Callback(), action);
    }

    ptapsim::TempDevice device;
    CTransport& transport = CTransport::Ref();
    ISocket* socket = nullptr;
};

TEST_F(Worker, RequestsFromSeveralThreadsAreAnsweredInQueueOrder) {
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    struct Request {
        std::vector<unsigned char> bytes;
        Receiver receiver;
    };
    std::vector<std::vector<Request>> requests(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        requests[t] = std::vector<Request>(kEach);
        for (int i = 0; i < kEach; ++i) {
            requests[t][i].bytes = DataDown({static_cast<unsigned>(t), static_cast<unsigned>(i)});
        }
    }
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (Request& r : requests[t]) {
                socket->Send(r.bytes.data(), static_cast<unsigned>(r.bytes.size()),
                             r.receiver.Callback());
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            Request& r = requests[t][i];
            ASSERT_TRUE(r.receiver.WaitFor(1));
            const Delivery d = r.receiver.Deliveries().at(0);
            ASSERT_EQ(d.result, comm::DATA_OK);
            // Each reply is the echo of its own request: never another thread's.
            std::vector<unsigned char> expected = r.bytes;
            expected[0] = 0x01;
            EXPECT_EQ(d.bytes, expected) << "thread " << t << " request " << i;
            EXPECT_NE(d.thread, std::this_thread::get_id());
        }
    }
    // Every thread's requests reached the device in the order that thread queued them.
    std::vector<int> next(kThreads, 0);
    for (const auto& seen : device.Sim().Requests()) {
        ASSERT_EQ(seen.size(), 10u);
        EXPECT_EQ(seen[9], next[seen[8]]++);
    }
}

TEST_F(Worker, ANoResponseRequestNeverCallsBack) {
    Receiver quiet;
    Receiver receiving;
    Send(*socket, DataDown({0xab}), quiet, SEND_NO_RESPONSE);
    socket->Receive(receiving.Callback());  // reads the DATA_UP the device sends anyway
    ASSERT_TRUE(receiving.WaitFor(1));
    const Delivery d = receiving.Deliveries().at(0);
    EXPECT_EQ(d.result, comm::DATA_OK);
    EXPECT_EQ(d.bytes, Bytes({0x01, 0x00, 0x07, 0x00, 0x01, 0x00, 0x02, 0x00, 0xab}));
    EXPECT_EQ(quiet.Count(), 0u);

    // An empty callback is allowed: the request is carried out.
    const auto bytes = DataDown({0xcd});
    socket->Send(bytes.data(), static_cast<unsigned>(bytes.size()), comm::DataCallback());
    ASSERT_TRUE(device.Sim().WaitForRequests(2, 5000));
}

TEST_F(Worker, ADeviceThatVanishesFailsTheReadAndThenEveryWrite) {
    ptapsim::Fault hangup;
    hangup.hangup = true;
    device.Sim().SetFault(0x11, hangup);

    Receiver first;
    const auto start = Clock::now();
    Send(*socket, Bytes({0x11, 0x00}), first);
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_EQ(first.Deliveries()[0].result, comm::DATA_RECEIVE_FAILED);
    EXPECT_EQ(first.Deliveries()[0].size, 0u);
    EXPECT_EQ(LastError(), "Read failed because the device closed the connection. Error = 104");

    // Writes to the closed connection fail: no read is attempted, no callback for the
    // request without response.
    Receiver quiet;
    Receiver second;
    Send(*socket, DataDown({1}), quiet, SEND_NO_RESPONSE);
    Send(*socket, Bytes({0x10, 0x00}), second);
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_EQ(second.Deliveries()[0].result, comm::DATA_SEND_FAILED);
    EXPECT_EQ(second.Deliveries()[0].size, 0u);
    EXPECT_EQ(LastError(), "WriteFile failed. Error = 32");
    EXPECT_EQ(quiet.Count(), 0u);
    EXPECT_EQ(device.Sim().Requests().size(), 1u);
    EXPECT_LT(Clock::now() - start, 3s) << "no read waited for its time-out";
}

TEST_F(Worker, RepliesUpToTheBufferSizeAreDeliveredLongerOnesRefused) {
    ptapsim::Fault pad;
    pad.padTo = CTransport::QPAIR_TOHOST_BUFFER_SIZE;
    device.Sim().SetFault(0x10, pad);
    Receiver fits;
    Send(*socket, Bytes({0x10, 0x00}), fits);
    ASSERT_TRUE(fits.WaitFor(1));
    EXPECT_EQ(fits.Deliveries()[0].result, comm::DATA_OK);
    EXPECT_EQ(fits.Deliveries()[0].size, 8192u);

    pad.padTo = 9000;
    device.Sim().SetFault(0x10, pad);
    Receiver tooLong;
    Send(*socket, Bytes({0x10, 0x00}), tooLong);
    ASSERT_TRUE(tooLong.WaitFor(1));
    EXPECT_EQ(tooLong.Deliveries()[0].result, comm::DATA_RECEIVE_FAILED);
    EXPECT_EQ(tooLong.Deliveries()[0].size, 0u);
    EXPECT_EQ(LastError(),
              "Read failed: a reply of 9000 bytes does not fit the 8192-byte buffer. Error = 90");

    // The refused reply was consumed whole: the next request gets its own answer.
    device.Sim().ClearFaults();
    Receiver after;
    Send(*socket, Bytes({0x11, 0x00}), after);
    ASSERT_TRUE(after.WaitFor(1));
    EXPECT_EQ(after.Deliveries()[0].bytes.at(0), 0x11);
}

TEST_F(Worker, ASilentDeviceTimesOutAfterFiveSeconds) {
    ptapsim::Fault silent;
    silent.silent = true;
    device.Sim().SetFault(0x11, silent);
    Receiver receiver;
    const auto start = Clock::now();
    Send(*socket, Bytes({0x11, 0x00}), receiver);
    ASSERT_TRUE(receiver.WaitFor(1, 10s));
    EXPECT_GE(Clock::now() - start, 4900ms);
    EXPECT_EQ(receiver.Deliveries()[0].result, comm::DATA_RECEIVE_FAILED);
    EXPECT_EQ(receiver.Deliveries()[0].size, 0u);
    EXPECT_EQ(LastError(), "Read failed due to timeout. Error = 110");
}

TEST_F(Worker, DeinitEndsAReadOnTheDefaultSocketAfterTheStopWaitAndFailsWhatIsQueued) {
    ptapsim::Fault silent;
    silent.silent = true;
    device.Sim().SetFault(0x11, silent);
    Receiver blocked;
    Receiver queued;
    Send(*socket, Bytes({0x11, 0x00}), blocked);
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));
    Send(*socket, Bytes({0x10, 0x00}), queued);

    const auto start = Clock::now();
    EXPECT_TRUE(transport.Deinit());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 1900ms) << "the read in progress is given the stop's wait";
    EXPECT_LT(took, 3500ms) << "then closing the default socket ends it";
    ASSERT_TRUE(blocked.WaitFor(1, 1s));
    EXPECT_EQ(blocked.Deliveries()[0].result, comm::DATA_RECEIVE_FAILED);
    ASSERT_TRUE(queued.WaitFor(1, 1s)) << "no caller is left waiting";
    EXPECT_NE(queued.Deliveries()[0].result, comm::DATA_OK);
    EXPECT_EQ(queued.Count(), 1u);
}

TEST_F(Worker, DeinitServesWhatIsQueuedWhenTheDeviceAnswersWithinTheStopWait) {
    ptapsim::Fault late;
    late.delayMs = 150;
    device.Sim().SetFault(0x11, late);
    Receiver receivers[3];
    for (Receiver& r : receivers) {
        Send(*socket, Bytes({0x11, 0x00}), r);
    }
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));

    const auto start = Clock::now();
    EXPECT_TRUE(transport.Deinit());
    EXPECT_LT(Clock::now() - start, 1500ms) << "the stop ends once the queue is served";
    for (Receiver& r : receivers) {
        ASSERT_EQ(r.Count(), 1u) << "every caller is released by the time Deinit returns";
        EXPECT_EQ(r.Deliveries()[0].result, comm::DATA_OK);
        EXPECT_EQ(r.Deliveries()[0].bytes.at(0), 0x11);
    }
    EXPECT_EQ(device.Sim().Requests().size(), 3u);
}

TEST_F(Worker, DeinitFailsWhatTheDeviceHasNotAnsweredWhenTheStopWaitRunsOut) {
    ptapsim::Fault late;
    late.delayMs = 800;
    device.Sim().SetFault(0x11, late);
    Receiver receivers[4];
    for (Receiver& r : receivers) {
        Send(*socket, Bytes({0x11, 0x00}), r);
    }
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));

    const auto start = Clock::now();
    EXPECT_TRUE(transport.Deinit());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 1900ms) << "the queue is given the whole stop wait";
    EXPECT_LT(took, 3500ms);
    // Two replies arrive within the wait; the read in progress is ended and the last request,
    // never written, fails without reaching the device.
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(receivers[i].Count(), 1u) << "request " << i;
        EXPECT_EQ(receivers[i].Deliveries()[0].result,
                  i < 2 ? comm::DATA_OK : comm::DATA_RECEIVE_FAILED)
            << "request " << i;
    }
    EXPECT_EQ(device.Sim().Requests().size(), 3u);
}

TEST_F(Worker, StopWhileBlockedInAReadEndsTheReadAndReleasesTheCaller) {
    ptapsim::Fault silent;
    silent.silent = true;
    device.Sim().SetFault(0x11, silent);
    ISocket* own = transport.CreateSocket();  // a socket of its own: Deinit does not close it
    ASSERT_NE(own, nullptr);
    Receiver blocked;
    Receiver queued;
    Send(*own, Bytes({0x11, 0x00}), blocked);
    ASSERT_TRUE(device.Sim().WaitForRequests(1, 5000));
    Send(*own, Bytes({0x10, 0x00}), queued);

    const auto start = Clock::now();
    EXPECT_TRUE(transport.Deinit());
    EXPECT_LT(Clock::now() - start, 3500ms)
        << "the stop ends the read after its wait instead of waiting out the read's time-out";
    ASSERT_TRUE(blocked.WaitFor(1, 1s));
    EXPECT_EQ(blocked.Deliveries()[0].result, comm::DATA_RECEIVE_FAILED);
    EXPECT_EQ(blocked.Count(), 1u);
    ASSERT_TRUE(queued.WaitFor(1, 1s));
    EXPECT_NE(queued.Deliveries()[0].result, comm::DATA_OK);
    EXPECT_EQ(device.Sim().Requests().size(), 1u) << "nothing is written once stopping";

    // A fresh start works as before.
    device.Sim().ClearFaults();
    ASSERT_TRUE(transport.Init(device.Connection()));
    Receiver again;
    Send(*transport.GetDefaultSocket(), Bytes({0x11, 0x00}), again);
    ASSERT_TRUE(again.WaitFor(1));
    EXPECT_EQ(again.Deliveries()[0].result, comm::DATA_OK);
    EXPECT_TRUE(transport.DestroySocket(&own));
}

TEST_F(Worker, AStopThatComesRightAfterTheStartEndsTheWorkerAtOnce) {
    // The worker is stopped before (or just as) it first waits for the queue, every time.
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(transport.Deinit());
        ASSERT_TRUE(transport.Init(device.Connection()));
    }
    EXPECT_LT(Clock::now() - start, 2s) << "no stop waited for a worker that never ran";
    Receiver receiver;
    Send(*transport.GetDefaultSocket(), Bytes({0x11, 0x00}), receiver);
    ASSERT_TRUE(receiver.WaitFor(1));
    EXPECT_EQ(receiver.Deliveries()[0].result, comm::DATA_OK);
}

}  // namespace
