// The Python module keyward: the keyward library for host-tool scripts.
//
// A script makes a transport (a C++ one such as kvcmdsim.Transport, or a Python object with a
// transact method), a Server over it, optionally a Cache over the server, and a KeyWarder bound
// to the outermost one for typed access, files, canned operations and power tables. Every
// operation releases the GIL while it runs and is serialised with every other call on the same
// server (its caches and key warders included), so that several Python threads may share one;
// a failure raises keyward.Error (or a subclass) with the text, caption and code that the
// library reported, unless an error handler callable answered it otherwise.
#include <keyward/keyward.h>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// ---------------------------------------------------------------- classes written in Python

// The exception classes, the transport base class and the record types, defined at import.
constexpr const char* kPythonDefinitions = R"PY(
from collections import namedtuple as _namedtuple


class Error(Exception):
    """A keyward operation failed.

    text, caption and code are those of the report the library made (its error handler's
    record); type is the report's type (0 an error, 2 an error that may be retried). When the
    library reported nothing, the text is keyward's own and the code 0.
    """

    def __init__(self, text, caption="Error", code=0, type=0):
        super().__init__(text)
        self.text = text
        self.caption = caption
        self.code = code
        self.type = type

    def __str__(self):
        return self.text

    def __repr__(self):
        return "%s(%r, caption=%r, code=%r)" % (type(self).__name__, self.text, self.caption,
                                                 self.code)


class CommunicationError(Error):
    """The link to the chip failed, or the chip refused or could not process a request."""


class TransportException(Error):
    """A C++ transport threw its exception (a link broken in a way no status describes).

    An exception that a Python transport raises reaches the caller as itself instead.
    """


class CommandStreamError(Error):
    """A line of a PS file or command stream is not valid; line is its number."""

    @property
    def line(self):
        words = self.text.split()
        try:
            return int(words[3])
        except (IndexError, ValueError):
            return 0


class FileError(Error):
    """A file could not be opened, read or written."""


class NoValueError(Error):
    """The chip holds no value for the key that was read."""


class Transport:
    """Base class of a KVCMD transport written in Python.

    A transport moves request PDUs to a chip and brings the responses back. Pass it to
    keyward.Server, which calls it from the thread that uses the server (and from the worker
    thread of a Cache over that server, never at the same time). Only transact is required;
    keyward supplies the others when the class does not define them:

    transact(request: bytes) -> bytes | int | None
        Send one request PDU; return the response PDU's bytes, or a failure: 1 when retrying
        is useless, any other int (or None) when the request may be sent again.
    open() -> bool                 connect (default: nothing to do, True)
    close() -> None                disconnect
    is_open() -> bool              (default: opened and not closed since)
    send_attempts() -> int         times one request may be sent (default 1)
    read_mem(space: int, address: int, length: int) -> list[int] | None
                                   chip memory words at a byte address (default: KVCMD memory
                                   requests of memory space 4 through transact)
    reset_kv(how: int) -> bool, reset_kv_and_close(how: int) -> bool   (default: False)
    get_firmware_id() -> tuple[int, str] | None                        (default: None)
    is_layer_a_supported() -> bool                                     (default: False)
    getvar(name: str) -> str       a named transport setting (default: "")

    An exception raised by any of them passes through keyward to the caller of the operation
    (through a Cache's worker to the reading client), as the library's transport exception does.
    """

    def transact(self, request):
        raise NotImplementedError("a transport must implement transact(request)")


CannedOperation = _namedtuple("CannedOperation", "name description steps")
CannedOperation.__doc__ = "A named recipe of PS key changes: its name, description and steps."
CannedStep = _namedtuple("CannedStep", "op key value")
CannedStep.__doc__ = "One step of a recipe: an operation (PS_OP_*), a key number and a value."
ChipRecord = _namedtuple("ChipRecord", "index chip_id sub_id name code_name "
                         "architecture_class memory_access_class address_width_class flags")
ChipRecord.__doc__ = "A chip type of the chip catalogue."
)PY";

// The classes above, looked up once at import and kept for the life of the process.
struct PythonClasses {
    py::handle error, communication, transport_exception, command_stream, file, no_value;
    py::handle canned_operation, canned_step, chip_record;
};
PythonClasses gClasses;

py::handle Keep(py::module_& m, const char* name) {
    return py::object(m.attr(name)).release();
}

// ---------------------------------------------------------------- texts and keys

std::wstring Wide(const char* text) {
    return keyward::Widen(text);
}

py::str Text(const wchar_t* text) {
    return py::cast(std::wstring(text != nullptr ? text : L""));
}

// A path given as str or os.PathLike, in the wide form keyward takes (the file system's bytes,
// widened as keyward narrows them again).
std::wstring PathText(const py::object& path) {
    const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
    return Wide(std::string(encoded).c_str());
}

// The database records by identifier (trailing blanks of the stored identifiers dropped).
const std::unordered_map<std::string, const pskey_entry*>& IdentifierIndex() {
    static const auto index = [] {
        std::unordered_map<std::string, const pskey_entry*> map;
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetailsAt(i);
            std::string name = keyward::Narrow(entry->identifier);
            name.erase(name.find_last_not_of(' ') + 1);
            map.emplace(std::move(name), entry);
        }
        return map;
    }();
    return index;
}

const pskey_entry* FindIdentifier(const std::string& name) {
    const auto& index = IdentifierIndex();
    const auto it = index.find(name);
    return it != index.end() ? it->second : nullptr;
}

[[noreturn]] void UnknownIdentifier(const std::string& name) {
    throw py::key_error("no key of the database is named " + name);
}

// A key given as a number (anything with __index__, a database Key too) or an identifier.
uint16_t KeyNumber(py::handle key) {
    if (PyLong_CheckExact(key.ptr())) {  // the usual case, without a new reference
        const long value = PyLong_AsLong(key.ptr());
        if (value >= 0 && value <= 0xFFFF) {
            return static_cast<uint16_t>(value);
        }
        PyErr_Clear();
        throw py::value_error("a key number lies in 0..0xFFFF");
    }
    if (PyUnicode_Check(key.ptr())) {
        const std::string name = py::cast<std::string>(key);
        const pskey_entry* entry = FindIdentifier(name);
        if (entry == nullptr) {
            UnknownIdentifier(name);
        }
        return entry->key_number;
    }
    if (!PyIndex_Check(key.ptr())) {
        throw py::type_error("a key is a key number (int) or a key identifier (str)");
    }
    const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(key.ptr()));
    if (!number) {
        throw py::error_already_set();
    }
    const long value = PyLong_AsLong(number.ptr());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
    } else if (value >= 0 && value <= 0xFFFF) {
        return static_cast<uint16_t>(value);
    }
    throw py::value_error("a key number lies in 0..0xFFFF");
}

std::vector<uint16_t> Words(const std::vector<long>& values, size_t limit = 0xFFFF) {
    if (values.size() > limit) {
        throw py::value_error("at most " + std::to_string(limit) + " words");
    }
    std::vector<uint16_t> words;
    words.reserve(values.size());
    for (long value : values) {
        if (value < 0 || value > 0xFFFF) {
            throw py::value_error("a word lies in 0..0xFFFF");
        }
        words.push_back(static_cast<uint16_t>(value));
    }
    return words;
}

template <typename T>
T InRange(long value, long lowest, long highest, const char* what) {
    if (value < lowest || value > highest) {
        throw py::value_error(std::string(what) + " lies in " + std::to_string(lowest) + ".." +
                              std::to_string(highest));
    }
    return static_cast<T>(value);
}

// A key as messages name it: "key 0x01F9 (Host interface)".
std::wstring KeyPhrase(uint16_t key) {
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(key);
    wchar_t text[160];
    std::swprintf(text, std::size(text), L"key 0x%04X (%ls)", key,
                  entry != nullptr ? entry->label : L"Unknown key");
    return text;
}

// ---------------------------------------------------------------- the error handler

// The handler of a server: without a callable it answers as keyward's own handler does (1,
// stop, for every error with a code); with one, the callable answers every report, progress
// notes included. A callable that raises stops the operation, which raises that exception.
class PythonHandler final : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                      int type) override {
        // The record keeps text, code and type; the caption is kept here beside it.
        if (type != -1) {
            mCaption = caption != nullptr ? caption : L"";
        }
        if (!mHasCallable.load(std::memory_order_acquire)) {
            return kvcmd_trans_error_handler::answer(text, caption, code, type);
        }
        py::gil_scoped_acquire gil;
        if (mRaised || !mCallable) {
            return KVCMD_RESPONSE_ABORT;
        }
        try {
            const py::object answer = mCallable(Text(text), Text(caption), code, type);
            if (answer.is_none()) {
                return kvcmd_trans_error_handler::answer(text, caption, code, type);
            }
            if (!PyLong_Check(answer.ptr())) {
                throw py::type_error("an error handler answers with an int or None");
            }
            return answer.cast<int>();
        } catch (py::error_already_set& error) {
            mRaised = std::move(error);
        } catch (py::builtin_exception& error) {
            error.set_error();
            mRaised = py::error_already_set();
        }
        return KVCMD_RESPONSE_ABORT;
    }

    // With the GIL.
    void SetCallable(py::object callable) {
        if (!callable.is_none() && !PyCallable_Check(callable.ptr())) {
            throw py::type_error("an error handler is a callable or None");
        }
        mCallable = callable.is_none() ? py::object() : std::move(callable);
        mHasCallable.store(static_cast<bool>(mCallable), std::memory_order_release);
    }
    py::object Callable() const { return mCallable ? mCallable : py::none(); }
    // The caption of the recorded error.
    const std::wstring& Caption() const { return mCaption; }

    // What the callable raised during the operation that just ended (moved out: no Python
    // reference changes, so it is taken without the GIL).
    std::optional<py::error_already_set> TakeRaised() {
        std::optional<py::error_already_set> raised = std::move(mRaised);
        mRaised.reset();
        return raised;
    }

  private:
    std::atomic<bool> mHasCallable{false};
    py::object mCallable;  // read and written with the GIL
    std::optional<py::error_already_set> mRaised;
    std::wstring mCaption;
};

// ---------------------------------------------------------------- the Python transport

// An exception a Python transport raised, carried through keyward as its transport exception.
class PythonException final : public kvcmd_trans_exception {
  public:
    explicit PythonException(py::error_already_set error)
        : kvcmd_trans_exception(Wide(error.what()).c_str()), mError(std::move(error)) {}
    const py::error_already_set& Error() const { return mError; }

  private:
    py::error_already_set mError;  // its own deleter takes the GIL, on whatever thread
};

