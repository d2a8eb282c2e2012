/// @file
/// @brief kvcmd_trans: the base class of every KVCMD transport.
///
/// A concrete transport (written by the host tool; platform/kvcmdsim has one for a simulated
/// chip) moves PDUs to a chip and back. It supplies the virtual operations below; this base
/// supplies the request, retry and status-checking logic that keyward's servers use, and the
/// error handler through which every failure is reported.
///
/// Requirements on a concrete transport:
///   - transact(request, response) sends one request and, when a response arrives, assigns it to
///     `response` (see pdu.h) and returns 0. It returns 1 when sending failed and retrying is
///     useless, any other value when it failed and may be retried. It may throw a pointer to a
///     kvcmd_trans_exception made with new, which keyward lets pass to the caller.
///   - send_attempts() is how many times one request may be sent (at least 1; 0 counts as 1).
///   - open(0) connects; after reset_kv_and_close() is_open() is false.
///   - getvar(name) never returns null ("" for an unknown name); the text stays valid until the
///     next getvar call on the transport.
///   - get_slt() hands out the transport's own SlTable; keyward never deletes it.
///   - get_error_handler() returns the current handler (the base does).
#pragma once

#include <keyward/errorhandler.h>
#include <keyward/export.h>
#include <keyward/memoryreader.h>
#include <keyward/pdu.h>

#include <cstdint>

class SlTable;

/// The base class of every KVCMD transport (see the file description). A PsKvcmd owns its transport
/// and is its only user; one thread at a time.
class KEYWARD_API kvcmd_trans : public IMemoryReaderGP {
  public:
    /// Security states (detectSecurity).
    static constexpr int SECURITY_UNKNOWN = 0;
    static constexpr int SECURITY_LOCKED = 1;    ///< the chip refuses memory reads
    static constexpr int SECURITY_UNLOCKED = 2;  ///< memory reads work

    /// Security state unknown, the default handler current, no pending message.
    kvcmd_trans();

    /// Reads `length` words of chip memory at `where` into `out`; false when they cannot be read.
    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override = 0;
    /// Frees the pending message. A PsKvcmd destroys its transport through this destructor.
    virtual ~kvcmd_trans();
    /// Resets the chip; `how` is this transport's reset kind.
    virtual bool reset_kv(reset_t how) = 0;
    /// Resets the chip and closes the connection: is_open() is false afterwards.
    virtual bool reset_kv_and_close(reset_t how) = 0;
    /// The firmware's build id into `*id` and its name (UTF-16, at most `name_capacity` words with
    /// the terminating 0) into `name`.
    virtual bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) = 0;
    /// Whether the chip supports layer A key access.
    virtual bool is_layer_a_supported() = 0;
    /// The transport's own symbol lookup table into `table` (keyward never deletes it); `refresh`
    /// reads it again.
    virtual bool get_slt(SlTable*& table, bool refresh) = 0;
    /// How many times one request may be sent (0 counts as 1).
    virtual unsigned send_attempts() = 0;
    /// Connects (`how` is 0 for keyward's servers). True when open.
    virtual bool open(int how) = 0;
    /// Disconnects.
    virtual bool close() = 0;
    /// True while connected.
    virtual bool is_open() = 0;
    /// A named variable of the transport; never null ("" for an unknown name, which the base gives
    /// for every name). The text stays valid until the next getvar call.
    virtual const char* getvar(const char* name);
    /// The current handler; never null (the default handler when none was set).
    virtual kvcmd_trans_error_handler* get_error_handler();
    /// Sends `request` and, when a response arrives, assigns it to `response`. Returns 0 with a
    /// response, 1 when sending failed and retrying is useless, anything else when it failed and
    /// may be retried. May throw a kvcmd_trans_exception pointer made with new.
    virtual int transact(const PDU& request, PDU& response) = 0;

    kvcmd_trans(const kvcmd_trans&) = delete;
    kvcmd_trans& operator=(const kvcmd_trans&) = delete;

    /// Sends `request` and checks the response status, repeating a get request (type 0) on a
    /// retry status up to three passes in all. Returns the response, or the null PDU when none
    /// came back. Every failure is reported to the current error handler.
    PDU run_pdu_report_errs(const PDU& request);

    /// Sends `request` up to send_attempts() times until a response with a status other than 4
    /// arrives, resetting `handler`'s record before each attempt. Returns transact's last result;
    /// a failure that left no error recorded is reported as "Failed to send or process command".
    int do_request(const PDU& request, PDU& response, kvcmd_trans_error_handler* handler);

    /// Reports a bad status of `response`; true when the request should be repeated.
    bool check_status(const PDU& response);

    /// Hands the report to the current handler; returns its answer.
    kvcmd_trans_error_response raise_error(const wchar_t* text, const wchar_t* caption, int code,
                                           int type);

    /// Probes whether the chip allows memory reads (one-word memory read at 0xFF9A) while the
    /// state is unknown and the transport is open. Returns the security state.
    int detectSecurity();

    /// The current handler becomes `handler`, or the default handler when it is null.
    void set_error_handler(kvcmd_trans_error_handler* handler);

    /// The security state (SECURITY_UNKNOWN, SECURITY_LOCKED or SECURITY_UNLOCKED).
    int get_security_state() const { return mSecurityState; }
    /// The embedded default handler.
    kvcmd_trans_error_handler* get_default_error_handler() { return &mDefaultErrorHandler; }

  protected:
    /// read_mem for a link without memory access of its own: reads `length` words of memory
    /// space 4 with KVCMD memory requests of at most 256 words each. False for another space, an
    /// odd byte address, words beyond the space's 65,536, or a request the chip did not answer
    /// with all its words (reported like any other request).
    bool read_mem_by_kvcmd(GenericPointer where, uint16_t length, uint16_t* out);

    /// The security state (detectSecurity).
    int mSecurityState;
    /// The current handler; never null.
    kvcmd_trans_error_handler* mErrorHandler;
    /// The handler used when none is set.
    kvcmd_trans_error_handler mDefaultErrorHandler;
    /// A message check_status keeps to report if the retries run out; cleared at the start of every
    /// request.
    const wchar_t* mPendingMessage;
};
