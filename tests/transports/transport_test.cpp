// The transport singleton against the simulated device: connection strings, discovery of the
// device interface, and sockets with the shared default socket.
#include "receiver.h"

#include <transports/socket.h>
#include <transports/transport.h>

#include <ptapsim/ptapsim.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

using comm::ISocket;
using comm::trans::CTransport;
using namespace testing_ptap;
using namespace std::chrono_literals;

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(device.Ok()) << device.Error();
        CommHandler().Clear();
        unsetenv("PTAP_INTERFACE_DIR");
    }
    void TearDown() override {
        CTransport::Ref().Deinit();
        unsetenv("PTAP_INTERFACE_DIR");
    }

    // Waits until the device has `count` open connections.
    bool WaitForConnections(size_t count) {
        for (int i = 0; i < 500; ++i) {
            if (device.Sim().OpenConnections() == count) {
                return true;
            }
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    // Sends a service query on `socket` and waits for the answer.
    Delivery QueryServices(ISocket& socket) {
        Receiver receiver;
        const auto request = Bytes({0x11, 0x00});
        socket.Send(request.data(), static_cast<unsigned>(request.size()), receiver.Callback());
        EXPECT_TRUE(receiver.WaitFor(1));
        return receiver.Deliveries().at(0);
    }

    ptapsim::TempDevice device;
    CTransport& transport = CTransport::Ref();
};

TEST_F(Transport, EmptyConnectionStringSelectsPtapInTheEnvironmentsFolder) {
    setenv("PTAP_INTERFACE_DIR", device.Dir().c_str(), 1);
    ASSERT_TRUE(transport.Init(""));
    EXPECT_TRUE(transport.Initialized());
    std::string value;
    ASSERT_TRUE(transport.Arg("trans", value));
    EXPECT_EQ(value, "ptap");
}

TEST_F(Transport, KeysAreCaseSensitiveValuesAreNot) {
    EXPECT_FALSE(transport.Init("TRANS=ptap;dir=" + device.Dir()));
    EXPECT_EQ(LastError(), "Unknown protocol: ");
    EXPECT_FALSE(transport.Initialized());

    EXPECT_FALSE(transport.Init("trans=usb;dir=" + device.Dir()));
    EXPECT_EQ(LastError(), "Unknown protocol: usb");

    EXPECT_TRUE(transport.Init("trans=PTAP;dir=" + device.Dir()));
}

TEST_F(Transport, EmptyPiecesAreSkippedAndAPieceWithoutEqualsFails) {
    EXPECT_FALSE(transport.Init("trans=ptap;debug"));
    EXPECT_EQ(LastError(), "Badly formatted connection string");
    EXPECT_FALSE(transport.Initialized());
    EXPECT_TRUE(transport.Init("trans=ptap;dir=" + device.Dir() + ";;"));
}

TEST_F(Transport, ArgReturnsValuesAsGiven) {
    ASSERT_TRUE(transport.Init(device.Connection() + ";port=a=b"));
    std::string value = "unchanged";
    ASSERT_TRUE(transport.Arg("port", value));
    EXPECT_EQ(value, "a=b");
    ASSERT_TRUE(transport.Arg("absent", value));
    EXPECT_EQ(value, "");

    // A second Init changes nothing; the first connection string stays.
    EXPECT_TRUE(transport.Init("trans=ptap;port=other"));
    ASSERT_TRUE(transport.Arg("port", value));
    EXPECT_EQ(value, "a=b");
}

TEST_F(Transport, ArgBeforeInitFailsAndKeepsTheValue) {
    std::string value = "unchanged";
    EXPECT_FALSE(transport.Arg("trans", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_EQ(LastError(), "Transport not initialized");
    EXPECT_TRUE(transport.Deinit()) << "de-initialising a shut transport succeeds";
}

TEST_F(Transport, APathThatOnlyContainsPtapIsSkipped) {
    // Sorted before the device: contains "ptap" but does not end with it.
    std::ofstream(device.Dir() + "/a-ptap-old") << "not a device";
    ASSERT_TRUE(transport.Init(device.Connection()));
    ISocket* socket = transport.CreateSocket();
    ASSERT_NE(socket, nullptr) << LastError();
    EXPECT_TRUE(WaitForConnections(1));
    EXPECT_EQ(QueryServices(*socket).result, comm::DATA_OK);
    EXPECT_TRUE(transport.DestroySocket(&socket));
}

TEST_F(Transport, OnlySocketsAndCharacterDevicesAreInterfaces) {
    // Sorted before the device, named like one: an ordinary file and a FIFO.
    const std::string notes = device.Dir() + "/notes.ptap";
    std::ofstream(notes) << "IMPORTANT USER DATA\n";
    ASSERT_EQ(mkfifo((device.Dir() + "/fifo.ptap").c_str(), 0644), 0);
    ASSERT_TRUE(transport.Init(device.Connection()));
    ISocket* socket = transport.CreateSocket();
    ASSERT_NE(socket, nullptr) << LastError();
    EXPECT_EQ(QueryServices(*socket).result, comm::DATA_OK);
    EXPECT_EQ(device.Sim().Requests().size(), 1u);
    EXPECT_TRUE(transport.DestroySocket(&socket));
    transport.Deinit();

    // Without the device they are no device either; the file is never written.
    std::remove(device.SocketPath().c_str());
    EXPECT_FALSE(transport.Init(device.Connection()));
    EXPECT_EQ(LastError(), "");
    std::ifstream in(notes);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "IMPORTANT USER DATA");
}

TEST_F(Transport, TheFirstMatchInNameOrderWins) {
    // Made before its rival, but sorted after it.
    ptapsim::Simulator second;
    std::string error;
    ASSERT_TRUE(second.Start(device.Dir() + "/b_ptap", error)) << error;
    ptapsim::Simulator first;
    ASSERT_TRUE(first.Start(device.Dir() + "/a_ptap", error)) << error;

    ASSERT_TRUE(transport.Init(device.Connection()));
    ISocket* socket = transport.CreateSocket();
    ASSERT_NE(socket, nullptr) << LastError();
    EXPECT_EQ(QueryServices(*socket).result, comm::DATA_OK);
    EXPECT_EQ(first.Requests().size(), 1u);
    EXPECT_EQ(second.Requests().size(), 0u);
    EXPECT_EQ(device.Sim().Requests().size(), 0u);
    EXPECT_TRUE(transport.DestroySocket(&socket));
}

TEST_F(Transport, AMissingFolderIsReported) {
    const std::string missing = device.Dir() + "/missing";
    EXPECT_FALSE(transport.Init("trans=ptap;dir=" + missing));
    EXPECT_EQ(LastError(), "Cannot open device interface directory " + missing + ". Error = 2");
    EXPECT_FALSE(transport.Initialized());
}

TEST_F(Transport, AFolderWithoutDeviceFailsWithoutText) {
    ptapsim::TempDevice elsewhere(ptapsim::Config::Default(), "device.sock");
    ASSERT_TRUE(elsewhere.Ok());
    EXPECT_FALSE(transport.Init(elsewhere.Connection()));
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(transport.CreateSocket(), nullptr);
}

TEST_F(Transport, ADeviceThatDoesNotAnswerTheOpenIsReported) {
    // A socket file nobody listens on, sorted before the live device.
    const std::string path = device.Dir() + "/0-ptap";
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);

    ASSERT_TRUE(transport.Init(device.Connection()));
    EXPECT_EQ(transport.CreateSocket(), nullptr);
    EXPECT_EQ(LastError(), "Failed to open device interface \\ptap. Error = 111");
    EXPECT_EQ(transport.GetDefaultSocket(), nullptr);
}

TEST_F(Transport, TheDefaultSocketIsSharedAndClosedWithItsLastHold) {
    setenv("PTAP_INTERFACE_DIR", device.Dir().c_str(), 1);
    ISocket* first = transport.GetDefaultSocket();  // initialises the transport
    ASSERT_NE(first, nullptr) << LastError();
    EXPECT_TRUE(transport.Initialized());
    ISocket* second = transport.GetDefaultSocket();
    EXPECT_EQ(first, second);
    EXPECT_TRUE(WaitForConnections(1));
    EXPECT_EQ(device.Sim().AcceptedConnections(), 1u);

    EXPECT_TRUE(transport.DestroySocket(&first));  // two holds: one is released
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(QueryServices(*second).result, comm::DATA_OK) << "still open";
    EXPECT_EQ(device.Sim().OpenConnections(), 1u);

    EXPECT_TRUE(transport.DestroySocket(&second));  // the last hold closes it
    EXPECT_TRUE(WaitForConnections(0));

    ISocket* fresh = transport.GetDefaultSocket();
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(WaitForConnections(1));
    EXPECT_EQ(device.Sim().AcceptedConnections(), 2u) << "a new connection";
}

TEST_F(Transport, DeinitClosesTheDefaultSocketWhateverItsHolds) {
    ASSERT_TRUE(transport.Init(device.Connection()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(transport.GetDefaultSocket(), nullptr);
    }
    EXPECT_TRUE(WaitForConnections(1));
    EXPECT_TRUE(transport.Deinit());
    EXPECT_FALSE(transport.Initialized());
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(Transport, DestroySocketAcceptsNull) {
    EXPECT_TRUE(transport.DestroySocket(nullptr));
    ISocket* none = nullptr;
    EXPECT_TRUE(transport.DestroySocket(&none));
}

TEST_F(Transport, CreatedSocketsHaveTheirOwnConnections) {
    setenv("PTAP_INTERFACE_DIR", device.Dir().c_str(), 1);
    ISocket* a = transport.CreateSocket();  // initialises the transport
    ISocket* b = transport.CreateSocket();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a->Handle(), b->Handle());
    EXPECT_TRUE(WaitForConnections(2));
    EXPECT_TRUE(transport.DestroySocket(&a));
    EXPECT_TRUE(WaitForConnections(1));
    EXPECT_EQ(QueryServices(*b).result, comm::DATA_OK);

    // A socket may outlive the transport: it then fails at once and still closes.
    EXPECT_TRUE(transport.Deinit());
    Delivery late = QueryServices(*b);
    EXPECT_EQ(late.result, comm::DATA_SEND_FAILED);
    EXPECT_EQ(late.size, 0u);
    EXPECT_TRUE(transport.DestroySocket(&b));
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(Transport, ASocketWithTheInvalidHandleWritesNothing) {
    ASSERT_TRUE(transport.Init(device.Connection()));
    CTransport::CSocket closed(reinterpret_cast<void*>(-1));
    Delivery d = QueryServices(closed);
    EXPECT_EQ(d.result, comm::DATA_SEND_FAILED);
    EXPECT_EQ(d.size, 0u);
    EXPECT_EQ(LastError(), "ptap driver connection is not open");
    EXPECT_TRUE(device.Sim().Requests().empty());
}

}  // namespace
