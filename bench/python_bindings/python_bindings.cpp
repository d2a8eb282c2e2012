// What the Python modules add to keyward's own work, on the same simulated chip.
//
// The program embeds the interpreter and imports keyward and kvcmdsim from the build tree. Both
// sides reach one chip object, made here and handed to Python: the C++ side through its own
// PsKvcmd, the Python side through keyward.Server(kvcmdsim.Transport(chip)).
//
// A typed 16-bit read, keys.pskv_get_uint16(key), called 100 times in a Python loop, is compared
// with 100 calls of CKeyWarder::pskv_get_uint16 in C++: the ratio is the whole cost of calling
// from Python (the interpreter's loop, the argument and result conversion, the GIL released and
// taken again, the server's turn lock, the failure check). The dump of every known key (a chip
// holding all 1727 database keys) from Python is compared with the same dump from C++.
#include <bench/common/ratio.h>
#include <bench/common/scratch.h>
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <cstdio>
#include <memory>
#include <string>

namespace py = pybind11;

namespace {

constexpr uint16_t kKey = 0x01F9;  // PSKEY_HOST_INTERFACE, one word
constexpr int kCallsPerIteration = 100;

// The Python side of each benchmark: a callable that does one iteration's work.
constexpr const char* kPythonSide = R"PY(
import keyward, kvcmdsim

def opened(chip):
    keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(chip)))
    keys.server.open()
    return keys

def reads(chip, key, calls):
    get = opened(chip).pskv_get_uint16
    def run():
        for _ in range(calls):
            get(key)
    return run

def dump(chip, path):
    keys = opened(chip)
    return lambda: keys.dump_ps(path)
)PY";

py::object PythonSide() {
    static py::object side = [] {
        py::dict scope;
        py::exec(kPythonSide, scope);
        return py::object(scope);
    }();
    return side;
}

// A folder for the benchmark's files, removed at exit.
varnak::bench::Scratch& Folder() {
    static varnak::bench::Scratch scratch("python-bench");
    return scratch;
}

std::shared_ptr<kvcmdsim::SimChip> ChipWithKey() {
    static auto chip = [] {
        auto made = std::make_shared<kvcmdsim::SimChip>();
        made->SetKey(kvcmdsim::STORE_IMPLEMENTATION, kKey, {3});
        return made;
    }();
    return chip;
}

// A chip holding every database key (no presentation keys resolved: each key has a value).
std::shared_ptr<kvcmdsim::SimChip> FullChip() {
    static auto chip = [] {
        auto made = std::make_shared<kvcmdsim::SimChip>();
        made->ClearPresentationKeys();
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            made->SetKey(kvcmdsim::STORE_IMPLEMENTATION, CKeyWarder::GetKeyDetailsAt(i)->key_number,
                         std::vector<uint16_t>(1 + i % 4, static_cast<uint16_t>(i)));
        }
        return made;
    }();
    return chip;
}

void BM_PythonGetUint16(benchmark::State& state) {
    const py::object run = PythonSide()["reads"](ChipWithKey(), kKey, kCallsPerIteration);
    for (auto _ : state) {
        run();
    }
}
BENCHMARK(BM_PythonGetUint16);

void BM_CppGetUint16(benchmark::State& state) {
    PsKvcmd server(new kvcmdsim::SimTransport(ChipWithKey()));
    CKeyWarder keys(&server);
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    uint16_t value = 0;
    for (auto _ : state) {
        for (int i = 0; i < kCallsPerIteration; ++i) {
            keys.pskv_get_uint16(kKey, value);
            benchmark::DoNotOptimize(value);
        }
    }
}
BENCHMARK(BM_CppGetUint16);

// Each dump writes a new file, as keyward_files does: a file truncated and written again is
// written out by the file system when it is closed, which would time the disk.
void BM_PythonDump(benchmark::State& state) {
    const std::string file = Folder().File("python.ps");
    const py::object run = PythonSide()["dump"](FullChip(), file);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        run();
    }
}
BENCHMARK(BM_PythonDump)->Unit(benchmark::kMillisecond);

void BM_CppDump(benchmark::State& state) {
    const std::string file = Folder().File("cpp.ps");
    const std::wstring path = keyward::Widen(file);
    PsKvcmd server(new kvcmdsim::SimTransport(FullChip()));
    CKeyWarder keys(&server);
    if (!server.open()) {
        state.SkipWithError("the simulated chip did not open");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        if (!keys.dump_ps(path.c_str(), PS_FILE_PLAIN)) {
            state.SkipWithError("the dump failed");
            return;
        }
    }
}
BENCHMARK(BM_CppDump)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const py::scoped_interpreter interpreter;
    py::module_::import("sys").attr("path").attr("insert")(0, VARNAK_PYTHON_MODULES);
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"pskv_get_uint16 from Python vs from C++, same simulated chip (at most 2x)",
             "BM_PythonGetUint16", "BM_CppGetUint16"},
            {"dump of every known key (1727) from Python vs from C++ (at most 1.2x)",
             "BM_PythonDump", "BM_CppDump"},
        });
}