// The kvcmd_trans of a Python object that implements transact (and optionally the rest).
class PythonTransport final : public kvcmd_trans {
  public:
    explicit PythonTransport(py::object transport) : mObject(std::move(transport)), mTable(this) {}
    // Dropped with the GIL (the owner makes sure).
    ~PythonTransport() override = default;

    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override {
        {
            py::gil_scoped_acquire gil;
            if (Has("read_mem")) {
                const py::object words = Invoke("read_mem", where.space, where.address, length);
                if (words.is_none()) {
                    return false;
                }
                const std::vector<long> values = Cast<std::vector<long>>(words, "read_mem");
                if (values.size() != length || out == nullptr) {
                    return false;
                }
                const std::vector<uint16_t> read = Guarded([&] { return Words(values); });
                std::copy(read.begin(), read.end(), out);
                return true;
            }
        }
        return read_mem_by_kvcmd(where, length, out);
    }
    bool reset_kv(reset_t how) override {
        py::gil_scoped_acquire gil;
        return Has("reset_kv") && Truth(Invoke("reset_kv", how));
    }
    bool reset_kv_and_close(reset_t how) override {
        bool result = false;
        {
            py::gil_scoped_acquire gil;
            if (Has("reset_kv_and_close")) {
                result = Truth(Invoke("reset_kv_and_close", how));
                mOpen = false;
                return result;
            }
        }
        result = reset_kv(how);
        return close() && result;
    }
    bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) override {
        py::gil_scoped_acquire gil;
        if (!Has("get_firmware_id")) {
            return false;
        }
        const py::object answer = Invoke("get_firmware_id");
        if (answer.is_none()) {
            return false;
        }
        const auto [number, text] =
            Cast<std::pair<int, std::wstring>>(answer, "get_firmware_id (a pair of int and str)");
        if (id != nullptr) {
            *id = number;
        }
        if (name != nullptr && name_capacity > 0) {
            const size_t count = std::min<size_t>(text.size(), name_capacity - 1);
            for (size_t i = 0; i < count; ++i) {
                name[i] = text[i] <= 0xFFFF ? static_cast<uint16_t>(text[i]) : u'?';
            }
            name[count] = 0;
        }
        return true;
    }
    bool is_layer_a_supported() override {
        py::gil_scoped_acquire gil;
        return Has("is_layer_a_supported") && Truth(Invoke("is_layer_a_supported"));
    }
    // The lookup table reads chip memory through this transport (read_mem above).
    bool get_slt(SlTable*& table, bool refresh) override {
        if (refresh) {
            mTable.clear();
        }
        table = &mTable;
        return true;
    }
    unsigned send_attempts() override {
        py::gil_scoped_acquire gil;
        if (!Has("send_attempts")) {
            return 1;
        }
        return Cast<unsigned>(Invoke("send_attempts"), "send_attempts (an int)");
    }
    bool open(int /*how*/) override {
        py::gil_scoped_acquire gil;
        mOpen = !Has("open") || Truth(Invoke("open"));
        if (mOpen) {
            mTable.clear();
        }
        return mOpen;
    }
    bool close() override {
        py::gil_scoped_acquire gil;
        mOpen = false;
        return !Has("close") || Invoke("close").ptr() != Py_False;
    }
    bool is_open() override {
        py::gil_scoped_acquire gil;
        return Has("is_open") ? Truth(Invoke("is_open")) : mOpen;
    }
    const char* getvar(const char* name) override {
        py::gil_scoped_acquire gil;
        if (name == nullptr || !Has("getvar")) {
            return "";
        }
        std::string& kept = mVars[name];
        kept = Cast<std::string>(Invoke("getvar", name), "getvar (a str)");
        return kept.c_str();
    }
    int transact(const PDU& request, PDU& response) override {
        py::gil_scoped_acquire gil;
        const py::bytes bytes(reinterpret_cast<const char*>(request.data()),
                              static_cast<size_t>(request.size()));
        const py::object reply = Invoke("transact", bytes);
        if (reply.is_none()) {
            return 2;
        }
        if (PyLong_Check(reply.ptr())) {
            const int result = Cast<int>(reply, "transact");
            if (result == 0) {
                Fail("transact returns the response bytes, not 0");
            }
            return result;
        }
        if (!PyObject_CheckBuffer(reply.ptr())) {
            Fail("transact returns the response bytes, an int or None");
        }
        const py::buffer_info data = Guarded([&] { return py::buffer(reply).request(); });
        if (data.ndim != 1 || data.itemsize != 1) {
            Fail("transact returns the response bytes, an int or None");
        }
        response = PDU(KVCMD_PDU::CHANNEL, static_cast<const uint8_t*>(data.ptr),
                       static_cast<int>(data.size));
        return 0;
    }

    const py::object& Object() const { return mObject; }

  private:
    bool Has(const char* name) const { return py::hasattr(mObject, name); }

    // Runs `body` (with the GIL); a Python exception leaves as a transport exception.
    template <typename Body>
    auto Guarded(Body&& body) -> decltype(body()) {
        try {
            return body();
        } catch (py::error_already_set& error) {
            throw new PythonException(std::move(error));
        } catch (py::cast_error& error) {
            PyErr_SetString(PyExc_TypeError, error.what());
            throw new PythonException(py::error_already_set());
        } catch (py::builtin_exception& error) {
            error.set_error();
            throw new PythonException(py::error_already_set());
        }
    }
    template <typename... Args>
    py::object Invoke(const char* method, Args&&... args) {
        return Guarded([&] { return mObject.attr(method)(std::forward<Args>(args)...); });
    }
    template <typename T>
    T Cast(const py::object& value, const char* what) {
        try {
            return value.cast<T>();
        } catch (py::cast_error&) {
            Fail(std::string("a transport's ") + what + " answered with a " +
                 std::string(py::str(value.get_type().attr("__name__"))));
        }
    }
    bool Truth(const py::object& value) {
        return Guarded([&] { return py::bool_(value).cast<bool>(); });
    }
    [[noreturn]] void Fail(const std::string& text) {
        PyErr_SetString(PyExc_TypeError, text.c_str());
        throw new PythonException(py::error_already_set());
    }

    py::object mObject;
    bool mOpen = false;
    SlTable mTable;
    std::map<std::string, std::string> mVars;  // getvar answers, kept valid for the caller
};

// ---------------------------------------------------------------- servers

// One server and everything bound to it (its cache, its key warders) take turns through this.
struct Serial {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
};

// What a Python PsServer object (a Server or a Cache) holds.
class ServerBox {
  public:
    virtual ~ServerBox() = default;

    PsServer& Ps() const { return *mServer; }
    PythonHandler& Handler() const { return *mHandler; }
    Serial& Serialiser() const { return *mSerial; }
    const std::shared_ptr<Serial>& SharedSerial() const { return mSerial; }

    // With the GIL: raises when this server may not be used now.
    void CheckUsable() const {
        if (mInCache) {
            throw std::runtime_error("the server is wrapped by a Cache: use the cache");
        }
        if (mSerial->owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            throw std::runtime_error(
                "the server is in use by this thread already: an error handler or transport "
                "cannot call back into the server it serves");
        }
    }
    // Without the GIL, after a failure that nothing reported: whether the connection is gone.
    virtual bool Disconnected() const { return false; }
    // Without the GIL, before the box is deleted: stops the threads and lets the C++ objects go,
    // so that deleting the box (with the GIL) only drops Python references.
    virtual void Shutdown() {}

    // A Server that a Cache wraps is the cache's alone (set and cleared by the cache).
    bool mInCache = false;

  protected:
    PsServer* mServer = nullptr;
    PythonHandler* mHandler = nullptr;
    std::shared_ptr<Serial> mSerial;
};

// Releases the GIL for a scope (the calls back into Python take it again).
class WithoutGil {
  public:
    WithoutGil() : mState(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(mState); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

  private:
    PyThreadState* mState;
};

// Deletes a box: the C++ side without the GIL (a cache's worker may need the GIL to finish its
// call into a Python transport), then the Python references with it.
struct BoxDeleter {
    void operator()(ServerBox* box) const {
        if (PyGILState_Check() != 0) {
            {
                py::gil_scoped_release nogil;
                box->Shutdown();
            }
            delete box;
        } else {
            box->Shutdown();
            py::gil_scoped_acquire gil;
            delete box;
        }
    }
};
template <typename T>
using BoxHolder = std::unique_ptr<T, BoxDeleter>;

// The C++ transports that serve a server (each may serve one).
std::set<kvcmd_trans*> gTransportsInUse;

class KvcmdBox final : public ServerBox {
  public:
    KvcmdBox(py::object transport, bool raw, py::object handler) : mTransportObject(transport) {
        // Checked first: nothing below may throw once the transport is marked in use.
        mOwnHandler.SetCallable(std::move(handler));
        kvcmd_trans* link = nullptr;
        if (py::isinstance<kvcmd_trans>(transport)) {
            mCppTransport = transport.cast<std::shared_ptr<kvcmd_trans>>();
            if (!gTransportsInUse.insert(mCppTransport.get()).second) {
                throw py::value_error("this transport serves another server already");
            }
            link = mCppTransport.get();
        } else {
            if (!py::hasattr(transport, "transact")) {
                throw py::type_error(
                    "a transport is a C++ transport (such as kvcmdsim.Transport) or an object "
                    "with a transact(request) method");
            }
            mPythonTransport = std::make_unique<PythonTransport>(transport);
            link = mPythonTransport.get();
        }
        mKvcmd = raw ? std::make_unique<PsKvcmdRaw>(link) : std::make_unique<PsKvcmd>(link);
        mKvcmd->set_error_handler(&mOwnHandler);
        mServer = mKvcmd.get();
        mHandler = &mOwnHandler;
        mSerial = std::make_shared<Serial>();
        mRaw = raw;
    }
    ~KvcmdBox() override {
        if (mCppTransport != nullptr) {
            gTransportsInUse.erase(mCppTransport.get());
        }
    }

    bool Disconnected() const override { return !mKvcmd->is_open(); }
    void Shutdown() override {
        if (mKvcmd != nullptr) {
            // The server would destroy its transport; the transport is the box's to drop.
            mKvcmd->SetTrans(nullptr);
            mKvcmd.reset();
        }
    }

    const py::object& TransportObject() const { return mTransportObject; }
    kvcmd_trans* Link() const { return mKvcmd->GetTrans(); }
    bool Raw() const { return mRaw; }

  private:
    py::object mTransportObject;
    std::shared_ptr<kvcmd_trans> mCppTransport;
    std::unique_ptr<PythonTransport> mPythonTransport;
    std::unique_ptr<PsKvcmd> mKvcmd;
    PythonHandler mOwnHandler;
    bool mRaw = false;
};

class CacheBox;
// The open caches, whose workers are stopped when the interpreter exits.
std::set<CacheBox*> gCaches;

class CacheBox final : public ServerBox {
  public:
    CacheBox(py::object server, bool use_cache) : mServerObject(server) {
        mWrapped = &server.cast<KvcmdBox&>();
        if (mWrapped->mInCache) {
            throw py::value_error("the server is wrapped by another Cache already");
        }
        mCache = std::make_unique<PsCache>();
        mCache->SetServer(&mWrapped->Ps());
        mCache->UseCache(use_cache);
        mUseCache = use_cache;
        mWrapped->mInCache = true;
        mServer = mCache.get();
        mHandler = &mWrapped->Handler();
        mSerial = mWrapped->SharedSerial();
        gCaches.insert(this);
    }
    ~CacheBox() override {
        gCaches.erase(this);
        mWrapped->mInCache = false;
    }

    void Shutdown() override { mCache.reset(); }
    // At exit: the worker stops (the cache stays usable; it starts again when needed).
    void StopWorker() { mCache->ReleaseServer(); }

    PsCache& Cache() const { return *mCache; }
    const py::object& ServerObject() const { return mServerObject; }
    bool mUseCache = true;

  private:
    py::object mServerObject;
    KvcmdBox* mWrapped = nullptr;
    std::unique_ptr<PsCache> mCache;
};

// ---------------------------------------------------------------- running an operation

// What an operation is about, for the message of a failure that nothing reported.
struct What {
    const char* action;  // "write", "read", ...
    int key = -1;        // the key, or -1
    bool read = false;   // a read: failing silently means the key has no value
};

// A failure, gathered without the GIL and raised with it.
struct Failure {
    bool failed = false;
    bool recorded = false;
    bool stopped = false;       // the handler answered 1 (stop)
    bool disconnected = false;  // the connection could not be made
    std::wstring text;
    std::wstring caption;
    int code = 0;
    int type = 0;
    bool transportException = false;
    std::optional<py::error_already_set> python;

