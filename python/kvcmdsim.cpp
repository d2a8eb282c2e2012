// The Python module kvcmdsim: the simulated chip and its KVCMD transport, so that a host tool's
// tests run without hardware.
//
//     chip = kvcmdsim.Chip()                      # blank; Chip("chip.img") loads an image
//     server = keyward.Server(kvcmdsim.Transport(chip))
//
// Every member of Chip is safe to call from any thread (the chip has a lock of its own); the GIL
// is released while a request is processed (a chip with a request delay waits that long).
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <pybind11/chrono.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;
using kvcmdsim::SimChip;
using kvcmdsim::SimTransport;

namespace {

// keyward.Error subclasses and the key database, from the keyward module.
py::handle gKeyward;

// A key given as a number or as an identifier of keyward's database.
uint16_t KeyNumber(py::handle key) {
    if (PyUnicode_Check(key.ptr())) {
        return gKeyward.attr("database")[key].attr("number").cast<uint16_t>();
    }
    const long number = py::reinterpret_steal<py::int_>(PyNumber_Index(key.ptr())).cast<long>();
    if (number < 0 || number > 0xFFFF) {
        throw py::value_error("a key number lies in 0..0xFFFF");
    }
    return static_cast<uint16_t>(number);
}

uint16_t Word(long value, const char* what) {
    if (value < 0 || value > 0xFFFF) {
        throw py::value_error(std::string(what) + " lies in 0..0xFFFF");
    }
    return static_cast<uint16_t>(value);
}

std::vector<uint16_t> Words(const std::vector<long>& values) {
    std::vector<uint16_t> words;
    words.reserve(values.size());
    for (long value : values) {
        words.push_back(Word(value, "a word"));
    }
    return words;
}

std::vector<kvcmdsim::KeyRange> Ranges(const std::vector<std::pair<long, long>>& pairs) {
    std::vector<kvcmdsim::KeyRange> ranges;
    for (const auto& [first, last] : pairs) {
        ranges.push_back({Word(first, "a key"), Word(last, "a key")});
    }
    return ranges;
}

// Raises a failed load or save as OSError with the chip's reason.
void Check(bool ok, const std::string& error) {
    if (!ok) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        throw py::error_already_set();
    }
}

// A path given as str or os.PathLike.
std::string FilePath(const py::object& path) {
    return py::str(py::module_::import("os").attr("fspath")(path));
}

// Runs a load or save of a chip image without the GIL and raises its failure as OSError with
// the chip's reason.
template <typename Operation>
void ImageFile(Operation&& operation) {
    std::string error;
    bool ok = false;
    {
        py::gil_scoped_release nogil;
        ok = operation(error);
    }
    Check(ok, error);
}

}  // namespace

