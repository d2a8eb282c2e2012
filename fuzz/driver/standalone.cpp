// A small stand-in for libFuzzer's driver, used where the fuzz targets are built without it
// (GCC and the sanitizer builds of the test run). It runs every corpus file once, then random
// mutations of the corpus (or of random bytes) until the time or run budget is spent. It takes
// the libFuzzer flags it understands and ignores the others:
//   -max_total_time=SECONDS  -runs=N  -seed=N  -max_len=BYTES  and paths to files or folders.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

using Bytes = std::vector<uint8_t>;

bool ReadFile(const std::filesystem::path& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void RunOne(const Bytes& input) {
    // A copy of exactly the input's size, so reading past the end is caught by the sanitizer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size() + 1]);
    if (!input.empty()) {
        std::memcpy(copy.get(), input.data(), input.size());
    }
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : copy.get(), input.size());
}

Bytes Mutate(const Bytes& seed, std::mt19937_64& rng, size_t maxLen) {
    Bytes b = seed;
    std::uniform_int_distribution<int> byte(0, 255);
    const int steps = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < steps; ++i) {
        switch (rng() % 6) {
            case 0:  // flip a bit
                if (!b.empty()) {
                    b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                }
                break;
            case 1:  // replace a byte
                if (!b.empty()) {
                    b[rng() % b.size()] = static_cast<uint8_t>(byte(rng));
                }
                break;
            case 2:  // insert bytes
                if (b.size() < maxLen) {
                    const size_t at = b.empty() ? 0 : rng() % (b.size() + 1);
                    const size_t n = 1 + rng() % 16;
                    Bytes ins(n);
                    for (auto& c : ins) {
                        c = static_cast<uint8_t>(byte(rng));
                    }
                    b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), ins.begin(), ins.end());
                }
                break;
            case 3:  // erase bytes
                if (!b.empty()) {
                    const size_t at = rng() % b.size();
                    const size_t n = std::min<size_t>(b.size() - at, 1 + rng() % 16);
                    b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                            b.begin() + static_cast<std::ptrdiff_t>(at + n));
                }
                break;
            case 4:  // duplicate a stretch
                if (!b.empty() && b.size() < maxLen) {
                    const size_t at = rng() % b.size();
                    const size_t n = std::min<size_t>(b.size() - at, 1 + rng() % 64);
                    Bytes part(b.begin() + static_cast<std::ptrdiff_t>(at),
                               b.begin() + static_cast<std::ptrdiff_t>(at + n));
                    b.insert(b.begin() + static_cast<std::ptrdiff_t>(rng() % (b.size() + 1)),
                             part.begin(), part.end());
                }
                break;
            default:  // truncate
                if (!b.empty()) {
                    b.resize(rng() % b.size());
                }
                break;
        }
    }
    if (b.size() > maxLen) {
        b.resize(maxLen);
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    double maxSeconds = 10;
    long long maxRuns = -1;
    uint64_t seed = 1;
    size_t maxLen = 4096;
    std::vector<Bytes> corpus;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "-max_total_time=", 16) == 0) {
            maxSeconds = std::atof(arg + 16);
        } else if (std::strncmp(arg, "-runs=", 6) == 0) {
            maxRuns = std::atoll(arg + 6);
        } else if (std::strncmp(arg, "-seed=", 6) == 0) {
            seed = std::strtoull(arg + 6, nullptr, 10);
        } else if (std::strncmp(arg, "-max_len=", 9) == 0) {
            maxLen = std::strtoull(arg + 9, nullptr, 10);
        } else if (arg[0] == '-') {
            // a libFuzzer flag this driver does not use
        } else {
            std::filesystem::path path(arg);
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec)) {
                std::vector<std::filesystem::path> files;
                for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
                    if (entry.is_regular_file()) {
                        files.push_back(entry.path());
                    }
                }
                std::sort(files.begin(), files.end());
                for (const auto& file : files) {
                    Bytes b;
                    if (ReadFile(file, b)) {
                        corpus.push_back(std::move(b));
                    }
                }
            } else {
                Bytes b;
                if (!ReadFile(path, b)) {
                    std::fprintf(stderr, "cannot read %s\n", arg);
                    return 1;
                }
                corpus.push_back(std::move(b));
            }
        }
    }

    long long runs = 0;
    for (const Bytes& input : corpus) {
        RunOne(input);
        ++runs;
    }
    RunOne(Bytes{});
    ++runs;

    std::mt19937_64 rng(seed);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(maxSeconds);
    while ((maxRuns < 0 || runs < maxRuns) && std::chrono::steady_clock::now() < deadline) {
        for (int batch = 0; batch < 64; ++batch) {
            Bytes seedInput;
            if (!corpus.empty() && rng() % 8 != 0) {
                seedInput = corpus[rng() % corpus.size()];
            } else {
                seedInput.resize(rng() % 64);
                for (auto& c : seedInput) {
                    c = static_cast<uint8_t>(rng());
                }
            }
            RunOne(Mutate(seedInput, rng, maxLen));
            ++runs;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("Done %lld runs in %.0f second(s)\n", runs, seconds);
    return 0;
}