    void TakeRecord(const ServerBox& box, bool result) {
        const PythonHandler& handler = box.Handler();
        failed = true;
        stopped = handler.get_worst_response() == KVCMD_RESPONSE_ABORT;
        if (handler.get_last_error_code() != 0 && handler.get_last_error_text() != nullptr) {
            recorded = true;
            text = handler.get_last_error_text();
            caption = handler.Caption();
            code = handler.get_last_error_code();
            type = handler.get_last_error_type();
        } else if (!result) {
            disconnected = box.Disconnected();
        }
    }
    void TakeException(kvcmd_trans_exception* exception) {
        const std::unique_ptr<kvcmd_trans_exception> owned(exception);
        failed = true;
        if (const auto* fromPython = dynamic_cast<const PythonException*>(exception)) {
            python = fromPython->Error();  // a copy: deleting the original drops no reference
        } else {
            transportException = true;
            text = exception->get_text();
            code = exception->get_code();
        }
    }

    [[noreturn]] void Raise(const What& what) {
        if (python) {
            throw *python;
        }
        if (transportException) {
            Throw(gClasses.transport_exception, text, L"Transport exception", code, 0);
        }
        if (recorded) {
            Throw(ClassOf(text, caption), text, caption, code, type);
        }
        if (disconnected) {
            Throw(gClasses.communication, L"Couldn't open the connection to the chip",
                  L"Communication error", 0, 0);
        }
        if (what.read && !stopped && what.key >= 0) {
            Throw(gClasses.no_value,
                  L"The chip holds no value for " + KeyPhrase(static_cast<uint16_t>(what.key)),
                  L"Error", 0, 0);
        }
        std::wstring message = L"Couldn't " + Wide(what.action);
        if (what.key >= 0) {
            message += L" " + KeyPhrase(static_cast<uint16_t>(what.key));
        }
        if (stopped) {
            message += L": stopped by the error handler";
        }
        Throw(gClasses.error, message, L"Error", 0, 0);
    }

  private:
    static py::handle ClassOf(const std::wstring& text, const std::wstring& caption) {
        if (caption == L"Communication error" || caption == L"Communications Error" ||
            caption == L"Chip KVCMD error" || caption == L"Error reading lookup table") {
            return gClasses.communication;
        }
        if (text.rfind(L"Error on line ", 0) == 0) {
            return gClasses.command_stream;
        }
        if (text.rfind(L"Couldn't open ", 0) == 0 || text.rfind(L"Couldn't read ", 0) == 0 ||
            text.rfind(L"Couldn't write ", 0) == 0) {
            return gClasses.file;
        }
        return gClasses.error;
    }
    [[noreturn]] static void Throw(py::handle cls, const std::wstring& text,
                                   const std::wstring& caption, int code, int type) {
        const py::object error = cls(text, caption, code, type);
        PyErr_SetObject(cls.ptr(), error.ptr());
        throw py::error_already_set();
    }
};

// Marks the serialiser as held by this thread.
class Holding {
  public:
    explicit Holding(Serial& serial) : mSerial(serial), mLock(serial.mutex) {
        mSerial.owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    ~Holding() { mSerial.owner.store(std::thread::id(), std::memory_order_relaxed); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

  private:
    Serial& mSerial;
    std::lock_guard<std::mutex> mLock;
};

// Runs `operation` (returning whether it worked) on the box's server without the GIL, in turn
// with every other caller of the server, and raises its failure: a false result, a report the
// handler answered with 1 (stop), an exception of the transport or of the handler's callable.
template <typename Operation>
void Run(ServerBox& box, const What& what, Operation&& operation) {
    box.CheckUsable();
    Failure failure;
    {
        const WithoutGil nogil;
        Holding holding(box.Serialiser());
        box.Handler().reset();
        try {
            const bool result = operation();
            const kvcmd_trans_error_handler& handler = box.Handler();
            // A read that the chip answered with an error gives no value, unless the handler
            // counted the error as success.
            const bool unread = what.read && handler.get_last_error_code() != 0 &&
                                handler.get_last_response() != KVCMD_RESPONSE_ACCEPT;
            if (!result || unread || handler.get_worst_response() == KVCMD_RESPONSE_ABORT) {
                failure.TakeRecord(box, result);
            }
        } catch (kvcmd_trans_exception* exception) {
            failure.TakeException(exception);
        }
        if (std::optional<py::error_already_set> raised = box.Handler().TakeRaised()) {
            failure.failed = true;
            failure.python = std::move(raised);
        }
    }
    if (failure.failed) {
        failure.Raise(what);
    }
}

// The same for an operation whose answer is its result (a predicate): only reports answered
// with 1 and exceptions raise.
template <typename Operation>
bool Ask(ServerBox& box, const What& what, Operation&& operation) {
    bool answer = false;
    Run(box, what, [&] {
        answer = operation();
        return true;
    });
    return answer;
}

// ---------------------------------------------------------------- key warders

// The firmware id and name that `read(id, name, capacity)` gives, as (int, str).
template <typename Read>
py::tuple FirmwareId(ServerBox& box, Read&& read) {
    int id = 0;
    std::vector<uint16_t> name(256, 0);
    Run(box, {"read the firmware id"},
        [&] { return read(&id, name.data(), static_cast<unsigned>(name.size())); });
    std::wstring text;
    for (uint16_t c : name) {
        if (c == 0) {
            break;
        }
        text += static_cast<wchar_t>(c);
    }
    return py::make_tuple(id, text);
}

// A 16-bit setting of the server (its stores mask, its boot mode), read and written in turn
// with the server's other calls. `boxOf` finds the server of the object.
template <typename Class, typename BoxOf, typename Get, typename Set>
void WordProperty(Class& cls, const char* name, BoxOf boxOf, Get get, Set set, const char* doc) {
    using Object = typename Class::type;
    cls.def_property(
        name,
        [boxOf, get](Object& o) {
            uint16_t value = 0;
            Ask(boxOf(o), {"ask"}, [&] {
                value = get(o);
                return true;
            });
            return value;
        },
        [boxOf, set, name](Object& o, long value) {
            const uint16_t word = InRange<uint16_t>(value, 0, 0xFFFF, name);
            Ask(boxOf(o), {"change the setting"}, [&] {
                set(o, word);
                return true;
            });
        },
        doc);
}

class KeyWarderBox {
  public:
    explicit KeyWarderBox(py::object server)
        : mServerObject(server), mBox(&server.cast<ServerBox&>()), mKeys(&mBox->Ps()) {}

    ServerBox& Box() const { return *mBox; }
    CKeyWarder& Keys() { return mKeys; }
    const py::object& ServerObject() const { return mServerObject; }

  private:
    py::object mServerObject;  // keeps the server alive
    ServerBox* mBox;
    CKeyWarder mKeys;
};

// A whole key, read with the allocating pskv_get_raw (or its pres_or_raw twin).
template <typename Read>
std::vector<uint16_t> ReadWhole(Read&& read) {
    uint16_t* buffer = nullptr;
    uint16_t length = 0;
    std::vector<uint16_t> words;
    struct Free {
        uint16_t*& buffer;
        ~Free() { delete[] buffer; }
    } free{buffer};
    if (read(&buffer, &length) && buffer != nullptr) {
        words.assign(buffer, buffer + length);
    }
    return words;
}

// ---------------------------------------------------------------- the scalar accessors

// The 16- and 32-bit accessors are what scripts call in loops, once per key: they are CPython
// METH_FASTCALL methods, which skip pybind11's general call path (an argument tuple, argument
// vectors and a type lookup per call) and otherwise behave as every other method does.
using Accessor = py::object (*)(KeyWarderBox& keys, py::handle key, py::handle value);

long Integer(py::handle value, const char* what) {
    if (!PyIndex_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " is an int");
    }
    const long result =
        PyLong_AsLong(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr())).ptr());
    if (result == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error(std::string(what) + " is out of range");
    }
    return result;
}

py::object GetUint16(KeyWarderBox& k, py::handle key, py::handle) {
    const uint16_t n = KeyNumber(key);
    uint16_t value = 0;
    Run(k.Box(), {"read", n, true}, [&] { return k.Keys().pskv_get_uint16(n, value); });
    return py::int_(value);
}
py::object SetUint16(KeyWarderBox& k, py::handle key, py::handle value) {
    const uint16_t n = KeyNumber(key);
    const uint16_t word =
        InRange<uint16_t>(Integer(value, "a 16-bit value"), 0, 0xFFFF, "a 16-bit value");
    Run(k.Box(), {"write", n}, [&] { return k.Keys().pskv_set_uint16(n, word); });
    return py::none();
}
py::object GetUint32(KeyWarderBox& k, py::handle key, py::handle) {
    const uint16_t n = KeyNumber(key);
    uint32_t value = 0;
    Run(k.Box(), {"read", n, true}, [&] { return k.Keys().pskv_get_uint32(n, value); });
    return py::int_(value);
}
py::object SetUint32(KeyWarderBox& k, py::handle key, py::handle value) {
    const uint16_t n = KeyNumber(key);
    const uint32_t word =
        InRange<uint32_t>(Integer(value, "a 32-bit value"), 0, 0xFFFFFFFFL, "a 32-bit value");
    Run(k.Box(), {"write", n}, [&] { return k.Keys().pskv_set_uint32(n, word); });
    return py::none();
}
py::object GetPresentation(KeyWarderBox& k, py::handle key, py::handle) {
    const uint16_t n = KeyNumber(key);
    uint16_t value = 0;
    Run(k.Box(), {"read", n, true}, [&] { return k.Keys().pskv_get_presentation(n, value); });
    return py::int_(value);
}
py::object SetPresentation(KeyWarderBox& k, py::handle key, py::handle value) {
    const uint16_t n = KeyNumber(key);
    const uint16_t field =
        InRange<uint16_t>(Integer(value, "a field value"), 0, 0xFFFF, "a field value");
    Run(k.Box(), {"write", n}, [&] { return k.Keys().pskv_set_presentation(n, field); });
    return py::none();
}

// The method: its arguments (key, and value for a setter) by position or keyword.
template <Accessor Body, Py_ssize_t Arguments>
PyObject* FastMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"key", "value"};
    try {
        py::handle given[2];
        if (nargs > Arguments) {
            throw py::type_error("too many arguments");
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            given[i] = args[i];
        }
        const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t j = 0; j < keywords; ++j) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, j);
            Py_ssize_t i = 0;
            while (i < Arguments && PyUnicode_CompareWithASCIIString(name, kNames[i]) != 0) {
                ++i;
            }
            if (i == Arguments || given[i]) {
                throw py::type_error("unexpected or repeated argument " +
                                     py::cast<std::string>(py::handle(name)));
            }
            given[i] = args[nargs + j];
        }
        for (Py_ssize_t i = 0; i < Arguments; ++i) {
            if (!given[i]) {
                throw py::type_error(std::string("missing argument ") + kNames[i]);
            }
        }
        return Body(py::handle(self).cast<KeyWarderBox&>(), given[0], given[1]).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

