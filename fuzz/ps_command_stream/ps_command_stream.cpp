// Arbitrary bytes run as a PS command stream against a simulated chip. The first byte chooses
// how: bit 7 clear runs the text as given (applied lines, with queries from the first '?' line
// on), bit 7 set runs it as a query stream; bit 0 chooses the output form, and the byte as a
// whole how the error handler answers, so that stops, repeats and accepted failures all get
// their turn. One run an input keeps each input's work to one pass over its lines.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace {

// Opens the line interpreter to the fuzzer.
class StreamKeys : public CKeyWarder {
  public:
    using CKeyWarder::RunCommandStream;
};

// Answers from a pattern chosen by the input. Repeats are limited: a handler that always asks
// to repeat a failing line is asking for an endless run.
class PatternHandler : public kvcmd_trans_error_handler {
  public:
    void Start(uint8_t pattern) {
        mPattern = pattern;
        mAnswers = 0;
        mRetries = 0;
    }
    kvcmd_trans_error_response answer(const wchar_t*, const wchar_t*, int, int type) override {
        ++mAnswers;
        kvcmd_trans_error_response response = (mPattern >> (mAnswers % 4 * 2)) & 3;
        if (type == -1 && response == KVCMD_RESPONSE_ABORT) {
            response = KVCMD_RESPONSE_NONE;
        }
        if (response == KVCMD_RESPONSE_RETRY && ++mRetries > 8) {
            response = KVCMD_RESPONSE_IGNORE;
        }
        if (response == KVCMD_RESPONSE_IGNORE && mAnswers % 5 == 0) {
            response = KVCMD_RESPONSE_ACCEPT;
        }
        return response;
    }

  private:
    uint8_t mPattern = 0;
    int mAnswers = 0;
    int mRetries = 0;
};

struct Bench {
    Bench() : chip(std::make_shared<kvcmdsim::SimChip>()) {
        auto* transport = new kvcmdsim::SimTransport(chip);
        transport->set_error_handler(&handler);
        server = std::make_unique<PsKvcmd>(transport);
        keys.SetServer(server.get());
    }
    // The same few keys before every input: plain, two-word, user and a presentation base key.
    void Reset() {
        for (uint16_t store :
             {kvcmdsim::STORE_IMPLEMENTATION, kvcmdsim::STORE_FACTORY, kvcmdsim::STORE_TRANSIENT}) {
            chip->ClearStore(store);
        }
        chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x01F9, {3});
        chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x01EA, {0x0001, 0xC200});
        chip->SetKey(kvcmdsim::STORE_IMPLEMENTATION, 0x028A, {1, 2, 3});
        chip->SetKey(kvcmdsim::STORE_FACTORY, 0x0191, {0, 6, 0, 0, 0, 0, 0, 0, 0, 0});
        server->clear_cancel();
        // The chip's request log and counters would grow from input to input, and libFuzzer
        // runs a whole leak search after every input that ends with more memory than it began.
        chip->ResetCounters();
    }

    PatternHandler handler;
    std::shared_ptr<kvcmdsim::SimChip> chip;
    std::unique_ptr<PsKvcmd> server;
    StreamKeys keys;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static Bench bench;
    bench.Reset();
    const FileFormat format = (data[0] & 1) != 0 ? PS_FILE_ANNOTATED : PS_FILE_PLAIN;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    bench.handler.Start(data[0]);
    // A first query line switches the stream into query mode, so every later line is a query.
    std::istringstream lines((data[0] & 0x80) != 0 ? "?0001 =\n" + text : text);
    std::ostringstream answers;
    bench.keys.RunCommandStream(lines, answers, format);
    // The chip goes back to the keys it started with and the handler forgets its last error
    // text, so an input frees as much as it takes: libFuzzer runs an input again, and then
    // searches for leaks, whenever it ends with more allocations than frees.
    bench.Reset();
    bench.handler.reset();
    return 0;
}
