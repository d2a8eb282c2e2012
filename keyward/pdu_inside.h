// Inside a PDU handle, for keyward's own code: the body behind every handle, and word and
// channel reads that compile to a few instructions where the library's request path reads a
// response (type, status and payload of each of thousands of requests). Not installed: the body
// is not part of the library's interface.
#pragma once

#include <keyward/pdu.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
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

    constexpr Body(int channelNumber, int byteLength)
        : channel(channelNumber),
          length(std::max(byteLength, 0)),
          bytes(length == 0              ? nullptr
                : length <= INLINE_BYTES ? inlineBytes
                                         : new uint8_t[length]()),
          references(1) {}
    // No destructor of its own, so that the null body needs none: release() frees the bytes.
    void FreeBytes() {
        if (bytes != inlineBytes) {
            delete[] bytes;
        }
    }
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;

    // A body that only one handle holds, with its bytes inside, can be built anew in place:
    // Reusable() tells whether `byteLength` bytes fit, Renew() makes it as new.
    bool Reusable(int byteLength) const {
        return bytes == inlineBytes && byteLength > 0 && byteLength <= INLINE_BYTES &&
               references.load(std::memory_order_acquire) == 1;
    }
    void Renew(int channelNumber, int byteLength) {
        channel = channelNumber;
        length = byteLength;
        std::memset(inlineBytes, 0, sizeof inlineBytes);
    }
};

namespace keyward::detail {

struct PduInside {
    static const PDU::Body& BodyOf(const PDU& pdu) { return *pdu.mBody; }
};

// A word lies inside when offset + 2 <= length; taken as unsigned, a negative offset is larger
// than any length, so one comparison checks both ends.
inline bool WordInside(int offset, int length) {
    return static_cast<uint64_t>(static_cast<uint32_t>(offset)) + 2 <=
           static_cast<uint64_t>(length);
}

// What PDU::get_uint16 reads: the little-endian word at byte `offset`, 0 outside the buffer.
inline uint16_t Word(const PDU& pdu, int offset) {
    const auto& body = PduInside::BodyOf(pdu);
    if (!WordInside(offset, body.length)) {
        return 0;
    }
    return static_cast<uint16_t>(body.bytes[offset] | (body.bytes[offset + 1] << 8));
}

// What PDU::channel reads; 0 for the null PDU, that is when no response came back.
inline int Channel(const PDU& pdu) {
    return PduInside::BodyOf(pdu).channel;
}

}  // namespace keyward::detail
