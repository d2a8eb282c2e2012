/// @file
/// @brief PsKvcmd and PsKvcmdRaw: the PS servers that reach a chip's persistent store over KVCMD
/// through a kvcmd_trans.
///
/// A PsKvcmd owns its transport and destroys it with itself. Copies refer to the same transport;
/// the last copy that still owns it destroys it. SetTrans() hands the old transport back to the
/// caller (nobody destroys it any more) and takes ownership of the new one.
///
/// Every PS operation first resets the record of the error handler, opens the transport when it is
/// closed (returning false with nothing sent when that fails), sends one request through
/// kvcmd_trans::run_pdu_report_errs and reads the response. open() connects and learns the chip's
/// known keys: it reads the firmware's key list from chip memory, or walks the keys with
/// pskv_next_all when the chip refuses memory reads.
///
/// Except for pskv_size and pskv_known_key, a true result says only that the chip answered; a bad
/// status is reported through the error handler, whose record (get_last_error_code) tells callers
/// that need to know.
#pragma once

#include <keyward/export.h>
#include <keyward/kvcmd_trans.h>
#include <keyward/psserver.h>

#include <memory>

/// The PS server over a kvcmd_trans (see the file description). Used by one thread at a time, like
/// its transport; wrap it in a PsCache to read in the background.
class KEYWARD_API PsKvcmd : public PsServer {
  public:
    /// A server over `transport`, made with new by the caller and owned by the server from now on
    /// (null: none yet, see SetTrans).
    explicit PsKvcmd(kvcmd_trans* transport = nullptr);
    /// A copy that refers to the same transport; the last copy destroys it.
    PsKvcmd(const PsKvcmd& other);
    /// Refers to `other`'s transport from now on.
    PsKvcmd& operator=(const PsKvcmd& other);
    /// Destroys the transport when no other copy still owns it.
    ~PsKvcmd() override;

    /// The transport (still owned by the server).
    kvcmd_trans* GetTrans() const { return mTrans; }
    /// Takes ownership of `transport`; the old one is handed back to the caller, which now destroys
    /// it.
    void SetTrans(kvcmd_trans* transport);

    /// Reads memory space 4 only (false for any other space, without a report).
    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override;
    bool pskv_size(uint16_t key, uint16_t* const length, bool raw) override;
    bool pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) override;
    /// Copies at most `max_length` words, and no more than the response holds, into `data`, and
    /// sets `*length` to the chip's length field. The length field may exceed the words copied:
    /// never use more than min(*length, max_length) words of `data`.
    bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length, uint16_t* const length,
                  bool raw) override;
    bool pskv_next(uint16_t key, uint16_t* next, bool raw) override;
    bool pskv_next_all(uint16_t key, uint16_t* next) override;
    bool pskv_clr(uint16_t key, bool raw) override;
    bool pskv_clrs(uint16_t key, bool raw) override;
    bool pskv_known_key(uint16_t key, bool raw) override;
    bool pskv_factory_set() override;
    bool pskv_factory_restore(bool all) override;
    /// Not supported over KVCMD: false.
    bool pskv_clrb(uint16_t key) override;
    bool supports_stores() override;
    bool inquire_known_keys() override;
    kvcmd_trans_error_handler* get_error_handler() override;
    bool reset_kv(reset_t how) override;
    bool reset_kv_and_close(reset_t how) override;
    bool open() override;
    bool close() override;
    void set_error_handler(kvcmd_trans_error_handler* handler) override;
    bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) override;
    bool is_layer_a_supported() override;
    bool get_slt(SlTable*& table, bool refresh) override;
    bool is_open() override;
    uint16_t NumBootmodes() override;
    const char* getvar(const char* name) override;

  protected:
    /// The stores word of a request: the stores mask, plus 0x0080 for raw access.
    uint16_t stores_word(bool raw) const;
    /// Steps 1 and 2 of every PS operation: resets the handler's record and opens when closed.
    bool begin_operation();
    /// Sends `request`; the response, or the null PDU when none came back. The request is kept
    /// for recycled().
    PDU exchange(PDU&& request);
    /// The last request, to build the next one in: then a PS operation allocates nothing for its
    /// request (unless the transport kept a handle on the last one).
    PDU&& recycled() { return std::move(mRecycled); }

  private:
    /// Destroys the transport when the last server that owns it goes.
    struct KEYWARD_LOCAL Ownership;

    kvcmd_trans* mTrans;
    std::shared_ptr<Ownership> mOwnership;
    PDU mRecycled;
};

/// A PsKvcmd whose store-aware operations always ask for raw access.
class KEYWARD_API PsKvcmdRaw : public PsKvcmd {
  public:
    /// A raw server over `transport` (owned, as by PsKvcmd).
    explicit PsKvcmdRaw(kvcmd_trans* transport = nullptr) : PsKvcmd(transport) {}

    bool pskv_size(uint16_t key, uint16_t* const length, bool raw) override;
    bool pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) override;
    bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length, uint16_t* const length,
                  bool raw) override;
    bool pskv_next(uint16_t key, uint16_t* next, bool raw) override;
    bool pskv_clr(uint16_t key, bool raw) override;
    bool pskv_clrs(uint16_t key, bool raw) override;
    bool pskv_known_key(uint16_t key, bool raw) override;
};
