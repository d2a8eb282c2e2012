/// @file
/// @brief PDUs: the packets a kvcmd transport carries. This is the interface a concrete transport
/// is written against (see kvcmd_trans.h).
///
/// PDU is a handle on a shared, reference-counted body: a channel number, a byte length and a
/// zero-filled byte buffer. Copying a handle shares the body (no bytes are copied); the body and
/// its buffer are freed when the last handle goes. Handles may be copied and dropped on different
/// threads; the bytes themselves are not guarded, so one thread at a time works on one body.
///
/// The null PDU (channel 0, length 0) exists once; a default-constructed handle refers to it, and
/// so does a handle that was moved from. It is never freed, so its handles are not counted. A
/// response PDU that still has channel 0 after a request means that no response came back.
///
/// All multi-byte fields are 16-bit little-endian words at byte offsets. Reading a word that does
/// not lie wholly inside the buffer gives 0; writing one is ignored. Only grow() (and the data
/// writers of the PS and memory PDUs, which call it) make a buffer longer.
///
/// KVCMD_PDU is a PDU of channel 2 with at least 18 bytes:
///
///   offset  field
///   0       type: 0 get request, 1 get response, 2 set request
///   2       length of the whole PDU in words (kept equal to byte length / 2 by the writers here)
///   4       sequence number (left to the transport)
///   6       varid: the command, fixed by each command class
///   8       status (responses): 0 ok, 1 no such varid, 2 too big, 3 no value, 4 bad PDU,
///           5 access denied, 6 read only, 7 write only, 8 error, 9 permission denied
///   10..15  payload words 0, 1 and 2 (meaning per command)
///   16...   value words (PS and memory commands)
///
/// A transport's transact(request, response) reads the request through these accessors and fills
/// the response by assigning it a new PDU, for example
///
///     response = PDU(KVCMD_PDU::CHANNEL, replyBytes, replyLength);
///
/// (assigning replaces the handle's body, so the shared null body is never written).
#pragma once

#include <keyward/export.h>

#include <cstdint>
#include <utility>

/// @cond INTERNAL
namespace keyward::detail {
struct PduInside;
}
/// @endcond

/// A handle on a shared, reference-counted PDU body (see the file description).
class KEYWARD_API PDU {
  public:
    /// A handle on the null PDU.
    PDU();
    /// A new body of `byteLength` zero bytes (a negative length counts as 0).
    PDU(int channel, int byteLength);
    /// The same, built in the body of `recycled` when no other handle shares that body and the
    /// bytes fit inside it, which saves an allocation; `recycled` is then left on the null PDU,
    /// otherwise it keeps its body.
    PDU(int channel, int byteLength, PDU&& recycled);
    /// A new body holding a copy of `byteLength` bytes.
    PDU(int channel, const uint8_t* bytes, int byteLength);
    /// Shares `other`'s body.
    PDU(const PDU& other);
    /// Shares `other`'s body; the old one is released.
    PDU& operator=(const PDU& other);
    /// Takes over the body; `other` is left on the null PDU.
    PDU(PDU&& other) noexcept;
    /// Takes over `other`'s body; `other` is left on the null PDU.
    PDU& operator=(PDU&& other) noexcept;
    /// Releases the body; the last handle frees it.
    virtual ~PDU();

    /// The channel number (2 for KVCMD; 0 on the null PDU).
    int channel() const;
    /// Byte length.
    int size() const;
    /// The bytes; null when the length is 0.
    const uint8_t* data() const;
    /// The bytes, writable; null when the length is 0. Every handle of the body sees the change.
    uint8_t* data();

    /// The 16-bit little-endian word at byte `offset`; 0 when it does not lie inside the buffer.
    uint16_t get_uint16(int offset) const;
    /// Writes the word at byte `offset`; ignored when it does not lie inside the buffer.
    void set_uint16(int offset, uint16_t value);

