// A host program with a transport of its own, built with pkg-config against keyward alone: the
// "chip" answers PS size and get requests for one key, through the public PDU interface.
#include <keyward/keyward.h>

#include <cstdio>

namespace {

class OneKeyTransport : public kvcmd_trans {
  public:
    bool read_mem(GenericPointer, uint16_t, uint16_t*) override { return false; }
    bool reset_kv(reset_t) override { return true; }
    bool reset_kv_and_close(reset_t) override { return close(); }
    bool get_firmware_id(int* const, uint16_t*, unsigned) override { return false; }
    bool is_layer_a_supported() override { return false; }
    bool get_slt(SlTable*&, bool) override { return false; }
    unsigned send_attempts() override { return 1; }
    bool open(int) override { return mOpen = true; }
    bool close() override {
        mOpen = false;
        return true;
    }
    bool is_open() override { return mOpen; }

    int transact(const PDU& request, PDU& response) override {
        const KVCMD_PDU in(request);
        KVCMD_PDU reply(in.get_varid(), KVCMD_PDU::TYPE_GET_RESP, 18);
        const uint16_t key = in.get_uint16(KVCMD_PDU::OFFSET_PAYLOAD0);
        reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD0, key);
        if (key != kKey) {
            reply.set_status(KVCMD_PDU::STATUS_ERROR);
        } else if (in.get_varid() == KVCMD_PSSIZE_PDU::VARID) {
            reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 1);
        } else if (in.get_varid() == KVCMD_PS_PDU::VARID) {
            reply.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 1);
            reply.set_uint16(KVCMD_PDU::OFFSET_DATA, 6);
        } else {
            reply.set_status(KVCMD_PDU::STATUS_NO_SUCH_VARID);
        }
        response = reply;
        return 0;
    }

    static constexpr uint16_t kKey = 0x01F9;

  private:
    bool mOpen = false;
};

}  // namespace

int main() {
    auto* transport = new OneKeyTransport;
    transport->open(0);  // this chip has no key list to discover
    PsKvcmd server(transport);
    CKeyWarder keys(&server);
    uint16_t value = 0;
    if (!keys.pskv_get_uint16(OneKeyTransport::kKey, value) || value != 6) {
        std::fprintf(stderr, "reading through a transport of our own failed\n");
        return 1;
    }
    return keys.pskv_get_uint16(0x0001, value) ? 1 : 0;
}
