#include "pdu_inside.h"

#include <keyward/pdu.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

// Made before any code runs (constant initialisation), so PDUs made by other libraries' static
// objects find it, and testing for it is one comparison.
constinit PDU::Body PDU::sNullBody(0, 0);

PDU::Body* PDU::null_body() {
    return &sNullBody;
}

// Drops one handle's claim on `body`. A handle that finds itself the only one frees the body
// without the atomic decrement: no other handle exists that could copy it meanwhile.
void PDU::release(Body* body) {
    if (body == null_body()) {
        return;  // never freed, so never counted
    }
    if (body->references.load(std::memory_order_acquire) == 1 ||
        body->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        body->FreeBytes();
        delete body;
    }
}

PDU::PDU() : mBody(null_body()) {}

PDU::PDU(int channel, int byteLength) : mBody(new Body(channel, byteLength)) {}

PDU::PDU(int channel, int byteLength, PDU&& recycled) : mBody(nullptr) {
    if (recycled.mBody != null_body() && recycled.mBody->Reusable(byteLength)) {
        mBody = std::exchange(recycled.mBody, null_body());
        mBody->Renew(channel, byteLength);
    } else {
        mBody = new Body(channel, byteLength);
    }
}

PDU::PDU(int channel, const uint8_t* bytes, int byteLength) : mBody(new Body(channel, byteLength)) {
    if (bytes != nullptr && mBody->length > 0) {
        std::memcpy(mBody->bytes, bytes, static_cast<size_t>(mBody->length));
    }
}

PDU::PDU(const PDU& other) : mBody(other.mBody) {
    if (mBody != null_body()) {
        mBody->references.fetch_add(1, std::memory_order_relaxed);
    }
}

PDU::PDU(PDU&& other) noexcept : mBody(other.mBody) {
    other.mBody = null_body();
}

PDU& PDU::operator=(const PDU& other) {
    if (other.mBody != null_body()) {
        other.mBody->references.fetch_add(1, std::memory_order_relaxed);
    }
    Body* old = mBody;
    mBody = other.mBody;
    release(old);
    return *this;
}

PDU& PDU::operator=(PDU&& other) noexcept {
    std::swap(mBody, other.mBody);  // `other` drops this handle's old body when it goes
    return *this;
}

PDU::~PDU() {
    release(mBody);
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
    return keyward::detail::Word(*this, offset);
}

