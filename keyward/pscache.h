/// @file
/// @brief PsCache: a PS server that wraps another server (usually a PsKvcmd) and answers key reads
/// from a cache that a worker thread fills, with boot modes on top.
///
///     PsKvcmd chip(new MyTransport(...));
///     PsCache cache;
///     cache.SetServer(&chip);          // not owned unless delete_child_on_destruct(true)
///     cache.open();                    // learns the keys, starts the worker
///     CKeyWarder keys(&cache);
///
/// On open the cache registers every key the chip holds, and every boot-mode override slot, as
/// wanted; the worker fetches them one by one (size, then value), in every store, while the client
/// is idle, and fetches the client's own reads first. A read of a key not fetched yet waits for the
/// worker; when the worker cannot open the wrapped server, the read gives up with false after the
/// worker's second failed attempt (about one second) and reports "Failed to send or process
/// command". Errors that happen on the worker are kept with the fetched key and reported to the
/// client's handler when the client reads it (types reduced to -1 or 0, since no retry is possible
/// afterwards); a kvcmd_trans_exception the wrapped server throws on the worker is thrown again,
/// as the same pointer, to the client that reads the key. A failed fetch is forgotten once
/// reported, so the next read fetches again.
///
/// Writes, clears, enumeration, memory reads and every other operation stop the worker, go
/// straight to the wrapped server, forget what they touched and start the worker again: only one
/// thread ever uses the wrapped server (and its transport) at a time.
///
/// Boot modes: the key list of boot mode m (0-7) is PS key 1200 + m; position i of the list names
/// the key that slot key 1208 + 64 x m + i overrides in that mode. With a boot mode selected,
/// reads and writes of a key go to its slot (a write of a key without one takes the first free
/// position, at most 63 per mode), pskv_clrb removes an override, and keys outside the mode's
/// list read as absent. NumBootmodes() is 8 once all eight lists were read without fault.
///
/// The cache is used from one client thread; completion functions given to get() run on the
/// worker. A copy of a cache is a new, closed cache over the same wrapped server that never
/// destroys it; use one of them at a time.
#pragma once

#include <keyward/export.h>
#include <keyward/psserver.h>

#include <cstddef>
#include <cstdint>

/// A PsServer that caches another server's answers, filled by a worker thread (see the file
/// description, @ref keyward_threading and @ref keyward_errors).
class KEYWARD_API PsCache : public PsServer {
  public:
    /// What a completion function of get() is told.
    struct CallbackResult {
        uint16_t key;       ///< as requested
        uint16_t stores;    ///< the stores selection of the fetch
        uint16_t bootmode;  ///< the boot mode of the request
        bool raw;           ///< whether the request was raw
    };
    /// A completion function of get(): called on the worker thread with get()'s `data` once the key
    /// was fetched.
    typedef void (*Completion)(void* data, const CallbackResult& result);

    /// The number of boot modes.
    static constexpr uint16_t BOOTMODE_COUNT = 8;
    static constexpr uint16_t BOOTMODE_LIST_KEY = 1200;  ///< list of mode m: 1200 + m
    static constexpr uint16_t BOOTMODE_SLOT_KEY = 1208;  ///< slot i of mode m: 1208 + 64 m + i
    /// The slots of each boot mode (slot keys per mode).
    static constexpr uint16_t BOOTMODE_SLOTS = 64;
    static constexpr uint16_t BOOTMODE_LIST_LIMIT = 63;  ///< keys a list may hold
    static constexpr uint16_t BOOTMODE_KEYS_END = 1720;  ///< keys 1200 to 1719 belong to boot modes

    PsCache();
    /// A new, closed cache over the same wrapped server, which it never destroys.
    PsCache(const PsCache& other);
    /// Becomes a new, closed cache over `other`'s wrapped server, which it never destroys.
    PsCache& operator=(const PsCache& other);
    /// Stops the worker, then destroys the wrapped server when told to.
    ~PsCache() override;