    /// Makes the buffer at least `byteLength` bytes long; new bytes are zero. Every handle of the
    /// body sees the longer buffer. A handle on the null PDU gets a body of its own instead.
    void grow(int byteLength);

    /// True when both handles share one body.
    bool shares_body(const PDU& other) const;
    /// Number of handles sharing this body; 0 on the null PDU, whose handles are not counted.
    int use_count() const;

    /// The null PDU of the library.
    static const PDU& null_pdu();

  protected:
    /// The shared body (channel, length, buffer, reference count).
    struct Body;
    /// This handle's body; never null.
    Body* mBody;

  private:
    /// keyward's own request path reads words without a call for each.
    friend struct keyward::detail::PduInside;

    /// The one body of the null PDU; never freed.
    KEYWARD_LOCAL static Body sNullBody;
    KEYWARD_LOCAL static Body* null_body();
    KEYWARD_LOCAL static void release(Body* body);
};

/// A packet-channel PDU; no fields of its own.
class KEYWARD_API PCPDU : public PDU {
  public:
    /// A handle on the null PDU.
    PCPDU() = default;
    /// A new body of `byteLength` zero bytes on `channel`.
    PCPDU(int channel, int byteLength) : PDU(channel, byteLength) {}
    /// The same, built in `recycled`'s body when it can lend it (see PDU).
    PCPDU(int channel, int byteLength, PDU&& recycled)
        : PDU(channel, byteLength, std::move(recycled)) {}
    /// Shares or takes over `other`'s body.
    explicit PCPDU(PDU other) : PDU(std::move(other)) {}

  protected:
    /// Tag of the constructors below.
    struct Adopting {};
    /// Shares `other`'s body.
    PCPDU(const PDU& other, Adopting) : PDU(other) {}
    /// Takes over `other`'s body.
    PCPDU(PDU&& other, Adopting) : PDU(std::move(other)) {}
};

/// A KVCMD PDU (channel 2); see the layout above.
class KEYWARD_API KVCMD_PDU : public PCPDU {
  public:
    /// The channel of every KVCMD PDU.
    static constexpr int CHANNEL = 2;
    /// The smallest KVCMD PDU: the header and three payload words.
    static constexpr int MIN_BYTES = 18;

    ///@{
    /// Byte offsets of the fields (see the file description).
    static constexpr int OFFSET_TYPE = 0;
    static constexpr int OFFSET_LENGTH = 2;
    static constexpr int OFFSET_SEQ_NO = 4;
    static constexpr int OFFSET_VARID = 6;
    static constexpr int OFFSET_STATUS = 8;
    static constexpr int OFFSET_PAYLOAD0 = 10;
    static constexpr int OFFSET_PAYLOAD1 = 12;
    static constexpr int OFFSET_PAYLOAD2 = 14;
    static constexpr int OFFSET_DATA = 16;
    ///@}

    ///@{
    /// Types: get request, get response, set request.
    static constexpr uint16_t TYPE_GET_REQ = 0;
    static constexpr uint16_t TYPE_GET_RESP = 1;
    static constexpr uint16_t TYPE_SET_REQ = 2;
    ///@}

    ///@{
    /// Statuses of a response (offset 8).
    static constexpr uint16_t STATUS_OK = 0;
    static constexpr uint16_t STATUS_NO_SUCH_VARID = 1;
    static constexpr uint16_t STATUS_TOO_BIG = 2;
    static constexpr uint16_t STATUS_NO_VALUE = 3;
    static constexpr uint16_t STATUS_BAD_PDU = 4;
    static constexpr uint16_t STATUS_ACCESS_DENIED = 5;
    static constexpr uint16_t STATUS_READ_ONLY = 6;
    static constexpr uint16_t STATUS_WRITE_ONLY = 7;
    static constexpr uint16_t STATUS_ERROR = 8;
    static constexpr uint16_t STATUS_PERMISSION_DENIED = 9;
    ///@}