void PDU::set_uint16(int offset, uint16_t value) {
    if (!keyward::detail::WordInside(offset, mBody->length)) {
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
        mBody = new Body(0, byteLength);
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
    return mBody == null_body() ? 0 : mBody->references.load(std::memory_order_relaxed);
}

const PDU& PDU::null_pdu() {
    static const PDU* nullPdu = new PDU();
    return *nullPdu;
}

KVCMD_PDU::KVCMD_PDU(uint16_t varid, uint16_t type, int byteLength)
    : PCPDU(CHANNEL, std::max(byteLength, MIN_BYTES)) {
    write_header(varid, type);
}

KVCMD_PDU::KVCMD_PDU(uint16_t varid, uint16_t type, int byteLength, PDU&& recycled)
    : PCPDU(CHANNEL, std::max(byteLength, MIN_BYTES), std::move(recycled)) {
    write_header(varid, type);
}

namespace {

// Writes a word of the header or payload of a KVCMD PDU being built, which has room for them
// (at least 18 bytes): without the bounds check of set_uint16, as every request pays for these.
void PutWord(PDU& pdu, int offset, uint16_t value) {
    uint8_t* bytes = pdu.data() + offset;
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

void KVCMD_PDU::write_header(uint16_t varid, uint16_t type) {
    PutWord(*this, OFFSET_TYPE, type);
    PutWord(*this, OFFSET_LENGTH, static_cast<uint16_t>(size() / 2));
    PutWord(*this, OFFSET_VARID, varid);
}

KVCMD_PDU::KVCMD_PDU(PDU received) : PCPDU(std::move(received)) {}

int KVCMD_PDU::data_words() const {
    return size() > OFFSET_DATA ? (size() - OFFSET_DATA) / 2 : 0;
}

// Value words go straight between the words and the bytes, low byte first, once the count is
// known to fit: a long key is thousands of words, too many for one bounds check each. On a
// little-endian host the two layouts are the same bytes.
int KVCMD_PDU::get_data(uint16_t* out, int max) const {
    const int count = std::min(std::max(max, 0), data_words());
    const uint8_t* bytes = count > 0 ? data() + OFFSET_DATA : nullptr;
    if constexpr (std::endian::native == std::endian::little) {
        if (count > 0) {
            std::memcpy(out, bytes, 2 * static_cast<size_t>(count));
        }
    } else {
        for (int i = 0; i < count; ++i) {
            out[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
    }
    return count;
}

void KVCMD_PDU::set_data(const uint16_t* words, int count) {
    count = std::max(count, 0);
    grow(std::max(OFFSET_DATA + 2 * count, MIN_BYTES));
    uint8_t* bytes = data() + OFFSET_DATA;
    if constexpr (std::endian::native == std::endian::little) {
        if (count > 0) {
            std::memcpy(bytes, words, 2 * static_cast<size_t>(count));
        }
    } else {
        for (int i = 0; i < count; ++i) {
            bytes[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
        }
    }
    PutWord(*this, OFFSET_LENGTH, static_cast<uint16_t>(size() / 2));
}

namespace {

int RoomFor(uint16_t words) {
    return KVCMD_PDU::OFFSET_DATA + 2 * static_cast<int>(words);
}

}  // namespace

KVCMD_PS_PDU::KVCMD_PS_PDU(uint16_t type, uint16_t key, uint16_t length, uint16_t stores,
                           PDU&& recycled)
    : KVCMD_PDU(VARID, type, RoomFor(length), std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
    PutWord(*this, OFFSET_PAYLOAD1, length);
    PutWord(*this, OFFSET_PAYLOAD2, stores);
}

KVCMD_PSNEXT_PDU::KVCMD_PSNEXT_PDU(uint16_t key, uint16_t stores, PDU&& recycled)
    : KVCMD_PDU(VARID, TYPE_GET_REQ, MIN_BYTES, std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
    PutWord(*this, OFFSET_PAYLOAD1, stores);
}

KVCMD_PSNEXT_ALL_PDU::KVCMD_PSNEXT_ALL_PDU(uint16_t key, PDU&& recycled)
    : KVCMD_PDU(VARID, TYPE_GET_REQ, MIN_BYTES, std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
}

KVCMD_PSSIZE_PDU::KVCMD_PSSIZE_PDU(uint16_t key, uint16_t stores, PDU&& recycled)
    : KVCMD_PDU(VARID, TYPE_GET_REQ, MIN_BYTES, std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
    PutWord(*this, OFFSET_PAYLOAD2, stores);
}

KVCMD_PSCLR_PDU::KVCMD_PSCLR_PDU(uint16_t key, PDU&& recycled)
    : KVCMD_PDU(VARID, TYPE_SET_REQ, MIN_BYTES, std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
}

KVCMD_PSCLRS_PDU::KVCMD_PSCLRS_PDU(uint16_t key, uint16_t stores, PDU&& recycled)
    : KVCMD_PDU(VARID, TYPE_SET_REQ, MIN_BYTES, std::move(recycled)) {
    PutWord(*this, OFFSET_PAYLOAD0, key);
    PutWord(*this, OFFSET_PAYLOAD1, stores);
}

KVCMD_PS_FACTORY_SET_PDU::KVCMD_PS_FACTORY_SET_PDU() : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_PS_FACTORY_RESTORE_PDU::KVCMD_PS_FACTORY_RESTORE_PDU() : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_PS_FACTORY_RESTORE_ALL_PDU::KVCMD_PS_FACTORY_RESTORE_ALL_PDU()
    : KVCMD_PDU(VARID, TYPE_SET_REQ) {}

KVCMD_MEMORY_PDU::KVCMD_MEMORY_PDU(uint16_t type, uint16_t address, uint16_t length)
    : KVCMD_PDU(VARID, type, RoomFor(length)) {
    PutWord(*this, OFFSET_PAYLOAD0, address);
    PutWord(*this, OFFSET_PAYLOAD1, length);
}
