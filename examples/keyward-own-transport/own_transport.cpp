// A host tool's own KVCMD transport: the part that moves PDUs to a chip and back, written
// against keyward's PDU interface. This one keeps the "chip" in memory, a map of PS keys that
// answers PS size, get, set, delete and next-key requests, so the example needs nothing but
// keyward; a real one would send the request bytes over USB, a serial link or a test interface
// and build the response from the bytes that come back.
#include <keyward/keyward.h>

#include <cstdio>
#include <map>
#include <vector>

namespace {

class MemoryTransport : public kvcmd_trans {
  public:
    // The link: this chip is always there.
    bool open(int) override { return mOpen = true; }
    bool close() override {
        mOpen = false;
        return true;
    }
    bool is_open() override { return mOpen; }
    unsigned send_attempts() override { return 2; }
    bool reset_kv(reset_t) override { return true; }
    bool reset_kv_and_close(reset_t) override { return close(); }
    // No chip memory, no firmware id, no lookup table: keyward then learns the keys the chip
    // holds by walking them with next-key requests.
    bool read_mem(GenericPointer, uint16_t, uint16_t*) override { return false; }
    bool get_firmware_id(int* const, uint16_t*, unsigned) override { return false; }
    bool is_layer_a_supported() override { return false; }
    bool get_slt(SlTable*&, bool) override { return false; }

    // One request, one response. 0: a response came back.
    int transact(const PDU& request, PDU& response) override {
        if (!mOpen) {
            return 1;
        }
        const KVCMD_PDU in(request);
        const uint16_t key = in.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD0);
        auto found = mKeys.find(key);
        std::vector<uint16_t> words;  // value words of the response
        uint16_t status = KVCMD_PDU::STATUS_OK;
        KVCMD_PDU reply(in.get_varid(), KVCMD_PDU::TYPE_GET_RESP);
        reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0, key);
        switch (in.get_varid()) {
            case KVCMD_PSSIZE_PDU::VARID:
                if (found == mKeys.end()) {
                    status = KVCMD_PDU::STATUS_NO_VALUE;
                } else {
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1,
                                     static_cast<uint16_t>(found->second.size()));
                }
                break;
            case KVCMD_PS_PDU::VARID:
                if (in.get_type() == KVCMD_PDU::TYPE_SET_REQ) {
                    std::vector<uint16_t> value(in.data_words());
                    in.get_data(value.data(), static_cast<int>(value.size()));
                    value.resize(in.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD1));
                    mKeys[key] = value;
                } else if (found == mKeys.end()) {
                    status = KVCMD_PDU::STATUS_NO_VALUE;
                } else {
                    words = found->second;
                    reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1,
                                     static_cast<uint16_t>(words.size()));
                }
                break;
            case KVCMD_PSCLR_PDU::VARID:
                mKeys.erase(key);
                break;
            case KVCMD_PSNEXT_ALL_PDU::VARID: {
                auto next = mKeys.upper_bound(key);
                reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, next == mKeys.end() ? 0 : next->first);
                break;
            }
            case KVCMD_MEMORY_PDU::VARID:
                status = KVCMD_PDU::STATUS_ACCESS_DENIED;  // memory reads are locked
                break;
            default:
                status = KVCMD_PDU::STATUS_NO_SUCH_VARID;
        }
        reply.set_status(status);
        if (!words.empty()) {
            reply.set_data(words.data(), static_cast<int>(words.size()));
        }
        response = reply;  // assigning replaces the handle's body
        return 0;
    }

  private:
    bool mOpen = false;
    std::map<uint16_t, std::vector<uint16_t>> mKeys{{0x01F9, {2}}, {0x028A, {1, 2, 3}}};
};

}  // namespace

int main() {
    PsKvcmd server(new MemoryTransport);  // made with new: the server destroys it
    if (!server.open()) {                 // connects and walks the keys the chip holds
        const wchar_t* why = server.get_error_handler()->get_last_error_text();
        std::fprintf(stderr, "open failed: %ls\n", why != nullptr ? why : L"(no report)");
        return 1;
    }
    CKeyWarder keys(&server);
    for (uint16_t key = server.key_next(0); key != 0; key = server.key_next(key)) {
        uint16_t words[8];
        uint16_t length = 0;
        if (!keys.pskv_get_raw(key, words, 8, &length)) {
            return 1;
        }
        std::printf("key 0x%04x holds %u word(s), the first 0x%04x\n", key, length, words[0]);
    }
    uint16_t value = 0;
    if (!keys.pskv_set_uint16(0x01F9, 3) || !keys.pskv_get_uint16(0x01F9, value) || value != 3) {
        return 1;
    }
    // A key the chip does not hold: false, and the handler says why.
    if (keys.pskv_get_uint16(0x0001, value)) {
        return 1;
    }
    std::printf("reading an absent key: %ls\n", keys.GetErrorHandler()->get_last_error_text());
    return 0;
}