void AddScalarAccessors(py::handle cls) {
    static PyMethodDef methods[] = {
        {"pskv_get_uint16",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FastMethod<&GetUint16, 1>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_get_uint16($self, key)\n--\n\nOne word (a presentation key through its base key's "
         "field)."},
        {"pskv_set_uint16",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FastMethod<&SetUint16, 2>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_set_uint16($self, key, value)\n--\n\nWrites one word (a presentation key into its "
         "base key's field)."},
        {"pskv_get_uint32",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FastMethod<&GetUint32, 1>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_get_uint32($self, key)\n--\n\nTwo words, most significant first."},
        {"pskv_set_uint32",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FastMethod<&SetUint32, 2>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_set_uint32($self, key, value)\n--\n\nWrites two words, most significant first."},
        {"pskv_get_presentation",
         reinterpret_cast<PyCFunction>(
             reinterpret_cast<void (*)()>(&FastMethod<&GetPresentation, 1>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_get_presentation($self, key)\n--\n\nA presentation key's field."},
        {"pskv_set_presentation",
         reinterpret_cast<PyCFunction>(
             reinterpret_cast<void (*)()>(&FastMethod<&SetPresentation, 2>)),
         METH_FASTCALL | METH_KEYWORDS,
         "pskv_set_presentation($self, key, value)\n--\n\nRewrites a presentation key's field."},
    };
    for (PyMethodDef& method : methods) {
        const py::object descriptor = py::reinterpret_steal<py::object>(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &method));
        if (!descriptor) {
            throw py::error_already_set();
        }
        py::setattr(cls, method.ml_name, descriptor);
    }
}

// pskv_get_NAME(key=default) and pskv_set_NAME(key, table) of one kind of power table.
template <typename Table, bool (CKeyWarder::*Get)(uint16_t, Table&),
          bool (CKeyWarder::*Set)(uint16_t, const Table&)>
void AddTableAccessors(py::class_<KeyWarderBox>& cls, const std::string& name, uint16_t defaultKey,
                       const char* doc) {
    cls.def(("pskv_get_" + name).c_str(),
            [](KeyWarderBox& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                Table table;
                Run(k.Box(), {"read", n, true}, [&] { return (k.Keys().*Get)(n, table); });
                return table;
            },
            "key"_a = defaultKey, doc)
        .def(("pskv_set_" + name).c_str(),
             [](KeyWarderBox& k, py::handle key, const Table& table) {
                 const uint16_t n = KeyNumber(key);
                 Run(k.Box(), {"write", n}, [&] { return (k.Keys().*Set)(n, table); });
             },
             "key"_a, "table"_a, "Writes the table's settings as the whole value of `key`.");
}

// ---------------------------------------------------------------- the key database

// A record of the database, as a Python object.
struct KeyRecord {
    const pskey_entry* entry;
};

std::string Identifier(const pskey_entry* entry) {
    std::string name = keyward::Narrow(entry->identifier);
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

const pskey_entry* RecordOf(py::handle key) {
    if (PyUnicode_Check(key.ptr())) {
        const std::string name = py::cast<std::string>(key);
        const pskey_entry* entry = FindIdentifier(name);
        if (entry == nullptr) {
            UnknownIdentifier(name);
        }
        return entry;
    }
    const uint16_t number = KeyNumber(key);
    const pskey_entry* entry = CKeyWarder::GetKeyDetails(number);
    if (entry == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "no key of the database has the number 0x%04X", number);
        throw py::key_error(text);
    }
    return entry;
}

py::list Enumeration(int index) {
    py::list values;
    for (const string_val_pair* pair = CKeyWarder::get_enum_list(index);
         pair != nullptr && pair->text != nullptr; ++pair) {
        values.append(py::make_tuple(Text(pair->text), pair->value));
    }
    return values;
}

struct KeyDatabase {};

// ---------------------------------------------------------------- power tables

// The fields of a power setting: each with its range, checked when set.
template <typename Setting>
struct SettingFields {
    std::vector<std::string> names;
};
template <typename Setting>
SettingFields<Setting>& FieldsOf() {
    static SettingFields<Setting> fields;
    return fields;
}

template <typename Setting, typename Field>
void AddField(py::class_<Setting>& cls, const char* name, Field Setting::*member, long lowest,
              long highest, const char* doc) {
    FieldsOf<Setting>().names.emplace_back(name);
    const std::string what = name;
    cls.def_property(
        name, [member](const Setting& s) { return static_cast<long>(s.*member); },
        [member, what, lowest, highest](Setting& s, long value) {
            s.*member = InRange<Field>(value, lowest, highest, what.c_str());
        },
        doc);
}

template <typename Setting>
py::class_<Setting> BindSetting(py::module_& m, const char* name, const char* doc) {
    py::class_<Setting> cls(m, name, doc);
    cls.def(py::init([](py::kwargs fields) {
                Setting setting;
                const py::object view = py::cast(&setting, py::return_value_policy::reference);
                for (const auto& [field, value] : fields) {
                    const std::string fieldName = py::cast<std::string>(field);
                    const auto& names = FieldsOf<Setting>().names;
                    if (std::find(names.begin(), names.end(), fieldName) == names.end()) {
                        throw py::type_error("a power setting has no field " + fieldName);
                    }
                    py::setattr(view, field, value);
                }
                return setting;
            }),
            "A setting with the given fields (the others 0).")
        .def_readonly_static("RAW_WORDS", &Setting::RAW_WORDS, "Words of the packed form.")
        .def(
            "to_raw",
            [](const Setting& s) {
                std::vector<uint16_t> words(Setting::RAW_WORDS);
                s.toRaw(words.data());
                return words;
            },
            "The packed words (every field masked to its width).")
        .def_static(
            "from_raw",
            [](const std::vector<long>& values) {
                if (values.size() != static_cast<size_t>(Setting::RAW_WORDS)) {
                    throw py::value_error("a setting packs into " +
                                          std::to_string(Setting::RAW_WORDS) + " words");
                }
                const std::vector<uint16_t> words = Words(values);
                Setting s;
                s.fromRaw(words.data());
                return s;
            },
            "words"_a, "The setting packed in `words` (reserved bits ignored).")
        .def("__eq__", [](const Setting& a, const Setting& b) { return a == b; })
        .def(
            "__lt__", [](const Setting& a, const Setting& b) { return a < b; },
            "Orders by output power (tx_dbm).")
        .def("__repr__", [name](const py::object& self) {
            std::string text = std::string(name) + "(";
            const char* separator = "";
            for (const std::string& field : FieldsOf<Setting>().names) {
                text += separator + field + "=" + std::string(py::str(self.attr(field.c_str())));
                separator = ", ";
            }
            return text + ")";
        });
    cls.attr("__hash__") = py::none();
    return cls;
}

// An index of a table, negative ones counted from the end; IndexError outside.
int Position(int index, int size) {
    const int position = index < 0 ? index + size : index;
    if (position < 0 || position >= size) {
        throw py::index_error("power table index out of range");
    }
    return position;
}

template <typename Table, typename Setting>
void BindTable(py::module_& m, const char* name, const char* doc) {
    py::class_<Table> cls(m, name, doc);
    cls.def(py::init<>(), "An empty table.")
        .def(py::init([](const py::iterable& settings) {
                 Table table;
                 for (const py::handle setting : settings) {
                     if (!table.addElement(setting.cast<Setting>())) {
                         throw py::value_error("a power table holds at most 32 settings");
                     }
                 }
                 return table;
             }),
             "settings"_a, "A table of the given settings (at most 32).")
        .def_readonly_static("MAX_SETTINGS", &Table::MAX_SETTINGS)
        .def_static(
            "from_raw",
            [](const std::vector<long>& values) {
                const std::vector<uint16_t> words = Words(values);
                Table table;
                table.fromRaw(words.data(), static_cast<uint16_t>(words.size()));
                return table;
            },
            "words"_a,
            "The table packed in `words`: their whole settings, at most 32 (trailing words that "
            "fill no setting are ignored).")
        .def(
            "to_raw",
            [](const Table& table) {
                std::vector<uint16_t> words(Table::MAX_RAW_WORDS);
                uint16_t count = 0;
                table.toRaw(words.data(), count);
                words.resize(count);
                return words;
            },
            "The packed words of every setting, as the chip stores them.")
        .def("__len__", &Table::size)
        .def(
            "__getitem__",
            [](Table& table, int index) -> Setting& {
                return table.settings[Position(index, table.size())];
            },
            py::return_value_policy::reference_internal,
            "The setting at `index`: a view of that slot of the table (edits change the table).")
        .def("__setitem__",
             [](Table& table, int index, const Setting& setting) {
                 table.settings[Position(index, table.size())] = setting;
             })
        .def("__delitem__",
             [](Table& table, int index) { table.deleteElement(Position(index, table.size())); })
        .def(
            "insert",
            [](Table& table, int index, const Setting& setting) {
                if (index < 0 || index > table.size()) {
                    throw py::index_error("a setting is inserted at 0..len(table)");
                }
                if (!table.insertElement(index, setting)) {
                    throw py::value_error("a power table holds at most 32 settings");
                }
            },
            "index"_a, "setting"_a, "Inserts `setting` at `index`, moving the later ones up.")
        .def(
            "append",
            [](Table& table, const Setting& setting) {
                if (!table.addElement(setting)) {
                    throw py::value_error("a power table holds at most 32 settings");
                }
            },
            "setting"_a, "Appends `setting` (a table holds at most 32).")
        .def("sort", &Table::Sort,
             "Orders the settings by ascending output power; equal powers keep their order.")
        .def(
            "__iter__",
            [](Table& table) {
                return py::make_iterator<py::return_value_policy::reference_internal>(
                    table.settings, table.settings + table.size());
            },
            py::keep_alive<0, 1>())
        .def("__eq__",
             [](const Table& a, const Table& b) {
                 return a.size() == b.size() &&
                        std::equal(a.settings, a.settings + a.size(), b.settings);
             })
        .def("__repr__", [name](const py::object& self) {
            return std::string(name) + "(" + std::string(py::repr(py::list(self))) + ")";
        });
    cls.attr("__hash__") = py::none();
}

// ---------------------------------------------------------------- docstrings

constexpr const char* kThreads =
    "\n\nThreads: a server, a cache over it and the key warders bound to either may be used "
    "from several threads; their calls take turns (one talks to the chip while the others "
    "wait, without holding the GIL). do_cancel() never waits.";

}  // namespace

PYBIND11_MODULE(keyward, m) {
    m.doc() =
        "Typed access to a chip's persistent store (PS keys) over KVCMD.\n\n"
        "    import keyward, kvcmdsim\n"
        "    chip = kvcmdsim.Chip()\n"
        "    server = keyward.Server(kvcmdsim.Transport(chip))\n"
        "    keys = keyward.KeyWarder(server)\n"
        "    keys.pskv_set_uint16('PSKEY_HOST_INTERFACE', 3)\n\n"
        "A transport may also be written in Python (see Transport). Failures raise Error or a "
        "subclass; an error handler callable (handler=) answers the library's reports instead "
        "(1 stop, 2 retry, 4 count as success, 0 or 3 go on).";
    py::exec(kPythonDefinitions, m.attr("__dict__"));
    gClasses.error = Keep(m, "Error");
    gClasses.communication = Keep(m, "CommunicationError");
    gClasses.transport_exception = Keep(m, "TransportException");
    gClasses.command_stream = Keep(m, "CommandStreamError");
    gClasses.file = Keep(m, "FileError");
    gClasses.no_value = Keep(m, "NoValueError");
    gClasses.canned_operation = Keep(m, "CannedOperation");
    gClasses.canned_step = Keep(m, "CannedStep");
    gClasses.chip_record = Keep(m, "ChipRecord");

    // ---- constants
    m.attr("PLAIN") = static_cast<int>(PS_FILE_PLAIN);
    m.attr("ANNOTATED") = static_cast<int>(PS_FILE_ANNOTATED);
    m.attr("PS_OP_SET") = static_cast<int>(PS_OP_SET);
    m.attr("PS_OP_ADD") = static_cast<int>(PS_OP_ADD);
    m.attr("PS_OP_UPDATE") = static_cast<int>(PS_OP_UPDATE);
    m.attr("PS_OP_DELETE") = static_cast<int>(PS_OP_DELETE);
    m.attr("PS_FACTORY_RESTORE_KEY") = PS_FACTORY_RESTORE_KEY;
    m.attr("RESPONSE_NONE") = static_cast<int>(KVCMD_RESPONSE_NONE);
    m.attr("RESPONSE_ABORT") = static_cast<int>(KVCMD_RESPONSE_ABORT);
    m.attr("RESPONSE_RETRY") = static_cast<int>(KVCMD_RESPONSE_RETRY);
    m.attr("RESPONSE_IGNORE") = static_cast<int>(KVCMD_RESPONSE_IGNORE);
    m.attr("RESPONSE_ACCEPT") = static_cast<int>(KVCMD_RESPONSE_ACCEPT);
    m.attr("NO_BOOTMODE") = PsServer::NoBootmode();
    m.attr("KIND_ORDINARY") = static_cast<int>(PSKEY_KIND_ORDINARY);
    m.attr("KIND_PRESENTATION") = static_cast<int>(PSKEY_KIND_PRESENTATION);
    m.attr("CONSTRAINT_NONE") = static_cast<int>(PSKEY_CONSTRAINT_NONE);
    m.attr("CONSTRAINT_RANGE") = static_cast<int>(PSKEY_CONSTRAINT_RANGE);
    m.attr("CONSTRAINT_MINIMUM") = static_cast<int>(PSKEY_CONSTRAINT_MINIMUM);
    m.attr("CONSTRAINT_MAXIMUM") = static_cast<int>(PSKEY_CONSTRAINT_MAXIMUM);
    m.attr("CONSTRAINT_ENUMERATION") = static_cast<int>(PSKEY_CONSTRAINT_ENUMERATION);

    // ---- the key database
    py::class_<KeyRecord>(m, "Key", py::module_local(),
                          "A record of the PS key database. Usable wherever a key number is.")
        .def_property_readonly("number", [](const KeyRecord& k) { return k.entry->key_number; })
        .def_property_readonly(
            "identifier", [](const KeyRecord& k) { return Identifier(k.entry); },
            "The symbolic name, PSKEY_...")
        .def_property_readonly(
            "label", [](const KeyRecord& k) { return Text(k.entry->label); },
            "The short label that messages use.")
        .def_property_readonly(
            "description",
            [](const KeyRecord& k) {
                std::wstring text;
                for (const wchar_t* const* part = k.entry->description;
                     part != nullptr && *part != nullptr; ++part) {
                    text += *part;
                }
                return text;
            },
            "The long help text.")
        .def_property_readonly(
            "structure", [](const KeyRecord& k) { return k.entry->structure; },
            "The shape of the value (0 to 52).")
        .def_property_readonly(
            "length",
            [](const KeyRecord& k) { return CKeyWarder::StructureLen(k.entry->structure); },
            "The value's length in words; -1 for variable length.")
        .def_property_readonly(
            "kind", [](const KeyRecord& k) { return k.entry->kind; },
            "KIND_ORDINARY, or KIND_PRESENTATION for a bit field of a base key.")
        .def_property_readonly(
            "is_presentation",
            [](const KeyRecord& k) { return k.entry->kind == PSKEY_KIND_PRESENTATION; })
        .def_property_readonly(
            "base_key", [](const KeyRecord& k) { return k.entry->base_key; },
            "Presentation keys: the key that holds the field; else 0.")
        .def_property_readonly(
            "bit_offset", [](const KeyRecord& k) { return k.entry->bit_offset; },
            "Presentation keys: the field's lowest bit, counted from bit 0 of word 0.")
        .def_property_readonly(
            "bit_width", [](const KeyRecord& k) { return k.entry->bit_width; },
            "Presentation keys: the field's width in bits.")
        .def_property_readonly(
            "constraint", [](const KeyRecord& k) { return k.entry->constraint; },
            "CONSTRAINT_NONE, _RANGE, _MINIMUM, _MAXIMUM or _ENUMERATION.")
        .def_property_readonly("minimum", [](const KeyRecord& k) { return k.entry->minimum; })
        .def_property_readonly("maximum", [](const KeyRecord& k) { return k.entry->maximum; })
        .def_property_readonly(
            "assumed_present", [](const KeyRecord& k) { return k.entry->assumed_present != 0; },
            "Whether a chip whose key list is unknown is taken to have the key.")
        .def_property_readonly("aux_flag", [](const KeyRecord& k) { return k.entry->aux_flag; })
        .def_property_readonly(
            "enumeration",
            [](const KeyRecord& k) {
                return k.entry->constraint == PSKEY_CONSTRAINT_ENUMERATION
                           ? Enumeration(k.entry->minimum)
                           : py::list();
            },
            "The named values (text, value) of an enumerated key; empty for other keys.")
        .def_property_readonly(
            "presentation_keys",
            [](const KeyRecord& k) {
                const int count = CKeyWarder::HasPresentationKeys(k.entry->key_number, nullptr, 0);
                std::vector<const pskey_entry*> entries(static_cast<size_t>(count));
                CKeyWarder::HasPresentationKeys(k.entry->key_number, entries.data(), count);
                std::vector<KeyRecord> keys;
                for (const pskey_entry* entry : entries) {
                    keys.push_back({entry});
                }
                return keys;
            },
            "The presentation keys whose base key this is, in database order.")
        .def("__index__", [](const KeyRecord& k) { return k.entry->key_number; })
        .def("__int__", [](const KeyRecord& k) { return k.entry->key_number; })
        .def("__eq__", [](const KeyRecord& a, const KeyRecord& b) { return a.entry == b.entry; })
        .def("__hash__", [](const KeyRecord& k) { return k.entry->key_number; })
        .def("__repr__", [](const KeyRecord& k) {
            char text[32];
            std::snprintf(text, sizeof text, "<Key 0x%04x ", k.entry->key_number);
            return text + Identifier(k.entry) + ">";
        });

    py::class_<KeyDatabase>(
        m, "KeyDatabase", py::module_local(),
        "The PS keys that keyward knows (keyward.database): looked up by number or identifier, "
        "iterated in database order. Read-only; safe from any thread.")
        .def("__len__", [](const KeyDatabase&) { return CKeyWarder::GetKeyCount(); })
        .def(
            "__getitem__",
            [](const KeyDatabase&, py::handle key) { return KeyRecord{RecordOf(key)}; }, "key"_a,
            "The record of a key number or identifier (KeyError when unknown).")
        .def(
            "get",
            [](const KeyDatabase&, py::handle key, py::object otherwise) -> py::object {
                try {
                    return py::cast(KeyRecord{RecordOf(key)});
                } catch (py::key_error&) {
                    return otherwise;
                }
            },
            "key"_a, "default"_a = py::none(), "The record of a key, or `default`.")
        .def("__contains__",
             [](const KeyDatabase&, py::handle key) {
                 try {
                     RecordOf(key);
                     return true;
                 } catch (py::key_error&) {
                     return false;
                 } catch (py::value_error&) {
                     return false;
                 }
             })
        .def("__iter__",
             [](const KeyDatabase&) {
                 std::vector<KeyRecord> keys;
                 for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
                     keys.push_back({CKeyWarder::GetKeyDetailsAt(i)});
                 }
                 return py::iter(py::cast(keys));
             })
        .def_static("enumeration", &Enumeration, "index"_a,
                    "Enumeration list `index` as (text, value) pairs.")
        .def_static(
            "structure_length", [](int structure) { return CKeyWarder::StructureLen(structure); },
            "structure"_a, "The length in words of a value of `structure`; -1 for variable length.")
        .def_static(
            "check_valid", [] { return CKeyWarder().CheckValid(); },
            "Whether no two records share a key number.");
    m.attr("database") = KeyDatabase();

    m.def(
        "canned_operations",
        [] {
            py::list entries;
            for (const canned_entry* entry = canned; entry->name != nullptr; ++entry) {
                py::list steps;
                for (const canned_operation* step = entry->operations;
                     step != nullptr && step->key != 0; ++step) {
                    steps.append(gClasses.canned_step(step->op, step->key, step->value));
                }
                entries.append(
                    gClasses.canned_operation(Text(entry->name), Text(entry->description), steps));
            }
            return entries;
        },
        "The canned operations, in table order: CannedOperation(name, description, steps).");

    // ---- chip identification
    py::class_<ChipIdentity>(m, "ChipIdentity",
                             "The identity of a chip, worked out from its identification words.")
        .def(py::init<>())
        .def("identify_from_version", &ChipIdentity::identify_from_version, "version_word"_a)
        .def("identify_from_second", &ChipIdentity::identify_from_second, "second_word"_a)
        .def("identify_from_words", &ChipIdentity::identify_from_words, "version_word"_a,
             "second_word"_a)
        .def("identify_from_version_and_sub_id", &ChipIdentity::identify_from_version_and_sub_id,
             "version_word"_a, "sub_id"_a)
        .def("is_identified", &ChipIdentity::is_identified, "any_readable_chip"_a = false)
        .def_property("forced", &ChipIdentity::forced, &ChipIdentity::set_forced)
        .def_property_readonly("version_word", &ChipIdentity::version_word)
        .def_property_readonly("second_word", &ChipIdentity::second_word)
        .def_property_readonly("sub_id", &ChipIdentity::sub_id)
        .def_property_readonly("chip_index", &ChipIdentity::chip_index,
                               "The matched catalogue record; 0 when unknown.")
        .def_property_readonly("memory_access_class", &ChipIdentity::memory_access_class)
        .def_property_readonly("text", &ChipIdentity::text)
        .def("__repr__",
             [](const ChipIdentity& c) { return std::string("<ChipIdentity ") + c.text() + ">"; });
    m.def(
        "chip_catalogue",
        [] {
            py::list records;
            const ChipRecord* catalogue = ChipCatalogue();
            for (size_t i = 0; i < CHIP_CATALOGUE_SIZE; ++i) {
                const ChipRecord& r = catalogue[i];
                records.append(gClasses.chip_record(r.chip_index, r.chip_id, r.sub_id, r.name,
                                                    r.code_name, r.architecture->architecture_class,
                                                    r.architecture->memory_access_class,
                                                    r.architecture->address_width_class, r.flags));
            }
            return records;
        },
        "The chip catalogue: ChipRecord per chip type, record 0 an unknown device.");

    // ---- power tables
    auto basic = BindSetting<CPowerSetting>(m, "PowerSetting",
                                            "A basic-rate power setting (2 words packed).");
    AddField(basic, "internal_pa", &CPowerSetting::internal_pa, 0, 255, "Internal amplifier gain.");
    AddField(basic, "external_pa", &CPowerSetting::external_pa, 0, 255, "External amplifier gain.");
    AddField(basic, "tx_dbm", &CPowerSetting::tx_dbm, -128, 127, "Output power in dBm.");
    basic
        .def("as_uint32", &CPowerSetting::asUint32,
             "internal_pa << 24 | external_pa << 16 | tx_dbm << 8.")
        .def_static(
            "from_uint32",
            [](uint32_t value) {
                CPowerSetting s;
                s.getFromUint32(value);
                return s;
            },
            "value"_a, "The setting in the three upper bytes of `value`.");
    auto enhanced = BindSetting<CEnhancedPowerSetting>(
        m, "EnhancedPowerSetting",
        "A basic and enhanced data rate power setting (5 words packed).");
    AddField(enhanced, "internal_pa", &CEnhancedPowerSetting::internal_pa, 0, 255, nullptr);
    AddField(enhanced, "external_pa", &CEnhancedPowerSetting::external_pa, 0, 255, nullptr);
    AddField(enhanced, "tx_pa_attn", &CEnhancedPowerSetting::tx_pa_attn, 0, 7, "3 bits.");
    AddField(enhanced, "switchable_external_pa", &CEnhancedPowerSetting::switchable_external_pa, 0,
             1, nullptr);
    AddField(enhanced, "internal_pa_edr", &CEnhancedPowerSetting::internal_pa_edr, 0, 255, nullptr);
    AddField(enhanced, "external_pa_edr", &CEnhancedPowerSetting::external_pa_edr, 0, 255, nullptr);
    AddField(enhanced, "inhibit_edr", &CEnhancedPowerSetting::inhibit_edr, 0, 1, nullptr);
    AddField(enhanced, "inhibit_br", &CEnhancedPowerSetting::inhibit_br, 0, 1, nullptr);
    AddField(enhanced, "tx_pa_attn_edr", &CEnhancedPowerSetting::tx_pa_attn_edr, 0, 7, "3 bits.");
    AddField(enhanced, "tx_pre_edr", &CEnhancedPowerSetting::tx_pre_edr, 0, 255, nullptr);
    AddField(enhanced, "tx_dbm", &CEnhancedPowerSetting::tx_dbm, -128, 127, "Output power in dBm.");
    auto v0 = BindSetting<CBluetoothPowerTableV0Setting>(
        m, "BluetoothPowerTableV0Setting",
        "A setting of PSKEY_BT_POWER_TABLE_V0 (5 words packed).");
    using V0 = CBluetoothPowerTableV0Setting;
    AddField(v0, "internal_pa", &V0::internal_pa, 0, 255, nullptr);
    AddField(v0, "mixer_level", &V0::mixer_level, 0, 15, "4 bits.");
    AddField(v0, "mixer_offset", &V0::mixer_offset, 0, 15, "4 bits.");
    AddField(v0, "tx_pa_attn", &V0::tx_pa_attn, 0, 7, "3 bits.");
    AddField(v0, "internal_pa_edr", &V0::internal_pa_edr, 0, 255, nullptr);
    AddField(v0, "mixer_level_edr", &V0::mixer_level_edr, 0, 15, "4 bits.");
    AddField(v0, "mixer_offset_edr", &V0::mixer_offset_edr, 0, 15, "4 bits.");
    AddField(v0, "inhibit_edr", &V0::inhibit_edr, 0, 1, nullptr);
    AddField(v0, "inhibit_br", &V0::inhibit_br, 0, 1, nullptr);
    AddField(v0, "tx_pa_attn_edr", &V0::tx_pa_attn_edr, 0, 7, "3 bits.");
    AddField(v0, "tx_dbm", &V0::tx_dbm, -128, 127, "Output power in dBm.");
    BindTable<CPowerTable, CPowerSetting>(
        m, "PowerTable",
        "A basic-rate power table (PSKEY_LC_POWER_TABLE): up to 32 PowerSettings, a sequence.");
    BindTable<CEnhancedPowerTable, CEnhancedPowerSetting>(
        m, "EnhancedPowerTable",
        "An enhanced power table (PSKEY_LC_ENHANCED_POWER_TABLE): up to 32 EnhancedPowerSettings.");
    BindTable<CBluetoothPowerTableV0, CBluetoothPowerTableV0Setting>(
        m, "BluetoothPowerTableV0",
        "A PSKEY_BT_POWER_TABLE_V0 table: up to 32 BluetoothPowerTableV0Settings.");

    // ---- transports and servers
    py::class_<kvcmd_trans, std::shared_ptr<kvcmd_trans>>(
        m, "KvcmdTransport",
        "A transport written in C++ by another extension (kvcmdsim.Transport). It serves one "
        "server at a time.")
        .def_property_readonly("security_state", &kvcmd_trans::get_security_state,
                               "0 unknown, 1 the chip refuses memory reads, 2 they work.");

    py::class_<ServerBox, BoxHolder<ServerBox>> server(
        m, "PsServer", py::module_local(),
        (std::string("A persistent-store server: a Server over a transport, or a Cache over a "
                     "Server. A context manager: opened on entry, closed on exit.") +
         kThreads)
            .c_str());
    server
        .def_property(
            "handler", [](const ServerBox& b) { return b.Handler().Callable(); },
            [](ServerBox& b, py::object callable) { b.Handler().SetCallable(std::move(callable)); },
            "The error handler callable, or None. It is called as handler(text, caption, code, "
            "type) for every report (type -1: a progress note) and answers with an int (1 stop, "
            "2 retry, 4 count as success, 0 or 3 go on) or None (stop for errors, go on for "
            "notes). An operation raises Error only when it failed in the end.")
        .def(
            "open",
            [](ServerBox& b) {
                Run(b, {"open the connection to the chip"}, [&] { return b.Ps().open(); });
            },
            "Connects and learns which keys the chip holds (a cache also starts its worker).")
        .def("close",
             [](ServerBox& b) { Run(b, {"close the connection"}, [&] { return b.Ps().close(); }); })
        .def("is_open",
             [](ServerBox& b) {
                 return Ask(b, {"ask the connection"}, [&] { return b.Ps().is_open(); });
             })
        .def("__enter__",
             [](py::object self) {
                 ServerBox& b = self.cast<ServerBox&>();
                 Run(b, {"open the connection to the chip"}, [&] { return b.Ps().open(); });
                 return self;
             })
        .def("__exit__",
             [](ServerBox& b, py::args) {
                 Run(b, {"close the connection"}, [&] { return b.Ps().close(); });
                 return false;
             })
        .def(
            "reset_kv",
            [](ServerBox& b, int how) {
                Run(b, {"reset the chip"}, [&] { return b.Ps().reset_kv(how); });
            },
            "how"_a = 0, "Resets the chip (`how` is the transport's reset kind).")
        .def(
            "reset_kv_and_close",
            [](ServerBox& b, int how) {
                Run(b, {"reset the chip"}, [&] { return b.Ps().reset_kv_and_close(how); });
            },
            "how"_a = 0, "Resets the chip and closes the connection (the next call reopens it).")
        .def(
            "inquire_known_keys",
            [](ServerBox& b) {
                Run(b, {"learn the chip's keys"}, [&] { return b.Ps().inquire_known_keys(); });
            },
            "Learns again which keys the chip holds.")
        .def(
            "known_keys",
            [](ServerBox& b) {
                std::vector<uint16_t> keys;
                Run(b, {"list the chip's keys"}, [&] {
                    if (!b.Ps().get_connected()) {
                        return false;
                    }
                    for (uint16_t key = b.Ps().key_next(0); key != 0; key = b.Ps().key_next(key)) {
                        keys.push_back(key);
                    }
                    return true;
                });
                return keys;
            },
            "The keys the chip is known to hold, ascending (connecting first when needed).")
        .def_property_readonly(
            "keys_known",
            [](ServerBox& b) { return Ask(b, {"ask"}, [&] { return b.Ps().keys_known(); }); },
            "Whether the set of the chip's keys is complete.")
        .def(
            "key_exists",
            [](ServerBox& b, py::handle key) {
                const uint16_t k = KeyNumber(key);
                return Ask(b, {"ask"}, [&] { return b.Ps().key_exists(k); });
            },
            "key"_a,
            "Whether the key is in the set of the chip's keys (a cache in a boot mode: in "
            "the mode's list). The chip is not asked.")
        .def_property_readonly("num_bootmodes",
                               [](ServerBox& b) {
                                   uint16_t count = 0;
                                   Ask(b, {"ask"}, [&] {
                                       count = b.Ps().NumBootmodes();
                                       return true;
                                   });
                                   return count;
                               })
        .def(
            "pskv_size",
            [](ServerBox& b, py::handle key, bool raw) {
                const uint16_t k = KeyNumber(key);
                uint16_t length = 0;
                Run(b, {"size", k, true}, [&] { return b.Ps().pskv_size(k, &length, raw); });
                return length;
            },
            "key"_a, "raw"_a = false, "The key's length in words.")
        .def(
            "pskv_get",
            [](ServerBox& b, py::handle key, std::optional<long> max_length, bool raw) {
                const uint16_t k = KeyNumber(key);
                std::vector<uint16_t> words;
                Run(b, {"read", k, true}, [&] {
                    uint16_t capacity = 0;
                    if (max_length) {
                        capacity = InRange<uint16_t>(*max_length, 0, 0xFFFF, "max_length");
                    } else if (!b.Ps().pskv_size(k, &capacity, raw)) {
                        return false;
                    }
                    words.assign(capacity, 0);
                    uint16_t length = 0;
                    if (!b.Ps().pskv_get(k, words.data(), capacity, &length, raw)) {
                        return false;
                    }
                    words.resize(std::min(length, capacity));
                    return true;
                });
                return words;
            },
            "key"_a, "max_length"_a = py::none(), "raw"_a = false,
            "The key's words (at most `max_length`; the whole key when None).")
        .def(
            "pskv_set",
            [](ServerBox& b, py::handle key, const std::vector<long>& values, bool raw) {
                const uint16_t k = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                Run(b, {"write", k}, [&] {
                    return b.Ps().pskv_set(k, words.data(), static_cast<uint16_t>(words.size()),
                                           raw);
                });
            },
            "key"_a, "words"_a, "raw"_a = false)
        .def(
            "pskv_next",
            [](ServerBox& b, py::handle key, bool raw) {
                const uint16_t k = KeyNumber(key);
                uint16_t next = 0;
                Run(b, {"find the key after", k}, [&] { return b.Ps().pskv_next(k, &next, raw); });
                return next;
            },
            "key"_a, "raw"_a = false, "The next key present in the selected stores (0: none).")
        .def(
            "pskv_next_all",
            [](ServerBox& b, py::handle key) {
                const uint16_t k = KeyNumber(key);
                uint16_t next = 0;
                Run(b, {"find the key after", k}, [&] { return b.Ps().pskv_next_all(k, &next); });
                return next;
            },
            "key"_a, "The next key present in any store (0: none).")
        .def(
            "pskv_clr",
            [](ServerBox& b, py::handle key, bool raw) {
                const uint16_t k = KeyNumber(key);
                Run(b, {"delete", k}, [&] { return b.Ps().pskv_clr(k, raw); });
            },
            "key"_a, "raw"_a = false)
        .def(
            "pskv_clrs",
            [](ServerBox& b, py::handle key, bool raw) {
                const uint16_t k = KeyNumber(key);
                Run(b, {"delete", k}, [&] { return b.Ps().pskv_clrs(k, raw); });
            },
            "key"_a, "raw"_a = false, "Deletes the key from the selected stores.")
        .def(
            "pskv_clrb",
            [](ServerBox& b, py::handle key) {
                const uint16_t k = KeyNumber(key);
                Run(b, {"remove the boot-mode override of", k},
                    [&] { return b.Ps().pskv_clrb(k); });
            },
            "key"_a, "Removes the key's override in the selected boot mode (a cache only).")
        .def(
            "pskv_known_key",
            [](ServerBox& b, py::handle key, bool raw) {
                const uint16_t k = KeyNumber(key);
                return Ask(b, {"ask about", k}, [&] { return b.Ps().pskv_known_key(k, raw); });
            },
            "key"_a, "raw"_a = false, "Whether the firmware knows the key number.")
        .def(
            "pskv_factory_set",
            [](ServerBox& b) {
                Run(b, {"set the factory values"}, [&] { return b.Ps().pskv_factory_set(); });
            },
            "Copies the current keys into the factory settings.")
        .def(
            "pskv_factory_restore",
            [](ServerBox& b, bool all) {
                Run(b, {"restore the factory values"},
                    [&] { return b.Ps().pskv_factory_restore(all); });
            },
            "all"_a = false, "Restores the factory settings (`all`: of every key).")
        .def(
            "read_mem",
            [](ServerBox& b, uint32_t space, uint32_t address, long length) {
                std::vector<uint16_t> words(InRange<uint16_t>(length, 0, 0xFFFF, "length"));
                Run(b, {"read chip memory"}, [&] {
                    return b.Ps().read_mem(GenericPointer{space, address},
                                           static_cast<uint16_t>(words.size()), words.data());
                });
                return words;
            },
            "space"_a, "address"_a, "length"_a,
            "`length` words of chip memory at byte `address` of memory space `space`.")
        .def(
            "get_firmware_id",
            [](ServerBox& b) {
                return FirmwareId(b, [&](int* id, uint16_t* name, unsigned capacity) {
                    return b.Ps().get_firmware_id(id, name, capacity);
                });
            },
            "The chip's firmware id and name.")
        .def("is_layer_a_supported",
             [](ServerBox& b) {
                 return Ask(b, {"ask"}, [&] { return b.Ps().is_layer_a_supported(); });
             })
        .def(
            "getvar",
            [](ServerBox& b, const std::string& name) {
                std::string value;
                Ask(b, {"ask"}, [&] {
                    value = b.Ps().getvar(name.c_str());
                    return true;
                });
                return value;
            },
            "name"_a, "A named server variable (\"SPIDEBUG_REPRODUCIBLE\"); \"\" when unset.")
        .def(
            "do_cancel", [](ServerBox& b) { b.Ps().do_cancel(); },
            "Asks a long run over many keys (a dump, a stream) to stop after the current key. "
            "Never waits: call it from another thread.")
        .def("clear_cancel", [](ServerBox& b) { b.Ps().clear_cancel(); })
        .def("is_cancelled", [](ServerBox& b) { return b.Ps().is_cancelled(); });

    const auto serverItself = [](ServerBox& b) -> ServerBox& { return b; };
    WordProperty(
        server, "stores", serverItself, [](ServerBox& b) { return b.Ps().GetStores(); },
        [](ServerBox& b, uint16_t stores) { b.Ps().SetStores(stores); },
        "The stores mask sent with store-aware requests (0: the chip's default search; 0x0001 "
        "to 0x0010, 0x001F all five).");
    WordProperty(
        server, "bootmode", serverItself, [](ServerBox& b) { return b.Ps().GetBootmode(); },
        [](ServerBox& b, uint16_t mode) { b.Ps().SetBootmode(mode); },
        "The selected boot mode (NO_BOOTMODE when none; a mode the server lacks selects none).");

    py::class_<KvcmdBox, ServerBox, BoxHolder<KvcmdBox>>(
        m, "Server", py::module_local(),
        (std::string("A PS server over a KVCMD transport: a C++ transport such as "
                     "kvcmdsim.Transport, or a Python object with transact(request) (see "
                     "Transport). raw=True asks for raw access in every store-aware request.") +
         kThreads)
            .c_str())
        .def(py::init([](py::object transport, bool raw, py::object handler) {
                 return BoxHolder<KvcmdBox>(
                     new KvcmdBox(std::move(transport), raw, std::move(handler)));
             }),
             "transport"_a, py::kw_only(), "raw"_a = false, "handler"_a = py::none())
        .def_property_readonly("transport", &KvcmdBox::TransportObject)
        .def_property_readonly("raw", &KvcmdBox::Raw)
        .def_property_readonly(
            "security_state",
            [](KvcmdBox& b) {
                int state = 0;
                Ask(b, {"ask"}, [&] {
                    state = b.Link()->get_security_state();
                    return true;
                });
                return state;
            },
            "0 unknown, 1 the chip refuses memory reads, 2 they work.");
    py::class_<CacheBox, ServerBox, BoxHolder<CacheBox>>(
        m, "Cache", py::module_local(),
        (std::string(
             "A PS server that answers key reads from a cache which a worker thread fills, over "
             "a Server (which it uses alone while it exists: the server's own operations then "
             "raise). Opening it learns the chip's keys and starts the worker; closing it stops "
             "the worker. As a context manager:\n\n"
             "    with keyward.Cache(server) as cache:\n"
             "        keys = keyward.KeyWarder(cache)\n\n"
             "Its reports go to the wrapped server's handler. With use_cache False every size "
             "read fetches the key again and the worker does no idle prefetch.") +
         kThreads)
            .c_str())
        .def(py::init([](py::object server, bool use_cache) {
                 if (!py::isinstance<KvcmdBox>(server)) {
                     throw py::type_error("a Cache wraps a keyward.Server");
                 }
                 return BoxHolder<CacheBox>(new CacheBox(std::move(server), use_cache));
             }),
             "server"_a, py::kw_only(), "use_cache"_a = true)
        .def_property_readonly("server", &CacheBox::ServerObject, "The wrapped Server.")
        .def_property(
            "use_cache", [](const CacheBox& b) { return b.mUseCache; },
            [](CacheBox& b, bool use) {
                Ask(b, {"switch the cache"}, [&] {
                    b.Cache().UseCache(use);
                    return true;
                });
                b.mUseCache = use;
            },
            "Whether reads are answered from the cache (the use-cache switch).")
        .def(
            "clear_cache",
            [](CacheBox& b, py::object key, long stores) {
                const uint16_t mask = InRange<uint16_t>(stores, 0, 0xFFFF, "a stores mask");
                if (key.is_none()) {
                    Ask(b, {"clear the cache"}, [&] {
                        b.Cache().ClearCache();
                        return true;
                    });
                    return;
                }
                const uint16_t k = KeyNumber(key);
                Ask(b, {"clear the cache"}, [&] {
                    b.Cache().ClearCache(k, mask);
                    return true;
                });
            },
            "key"_a = py::none(), "stores"_a = 0,
            "Forgets what is cached of `key` in `stores` (0: all), or of every key when None.")
        .def(
            "pending_entries",
            [](CacheBox& b) {
                size_t count = 0;
                Ask(b, {"ask"}, [&] {
                    count = b.Cache().PendingEntries();
                    return true;
                });
                return count;
            },
            "How many (key, store) pairs are wanted but not fetched yet; 0 once prefetched.")
        .def(
            "use_server",
            [](CacheBox& b) {
                Ask(b, {"start the worker"}, [&] {
                    b.Cache().UseServer();
                    return true;
                });
            },
            "Runs the worker from now on (open() does this).")
        .def(
            "release_server",
            [](CacheBox& b) {
                Ask(b, {"stop the worker"}, [&] {
                    b.Cache().ReleaseServer();
                    return true;
                });
            },
            "Stops the worker.");

    // Workers still running when the interpreter exits would need the GIL to end their calls
    // into Python transports; they are stopped first.
    m.def("_stop_cache_workers", [] {
        const std::set<CacheBox*> caches = gCaches;
        for (CacheBox* cache : caches) {
            py::gil_scoped_release nogil;
            Holding holding(cache->Serialiser());
            cache->StopWorker();
        }
    });
    py::module_::import("atexit").attr("register")(m.attr("_stop_cache_workers"));

    // ---- typed access
    using K = KeyWarderBox;
    py::class_<KeyWarderBox> keyWarder(
        m, "KeyWarder", py::module_local(),
        (std::string(
             "Typed reads and writes of the keys of a server (a Server or a Cache), the PS files "
             "and command streams, canned operations and power tables. Keys are key numbers or "
             "identifiers ('PSKEY_HOST_INTERFACE'); presentation keys are resolved through the "
             "key database.") +
         kThreads)
            .c_str());
    keyWarder
        .def(py::init([](py::object server) {
                 if (!py::isinstance<ServerBox>(server)) {
                     throw py::type_error("a KeyWarder binds a keyward.Server or keyward.Cache");
                 }
                 return std::make_unique<KeyWarderBox>(std::move(server));
             }),
             "server"_a)
        .def_property_readonly("server", &K::ServerObject)
        .def(
            "reconnect",
            [](K& k) {
                Run(k.Box(), {"open the connection to the chip"},
                    [&] { return k.Keys().Reconnect(); });
            },
            "Opens the server again.")
        .def(
            "reset_kv",
            [](K& k, int how) {
                Run(k.Box(), {"reset the chip"}, [&] { return k.Keys().ResetKv(how); });
            },
            "how"_a = 0)
        .def(
            "reset_kv_and_close",
            [](K& k, int how) {
                Run(k.Box(), {"reset the chip"}, [&] { return k.Keys().ResetKvAndClose(how); });
            },
            "how"_a = 0)
        .def("pskv_factory_set",
             [](K& k) {
                 Run(k.Box(), {"set the factory values"},
                     [&] { return k.Keys().pskv_factory_set(); });
             })
        .def(
            "pskv_factory_restore",
            [](K& k, bool all) {
                Run(k.Box(), {"restore the factory values"},
                    [&] { return k.Keys().pskv_factory_restore(all); });
            },
            "all"_a = false)
        .def(
            "get_firmware_id",
            [](K& k) {
                return FirmwareId(k.Box(), [&](int* id, uint16_t* name, unsigned capacity) {
                    return k.Keys().GetFirmwareId(id, name, capacity);
                });
            },
            "The chip's firmware id and name, as its transport gives them.")
        .def("refresh_is_supported_layer_a",
             [](K& k) {
                 Ask(k.Box(), {"ask"}, [&] {
                     k.Keys().RefreshIsSupportedLayerA();
                     return true;
                 });
             })
        .def_property_readonly(
            "is_supported_layer_a", [](K& k) { return k.Keys().IsSupportedLayerA(); },
            "The answer kept by refresh_is_supported_layer_a().")
        // raw access
        .def(
            "pskv_size",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                uint16_t length = 0;
                Run(k.Box(), {"size", n, true}, [&] { return k.Keys().pskv_size(n, &length); });
                return length;
            },
            "key"_a, "The key's length in words (NoValueError when it has no value).")
        .def(
            "pskv_get_raw",
            [](K& k, py::handle key, std::optional<long> capacity) {
                const uint16_t n = KeyNumber(key);
                std::vector<uint16_t> words;
                if (capacity) {
                    words.assign(InRange<uint16_t>(*capacity, 0, 0xFFFF, "capacity"), 0);
                    uint16_t length = 0;
                    Run(k.Box(), {"read", n, true}, [&] {
                        return k.Keys().pskv_get_raw(n, words.data(),
                                                     static_cast<uint16_t>(words.size()), &length);
                    });
                    words.resize(std::min<size_t>(length, words.size()));
                    return words;
                }
                Run(k.Box(), {"read", n, true}, [&] {
                    bool read = false;
                    words = ReadWhole([&](uint16_t** buffer, uint16_t* length) {
                        read = k.Keys().pskv_get_raw(n, buffer, 0, length);
                        return read;
                    });
                    return read;
                });
                return words;
            },
            "key"_a, "capacity"_a = py::none(),
            "The key's words, raw (presentation keys not resolved): the whole key, or at most "
            "`capacity` words.")
        .def(
            "pskv_set_raw",
            [](K& k, py::handle key, const std::vector<long>& values) {
                const uint16_t n = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                Run(k.Box(), {"write", n}, [&] {
                    return k.Keys().pskv_set_raw(n, words.data(),
                                                 static_cast<uint16_t>(words.size()));
                });
            },
            "key"_a, "words"_a)
        .def(
            "pskv_clr",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                Run(k.Box(), {"delete", n}, [&] { return k.Keys().pskv_clr(n); });
            },
            "key"_a, "Deletes the key.")
        .def(
            "pskv_clrs",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                Run(k.Box(), {"delete", n}, [&] { return k.Keys().pskv_clrs(n); });
            },
            "key"_a, "Deletes the key from the selected stores.")
        .def(
            "pskv_clrb",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                Run(k.Box(), {"remove the boot-mode override of", n},
                    [&] { return k.Keys().pskv_clrb(n); });
            },
            "key"_a)
        .def(
            "pskv_known_key",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                return Ask(k.Box(), {"ask about", n}, [&] { return k.Keys().pskv_known_key(n); });
            },
            "key"_a, "Whether the firmware knows the key number.")
        .def(
            "key_known",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                return Ask(k.Box(), {"ask about", n}, [&] { return k.Keys().key_known(n); });
            },
            "key"_a,
            "Whether the chip has the key: from the server's key set when complete, else from "
            "the database.")
        // typed access
        .def(
            "pskv_get_bits",
            [](K& k, py::handle key, long offset, long width) {
                const uint16_t n = KeyNumber(key);
                const uint16_t o = InRange<uint16_t>(offset, 0, 0xFFFF, "bit_offset");
                const uint16_t w = InRange<uint16_t>(width, 0, 16, "bit_width");
                uint16_t value = 0;
                Run(k.Box(), {"read", n, true},
                    [&] { return k.Keys().pskv_get_bits(n, value, o, w); });
                return value;
            },
            "key"_a, "bit_offset"_a, "bit_width"_a,
            "The field of `bit_width` bits whose lowest bit is bit `bit_offset` of the value.")
        .def(
            "pskv_set_bits",
            [](K& k, py::handle key, long value, long offset, long width) {
                const uint16_t n = KeyNumber(key);
                const uint16_t v = InRange<uint16_t>(value, 0, 0xFFFF, "a field value");
                const uint16_t o = InRange<uint16_t>(offset, 0, 0xFFFF, "bit_offset");
                const uint16_t w = InRange<uint16_t>(width, 0, 16, "bit_width");
                Run(k.Box(), {"write", n}, [&] { return k.Keys().pskv_set_bits(n, v, o, w); });
            },
            "key"_a, "value"_a, "bit_offset"_a, "bit_width"_a,
            "Rewrites the field (only when it differs, unless SPIDEBUG_REPRODUCIBLE is ON).")
        .def(
            "pskv_get_pres_or_raw",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                std::vector<uint16_t> words;
                Run(k.Box(), {"read", n, true}, [&] {
                    bool read = false;
                    words = ReadWhole([&](uint16_t** buffer, uint16_t* length) {
                        read = k.Keys().pskv_get_pres_or_raw(n, buffer, 0, length);
                        return read;
                    });
                    return read;
                });
                return words;
            },
            "key"_a, "The key's words; a presentation key gives its field as one word.")
        .def(
            "pskv_set_pres_or_raw",
            [](K& k, py::handle key, const std::vector<long>& values) {
                const uint16_t n = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                Run(k.Box(), {"write", n}, [&] {
                    return k.Keys().pskv_set_pres_or_raw(n, words.data(),
                                                         static_cast<uint16_t>(words.size()));
                });
            },
            "key"_a, "words"_a)
        .def(
            "pskv_set_pres_or_raw_if_different",
            [](K& k, py::handle key, const std::vector<long>& values) {
                const uint16_t n = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                Run(k.Box(), {"write", n}, [&] {
                    return k.Keys().pskv_set_pres_or_raw_if_different(
                        n, words.data(), static_cast<uint16_t>(words.size()));
                });
            },
            "key"_a, "words"_a, "Writes only when the chip's value differs.")
        .def(
            "get_fragmented_string",
            [](K& k, py::handle key) {
                const uint16_t n = KeyNumber(key);
                std::vector<uint16_t> words(CKeyWarder::LOCAL_NAME_BUFFER_WORDS, 0);
                uint16_t length = 0;
                Run(k.Box(), {"read", n, true},
                    [&] { return k.Keys().get_fragmented_string(n, words.data(), length); });
                words.resize(n == CKeyWarder::LOCAL_NAME_KEY ? length
                                                             : std::min<size_t>(length, 16));
                return words;
            },
            "key"_a = CKeyWarder::LOCAL_NAME_KEY,
            "The local name's words from its pieces (PSKEY_LOCAL_NAME0, 0x00DC); any other key "
            "raw, at most 16 words.")
        .def(
            "set_fragmented_string",
            [](K& k, py::handle key, const std::vector<long>& values) {
                const uint16_t n = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                Run(k.Box(), {"write", n}, [&] {
                    return k.Keys().set_fragmented_string(n, words.data(),
                                                          static_cast<uint16_t>(words.size()));
                });
            },
            "key"_a, "words"_a,
            "Writes the local name (at most 252 words) in 14-word pieces and its length.")
        // files and command streams
        .def(
            "write_key",
            [](K& k, py::handle key, const std::vector<long>& values, int format) {
                const uint16_t n = KeyNumber(key);
                const std::vector<uint16_t> words = Words(values);
                std::ostringstream out;
                k.Keys().WriteKey(n, CKeyWarder::GetKeyDetails(n), words.data(),
                                  static_cast<uint16_t>(words.size()), out, format);
                return out.str();
            },
            "key"_a, "words"_a, "format"_a = static_cast<int>(PS_FILE_PLAIN),
            "The key line of `key` holding `words` (with its annotations in the ANNOTATED form).")
        .def(
            "write_delete_key",
            [](K& k, py::handle key, int format) {
                const uint16_t n = KeyNumber(key);
                std::ostringstream out;
                k.Keys().WriteDeleteKey(n, CKeyWarder::GetKeyDetails(n), nullptr, 0, out, format);
                return out.str();
            },
            "key"_a, "format"_a = static_cast<int>(PS_FILE_PLAIN),
            "The delete line of `key` (\"&0205 -\"; annotated: with its identifier line).")
        .def(
            "dump_ps",
            [](K& k, const py::object& path, int format) {
                const std::wstring file = PathText(path);
                Run(k.Box(), {"dump the keys"},
                    [&] { return k.Keys().dump_ps(file.c_str(), format); });
            },
            "path"_a, "format"_a = static_cast<int>(PS_FILE_PLAIN),
            "Writes every key the chip has, ascending, to the file `path`. Each key read is a "
            "progress note (type -1) to the handler; do_cancel() stops it.")
        .def(
            "dump_text",
            [](K& k, int format) {
                std::ostringstream out;
                Run(k.Box(), {"dump the keys"}, [&] { return k.Keys().dump_ps(out, format); });
                return out.str();
            },
            "format"_a = static_cast<int>(PS_FILE_PLAIN), "The dump of every key as text.")
        .def(
            "apply_file",
            [](K& k, const py::object& path) {
                const std::wstring file = PathText(path);
                Run(k.Box(), {"apply the file"}, [&] { return k.Keys().apply_file(file.c_str()); });
            },
            "path"_a,
            "Runs the command stream in the file `path` (a PS file, a dump). A syntax error "
            "raises CommandStreamError; the lines before it stay applied.")
        .def(
            "apply_text",
            [](K& k, const std::string& text) {
                std::istringstream in(text);
                Run(k.Box(), {"apply the command stream"}, [&] { return k.Keys().apply_file(in); });
            },
            "text"_a, "Runs a command stream given as text.")
        .def(
            "run_query",
            [](K& k, const py::object& output_path, const py::object& query_path, int format) {
                const std::wstring output = PathText(output_path);
                const std::wstring query = PathText(query_path);
                Run(k.Box(), {"run the query"},
                    [&] { return k.Keys().run_query(output.c_str(), query.c_str(), format); });
            },
            "output_path"_a, "query_path"_a, "format"_a = static_cast<int>(PS_FILE_PLAIN),
            "Runs the query file `query_path`, writing its answers to `output_path`.")
        .def(
            "query_text",
            [](K& k, const std::string& text, int format) {
                std::istringstream in(text);
                std::ostringstream out;
                Run(k.Box(), {"run the query"},
                    [&] { return k.Keys().run_query(out, in, format); });
                return out.str();
            },
            "text"_a, "format"_a = static_cast<int>(PS_FILE_PLAIN),
            "The answers to a query given as text.")
        // canned operations
        .def(
            "apply_canned",
            [](K& k, const py::object& recipe) {
                if (PyUnicode_Check(recipe.ptr())) {
                    const std::wstring name = recipe.cast<std::wstring>();
                    Run(k.Box(), {"run the canned operation"},
                        [&] { return k.Keys().apply_canned(name.c_str()); });
                    return;
                }
                if (PyLong_Check(recipe.ptr())) {
                    const long index = recipe.cast<long>();
                    long count = 0;
                    while (canned[count].name != nullptr) {
                        ++count;
                    }
                    if (index < 0 || index >= count) {
                        throw py::index_error("no canned operation has this index");
                    }
                    Run(k.Box(), {"run the canned operation"},
                        [&] { return k.Keys().apply_canned(static_cast<int>(index)); });
                    return;
                }
                std::vector<canned_operation> steps;
                for (const py::handle step : recipe) {
                    const auto [op, key, value] =
                        step.cast<std::tuple<int, py::object, long long>>();
                    if (value < 0 || value > 0xFFFFFFFFLL) {
                        throw py::value_error("a step's value lies in 0..0xFFFFFFFF");
                    }
                    steps.push_back({op, KeyNumber(key), static_cast<uint32_t>(value)});
                }
                steps.push_back({0, 0, 0});
                Run(k.Box(), {"run the steps"},
                    [&] { return k.Keys().apply_canned(steps.data()); });
            },
            "recipe"_a,
            "Runs a canned operation given by name (case-blind, '@usb'), by index, or as a list "
            "of (op, key, value) steps. Steps for keys that the chip lacks are skipped.")
        .def(
            "is_valid_canned",
            [](K& k, const std::wstring& name) { return k.Keys().is_valid_canned(name.c_str()); },
            "name"_a);
    const auto serverOf = [](K& k) -> ServerBox& { return k.Box(); };
    WordProperty(
        keyWarder, "stores", serverOf, [](K& k) { return k.Keys().GetStores(); },
        [](K& k, uint16_t stores) { k.Keys().SetStores(stores); }, "The server's stores mask.");
    WordProperty(
        keyWarder, "bootmode", serverOf, [](K& k) { return k.Keys().GetBootmode(); },
        [](K& k, uint16_t mode) { k.Keys().SetBootmode(mode); }, "The server's boot mode.");
    AddTableAccessors<CPowerTable, &CKeyWarder::pskv_get_power_table,
                      &CKeyWarder::pskv_set_power_table>(
        keyWarder, "power_table", 0x001E, "A PowerTable read from `key` (PSKEY_LC_POWER_TABLE).");
    AddTableAccessors<CEnhancedPowerTable, &CKeyWarder::pskv_get_enhanced_power_table,
                      &CKeyWarder::pskv_set_enhanced_power_table>(
        keyWarder, "enhanced_power_table", 0x0031,
        "An EnhancedPowerTable read from `key` (PSKEY_LC_ENHANCED_POWER_TABLE).");
    AddTableAccessors<CBluetoothPowerTableV0, &CKeyWarder::pskv_get_bluetooth_power_table_v0,
                      &CKeyWarder::pskv_set_bluetooth_power_table_v0>(
        keyWarder, "bluetooth_power_table_v0", 0x241A,
        "A BluetoothPowerTableV0 read from `key` (PSKEY_BT_POWER_TABLE_V0).");
    AddScalarAccessors(m.attr("KeyWarder"));
}
