// ptapsim: a simulated PTAP device that answers over a SOCK_SEQPACKET Unix socket.
//
// The transport library finds a device interface as an entry of its interface folder whose path
// ends with "ptap"; a socket such as /tmp/dev/ptap served by this simulator is such an entry.
// Every message the host writes is one request; the device answers each with at most one
// message. Requests are taken from several connections at once.
//
// Wire format (little-endian): a request is a 16-bit message id followed by its fields; a
// response is the id with bit 15 set, a 16-bit status and a body; an indication (DATA_UP) is
// the id 1 followed by class, sid, conid and the payload.
//
// What the device answers:
//   0x10 QUERY_HIFS        the host interfaces, 36 bytes each: id, 0, kind, 0, 32-byte name
//   0x11 QUERY_SERVICES    the services, 10 bytes each: id, word1, word2, word3, word4
//   0x12 QUERY_STATS       first (ignored), then counter ids; one record per requested id:
//                          the id and its 64-bit value (0 for an unknown counter)
//   0x22..0x27 SERVICE_MAP, UNMAP, START, STOP, AVAILABLE, UNAVAILABLE  service id; the state
//                          lives in word3: bits 0-6 the state (0 unmapped, 1 mapped,
//                          2 started), bit 7 available. map: unmapped -> mapped; unmap:
//                          mapped -> unmapped; start: mapped -> started; stop: started ->
//                          mapped; available/unavailable set or clear bit 7 in any state.
//   0x30 QUEUE_PAIR_ATTACH service id, queue id, host interface id, 32-bit value; the service
//                          must exist and (service, queue) must not be attached yet
//   0x31 QUEUE_PAIR_DETACH service id, queue id of an attached pair
//   0x00 DATA_DOWN         class, sid, conid, payload; echoed back as a DATA_UP indication when
//                          the service sid is started, else a DATA_DOWN response with a status
//   0x70 PTEST_START       value, byte count, UTF-16LE path; the count must match the path
//   anything else          a response with STATUS_UNKNOWN_MESSAGE
// A request too short for its fields gets STATUS_BAD_REQUEST; one shorter than 2 bytes gets no
// answer.
//
// Configuration text, one directive a line, "#" starts a comment, numbers are decimal or 0x hex:
//   hif ID KIND NAME          a host interface (ID, KIND 0-255; NAME 1-32 characters, the rest
//                             of the line)
//   service ID W1 W2 W3 W4    a service and its four words (W3 holds state and availability)
//   counter ID VALUE          a statistics counter (VALUE up to 64 bits)
//   fault ID silent           the device does not answer message ID
//   fault ID delay MS         it answers MS milliseconds late
//   fault ID reply-id WORD    the first word of the answer becomes WORD (another id, or an
//                             indication when bit 15 is clear)
//   fault ID status WORD      the answer carries status WORD (for DATA_DOWN: a response with it)
//   fault ID cut N            the answer is cut to its first N bytes
//   fault ID pad N            the answer is padded with zero bytes to N bytes
//   fault ID hangup           the device closes the connection instead of answering
// Several faults for one id combine. A configuration replaces the built-in default as a whole;
// the default (Config::Default()) has two host interfaces, three services and three counters.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ptapsim {

using Bytes = std::vector<uint8_t>;

enum MessageId : uint16_t {
    DATA_DOWN = 0x00,
    DATA_UP = 0x01,
    QUERY_HIFS = 0x10,
    QUERY_SERVICES = 0x11,
    QUERY_STATS = 0x12,
    SERVICE_MAP = 0x22,
    SERVICE_UNMAP = 0x23,
    SERVICE_START = 0x24,
    SERVICE_STOP = 0x25,
    SERVICE_AVAILABLE = 0x26,
    SERVICE_UNAVAILABLE = 0x27,
    QUEUE_PAIR_ATTACH = 0x30,
    QUEUE_PAIR_DETACH = 0x31,
    PTEST_START = 0x70,
};

constexpr uint16_t RESPONSE_MASK = 0x8000;

// Status words the device answers with.
enum Status : uint16_t {
    STATUS_SUCCESS = 0,
    STATUS_UNKNOWN_MESSAGE = 1,
    STATUS_BAD_REQUEST = 2,
    STATUS_UNKNOWN_SERVICE = 3,
    STATUS_WRONG_STATE = 4,
    STATUS_QUEUE_PAIR_ATTACHED = 6,
    STATUS_QUEUE_PAIR_NOT_ATTACHED = 7,
};