    /// A new PDU of `varid` and `type`, `byteLength` bytes (at least 18), length field set. With
    /// `recycled`, built in its body when it can lend it (see PDU); so are the requests of the
    /// command classes below.
    KVCMD_PDU(uint16_t varid, uint16_t type, int byteLength = MIN_BYTES);
    /// The same, built in `recycled`'s body when it can lend it.
    KVCMD_PDU(uint16_t varid, uint16_t type, int byteLength, PDU&& recycled);
    /// A view sharing the body of a received PDU as it is (not grown, channel unchanged).
    explicit KVCMD_PDU(PDU received);

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_type() const { return get_uint16(OFFSET_TYPE); }
    void set_type(uint16_t type) { set_uint16(OFFSET_TYPE, type); }
    ///@}
    /// The length field, in words.
    uint16_t get_length() const { return get_uint16(OFFSET_LENGTH); }
    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_seq_no() const { return get_uint16(OFFSET_SEQ_NO); }
    void set_seq_no(uint16_t seq) { set_uint16(OFFSET_SEQ_NO, seq); }
    uint16_t get_varid() const { return get_uint16(OFFSET_VARID); }
    uint16_t get_status() const { return get_uint16(OFFSET_STATUS); }
    void set_status(uint16_t status) { set_uint16(OFFSET_STATUS, status); }
    ///@}

    /// Number of whole value words in the buffer from offset 16 on.
    int data_words() const;
    /// Copies min(`max`, data_words()) value words into `out`; returns how many.
    int get_data(uint16_t* out, int max) const;
    /// Grows the buffer to 16 + 2 x `count` bytes (at least 18), writes the words from offset
    /// 16 on and sets the length field to byte length / 2.
    void set_data(const uint16_t* words, int count);

  protected:
    /// Writes the type, varid and length fields.
    void write_header(uint16_t varid, uint16_t type);
    /// A view sharing `received`'s body.
    KVCMD_PDU(const PDU& received, Adopting) : PCPDU(received, Adopting{}) {}
    /// A view taking over `received`'s body.
    KVCMD_PDU(PDU&& received, Adopting) : PCPDU(std::move(received), Adopting{}) {}
};

/// PS get (type 0) and set (type 2), varid 0x7003. Payload: 10 key, 12 length in words,
/// 14 stores word; value words from 16.
class KEYWARD_API KVCMD_PS_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x7003;
    /// A request with room for `length` value words (16 + 2 x length bytes, at least 18).
    KVCMD_PS_PDU(uint16_t type, uint16_t key, uint16_t length, uint16_t stores,
                 PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PS_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PS_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    void set_key(uint16_t key) { set_uint16(OFFSET_PAYLOAD0, key); }
    uint16_t get_len() const { return get_uint16(OFFSET_PAYLOAD1); }
    void set_len(uint16_t length) { set_uint16(OFFSET_PAYLOAD1, length); }
    uint16_t get_stores() const { return get_uint16(OFFSET_PAYLOAD2); }
    void set_stores(uint16_t stores) { set_uint16(OFFSET_PAYLOAD2, stores); }
    ///@}
};

/// Next key present in the selected stores, varid 0x3005. Request 10 key, 12 stores word;
/// response 14 next key.
class KEYWARD_API KVCMD_PSNEXT_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x3005;
    /// A get request for the key after `key` in the stores `stores`.
    KVCMD_PSNEXT_PDU(uint16_t key, uint16_t stores, PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PSNEXT_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PSNEXT_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    uint16_t get_stores() const { return get_uint16(OFFSET_PAYLOAD1); }
    uint16_t get_next() const { return get_uint16(OFFSET_PAYLOAD2); }
    void set_next(uint16_t next) { set_uint16(OFFSET_PAYLOAD2, next); }
    ///@}
};

/// Next key present in any store, varid 0x3013. Request 10 key; response 12 next key (0: none).
class KEYWARD_API KVCMD_PSNEXT_ALL_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x3013;
    /// A get request for the key after `key` in any store.
    explicit KVCMD_PSNEXT_ALL_PDU(uint16_t key, PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PSNEXT_ALL_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PSNEXT_ALL_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    uint16_t get_next() const { return get_uint16(OFFSET_PAYLOAD1); }
    void set_next(uint16_t next) { set_uint16(OFFSET_PAYLOAD1, next); }
    ///@}
};

