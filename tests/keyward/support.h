// Shared by the keyward suites: a handler that records every report, a scripted transport for
// replies the simulated chip would never send, and a fixture that binds a server and a
// CKeyWarder to a simulated chip.
#pragma once

#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace keyward_test {

struct Report {
    std::wstring text;
    std::wstring caption;
    int code;
    int type;
};

// Records every report and answers with `reply` (or, when set, `answerFor`).
class RecordingHandler : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                      int type) override {
        reports.push_back(
            {text != nullptr ? text : L"", caption != nullptr ? caption : L"", code, type});
        return answerFor ? answerFor(reports.back()) : reply;
    }
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (const Report& r : reports) {
            texts.push_back(r.text);
        }
        return texts;
    }

    std::vector<Report> reports;
    kvcmd_trans_error_response reply = KVCMD_RESPONSE_NONE;
    std::function<kvcmd_trans_error_response(const Report&)> answerFor;
};

// A transport whose responses come from a function; it records the requests it was given.
class ScriptedTransport : public kvcmd_trans {
  public:
    using Script = std::function<int(const KVCMD_PDU& request, PDU& response)>;

    explicit ScriptedTransport(Script script) : mScript(std::move(script)) {}

    bool read_mem(GenericPointer, uint16_t, uint16_t*) override { return false; }
    bool reset_kv(reset_t) override { return true; }
    bool reset_kv_and_close(reset_t) override { return close(); }
    bool get_firmware_id(int* const, uint16_t*, unsigned) override { return false; }
    bool is_layer_a_supported() override { return false; }
    bool get_slt(SlTable*&, bool) override { return false; }
    unsigned send_attempts() override { return attempts; }
    bool open(int) override { return opened = openable; }
    bool close() override {
        opened = false;
        return true;
    }
    bool is_open() override { return opened; }
    int transact(const PDU& request, PDU& response) override {
        requests.emplace_back(request.data(), request.data() + request.size());
        return mScript(KVCMD_PDU(request), response);
    }

    std::vector<std::vector<uint8_t>> requests;
    unsigned attempts = 2;
    bool openable = true;
    bool opened = false;

  private:
    Script mScript;
};

// A response to `request` with `status` and the given payload words and data.
inline PDU Response(const KVCMD_PDU& request, uint16_t status, std::vector<uint16_t> payload = {},
                    std::vector<uint16_t> data = {}) {
    KVCMD_PDU reply(request.get_varid(), KVCMD_PDU::TYPE_GET_RESP,
                    KVCMD_PDU::OFFSET_DATA + 2 * static_cast<int>(data.size()));
    reply.set_status(status);
    for (size_t i = 0; i < payload.size() && i < 3; ++i) {
        reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0 + 2 * static_cast<int>(i), payload[i]);
    }
    for (size_t i = 0; i < data.size(); ++i) {
        reply.set_uint16(KVCMD_PDU::OFFSET_DATA + 2 * static_cast<int>(i), data[i]);
    }
    return reply;
}

// The words of a request as logged by the chip (little-endian pairs).
inline std::vector<uint16_t> Words(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return words;
}

// A simulated chip behind a PsKvcmd (or PsKvcmdRaw) and a CKeyWarder, with a recording handler.
class ChipTest : public ::testing::Test {
  protected:
    void SetUp() override { Bind(std::make_unique<PsKvcmd>(NewTransport())); }

    kvcmdsim::SimTransport* NewTransport() {
        transport = new kvcmdsim::SimTransport(chip);
        transport->set_error_handler(&handler);
        return transport;
    }
    void Bind(std::unique_ptr<PsKvcmd> bound) {
        server = std::move(bound);
        keys.SetServer(server.get());
    }
    // The requests the chip received since the last call, as words.
    std::vector<std::vector<uint16_t>> TakeRequests() {
        std::vector<std::vector<uint16_t>> taken;
        const auto log = chip->RequestLog();
        for (size_t i = seen; i < log.size(); ++i) {
            taken.push_back(Words(log[i]));
        }
        seen = log.size();
        return taken;
    }
    // Opens the server and forgets the requests and counts of opening.
    void Open() {
        ASSERT_TRUE(server->open());
        chip->ResetCounters();
        seen = 0;
        handler.reports.clear();
    }

    std::shared_ptr<kvcmdsim::SimChip> chip = std::make_shared<kvcmdsim::SimChip>();
    RecordingHandler handler;
    kvcmdsim::SimTransport* transport = nullptr;  // owned by the server
    std::unique_ptr<PsKvcmd> server;
    CKeyWarder keys;
    size_t seen = 0;
};

}  // namespace keyward_test