    /// Wraps `server` (which must outlive the cache unless it is the cache's to destroy) and takes
    /// its error handler as the client's. Forgets everything cached.
    void SetServer(PsServer* server);
    /// The wrapped server, or null.
    PsServer* GetServer() const { return mServer; }
    /// Whether the destructor destroys the wrapped server (initially false).
    void delete_child_on_destruct(bool destroy) { mDeleteChild = destroy; }
    /// With false, every pskv_size fetches the key again and the worker does no idle prefetch.
    void UseCache(bool use);
    /// Runs the worker from now on (open() does this).
    void UseServer();
    /// Stops the worker.
    void ReleaseServer();
    /// Forgets what is cached of `key` in the stores `stores` (0: all); a boot-mode list key
    /// (1200 to 1207) also reloads the boot-mode lists.
    void ClearCache(uint16_t key, uint16_t stores);
    /// Forgets everything cached and reloads the boot-mode lists.
    void ClearCache();
    /// True when the answer for `key` (in the current stores and boot mode) is cached: nothing is
    /// queued and `done` is not called. Otherwise queues a fetch and returns false; `done(data,
    /// result)` is then called on the worker once the key was fetched (or turned out to have
    /// nothing to fetch).
    bool get(uint16_t key, Completion done, void* data, bool raw);
    /// How many (key, store) pairs are wanted but not fetched yet; 0 once the prefetch is done.
    size_t PendingEntries();

    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override;
    bool pskv_size(uint16_t key, uint16_t* const length, bool raw) override;
    bool pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) override;
    bool pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length, uint16_t* const length,
                  bool raw) override;
    bool pskv_next(uint16_t key, uint16_t* next, bool raw) override;
    bool pskv_next_all(uint16_t key, uint16_t* next) override;
    bool pskv_clr(uint16_t key, bool raw) override;
    bool pskv_clrs(uint16_t key, bool raw) override;
    /// Whether the cache holds anything (fetched or wanted) for `key`; the chip is not asked.
    bool pskv_known_key(uint16_t key, bool raw) override;
    bool pskv_factory_set() override;
    bool pskv_factory_restore(bool all) override;
    /// Removes the key's override in the selected boot mode (true when it has none).
    bool pskv_clrb(uint16_t key) override;
    bool supports_stores() override;
    /// Copies the wrapped server's known keys.
    bool inquire_known_keys() override;
    kvcmd_trans_error_handler* get_error_handler() override;
    bool reset_kv(reset_t how) override;
    /// After it the worker reopens the wrapped server by itself (within about a second).
    bool reset_kv_and_close(reset_t how) override;
    bool open() override;
    bool close() override;
    /// Sets the client's handler; the wrapped server gets it whenever the client uses it.
    void set_error_handler(kvcmd_trans_error_handler* handler) override;
    bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) override;
    bool is_layer_a_supported() override;
    bool get_slt(SlTable*& table, bool refresh) override;
    /// Without a boot mode: the key is known; with one: the key is in the mode's list.
    bool key_exists(uint16_t key) override;
    bool keys_known() override;
    bool is_open() override;
    uint16_t NumBootmodes() override;
    const char* getvar(const char* name) override;

  protected:
    ///@{
    /// Stop the worker for an operation that uses the wrapped server, and start it again. Pairs
    /// nest: the worker starts again when the outermost pair ends.
    void PauseThread();
    void ResumeThread();
    ///@}

  private:
    struct KEYWARD_LOCAL Impl;
    class KEYWARD_LOCAL Paused;

    /// The write frame shared by pskv_set, pskv_clr and pskv_clrs.
    template <typename Operation>
    KEYWARD_LOCAL bool write_through(uint16_t key, bool raw, Operation operation);
    /// Waits until `key` is fetched (false when it cannot be).
    KEYWARD_LOCAL bool fetch(uint16_t key, bool raw);
    KEYWARD_LOCAL void stop_worker();
    KEYWARD_LOCAL void start_worker_if_idle();
    /// Whether the known-key set already equals `other`'s.
    KEYWARD_LOCAL bool same_known_keys(PsServer& other) const;

    bool mDeleteChild;
    PsServer* mServer;
    Impl* mImpl;
};