// Service states, bits 0-6 of word3; bit 7 is availability.
enum ServiceState : uint16_t { SERVICE_UNMAPPED = 0, SERVICE_MAPPED = 1, SERVICE_STARTED = 2 };
constexpr uint16_t SERVICE_STATE_MASK = 0x7f;
constexpr uint16_t SERVICE_AVAILABLE_BIT = 0x80;

struct Hif {
    uint8_t id = 0;
    uint8_t kind = 0;
    std::string name;
};

struct Service {
    uint16_t id = 0;
    uint16_t word1 = 0;
    uint16_t word2 = 0;
    uint16_t word3 = 0;
    uint16_t word4 = 0;
};

// How the device misbehaves for one message id; the parts combine.
struct Fault {
    bool silent = false;
    bool hangup = false;
    int delayMs = 0;
    std::optional<uint16_t> replyId;
    std::optional<uint16_t> status;
    std::optional<size_t> cutTo;
    std::optional<size_t> padTo;
};

struct Config {
    std::vector<Hif> hifs;
    std::vector<Service> services;
    std::map<uint16_t, uint64_t> counters;
    std::map<uint16_t, Fault> faults;

    // Two host interfaces, three services (started, mapped, unmapped) and three counters.
    static Config Default();
    // Parses the configuration text. False with `error` ("line N: ...") on a bad line.
    static bool Parse(const std::string& text, Config& config, std::string& error);
    static bool Load(const std::string& path, Config& config, std::string& error);
    // The configuration as text that Parse() reads back.
    std::string ToText() const;
};

// The device's behaviour without any I/O: one request in, at most one answer out.
class Device {
  public:
    explicit Device(Config config);

    struct Answer {
        bool reply = false;   // false: stay silent
        bool hangup = false;  // close the connection instead
        int delayMs = 0;
        Bytes bytes;
    };
    Answer Handle(const uint8_t* data, size_t size);

    const Config& State() const { return mConfig; }
    Config& State() { return mConfig; }

  private:
    Bytes Respond(uint16_t id, const uint8_t* data, size_t size);
    Bytes ServiceChange(uint16_t id, const uint8_t* data, size_t size);
    Service* FindService(uint16_t id);

    Config mConfig;
    std::set<std::pair<uint16_t, uint16_t>> mQueuePairs;  // (service, queue)
};

// The device served on a socket by a thread of its own.
class Simulator {
  public:
    explicit Simulator(Config config = Config::Default());
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens on `socketPath` and starts serving. A stale socket left at the path is replaced;
    // a live one is an error. False with `error` on failure.
    bool Start(const std::string& socketPath, std::string& error);
    // Closes every connection, stops the thread and removes the socket.
    void Stop();

    // Faults may be changed while the device runs.
    void SetFault(uint16_t id, const Fault& fault);
    void ClearFaults();
    // A copy of the device's configuration and current service states.
    Config State() const;
    // Every request received, in order of arrival.
    std::vector<Bytes> Requests() const;
    // Waits up to `milliseconds` until at least `count` requests have arrived.
    bool WaitForRequests(size_t count, int milliseconds) const;
    // Sends an indication to every open connection.
    void Broadcast(const Bytes& message);
    size_t OpenConnections() const;
    size_t AcceptedConnections() const;

    // Receives one line for each event (connections, requests, answers); for --verbose.
    void SetLogger(std::function<void(const std::string&)> logger);

  private:
    struct Shared;
    void Serve();

    std::shared_ptr<Shared> mShared;
    std::thread mThread;
};

// A simulated device in a fresh temporary interface folder, for tests, benchmarks and examples:
// the folder holds the device's socket (named `socketName`) and is removed with everything in
// it when the object goes.
class TempDevice {
  public:
    explicit TempDevice(Config config = Config::Default(), const std::string& socketName = "ptap");
    ~TempDevice();
    TempDevice(const TempDevice&) = delete;
    TempDevice& operator=(const TempDevice&) = delete;

    // False when the folder or the device could not be set up; Error() says why.
    bool Ok() const { return mError.empty(); }
    const std::string& Error() const { return mError; }
    const std::string& Dir() const { return mDir; }
    std::string SocketPath() const { return mDir + "/" + mSocketName; }
    // A connection string for the transport that selects this folder.
    std::string Connection() const { return "trans=ptap;dir=" + mDir; }
    Simulator& Sim() { return mSimulator; }

  private:
    std::string mDir;
    std::string mSocketName;
    std::string mError;
    Simulator mSimulator;
};

}  // namespace ptapsim