PYBIND11_MODULE(kvcmdsim, m) {
    m.doc() =
        "A simulated radio chip answering KVCMD requests, with its transport for keyward.\n\n"
        "Persistent store: five stores (STORE_TRANSIENT, STORE_IMPLEMENTATION, STORE_FACTORY, "
        "STORE_ROM, STORE_DEFAULTS) searched in that order; chip memory with the firmware's "
        "symbol lookup table and key list; a security state; a firmware identity; fault "
        "switches; counters. A chip image (a text file) holds its keys and settings.";
    // The transport's base class lives in keyward.
    gKeyward = py::module_::import("keyward").inc_ref();

    m.attr("STORE_IMPLEMENTATION") = kvcmdsim::STORE_IMPLEMENTATION;
    m.attr("STORE_FACTORY") = kvcmdsim::STORE_FACTORY;
    m.attr("STORE_DEFAULTS") = kvcmdsim::STORE_DEFAULTS;
    m.attr("STORE_TRANSIENT") = kvcmdsim::STORE_TRANSIENT;
    m.attr("STORE_ROM") = kvcmdsim::STORE_ROM;
    m.attr("ALL_STORES") = kvcmdsim::ALL_STORES;
    m.attr("RAW_ACCESS") = kvcmdsim::RAW_ACCESS;
    m.attr("RESET_WARM") = kvcmdsim::RESET_WARM;
    m.attr("RESET_COLD") = kvcmdsim::RESET_COLD;

    py::class_<SimChip, std::shared_ptr<SimChip>>(
        m, "Chip",
        "A simulated chip. Chip() is blank (empty stores, the standard firmware that knows every "
        "key of keyward's database); Chip(path) loads the chip image at `path`. Every member is "
        "safe to call from any thread.")
        .def(py::init<>())
        .def(py::init([](const py::object& path) {
                 auto chip = std::make_shared<SimChip>();
                 const std::string file = FilePath(path);
                 ImageFile([&](std::string& error) { return chip->Load(file, &error); });
                 return chip;
             }),
             "path"_a)
        // persistent store
        .def(
            "set_key",
            [](SimChip& c, long store, py::handle key, const std::vector<long>& words) {
                c.SetKey(Word(store, "a store"), KeyNumber(key), Words(words));
            },
            "store"_a, "key"_a, "words"_a,
            "Stores a value in one store (the firmware then knows the key).")
        .def(
            "get_key",
            [](const SimChip& c, long store, py::handle key) {
                return c.GetKey(Word(store, "a store"), KeyNumber(key));
            },
            "store"_a, "key"_a, "The value of `key` in one store, or None.")
        .def(
            "read_key",
            [](const SimChip& c, py::handle key, long stores) {
                return c.ReadKey(KeyNumber(key), Word(stores, "a stores mask"));
            },
            "key"_a, "stores"_a = 0,
            "The value a read sees: the first store of the search order within `stores` (0: all).")
        .def(
            "erase_key",
            [](SimChip& c, long store, py::handle key) {
                return c.EraseKey(Word(store, "a store"), KeyNumber(key));
            },
            "store"_a, "key"_a)
        .def(
            "clear_store", [](SimChip& c, long store) { c.ClearStore(Word(store, "a store")); },
            "store"_a)
        .def(
            "keys_in",
            [](const SimChip& c, long store) { return c.KeysIn(Word(store, "a store")); },
            "store"_a, "The keys one store holds, ascending.")
        // firmware
        .def(
            "set_firmware_keys",
            [](SimChip& c, const std::vector<std::pair<long, long>>& ranges) {
                c.SetFirmwareKeys(Ranges(ranges));
            },
            "ranges"_a, "The keys the firmware knows, as (first, last) ranges.")
        .def(
            "add_firmware_keys",
            [](SimChip& c, long first, long last) {
                c.AddFirmwareKeys({Word(first, "a key"), Word(last, "a key")});
            },
            "first"_a, "last"_a)
        .def(
            "remove_firmware_keys",
            [](SimChip& c, long first, long last) {
                c.RemoveFirmwareKeys({Word(first, "a key"), Word(last, "a key")});
            },
            "first"_a, "last"_a)
        .def(
            "firmware_keys",
            [](const SimChip& c) {
                std::vector<std::pair<uint16_t, uint16_t>> ranges;
                for (const kvcmdsim::KeyRange& range : c.FirmwareKeys()) {
                    ranges.emplace_back(range.first, range.last);
                }
                return ranges;
            },
            "The firmware's keys as (first, last) ranges.")
        .def("clear_presentation_keys", &SimChip::ClearPresentationKeys,
             "The firmware resolves no presentation keys.")
        .def("set_firmware_id", &SimChip::SetFirmwareId, "id"_a, "name"_a)
        .def_property_readonly("firmware_id", &SimChip::FirmwareId)
        .def_property_readonly("firmware_name", &SimChip::FirmwareName)
        .def(
            "set_chip_words",
            [](SimChip& c, long version, long second, long sub_id) {
                c.SetChipWords(Word(version, "version"), Word(second, "second"),
                               Word(sub_id, "sub_id"));
            },
            "version"_a, "second"_a, "sub_id"_a = 0,
            "The identification words at 0xFF9A, 0xFF9B and 0xFF9C of memory space 4.")
        .def_property("layer_a", &SimChip::LayerA, &SimChip::SetLayerA)
        .def_property("secure", &SimChip::Secure, &SimChip::SetSecure,
                      "A secure chip refuses memory reads.")
        .def("set_write_protected", &SimChip::SetWriteProtected, "protected"_a,
             "A write-protected chip refuses PS writes (status 9).")
        .def(
            "set_max_pdu_words",
            [](SimChip& c, long words) { c.SetMaxPduWords(Word(words, "words")); }, "words"_a,
            "The largest PDU the chip takes or gives, in words.")
        .def("set_var", &SimChip::SetVar, "name"_a, "value"_a,
             "A getvar setting (\"SPIDEBUG_REPRODUCIBLE\").")
        .def("remove_var", &SimChip::RemoveVar, "name"_a)
        .def("var", &SimChip::Var, "name"_a)
        // memory
        .def("add_memory_space", &SimChip::AddMemorySpace, "space"_a, "words"_a)
        .def(
            "write_memory",
            [](SimChip& c, uint32_t space, uint32_t word_address, const std::vector<long>& words) {
                return c.WriteMemory(space, word_address, Words(words));
            },
            "space"_a, "word_address"_a, "words"_a)
        .def(
            "read_memory",
            [](const SimChip& c, uint32_t space, uint32_t word_address,
               uint32_t count) -> py::object {
                std::vector<uint16_t> words(count);
                if (!c.ReadMemory(space, word_address, count, words.data())) {
                    return py::none();
                }
                return py::cast(words);
            },
            "space"_a, "word_address"_a, "count"_a, "Words as the chip sees them, or None outside.")
        .def("clear_written_memory", &SimChip::ClearWrittenMemory)
        .def(
            "set_symbol",
            [](SimChip& c, long id, long value) {
                c.SetSymbol(Word(id, "id"), Word(value, "value"));
            },
            "id"_a, "value"_a, "An extra lookup-table entry.")
        .def(
            "remove_symbol", [](SimChip& c, long id) { c.RemoveSymbol(Word(id, "id")); }, "id"_a)
        // counters
        .def_property_readonly("transact_count", &SimChip::TransactCount)
        .def(
            "request_count",
            [](const SimChip& c, long varid, std::optional<py::object> key) {
                const uint16_t v = Word(varid, "a varid");
                return key ? c.RequestCount(v, KeyNumber(*key)) : c.RequestCount(v);
            },
            "varid"_a, "key"_a = py::none(), "Requests of `varid` (for `key`) received.")
        .def_property_readonly("open_count", &SimChip::OpenCount)
        .def_property_readonly("reset_count", &SimChip::ResetCount)
        .def_property_readonly("overlapping_transacts", &SimChip::OverlappingTransacts,
                               "Transacts that overlapped another one (two threads inside).")
        .def(
            "request_log",
            [](const SimChip& c) {
                py::list log;
                for (const std::vector<uint8_t>& request : c.RequestLog()) {
                    log.append(
                        py::bytes(reinterpret_cast<const char*>(request.data()), request.size()));
                }
                return log;
            },
            "The last requests received (at most 256), oldest first.")
        .def("reset_counters", &SimChip::ResetCounters)
        // faults
        .def(
            "fail_requests",
            [](SimChip& c, long varid, py::object key, long status, int times) {
                c.FailRequests(Word(varid, "a varid"), key.is_none() ? -1 : KeyNumber(key),
                               Word(status, "a status"), times);
            },
            "varid"_a, "key"_a = py::none(), "status"_a = 8, "times"_a = 1,
            "The next `times` requests of `varid` (0: any) for `key` (None: any) are answered "
            "with `status` and change nothing; times -1: until clear_faults().")
        .def("queue_transact_results", &SimChip::QueueTransactResults, "results"_a,
             "The next transacts return these results without reaching the chip (0: processed).")
        .def("queue_exception", &SimChip::QueueException, "text"_a,
             "The next transact throws the transport exception with this text.")
        .def("set_request_delay", &SimChip::SetRequestDelay, "delay"_a,
             "Each request takes this long (a datetime.timedelta).")
        .def("set_unreachable", &SimChip::SetUnreachable, "unreachable"_a,
             "An unreachable chip cannot be opened.")
        .def("set_silent", &SimChip::SetSilent, "silent"_a, "A silent chip never answers.")
        .def("clear_faults", &SimChip::ClearFaults)
        // chip image
        .def(
            "load",
            [](SimChip& c, const py::object& path) {
                const std::string file = FilePath(path);
                ImageFile([&](std::string& error) { return c.Load(file, &error); });
            },
            "path"_a, "Replaces the chip's state with an image (OSError naming the bad line).")
        .def(
            "load_text",
            [](SimChip& c, const std::string& text) {
                std::string error;
                Check(c.LoadText(text, &error), error);
            },
            "text"_a)
        .def(
            "save",
            [](const SimChip& c, const py::object& path) {
                const std::string file = FilePath(path);
                ImageFile([&](std::string& error) { return c.Save(file, &error); });
            },
            "path"_a, "Writes the chip image atomically.")
        .def(
            "attach_image",
            [](SimChip& c, const py::object& path) {
                const std::string file = FilePath(path);
                ImageFile([&](std::string& error) { return c.AttachImage(file, &error); });
            },
            "path"_a,
            "Loads `path` when it exists and saves changes there on flush() (and when a "
            "transport closes).")
        .def(
            "flush",
            [](SimChip& c) {
                std::string error;
                Check(c.Flush(&error), error);
            },
            "Saves the attached image when the chip changed.")
        .def_property_readonly("image_path", &SimChip::ImagePath)
        .def_property_readonly("has_unsaved_changes", &SimChip::HasUnsavedChanges)
        // the link
        .def(
            "exchange",
            [](SimChip& c, const py::bytes& request, std::optional<long> sequence) -> py::object {
                const std::string bytes = request;
                const PDU pdu(KVCMD_PDU::CHANNEL, reinterpret_cast<const uint8_t*>(bytes.data()),
                              static_cast<int>(bytes.size()));
                PDU response;
                int result = 0;
                kvcmd_trans_exception* thrown = nullptr;
                {
                    py::gil_scoped_release nogil;
                    try {
                        result = sequence ? c.Exchange(pdu, Word(*sequence, "a sequence number"),
                                                       response)
                                          : c.Exchange(pdu, response);
                    } catch (kvcmd_trans_exception* exception) {
                        thrown = exception;
                    }
                }
                if (thrown != nullptr) {
                    const std::unique_ptr<kvcmd_trans_exception> owned(thrown);
                    const py::object cls = gKeyward.attr("TransportException");
                    const py::object error = cls(std::wstring(thrown->get_text()),
                                                 "Transport exception", thrown->get_code(), 0);
                    PyErr_SetObject(cls.ptr(), error.ptr());
                    throw py::error_already_set();
                }
                if (result != 0) {
                    return py::int_(result);
                }
                return py::bytes(reinterpret_cast<const char*>(response.data()),
                                 static_cast<size_t>(response.size()));
            },
            "request"_a, "sequence"_a = py::none(),
            "One KVCMD request through the chip's link (its faults and delay apply): the "
            "response bytes, or the link's failure result (2: silent). `sequence` stamps a "
            "sequence number on the request. A queued exception is raised as "
            "keyward.TransportException.");

    py::class_<SimTransport, kvcmd_trans, std::shared_ptr<SimTransport>>(
        m, "Transport",
        "The KVCMD transport of a simulated chip, for keyward.Server (one server at a time). "
        "Several transports may reach one chip. Set it up before the server uses it.")
        .def(py::init<std::shared_ptr<SimChip>>(), "chip"_a)
        .def_property_readonly("chip", &SimTransport::Chip)
        .def_property(
            "send_attempts", [](SimTransport& t) { return t.send_attempts(); },
            &SimTransport::SetSendAttempts, "How many times one request may be sent (default 2).")
        .def_property_readonly(
            "identity", [](const SimTransport& t) { return t.Identity(); },
            "The chip identity found since the transport opened (a keyward.ChipIdentity).");
}
