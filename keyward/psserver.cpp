#include "trace.h"

#include <keyward/psserver.h>
#include <keyward/sltable.h>

namespace {

constexpr uint16_t kListChunkWords = 56;  // 28 (first, last) pairs per read
// A key list longer than this is not a key list: the firmware has at most one pair per key.
constexpr uint32_t kMaxListWords = 0x20000;

const wchar_t* const kLookupTableCaption = L"Error reading lookup table";

KnownKeySet* CopySet(const KnownKeySet* keys) {
    return keys != nullptr ? new KnownKeySet(*keys) : nullptr;
}

}  // namespace

PsServer::PsServer()
    : mStores(0), mBootmode(0xFFFF), mKnownKeys(nullptr), mKeysKnown(false), mCancelled(false) {}

PsServer::PsServer(const PsServer& other)
    : IMemoryReaderGP(other),
      mStores(other.mStores),
      mBootmode(other.mBootmode),
      mKnownKeys(CopySet(other.mKnownKeys)),
      mKeysKnown(other.mKeysKnown),
      mCancelled(other.mCancelled.load()) {}

PsServer& PsServer::operator=(const PsServer& other) {
    if (this != &other) {
        KnownKeySet* keys = CopySet(other.mKnownKeys);
        delete mKnownKeys;
        mKnownKeys = keys;
        mStores = other.mStores;
        mBootmode = other.mBootmode;
        mKeysKnown = other.mKeysKnown;
        mCancelled = other.mCancelled.load();
    }
    return *this;
}

PsServer::~PsServer() {
    delete mKnownKeys;
}

bool PsServer::inquire_known_keys() {
    return inquire_known_keys_from_mem();
}

bool PsServer::key_exists(uint16_t key) {
    return mKnownKeys != nullptr && mKnownKeys->contains(key);
}

bool PsServer::keys_known() {
    return mKeysKnown;
}

void PsServer::clear_cancel() {
    mCancelled = false;
}

void PsServer::do_cancel() {
    mCancelled = true;
}

bool PsServer::is_cancelled() {
    return mCancelled;
}

uint16_t PsServer::GetStores() {
    return mStores;
}

void PsServer::SetStores(uint16_t stores) {
    mStores = stores;
}

uint16_t PsServer::GetBootmode() {
    return mBootmode;
}

void PsServer::SetBootmode(uint16_t mode) {
    mBootmode = mode < NumBootmodes() ? mode : NoBootmode();
}

const char* PsServer::getvar(const char* /*name*/) {
    return "";
}

bool PsServer::supports_bootmodes() {
    return NumBootmodes() != 0;
}

bool PsServer::get_connected() {
    return is_open() || open();
}

uint16_t PsServer::key_next(uint16_t key) {
    if (mKnownKeys == nullptr) {
        return 0;
    }
    const uint32_t next = mKnownKeys->lower_bound(key == 0 ? 0 : key + 1u);
    return next != KnownKeySet::kNone ? static_cast<uint16_t>(next) : 0;
}

void PsServer::copy_known_keys(PsServer* other) {
    KnownKeySet* keys = other != nullptr && other->mKnownKeys != nullptr
                            ? CopySet(other->mKnownKeys)
                            : new KnownKeySet;
    delete mKnownKeys;
    mKnownKeys = keys;
    mKeysKnown = true;
}

bool PsServer::inquire_known_keys_from_psnextall() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    mKeysKnown = false;
    kvcmd_trans_error_handler* handler = get_error_handler();
    delete mKnownKeys;
    mKnownKeys = new KnownKeySet;

    uint16_t key = 0;
    if (pskv_next_all(0, &key)) {
        while (key != 0) {
            if (!mKnownKeys->insert(key)) {
                if (handler != nullptr) {
                    handler->on_error(L"The chip returned duplicate keys in its key list",
                                      L"Communications Error", 3, 0);
                }
                break;
            }
            if (!pskv_next_all(key, &key)) {
                break;
            }
        }
    }
    result = handler == nullptr || handler->get_last_error_code() == 0;
    mKeysKnown = result;
    return result;
}

bool PsServer::inquire_known_keys_from_mem() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    mKeysKnown = false;
    kvcmd_trans_error_handler* handler = get_error_handler();

    SlTable* table = nullptr;
    if (!get_slt(table, false) || table == nullptr) {
        if (handler != nullptr) {
            handler->on_error(
                L"The application was unable to determine the lookup table location on the "
                L"chip.\nPlease check the chip is running.  You may need to reset the chip, "
                L"then\nreconnect.",
                kLookupTableCaption, 3, 2);
        }
        return result;
    }
    if (!table->locate(0, false) || !table->has_entry(SlTable::ENTRY_PSKEY_LIST)) {
        for (;;) {
            const wchar_t* message;
            int type;
            if (!table->locate(0, true)) {
                message =
                    L"The application was unable to find a lookup table on the chip.\nPlease "
                    L"check the chip is running.  You may need to reset the chip, then\nreconnect.";
                type = 2;
            } else if (!table->has_entry(SlTable::ENTRY_PSKEY_LIST)) {
                message = L"The lookup table on the chip did not contain the PSKey list.";
                type = 0;
            } else {
                break;
            }
            if (handler == nullptr) {
                return result;
            }
            const kvcmd_trans_error_response answer =
                handler->on_error(message, kLookupTableCaption, 3, type);
            if (answer == KVCMD_RESPONSE_RETRY) {
                continue;
            }
            // Without a key list there is nothing to read, whatever the answer.
            return result;
        }
    }

    uint32_t address = 2 * table->entry_value(SlTable::ENTRY_PSKEY_LIST);
    delete mKnownKeys;
    mKnownKeys = new KnownKeySet;
    // Chip memory is not trusted: a list of many overlapping wide ranges costs the set no more
    // than a word per 64 keys of each range.
    uint16_t words[kListChunkWords];
    for (uint32_t read = 0; read < kMaxListWords && !result; read += kListChunkWords) {
        if (!read_mem(GenericPointer{4, address}, kListChunkWords, words)) {
            break;
        }
        for (int i = 0; i < kListChunkWords; i += 2) {
            if (words[i] == 0) {
                result = true;
                break;
            }
            mKnownKeys->insert(words[i], words[i + 1]);
        }
        address += 2 * kListChunkWords;
    }
    mKeysKnown = result;
    return result;
}