/// Size of a key, varid 0x3006. Request 10 key, 12 0, 14 stores word; response 10 key (0 when the
/// firmware does not know it), 12 size in words.
class KEYWARD_API KVCMD_PSSIZE_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x3006;
    /// A get request for the size of `key` in the stores `stores`.
    KVCMD_PSSIZE_PDU(uint16_t key, uint16_t stores, PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PSSIZE_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PSSIZE_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    void set_key(uint16_t key) { set_uint16(OFFSET_PAYLOAD0, key); }
    uint16_t get_size() const { return get_uint16(OFFSET_PAYLOAD1); }
    void set_size(uint16_t size) { set_uint16(OFFSET_PAYLOAD1, size); }
    uint16_t get_stores() const { return get_uint16(OFFSET_PAYLOAD2); }
    ///@}
};

/// Delete a key, varid 0x4818. Payload: 10 key.
class KEYWARD_API KVCMD_PSCLR_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x4818;
    /// A set request deleting `key`.
    explicit KVCMD_PSCLR_PDU(uint16_t key, PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PSCLR_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PSCLR_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    ///@}
};

/// Delete a key from the selected stores, varid 0x500C. Payload: 10 key, 12 stores word.
class KEYWARD_API KVCMD_PSCLRS_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x500C;
    /// A set request deleting `key` from the stores `stores`.
    KVCMD_PSCLRS_PDU(uint16_t key, uint16_t stores, PDU&& recycled = PDU());
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_PSCLRS_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_PSCLRS_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_key() const { return get_uint16(OFFSET_PAYLOAD0); }
    uint16_t get_stores() const { return get_uint16(OFFSET_PAYLOAD1); }
    ///@}
};

/// Copy the current keys into the factory settings, varid 0x000C. No payload.
class KEYWARD_API KVCMD_PS_FACTORY_SET_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x000C;
    /// The set request.
    KVCMD_PS_FACTORY_SET_PDU();
};

/// Restore the factory settings, varid 0x400D. No payload.
class KEYWARD_API KVCMD_PS_FACTORY_RESTORE_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x400D;
    /// The set request.
    KVCMD_PS_FACTORY_RESTORE_PDU();
};

/// Restore the factory settings of every key, varid 0x400E. No payload.
class KEYWARD_API KVCMD_PS_FACTORY_RESTORE_ALL_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x400E;
    /// The set request.
    KVCMD_PS_FACTORY_RESTORE_ALL_PDU();
};

/// Chip memory (memory space 4, word addresses), varid 0x1001. Payload: 10 address, 12 length in
/// words; data words from 16.
class KEYWARD_API KVCMD_MEMORY_PDU : public KVCMD_PDU {
  public:
    /// The command (varid) of this class.
    static constexpr uint16_t VARID = 0x1001;
    /// A request with room for `length` words (16 + 2 x length bytes, at least 18).
    KVCMD_MEMORY_PDU(uint16_t type, uint16_t address, uint16_t length);
    ///@{
    /// A view of a received PDU: shares (or takes over) its body as it is.
    explicit KVCMD_MEMORY_PDU(const PDU& received) : KVCMD_PDU(received, Adopting{}) {}
    explicit KVCMD_MEMORY_PDU(PDU&& received) : KVCMD_PDU(std::move(received), Adopting{}) {}
    ///@}

    ///@{
    /// Reads (get_) or writes (set_) the field of that name; offsets as in the class description.
    uint16_t get_address() const { return get_uint16(OFFSET_PAYLOAD0); }
    uint16_t get_len() const { return get_uint16(OFFSET_PAYLOAD1); }
    void set_len(uint16_t length) { set_uint16(OFFSET_PAYLOAD1, length); }
    ///@}
};
