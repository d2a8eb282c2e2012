#include <keyward/pdu.h>

#include <algorithm>
#include <atomic>
#include <cstring>

struct PDU::Body {
    // Most PDUs are a header and a few words: they keep their bytes in the body itself, which
    // saves an allocation for every request and response.
    static constexpr int INLINE_BYTES = 32;

    int channel;
    int length;
    uint8_t* bytes;
    std::atomic<int> references;
    uint8_t inlineBytes[INLINE_BYTES] = {};

    Body(int channelNumber, int byteLength)
        : channel(channelNumber),
          length(std::max(byteLength, 0)),
          bytes(length == 0              ? nullptr
                : length <= INLINE_BYTES ? inlineBytes
                                         : new uint8_t[length]()),
          references(1) {}
    ~Body() { FreeBytes(); }
    void FreeBytes() {
        if (bytes != inlineBytes) {
            delete[] bytes;
        }
    }
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
};

PDU::Body* PDU::null_body() {
    static Body* body = new Body(0, 0);
    return body;
}

PDU::PDU() : mBody(null_body()) {
    mBody->references.fetch_add(1, std::memory_order_relaxed);
}

PDU::PDU(int channel, int byteLength) : mBody(new Body(channel, byteLength)) {}

PDU::PDU(int channel, const uint8_t* bytes, int byteLength) : mBody(new Body(channel, byteLength)) {
    if (bytes != nullptr && mBody->length > 0) {
        std::memcpy(mBody->bytes, bytes, static_cast<size_t>(mBody->length));
    }
}

PDU::PDU(const PDU& other) : mBody(other.mBody) {
    mBody->references.fetch_add(1, std::memory_order_relaxed);
}

PDU& PDU::operator=(const PDU& other) {
    other.mBody->references.fetch_add(1, std::memory_order_relaxed);
    Body* old = mBody;
    mBody = other.mBody;
    if (old->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete old;
    }
    return *this;
}

PDU::~PDU() {
    if (mBody->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete mBody;
    }
}

int PDU::channel() const {
    return mBody->channel;
}

int PDU::size() const {
    return mBody->length;
}

const uint8_t* PDU::data() const {
    return mBody->bytes;
}

uint8_t* PDU::data() {
    return mBody->bytes;
}

uint16_t PDU::get_uint16(int offset) const {
    if (offset < 0 || offset > mBody->length - 2) {
        return 0;
    }
    return static_cast<uint16_t>(mBody->bytes[offset] | (mBody->bytes[offset + 1] << 8));
}

void PDU::set_uint16(int offset, uint16_t value) {
    if (offset < 0 || offset > mBody->length - 2) {
        return;
    }
    mBody->bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    mBody->bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PDU::grow(int byteLength) {
    if (byteLength <= mBody->length) {
        return;
    }
    if (mBody == null_body()) {
        Body* own = new Body(0, byteLength);
        mBody->references.fetch_sub(1, std::memory_order_acq_rel);
        mBody = own;
        return;
    }
    uint8_t* bytes = new uint8_t[byteLength]();
    if (mBody->length > 0) {
        std::memcpy(bytes, mBody->bytes, static_cast<size_t>(mBody->length));
    }
    mBody->FreeBytes();
    mBody->bytes = bytes;
    mBody->length = byteLength;
}

bool PDU::shares_body(const PDU& other) const {
    return mBody == other.mBody;
}

int PDU::use_count() const {
    return mBody->references.load(std::memory_order_relaxed);
}

const PDU& PDU::null_pdu() {
    static const PDU* nullPdu = new PDU();
    return *nullPdu;
}

KVCMD_PDU::KVCMD_PDU(uint16_t varid, uint16_t type, int byteLength)
    : PCPDU(CHANNEL, std::max(byteLength, MIN_BYTES)) {
    set_uint16(OFFSET_TYPE, type);
    set_uint16(OFFSET_LENGTH, static_cast<uint16_t>(size() / 2));
    set_uint16(OFFSET_VARID, varid);
}

KVCMD_PDU::KVCMD_PDU(const PDU& received) : PCPDU(received) {}

int KVCMD_PDU::data_words() const {
    return size() > OFFSET_DATA ? (size() - OFFSET_DATA) / 2 : 0;
}

int KVCMD_PDU::get_data(uint16_t* out, int max) const {
    const int count = std::min(std::max(max, 0), data_words());
    for (int i = 0; i < count; ++i) {
        out[i] = get_uint16(OFFSET_DATA + 2 * i);
    }
    return count;
}

void KVCMD_PDU::write_data(const uint16_t* words, int count) {
    count = std::max(count, 0);
    grow(std::max(OFFSET_DATA + 2 * count, MIN_BYTES));
    for (int i = 0; i < count; ++i) {
        set_uint16(OFFSET_DATA + 2 * i, words[i]);
    }
    set_uint16(OFFSET_LENGTH, static_cast<uint16_t>(size() / 2));
}

namespace {

int RoomFor(uint16_t words) {
    return KVCMD_PDU::OFFSET_DATA + 2 * static_cast<int>(words);
}

}  // namespace

KVCMD_PS_PDU::KVCMD_PS_PDU(uint16_t type, uint16_t key, uint16_t length, uint16_t stores)
    : KVCMD_PDU(VARID, type, RoomFor(length)) {
    set_key(key);
    set_len(length);
    set_stores(stores);
}

KVCMD_PSNEXT_PDU::KVCMD_PSNEXT_PDU(uint16_t key, uint16_t stores) : KVCMD_PDU(VARID, TYPE_GET_REQ) {
    set_uint16(OFFSET_PAYLOAD0, key);
    set_uint16(OFFSET_PAYLOAD1, stores);
}

KVCMD_PSNEXT_ALL_PDU::KVCMD_PSNEXT_ALL_PDU(uint16_t key) : KVCMD_PDU(VARID, TYPE_GET_REQ) {
    set_uint16(OFFSET_PAYLOAD0, key);
}

KVCMD_PSSIZE_PDU::KVCMD_PSSIZE_PDU(uint16_t key, uint16_t stores) : KVCMD_PDU(VARID, TYPE_GET_REQ) {
    set_uint16(OFFSET_PAYLOAD0, key);
    set_uint16(OFFSET_PAYLOAD2, stores);
}

KVCMD_PSCLR_PDU::KVCMD_PSCLR_PDU(uint16_t key) : KVCMD_PDU(VARID, TYPE_SET_REQ) {
    set_uint16(OFFSET_PAYLOAD0, key);
}

KVCMD_PSCLRS_PDU::KVCMD_PSCLRS_PDU(uint16_t key, uint16_t stores) : KVCMD_PDU(VARID, TYPE_SET_REQ) {
    set_uint16(OFFSET_PAYLOAD0, key);
    set_uint16(OFFSET_PAYLOAD1, stores);
}

KVCMD_PS_FACTORY_SET_PDU::KVCMD_PS_FACTORY_SET_PDU() : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_PS_FACTORY_RESTORE_PDU::KVCMD_PS_FACTORY_RESTORE_PDU() : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_PS_FACTORY_RESTORE_ALL_PDU::KVCMD_PS_FACTORY_RESTORE_ALL_PDU()
    : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_MEMORY_PDU::KVCMD_MEMORY_PDU(uint16_t type, uint16_t address, uint16_t length)
    : KVCMD_PDU(VARID, type, RoomFor(length)) {
    set_uint16(OFFSET_PAYLOAD0, address);
    set_uint16(OFFSET_PAYLOAD1, length);
}
