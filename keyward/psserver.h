/// @file
/// @brief PsServer: the abstract persistent-store server. One object through which a host tool
/// reads, writes, sizes, enumerates and clears the PS keys of one chip. A PS key is a 16-bit number
/// whose value is an array of 16-bit words; lengths are counted in words.
///
/// Besides the operations, every server keeps:
///   - the stores mask sent with every store-aware request (0 = the chip's default search; bits
///     0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x001F all five). 0x0080 is never part of it: the
///     KVCMD servers add it to a request for raw (not presentation) access;
///   - the boot mode (NoBootmode() = 0xFFFF when none is selected);
///   - the set of keys the chip is known to hold, and whether that set is complete;
///   - a cancel flag that long runs over many keys poll between keys (it may be set from
///     another thread).
///
/// Failures are reported through the error handler (get_error_handler), never thrown; operations
/// return false. The one exception that may pass is a kvcmd_trans_exception pointer thrown by the
/// transport.
#pragma once

#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/knownkeys.h>
#include <keyward/memoryreader.h>

#include <atomic>
#include <cstdint>

/// The chip's symbol lookup table (<keyward/sltable.h>).
class SlTable;

/// The abstract persistent-store server: the interface every keyward server implements and
/// CKeyWarder works through.
///
/// Concrete servers: PsKvcmd and PsKvcmdRaw (a chip over a kvcmd_trans) and PsCache (a cache over
/// another server). A host tool may derive its own. A server is used by one thread at a time; only
/// do_cancel() may be called from another thread while an operation runs.
///
/// Every operation reports its failures to get_error_handler() and returns false; see @ref
/// keyward_errors.
class KEYWARD_API PsServer : public IMemoryReaderGP {
  public:
    /// Stores mask 0, no boot mode, no known-key set, both flags false.
    PsServer();
    /// Copies the stores mask, the boot mode, both flags and (deeply) the known-key set.
    PsServer(const PsServer& other);
    /// Copies as the copy constructor does.
    PsServer& operator=(const PsServer& other);

