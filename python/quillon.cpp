// The Python module quillon: PTAP messages to the device behind the PTAP driver.
//
//     quillon.init("trans=ptap;dir=/tmp/dev")   # or with quillon.Connection(...):
//     for hif in quillon.hifs(): ...
//
// The transport is the process-wide singleton of the transports library, shared with every C++
// user of the process. Each function sends one message on the transport's default socket and
// waits for its reply with the GIL released; a failure raises quillon.Error with the message's
// status and the text the library recorded.
#include <ostrel/ostrel.h>
#include <quillon/ptapenumeration.h>
#include <quillon/ptapmessages.h>
#include <transports/transport.h>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;
using namespace comm::ptap;
using comm::trans::CTransport;

namespace {

constexpr const char* kPythonDefinitions = R"PY(
from collections import namedtuple as _namedtuple


class Error(Exception):
    """A PTAP message or the transport failed.

    status is the message's status: a status word the device answered with, or one of
    STATUS_TIMEOUT, STATUS_INVALID_RESPONSE, STATUS_SEND_FAILED (0 when the transport could not
    be set up); text is what the library recorded.
    """

    def __init__(self, text, status=0):
        super().__init__(text)
        self.text = text
        self.status = status

    def __str__(self):
        return self.text


class Timeout(Error):
    """No reply came from the device in time."""


class DeviceError(Error):
    """The device answered with a status other than success."""


class Connection:
    """The transport set up with a connection string for a with block, shut down after it."""

    def __init__(self, connection=""):
        self.connection = connection

    def __enter__(self):
        init(self.connection)
        return self

    def __exit__(self, *exception):
        deinit()
        return False


Hif = _namedtuple("Hif", "id kind name")
Hif.__doc__ = "A host interface of the device."
Service = _namedtuple("Service", "id word1 word2 low7 bit7 word4")
Service.__doc__ = ("A service of the device: low7 is bits 0-6 of its third word (its state), "
                   "bit7 bit 7 (available).")
DataUp = _namedtuple("DataUp", "data_class sid con_id payload")
DataUp.__doc__ = "A DATA_UP indication: class, sid, conid and payload bytes."
)PY";

py::handle gError, gTimeout, gDeviceError, gHif, gService, gDataUp;

std::string RecordedText() {
    return CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION, "quillon")
        .GetErrorMsg();
}

[[noreturn]] void Raise(py::handle cls, const std::string& text, uint32_t status) {
    const py::object error = cls(text, status);
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw py::error_already_set();
}

// Sends `message` on the default socket and waits for its reply without the GIL; raises its
// failure. `name` names the message in texts of quillon's own.
void Send(CBasePtapMessage& message, const char* name) {
    bool sent = false;
    {
        py::gil_scoped_release nogil;
        sent = message.Send();
    }
    if (sent) {
        return;
    }
    const uint32_t status = message.Status();
    const std::string recorded = RecordedText();
    switch (status) {
        case CBasePtapMessage::PTAP_STATUS_SUCCESS:
            // Send() found no default socket: the transport could not be set up.
            Raise(gError,
                  recorded.empty() ? std::string("No PTAP device interface found") : recorded, 0);
        case CBasePtapMessage::PTAP_STATUS_TIMEOUT:
            Raise(gTimeout, recorded.empty() ? "PTAP Message receive timeout" : recorded, status);
        case CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE:
        case CBasePtapMessage::PTAP_STATUS_SEND_FAILED:
            Raise(gError, recorded, status);
        default:
            Raise(gDeviceError,
                  std::string(name) + ": the device answered with status " + std::to_string(status),
                  status);
    }
}

template <typename Message>
void SendService(unsigned short service, const char* name) {
    Message message(service);
    Send(message, name);
}

py::object DataUpRecord(const CDataUp& up) {
    const std::vector<unsigned char>& payload = up.Payload();
    return gDataUp(up.Class(), up.Sid(), up.ConId(),
                   py::bytes(reinterpret_cast<const char*>(payload.data()), payload.size()));
}

