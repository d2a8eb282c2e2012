// PsServer: the abstract persistent-store server. One object through which a host tool reads,
// writes, sizes, enumerates and clears the PS keys of one chip. A PS key is a 16-bit number whose
// value is an array of 16-bit words; lengths are counted in words.
//
// Besides the operations, every server keeps:
//   - the stores mask sent with every store-aware request (0 = the chip's default search; bits
//     0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x001F all five). 0x0080 is never part of it: the
//     KVCMD servers add it to a request for raw (not presentation) access;
//   - the boot mode (NoBootmode() = 0xFFFF when none is selected);
//   - the set of keys the chip is known to hold, and whether that set is complete;
//   - a cancel flag that long runs over many keys poll between keys (it may be set from
//     another thread).
//
// Failures are reported through the error handler (get_error_handler), never thrown; operations
// return false. The one exception that may pass is a kvcmd_trans_exception pointer thrown by the
// transport.
#pragma once

#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/knownkeys.h>
#include <keyward/memoryreader.h>

#include <atomic>
#include <cstdint>

class SlTable;

class KEYWARD_API PsServer : public IMemoryReaderGP {
  public:
    PsServer();
    PsServer(const PsServer& other);
    PsServer& operator=(const PsServer& other);

    // Virtual operations, in slot order.
    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override = 0;
    virtual ~PsServer();
    virtual bool pskv_size(uint16_t key, uint16_t* const length, bool raw) = 0;
    virtual bool pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) = 0;
    virtual bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length,
                          uint16_t* const length, bool raw) = 0;
    virtual bool pskv_next(uint16_t key, uint16_t* next, bool raw) = 0;
    virtual bool pskv_next_all(uint16_t key, uint16_t* next) = 0;
    virtual bool pskv_clr(uint16_t key, bool raw) = 0;
    virtual bool pskv_clrs(uint16_t key, bool raw) = 0;
    virtual bool pskv_known_key(uint16_t key, bool raw) = 0;
    virtual bool pskv_factory_set() = 0;
    virtual bool pskv_factory_restore(bool all) = 0;
    virtual bool pskv_clrb(uint16_t key) = 0;
    virtual bool supports_stores() = 0;
    // Builds the known-key set; the base reads the firmware's key list from chip memory.
    virtual bool inquire_known_keys();
    virtual kvcmd_trans_error_handler* get_error_handler() = 0;
    virtual bool reset_kv(reset_t how) = 0;
    virtual bool reset_kv_and_close(reset_t how) = 0;
    virtual bool open() = 0;
    virtual bool close() = 0;
    virtual void set_error_handler(kvcmd_trans_error_handler* handler) = 0;
    virtual bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) = 0;
    virtual bool is_layer_a_supported() = 0;
    virtual bool get_slt(SlTable*& table, bool refresh) = 0;
    // True when `key` is in the known-key set (false while there is none).
    virtual bool key_exists(uint16_t key);
    virtual bool keys_known();
    virtual bool is_open() = 0;
    virtual void clear_cancel();
    virtual void do_cancel();
    virtual bool is_cancelled();
    virtual uint16_t GetStores();
    virtual void SetStores(uint16_t stores);
    virtual uint16_t NumBootmodes() = 0;
    virtual uint16_t GetBootmode();
    // Selects `mode` when it is below NumBootmodes(), else no boot mode (0xFFFF).
    virtual void SetBootmode(uint16_t mode);
    // A named server variable; "" for every name on a plain server. Never null.
    virtual const char* getvar(const char* name);

    bool supports_bootmodes();
    // is_open(), or else the result of open().
    bool get_connected();
    static uint16_t NoBootmode() { return 0xFFFF; }

    // Walks the known-key set: key 0 gives the smallest key, any other key the next larger one.
    // 0 when there is none (or no set).
    uint16_t key_next(uint16_t key);

    // Builds the known-key set by walking the chip's keys with pskv_next_all.
    bool inquire_known_keys_from_psnextall();
    // Builds the known-key set from the firmware's key list in chip memory, found through entry
    // 31 of the chip's symbol lookup table.
    bool inquire_known_keys_from_mem();
    // Replaces the known-key set with a copy of `other`'s and marks it complete.
    void copy_known_keys(PsServer* other);

  protected:
    uint16_t mStores;
    uint16_t mBootmode;
    KnownKeySet* mKnownKeys;  // owned; null until a discovery has started
    bool mKeysKnown;
    std::atomic<bool> mCancelled;
};
