/// @file
/// @brief The error channel of every keyward class: kvcmd_trans_error_handler, the answers it
/// gives, and the one exception that may cross keyward, kvcmd_trans_exception.
#pragma once

#include <keyward/export.h>

#include <atomic>
#include <string>

/// The answer of an error handler: an int, normally 0 to 4. Values outside 0..4 are passed on but
/// never become the worst response.
typedef int kvcmd_trans_error_response;

/// The answers a handler gives (kvcmd_trans_error_response). What each one does to the operation
/// that reported: @ref keyward_errors.
enum : kvcmd_trans_error_response {
    KVCMD_RESPONSE_NONE = 0,    ///< no opinion: the operation goes on as if the error was accepted
    KVCMD_RESPONSE_ABORT = 1,   ///< stop the operation (and a running file or stream)
    KVCMD_RESPONSE_RETRY = 2,   ///< repeat the operation
    KVCMD_RESPONSE_IGNORE = 3,  ///< go on
    KVCMD_RESPONSE_ACCEPT = 4,  ///< count the failure as success
};

/// Receives every failure a keyward server or CKeyWarder reports: a text, a caption, a code and a
/// type. It records the last error (text, code, type and the answer given to it) and the most
/// severe answer since the last reset.
///
/// Types: 0 an error; 2 an error the caller may retry; -1 an informational message (progress
/// notes), which is passed to answer() but never recorded. Codes: 0 none; 2, 3 and 5 the
/// communication codes of the kvcmd transport; 1 unknown canned operations.
///
/// Derive from it and override answer() to show, log or steer; the base answers 1 (abort) for
/// every recorded error with a non-zero code and 0 otherwise.
class KEYWARD_API kvcmd_trans_error_handler {
  public:
    /// An empty record: no text, code 0, type 0, last and worst response 0.
    kvcmd_trans_error_handler();

    /// The answer to one report. Called by on_error with the same arguments.
    virtual kvcmd_trans_error_response answer(const wchar_t* text, const wchar_t* caption, int code,
                                              int type);

    /// Frees the recorded text.
    virtual ~kvcmd_trans_error_handler();

    /// Copies the record (with its own copy of the text).
    kvcmd_trans_error_handler(const kvcmd_trans_error_handler& other);
    /// Copies the record (with its own copy of the text).
    kvcmd_trans_error_handler& operator=(const kvcmd_trans_error_handler& other);

    /// Reports one error: records it unless `type` is -1, asks answer(), keeps the answer as the
    /// last response of a recorded error and as the worst response when it ranks at least as high
    /// as the current worst. Returns the answer.
    kvcmd_trans_error_response on_error(const wchar_t* text, const wchar_t* caption, int code,
                                        int type);

    /// Forgets the record: no text, code 0, last and worst response 0 (the type is kept). Every
    /// request resets its handler, so this stays inline and cheap.
    void reset() {
        if (mLastErrorText != nullptr) {  // nearly always null: no call to the allocator then
            delete[] mLastErrorText;
            mLastErrorText = nullptr;
        }
        mLastErrorCode = 0;
        mLastResponse = 0;
        clear_worst_response();
    }

    /// Sets the worst response to 0. Nothing else is ordered by it, so a relaxed store does.
    void clear_worst_response() { mWorstResponse.store(0, std::memory_order_relaxed); }

    /// The text of the last recorded error; null when none. Owned by the handler, valid until the
    /// next report or reset.
    const wchar_t* get_last_error_text() const { return mLastErrorText; }
    /// The code of the last recorded error; 0 when none.
    int get_last_error_code() const { return mLastErrorCode; }
    /// The type of the last recorded error.
    int get_last_error_type() const { return mLastErrorType; }
    /// The answer given to the last recorded error.
    kvcmd_trans_error_response get_last_response() const { return mLastResponse; }
    /// May be read from another thread (a cache's worker reads its client's).
    kvcmd_trans_error_response get_worst_response() const { return mWorstResponse.load(); }

    /// The severity rank of an answer 0..4 (1 highest, then 4, then 2, then 0 and 3); -1 for any
    /// other value.
    static int severity(kvcmd_trans_error_response response);

  private:
    wchar_t* mLastErrorText;  ///< owned heap copy, or null
    int mLastErrorCode;
    int mLastErrorType;
    kvcmd_trans_error_response mLastResponse;
    std::atomic<kvcmd_trans_error_response> mWorstResponse;
};

/// Thrown, as a pointer made with new, by a concrete transport whose link broke in a way that no
/// status can describe. keyward servers let it pass to their caller, which deletes it.
class KEYWARD_API kvcmd_trans_exception {
  public:
    /// An exception with its text (copied) and code.
    explicit kvcmd_trans_exception(const wchar_t* text, int code = 0);
    /// Frees the text.
    virtual ~kvcmd_trans_exception();

    /// The text; valid as long as the exception.
    const wchar_t* get_text() const { return mText.c_str(); }
    /// The code the transport gave.
    int get_code() const { return mCode; }

  private:
    std::wstring mText;
    int mCode;
};