constexpr const char* kThreads =
    " May be called from several threads at once: the transport's worker serves the messages "
    "one at a time, in turn.";

}  // namespace

PYBIND11_MODULE(quillon, m) {
    m.doc() =
        "PTAP messages to the device behind the PTAP driver: the transport's set-up, the host "
        "interface and service lists, service start, stop, map and availability, queue pairs, "
        "data down and up, test start.\n\n"
        "    with quillon.Connection('trans=ptap;dir=/tmp/dev'):\n"
        "        print(quillon.services())\n\n"
        "The transport is the process's one transport, shared with its C++ users. A connection "
        "string is KEY=VALUE pairs separated by ';': trans (only 'ptap'), dir (the folder of the "
        "device interfaces; default $PTAP_INTERFACE_DIR, else /dev/ptap). Every function may "
        "be called from several threads at once.";
    py::exec(kPythonDefinitions, m.attr("__dict__"));
    gError = py::object(m.attr("Error")).release();
    gTimeout = py::object(m.attr("Timeout")).release();
    gDeviceError = py::object(m.attr("DeviceError")).release();
    gHif = py::object(m.attr("Hif")).release();
    gService = py::object(m.attr("Service")).release();
    gDataUp = py::object(m.attr("DataUp")).release();

    m.attr("STATUS_SUCCESS") = static_cast<uint32_t>(CBasePtapMessage::PTAP_STATUS_SUCCESS);
    m.attr("STATUS_TIMEOUT") = static_cast<uint32_t>(CBasePtapMessage::PTAP_STATUS_TIMEOUT);
    m.attr("STATUS_INVALID_RESPONSE") =
        static_cast<uint32_t>(CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
    m.attr("STATUS_SEND_FAILED") = static_cast<uint32_t>(CBasePtapMessage::PTAP_STATUS_SEND_FAILED);

    // ---- the transport
    m.def(
        "init",
        [](const std::string& connection) {
            bool ok = false;
            {
                py::gil_scoped_release nogil;
                ok = CTransport::Ref().Init(connection);
            }
            if (!ok) {
                const std::string recorded = RecordedText();
                Raise(gError, recorded.empty() ? "No PTAP device interface found" : recorded, 0);
            }
        },
        "connection"_a = "",
        "Sets the transport up with `connection` (empty: trans=ptap), finds the device and "
        "starts its worker. Nothing happens when it is set up already. The first message sets "
        "it up with the empty connection string by itself.");
    m.def(
        "deinit",
        [] {
            py::gil_scoped_release nogil;
            CTransport::Ref().Deinit();
        },
        "Shuts the transport down: requests still queued fail, the device is closed.");
    m.def(
        "is_initialized", [] { return CTransport::Ref().Initialized(); },
        "Whether the transport is set up.");
    m.def(
        "arg",
        [](const std::string& name) {
            std::string value;
            if (!CTransport::Ref().Arg(name, value)) {
                Raise(gError, RecordedText(), 0);
            }
            return value;
        },
        "name"_a, "The value of `name` in the connection string (\"\" when absent).");

    // ---- the lists
    m.def(
        "hifs",
        [] {
            CQueryHifs message;
            Send(message, "PTAP_QUERY_HIFS_REQ");
            py::list hifs;
            for (const auto& [id, hif] : message.Hifs()) {
                hifs.append(gHif(hif.hifId, hif.hifKind, hif.hifName));
            }
            return hifs;
        },
        (std::string("The device's host interfaces, by ascending id.") + kThreads).c_str());
    m.def(
        "services",
        [] {
            CQueryServices message;
            Send(message, "PTAP_QUERY_SERVICES");
            py::list services;
            for (const auto& [id, s] : message.Services()) {
                services.append(gService(s.serviceId, s.word1, s.word2, s.low7, s.bit7, s.word4));
            }
            return services;
        },
        (std::string("The device's services, by ascending id.") + kThreads).c_str());
    m.def(
        "stats",
        [](unsigned short first, const std::vector<unsigned short>& ids) {
            CQueryStats message(first, ids.data(), static_cast<unsigned>(ids.size()));
            Send(message, "PTAP_QUERY_STATS");
            return message.Stats();
        },
        "first"_a, "ids"_a,
        (std::string("The statistics counters `ids` as a dict of id to value.") + kThreads)
            .c_str());

    // ---- service operations and queue pairs
    m.def(
        "service_map", [](unsigned short s) { SendService<CServiceMap>(s, "PTAP_SERVICE_MAP"); },
        "service"_a,
        "Maps service `service` (unmapped to mapped). DeviceError when the device refuses.");
    m.def(
        "service_unmap",
        [](unsigned short s) { SendService<CServiceUnmap>(s, "PTAP_SERVICE_UNMAP"); }, "service"_a,
        "Unmaps service `service` (mapped to unmapped). DeviceError when the device refuses.");
    m.def(
        "service_start",
        [](unsigned short s) { SendService<CServiceStart>(s, "PTAP_SERVICE_START"); }, "service"_a,
        "Starts service `service` (mapped to started). DeviceError when the device refuses.");
    m.def(
        "service_stop", [](unsigned short s) { SendService<CServiceStop>(s, "PTAP_SERVICE_STOP"); },
        "service"_a,
        "Stops service `service` (started to mapped). DeviceError when the device refuses.");
    m.def(
        "service_available",
        [](unsigned short s) { SendService<CServiceAvailable>(s, "PTAP_SERVICE_AVAILABLE"); },
        "service"_a, "Marks service `service` available. DeviceError when the device refuses.");
    m.def(
        "service_unavailable",
        [](unsigned short s) { SendService<CServiceUnavailable>(s, "PTAP_SERVICE_UNAVAILABLE"); },
        "service"_a, "Marks service `service` unavailable. DeviceError when the device refuses.");
    m.def(
        "queue_pair_attach",
        [](unsigned short first, unsigned short second, unsigned short third, uint32_t value) {
            CQueuePairAttach message(first, second, third, value);
            Send(message, "PTAP_QUEUE_PAIR_ATTACH");
        },
        "first"_a, "second"_a, "third"_a, "value"_a,
        "Attaches a queue pair; the fields are written in argument order.");
    m.def(
        "queue_pair_detach",
        [](unsigned short first, unsigned short second) {
            CQueuePairDetach message(first, second);
            Send(message, "PTAP_QUEUE_PAIR_DETACH");
        },
        "first"_a, "second"_a, "Detaches a queue pair.");

    // ---- data
    m.def(
        "data_down",
        [](unsigned short dataClass, unsigned short sid, unsigned short conId,
           const py::bytes& payload) {
            const std::string bytes = payload;
            CDataDown message(dataClass, sid, conId,
                              reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<unsigned>(bytes.size()));
            Send(message, "PTAP_DATA_DOWN");
            if (message.Response() == nullptr) {
                Raise(gError, "PTAP_DATA_DOWN: no DATA_UP came back",
                      CBasePtapMessage::PTAP_STATUS_INVALID_RESPONSE);
            }
            return DataUpRecord(*message.Response());
        },
        "data_class"_a, "sid"_a, "con_id"_a, "payload"_a = py::bytes(),
        "Sends data down and returns the DATA_UP the device answers with.");
    m.def(
        "receive_data_up",
        [] {
            CDataUp message;
            bool received = false;
            {
                py::gil_scoped_release nogil;
                received = message.Receive();
            }
            if (!received) {
                const uint32_t status = message.Status();
                Raise(status == CBasePtapMessage::PTAP_STATUS_TIMEOUT ? gTimeout : gError,
                      RecordedText(), status);
            }
            return DataUpRecord(message);
        },
        "Waits for one DATA_UP indication from the device.");
    m.def(
        "ptest_start",
        [](unsigned short value, const std::string& path) {
            CPtestStart message(value, path);
            Send(message, "PTAP_PTEST_START");
        },
        "value"_a, "path"_a, "Starts a test (the path is sent with the driver's prefix).");
}
