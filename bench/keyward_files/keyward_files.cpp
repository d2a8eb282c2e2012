// What PS files cost on the simulated chip.
//
// Applying a generated 100,000-line PS file (set lines over every key the chip's firmware knows,
// with a comment every tenth line) is compared twice: with merely reading the same file line by
// line, which no interpreter can approach since each applied line reads its key (size and value)
// and writes it when it differs; and with the real floor, reading the lines plus a bare transact
// of exactly the requests the apply sends (recorded once, sent to a fresh chip in the same order).
//
// Dumping a chip that holds all 1727 database keys is compared with reading the same keys
// straight from the server (a size and a get request each, no file): the ratio is what the dump
// adds to the chip traffic (the key walk, formatting, progress notes and the file).
//
// Loading a chip image whose presentation fields and firmware keys come in descending key
// order is compared with loading the same lines in ascending order: both are put in order once,
// so the ratio stays near 1 however many lines an image holds.
#include <bench/common/ratio.h>
#include <bench/common/scratch.h>
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 100000;

// A folder for the benchmark's files, removed at exit.
varnak::bench::Scratch& Folder() {
    static varnak::bench::Scratch scratch("keyward-bench");
    return scratch;
}

// The ordinary keys a blank simulated chip's firmware knows: every ordinary database key. (Its
// list also names the presentation keys, whose lines fail on a chip without their base keys.)
std::vector<uint16_t> FirmwareKeys() {
    std::vector<uint16_t> keys;
    for (const kvcmdsim::KeyRange& range : kvcmdsim::SimChip().FirmwareKeys()) {
        for (uint32_t key = range.first; key <= range.last; ++key) {
            const pskey_entry* entry = CKeyWarder::GetKeyDetails(static_cast<uint16_t>(key));
            if (entry == nullptr || entry->kind == PSKEY_KIND_ORDINARY) {
                keys.push_back(static_cast<uint16_t>(key));
            }
        }
    }
    return keys;
}

// The generated file: set lines of one to four words, a comment every tenth line.
const std::string& GeneratedFile() {
    static const std::string path = [] {
        const std::string file = Folder().File("generated.ps");
        const std::vector<uint16_t> keys = FirmwareKeys();
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        char line[64];
        for (int i = 0; i < kLines; ++i) {
            if (i % 10 == 0) {
                std::snprintf(line, sizeof line, "# block %d\n", i / 10);
            } else {
                const unsigned key = keys[static_cast<size_t>(i) % keys.size()];
                const unsigned word = static_cast<unsigned>(i * 7) & 0xFFFF;
                switch (i % 4) {
                    case 0:
                        std::snprintf(line, sizeof line, "&%04x = %04x\n", key, word);
                        break;
                    case 1:
                        std::snprintf(line, sizeof line, "&%04x = %04x %04x\n", key, word, i & 0xF);
                        break;
                    case 2:
                        std::snprintf(line, sizeof line, "&%04x = %x %x %x // three\n", key, word,
                                      word ^ 0xFF, i & 0xFF);
                        break;
                    default:
                        std::snprintf(line, sizeof line, "&%04x=%04x%04x%04x%04x\n", key, word, 1u,
                                      2u, 3u);
                        break;
                }
            }
            out << line;
        }
        return file;
    }();
    return path;
}

// A simulated transport that keeps a copy of every request while recording.
class RecordingTransport : public kvcmdsim::SimTransport {
  public:
    using SimTransport::SimTransport;
    int transact(const PDU& request, PDU& response) override {
        if (recording) {
            requests.emplace_back(request.channel(), request.data(), request.size());
        }
        return SimTransport::transact(request, response);
    }
    bool recording = false;
    std::vector<PDU> requests;
};

// The requests that applying the generated file to a fresh chip sends, in order.
const std::vector<PDU>& ApplyRequests() {
    static const std::vector<PDU> requests = [] {
        auto* transport = new RecordingTransport(std::make_shared<kvcmdsim::SimChip>());
        PsKvcmd server(transport);
        CKeyWarder keys(&server);
        std::vector<PDU> recorded;
        if (server.open()) {
            transport->recording = true;
            if (keys.apply_file(keyward::Widen(GeneratedFile()).c_str())) {
                recorded = std::move(transport->requests);
            }
        }
        return recorded;
    }();
    return requests;
}

// A fresh simulated chip and its server for each pass. Made and dropped while the timer is
// paused: taking down a chip that holds a thousand keys (and its request log) is allocator work
// that belongs to neither side of the comparison and made it noisy.
struct FreshChip {
    FreshChip() : server(new kvcmdsim::SimTransport(std::make_shared<kvcmdsim::SimChip>())) {
        keys.SetServer(&server);
        opened = server.open();
    }
    PsKvcmd server;
    CKeyWarder keys;
    bool opened = false;
};

void BM_ApplyGeneratedFile(benchmark::State& state) {
    const std::wstring path = keyward::Widen(GeneratedFile());
    std::optional<FreshChip> fresh;
    for (auto _ : state) {
        state.PauseTiming();
        fresh.reset();
        fresh.emplace();
        if (!fresh->opened) {
            state.SkipWithError("the simulated chip did not open");
            return;
        }
        state.ResumeTiming();
        if (!fresh->keys.apply_file(path.c_str())) {
            state.SkipWithError("applying the file failed");
            return;
        }
    }
    state.counters["lines"] = kLines;
}
BENCHMARK(BM_ApplyGeneratedFile)->Unit(benchmark::kMillisecond);

