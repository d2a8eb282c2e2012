// Untrusted bytes reaching keyward and the simulated chip. The first byte chooses what the rest
// is:
//   0: the replies of a chip, one per request: a transact result byte, a length byte and that
//      many reply bytes. Every server operation and typed accessor runs against them, memory
//      reads and key discovery included.
//   1: a chip image's text.
//   2: requests to the simulated chip, each a length byte and that many bytes.
#include <keyward/keyward.h>
#include <kvcmdsim/kvcmdsim.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// A transport whose replies are read from the fuzz input.
class ReplayTransport : public kvcmd_trans {
  public:
    ReplayTransport(const uint8_t* data, size_t size) : mData(data), mSize(size), mTable(this) {
        mTable.set_header_retry_wait(std::chrono::milliseconds(0));  // replies come at once
    }

    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override {
        if (where.space != 4 || where.address % 2 != 0) {
            return false;
        }
        const KVCMD_MEMORY_PDU response(run_pdu_report_errs(KVCMD_MEMORY_PDU(
            KVCMD_PDU::TYPE_GET_REQ, static_cast<uint16_t>(where.address / 2), length)));
        if (response.channel() == 0 || response.get_status() != 0 ||
            response.data_words() < length) {
            return false;
        }
        response.get_data(out, length);
        return true;
    }
    bool reset_kv(reset_t) override { return true; }
    bool reset_kv_and_close(reset_t) override { return close(); }
    bool get_firmware_id(int* const, uint16_t*, unsigned) override { return false; }
    bool is_layer_a_supported() override { return false; }
    bool get_slt(SlTable*& table, bool refresh) override {
        if (refresh) {
            mTable.clear();
        }
        table = &mTable;
        return true;
    }
    unsigned send_attempts() override { return 2; }
    bool open(int) override { return mOpen = mPosition < mSize; }
    bool close() override {
        mOpen = false;
        return true;
    }
    bool is_open() override { return mOpen; }
    int transact(const PDU&, PDU& response) override {
        if (mPosition + 2 > mSize) {
            mOpen = false;
            return 1;
        }
        const int result = mData[mPosition] % 4 == 3 ? 2 : 0;
        const size_t length = std::min<size_t>(mData[mPosition + 1], mSize - mPosition - 2);
        const uint8_t* reply = mData + mPosition + 2;
        mPosition += 2 + length;
        if (result == 0) {
            response = PDU(KVCMD_PDU::CHANNEL, reply, static_cast<int>(length));
        }
        return result;
    }

  private:
    const uint8_t* mData;
    size_t mSize;
    size_t mPosition = 0;
    bool mOpen = false;
    SlTable mTable;
};

// Answers some reports with a retry and the rest with "go on", so that every path gets its turn.
// Retries are limited: a handler that always asks to retry is asking for an endless loop.
class RetryingHandler : public kvcmd_trans_error_handler {
  public:
    kvcmd_trans_error_response answer(const wchar_t*, const wchar_t*, int, int) override {
        ++mAnswers;
        return mAnswers % 3 == 0 && mAnswers < 30 ? KVCMD_RESPONSE_RETRY : KVCMD_RESPONSE_IGNORE;
    }

  private:
    int mAnswers = 0;
};

void Replies(const uint8_t* data, size_t size) {
    RetryingHandler handler;
    auto* transport = new ReplayTransport(data, size);
    transport->set_error_handler(&handler);
    PsKvcmd server(transport);
    CKeyWarder keys(&server);
    uint16_t words[CKeyWarder::LOCAL_NAME_BUFFER_WORDS] = {};
    uint16_t length = 0;
    uint16_t value = 0;
    uint32_t wide = 0;
    try {
        server.open();
        server.pskv_get(0x01F9, words, 4, &length, false);
        server.pskv_size(0x0191, &length, true);
        server.pskv_next(0, &value, false);
        server.pskv_next_all(0, &value);
        server.pskv_known_key(0x0205, false);
        server.read_mem(GenericPointer{4, 0x200}, 60, words);
        keys.pskv_get_uint16(0x01F9, value);
        keys.pskv_get_uint32(0x01EA, wide);
        keys.pskv_get_uint16(0x03FC, value);  // a presentation key
        keys.pskv_set_uint16(0x0205, 6);
        keys.pskv_get_raw(0x028A, words, 3, &length);
        keys.pskv_get_raw(0x028A, words, 0, &length);
        uint16_t* allocated = nullptr;
        keys.pskv_get_pres_or_raw(0x028A, &allocated, 0, &length);
        delete[] allocated;
        const uint16_t value3[] = {1, 2, 3};
        keys.pskv_set_pres_or_raw_if_different(0x028A, value3, 3);
        keys.get_fragmented_string(0x00DC, words, length);
        keys.key_known(0x0205);
    } catch (kvcmd_trans_exception* e) {
        delete e;
    }
}

void Image(const uint8_t* data, size_t size) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    if (!chip->LoadText(std::string(reinterpret_cast<const char*>(data), size))) {
        return;
    }
    auto* transport = new kvcmdsim::SimTransport(chip);
    PsKvcmd server(transport);
    // The simulated chip answers at once: its lookup table needs no pause between attempts.
    SlTable* table = nullptr;
    if (transport->open(0) && transport->get_slt(table, false)) {
        table->set_header_retry_wait(std::chrono::milliseconds(0));
    }
    CKeyWarder keys(&server);
    uint16_t value = 0;
    keys.pskv_get_uint16(0x01F9, value);
    keys.pskv_set_uint16(0x0205, 6);
}

void Requests(const uint8_t* data, size_t size) {
    auto chip = std::make_shared<kvcmdsim::SimChip>();
    kvcmdsim::SimTransport transport(chip);
    transport.open(0);
    for (size_t position = 0; position < size;) {
        const size_t length = std::min<size_t>(data[position], size - position - 1);
        PDU response;
        chip->Exchange(PDU(KVCMD_PDU::CHANNEL, data + position + 1, static_cast<int>(length)),
                       response);
        position += 1 + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    switch (data[0] % 3) {
        case 0:
            Replies(data + 1, size - 1);
            break;
        case 1:
            Image(data + 1, size - 1);
            break;
        default:
            Requests(data + 1, size - 1);
            break;
    }
    return 0;
}