    /// Reads `length` words of chip memory at `where` into `out` (see IMemoryReaderGP).
    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override = 0;
    /// Deletes the known-key set.
    virtual ~PsServer();
    /// The length in words of `key`'s value into `*length`. `raw` asks for the raw value rather
    /// than the presentation value. False when the key has no value or the request failed.
    virtual bool pskv_size(uint16_t key, uint16_t* const length, bool raw) = 0;
    /// Writes `length` words of `data` as `key`'s value in the selected stores.
    virtual bool pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) = 0;
    /// Reads `key`'s value: at most `max_length` words into `data`, its whole length into
    /// `*length`. False when the key has no value or the request failed.
    virtual bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length,
                          uint16_t* const length, bool raw) = 0;
    /// The next key after `key` that holds a value in the selected stores, into `*next`.
    virtual bool pskv_next(uint16_t key, uint16_t* next, bool raw) = 0;
    /// The next key after `key` that holds a value in any store, into `*next`; 0 ends the list.
    virtual bool pskv_next_all(uint16_t key, uint16_t* next) = 0;
    /// Deletes `key` from every store it can be deleted from.
    virtual bool pskv_clr(uint16_t key, bool raw) = 0;
    /// Deletes `key` from the selected stores.
    virtual bool pskv_clrs(uint16_t key, bool raw) = 0;
    /// True when the firmware knows the key number `key` (whether or not it holds a value).
    virtual bool pskv_known_key(uint16_t key, bool raw) = 0;
    /// Copies the current keys into the factory settings.
    virtual bool pskv_factory_set() = 0;
    /// Restores the factory settings; `all` chooses the variant that restores every store.
    virtual bool pskv_factory_restore(bool all) = 0;
    /// Removes `key`'s override in the selected boot mode (servers without boot modes answer
    /// false).
    virtual bool pskv_clrb(uint16_t key) = 0;
    /// True when the server honours the stores mask.
    virtual bool supports_stores() = 0;
    /// Builds the known-key set; the base reads the firmware's key list from chip memory.
    virtual bool inquire_known_keys();
    /// The handler this server reports its failures to; never null while a transport is attached.
    /// Its record describes the last operation, which reset it first.
    virtual kvcmd_trans_error_handler* get_error_handler() = 0;
    /// Resets the chip (`how` is the transport's reset kind).
    virtual bool reset_kv(reset_t how) = 0;
    /// Resets the chip and closes the connection.
    virtual bool reset_kv_and_close(reset_t how) = 0;
    /// Opens the connection (and learns the keys the chip holds). True when open.
    virtual bool open() = 0;
    /// Closes the connection.
    virtual bool close() = 0;
    /// Reports go to `handler` from now on; null selects the transport's default handler. The
    /// handler is not owned and must outlive its use.
    virtual void set_error_handler(kvcmd_trans_error_handler* handler) = 0;
    /// The firmware's build id into `*id` and its name (UTF-16, at most `name_capacity` words with
    /// the terminating 0) into `name`.
    virtual bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) = 0;
    /// True when the chip's firmware supports layer A key access.
    virtual bool is_layer_a_supported() = 0;
    /// The chip's symbol lookup table into `table` (owned by the server; valid until the server
    /// closes); `refresh` reads it again.
    virtual bool get_slt(SlTable*& table, bool refresh) = 0;
    /// True when `key` is in the known-key set (false while there is none).
    virtual bool key_exists(uint16_t key);
    /// True once the known-key set is complete and can be trusted.
    virtual bool keys_known();
    /// True while the connection is open.
    virtual bool is_open() = 0;
    /// Clears the cancel flag.
    virtual void clear_cancel();
    /// Sets the cancel flag: a long run over many keys (a dump, a file) stops before its next key.
    /// Safe to call from any thread.
    virtual void do_cancel();
    /// The cancel flag.
    virtual bool is_cancelled();
    /// The stores mask.
    virtual uint16_t GetStores();
    /// Sets the stores mask (not checked; 0 = the chip's default search).
    virtual void SetStores(uint16_t stores);
    /// The number of boot modes the server supports (0 = none).
    virtual uint16_t NumBootmodes() = 0;
    /// The selected boot mode, NoBootmode() when none.
    virtual uint16_t GetBootmode();
    /// Selects `mode` when it is below NumBootmodes(), else no boot mode (0xFFFF).
    virtual void SetBootmode(uint16_t mode);
    /// A named server variable; "" for every name on a plain server. Never null.
    virtual const char* getvar(const char* name);

    /// True when NumBootmodes() is not 0.
    bool supports_bootmodes();
    /// is_open(), or else the result of open().
    bool get_connected();
    /// The boot mode value that means "none selected": 0xFFFF.
    static uint16_t NoBootmode() { return 0xFFFF; }

    /// Walks the known-key set: key 0 gives the smallest key, any other key the next larger one.
    /// 0 when there is none (or no set).
    uint16_t key_next(uint16_t key);

    /// Builds the known-key set by walking the chip's keys with pskv_next_all.
    bool inquire_known_keys_from_psnextall();
    /// Builds the known-key set from the firmware's key list in chip memory, found through entry
    /// 31 of the chip's symbol lookup table.
    bool inquire_known_keys_from_mem();
    /// Replaces the known-key set with a copy of `other`'s and marks it complete.
    void copy_known_keys(PsServer* other);

  protected:
    /// The stores mask (GetStores).
    uint16_t mStores;
    /// The selected boot mode (GetBootmode).
    uint16_t mBootmode;
    KnownKeySet* mKnownKeys;  ///< owned; null until a discovery has started
    /// Whether the known-key set is complete (keys_known).
    bool mKeysKnown;
    /// The cancel flag (is_cancelled).
    std::atomic<bool> mCancelled;
};