void BM_ReadGeneratedFileLines(benchmark::State& state) {
    const std::string path = GeneratedFile();
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::string line;
        size_t bytes = 0;
        while (std::getline(in, line)) {
            bytes += line.size();
        }
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_ReadGeneratedFileLines)->Unit(benchmark::kMillisecond);

void BM_ReadLinesAndTransactTheRequests(benchmark::State& state) {
    const std::string path = GeneratedFile();
    const std::vector<PDU>& requests = ApplyRequests();
    if (requests.empty()) {
        state.SkipWithError("the apply could not be recorded");
        return;
    }
    std::optional<kvcmdsim::SimTransport> transport;
    for (auto _ : state) {
        state.PauseTiming();
        transport.reset();
        transport.emplace(std::make_shared<kvcmdsim::SimChip>());
        transport->open(0);
        state.ResumeTiming();
        std::ifstream in(path, std::ios::binary);
        std::string line;
        size_t bytes = 0;
        while (std::getline(in, line)) {
            bytes += line.size();
        }
        for (const PDU& request : requests) {
            PDU response;
            transport->transact(request, response);
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["requests"] = static_cast<double>(requests.size());
}
BENCHMARK(BM_ReadLinesAndTransactTheRequests)->Unit(benchmark::kMillisecond);

// A chip holding every database key, opened, so that its server knows all 1727 keys. Its
// firmware resolves no presentation keys: each key has a stored value of its own.
struct FullChip {
    FullChip() : chip(std::make_shared<kvcmdsim::SimChip>()) {
        chip->ClearPresentationKeys();
        for (size_t i = 0; i < CKeyWarder::GetKeyCount(); ++i) {
            const uint16_t key = CKeyWarder::GetKeyDetailsAt(i)->key_number;
            chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, key,
                         std::vector<uint16_t>(1 + i % 4, static_cast<uint16_t>(i)));
        }
        server = std::make_unique<PsKvcmd>(new kvcmdsim::SimTransport(chip));
        keys.SetServer(server.get());
        opened = server->open();
    }
    std::shared_ptr<kvcmdsim::SimChip> chip;
    std::unique_ptr<PsKvcmd> server;
    CKeyWarder keys;
    bool opened = false;
};

void BM_DumpAllKeys(benchmark::State& state) {
    FullChip full;
    const FileFormat format = state.range(0) != 0 ? PS_FILE_ANNOTATED : PS_FILE_PLAIN;
    const std::string file = Folder().File("dump.ps");
    const std::wstring path = keyward::Widen(file);
    for (auto _ : state) {
        // A new file each time: ext4 writes out a file that is truncated and written again when
        // it is closed, which would time the disk rather than the dump.
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        if (!full.opened || !full.keys.dump_ps(path.c_str(), format)) {
            state.SkipWithError("the dump failed");
            return;
        }
    }
}
BENCHMARK(BM_DumpAllKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReadAllKeysFromTheServer(benchmark::State& state) {
    FullChip full;
    uint16_t words[16];
    for (auto _ : state) {
        size_t read = 0;
        for (uint16_t key = full.server->key_next(0); key != 0; key = full.server->key_next(key)) {
            uint16_t size = 0;
            uint16_t length = 0;
            if (full.server->pskv_size(key, &size, false) &&
                full.server->pskv_get(key, words, size, &length, false)) {
                ++read;
            }
        }
        if (read != CKeyWarder::GetKeyCount()) {
            state.SkipWithError("not every key was read");
            return;
        }
    }
}
BENCHMARK(BM_ReadAllKeysFromTheServer)->Unit(benchmark::kMillisecond);

// A chip image of 57,344 presentation fields and 16,384 separate firmware keys, in ascending
// key order (argument 0) or descending (1).
std::string ManyLinesImage(bool descending) {
    std::string text;
    char line[64];
    for (int i = 0; i < 0xE000; ++i) {
        const int key = descending ? 0xF000 - i : 0x1001 + i;
        std::snprintf(line, sizeof line, "presentation %04x 0001 %d 1\n", key, key % 16);
        text += line;
    }
    for (int i = 0; i < 0x4000; ++i) {
        std::snprintf(line, sizeof line, "firmware-keys %04x\n",
                      descending ? 0xFFFE - 2 * i : 0x8000 + 2 * i);
        text += line;
    }
    return text + "end\n";
}

void BM_LoadImage(benchmark::State& state) {
    const std::string text = ManyLinesImage(state.range(0) != 0);
    for (auto _ : state) {
        kvcmdsim::SimChip chip;
        if (!chip.LoadText(text)) {
            state.SkipWithError("the image does not load");
            return;
        }
    }
}
BENCHMARK(BM_LoadImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return varnak::bench::RunAndReport(
        argc, argv,
        {
            {"apply a 100,000-line PS file vs read its lines", "BM_ApplyGeneratedFile",
             "BM_ReadGeneratedFileLines"},
            {"apply a 100,000-line PS file vs read lines + transact its requests",
             "BM_ApplyGeneratedFile", "BM_ReadLinesAndTransactTheRequests"},
            {"dump 1727 keys (plain) vs read them from the server", "BM_DumpAllKeys/0",
             "BM_ReadAllKeysFromTheServer"},
            {"dump 1727 keys (annotated) vs read them from the server", "BM_DumpAllKeys/1",
             "BM_ReadAllKeysFromTheServer"},
            {"load an image of 73,728 field and key lines: descending vs ascending order",
             "BM_LoadImage/1", "BM_LoadImage/0"},
        },
        {
            {"requests the apply sends", "BM_ReadLinesAndTransactTheRequests", "requests",
             "requests"},
        });
}
