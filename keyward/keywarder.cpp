// CKeyWarder: binding, forwarding and the typed accessors.
#include "trace.h"

#include <keyward/keywarder.h>
#include <keyward/widetext.h>
#include <ostrel/ostrel.h>

#include <algorithm>
#include <cstdarg>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

constexpr size_t kMessageLimit = 254;  // characters of a raised message
const wchar_t* const kErrorTitle = L"Error";

uint16_t FieldMask(uint16_t width) {
    return static_cast<uint16_t>((1u << std::min<uint16_t>(width, 16)) - 1u);
}

}  // namespace

CKeyWarder::CKeyWarder() : layer_a_supported(false), server(nullptr), error_handler(nullptr) {}

CKeyWarder::CKeyWarder(PsServer* bound) : CKeyWarder() {
    SetServer(bound);
}

void CKeyWarder::SetServer(PsServer* bound) {
    server = bound;
    error_handler = bound != nullptr ? bound->get_error_handler() : nullptr;
}

void CKeyWarder::ClearServer() {
    server = nullptr;
    error_handler = nullptr;
}

void CKeyWarder::RefreshIsSupportedLayerA() {
    layer_a_supported = server != nullptr && server->is_layer_a_supported();
}

uint16_t CKeyWarder::GetStores() {
    return server != nullptr ? server->GetStores() : 0;
}

void CKeyWarder::SetStores(uint16_t stores) {
    if (server != nullptr) {
        server->SetStores(stores);
    }
}

uint16_t CKeyWarder::GetBootmode() {
    return server != nullptr ? server->GetBootmode() : PsServer::NoBootmode();
}

void CKeyWarder::SetBootmode(uint16_t mode) {
    if (server != nullptr) {
        server->SetBootmode(mode);
    }
}

bool CKeyWarder::pskv_factory_set() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_factory_set();
    return result;
}

bool CKeyWarder::pskv_factory_restore(bool all) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_factory_restore(all);
    return result;
}

bool CKeyWarder::ResetKv(reset_t reset) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->reset_kv(reset);
    return result;
}

bool CKeyWarder::ResetKvAndClose(reset_t reset) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->reset_kv_and_close(reset);
    return result;
}

bool CKeyWarder::Reconnect() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->open();
    return result;
}

bool CKeyWarder::GetFirmwareId(int* const id, uint16_t* name, unsigned name_capacity) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->get_firmware_id(id, name, name_capacity);
    return result;
}

uint16_t CKeyWarder::add_permissions(uint16_t key) {
    return key;
}

bool CKeyWarder::reproducible() {
    const char* value = server != nullptr ? server->getvar("SPIDEBUG_REPRODUCIBLE") : nullptr;
    // "ON" in any case, compared by hand: strcasecmp follows the locale, and this runs for
    // every line a PS file writes.
    return value != nullptr && (value[0] == 'O' || value[0] == 'o') &&
           (value[1] == 'N' || value[1] == 'n') && value[2] == '\0';
}

kvcmd_trans_error_response CKeyWarder::RaiseError(const wchar_t* title, const wchar_t* format,
                                                  ...) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 || buffer.size() >= 65536) {
            break;
        }
        buffer.assign(buffer.size() * 4, L'\0');
    }
    buffer.back() = L'\0';
    std::wstring text(buffer.data());
    if (text.size() > kMessageLimit) {
        text.resize(kMessageLimit);
    }
    if (error_handler == nullptr) {
        OSTREL_SET_ERROR(CMessageHandler::GROUP_KVCMD, keyward::Narrow(text));
        return KVCMD_RESPONSE_ABORT;
    }
    return error_handler->on_error(text.c_str(), title, 3, 0);
}

// ---------------------------------------------------------------- raw access

bool CKeyWarder::pskv_size(uint16_t key, uint16_t* length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (server == nullptr) {
        return result;
    }
    uint16_t size = 0;
    result = server->pskv_size(key, &size, false);
    if (result && length != nullptr) {
        *length = size;
    }
    return result;
}

bool CKeyWarder::pskv_set_raw(uint16_t key, const uint16_t* data, uint16_t count) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_set(add_permissions(key), data, count, false);
    return result;
}

bool CKeyWarder::pskv_get_raw(uint16_t key, uint16_t* buffer, uint16_t capacity, uint16_t* length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    uint16_t size = 0;
    if ((buffer == nullptr && capacity != 0) || !pskv_size(key, &size)) {
        return result;
    }
    result = read_sized(key, size, buffer, capacity, true, length);
    return result;
}

bool CKeyWarder::pskv_get_raw(uint16_t key, uint16_t** buffer, uint16_t capacity,
                              uint16_t* length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    uint16_t size = 0;
    if (buffer == nullptr || !pskv_size(key, &size)) {
        return result;
    }
    const bool allocate = *buffer == nullptr;
    if (allocate) {
        *buffer = new uint16_t[size];
        capacity = size;
    }
    result = read_sized(key, size, *buffer, capacity, !allocate, length);
    return result;
}

bool CKeyWarder::read_whole(uint16_t key, WholeValue& value) {
    uint16_t size = 0;
    return pskv_size(key, &size) &&
           read_sized(key, size, value.Allocate(size), size, false, &value.length);
}

bool CKeyWarder::read_sized(uint16_t key, uint16_t size, uint16_t* buffer, uint16_t capacity,
                            bool callers_buffer, uint16_t* length) {
    std::fill(buffer, buffer + capacity, UNREAD_WORD);
    // The whole key when it fits, else the capacity; a caller's buffer of capacity 0 gets
    // nothing, so nothing lands where there is no room.
    uint16_t requested = 0;
    if (capacity != 0 || !callers_buffer) {
        const uint16_t room = std::max<uint16_t>(capacity, 1);
        requested = room >= size ? size : room;
    }
    uint16_t read = 0;
    const bool result = server->pskv_get(add_permissions(key), buffer, requested, &read, false);
    if (result && length != nullptr) {
        // The chip's length field may claim more than was asked for; only these words were read.
        *length = std::min(read, requested);
    }
    return result;
}

bool CKeyWarder::pskv_clr(uint16_t key) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_clr(add_permissions(key), false);
    return result;
}

bool CKeyWarder::pskv_clrs(uint16_t key) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_clrs(add_permissions(key), false);
    return result;
}

bool CKeyWarder::pskv_known_key(uint16_t key) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_known_key(add_permissions(key), false);
    return result;
}

bool CKeyWarder::pskv_clrb(uint16_t key) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = server != nullptr && server->pskv_clrb(add_permissions(key));
    return result;
}

// ---------------------------------------------------------------- typed access

namespace {

bool IsPresentation(const pskey_entry* entry) {
    return entry != nullptr && entry->kind == PSKEY_KIND_PRESENTATION;
}

}  // namespace

bool CKeyWarder::pskv_set_uint16(uint16_t key, uint16_t value) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = IsPresentation(findKey(key)) ? pskv_set_presentation(key, value)
                                          : pskv_set_raw(key, &value, 1);
    return result;
}

bool CKeyWarder::pskv_get_uint16(uint16_t key, uint16_t& value) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (IsPresentation(findKey(key))) {
        result = pskv_get_presentation(key, value);
        return result;
    }
    uint16_t word = UNREAD_WORD;
    uint16_t length = 0;
    result = pskv_get_raw(key, &word, 1, &length);
    if (result && length == 0) {
        RaiseError(kErrorTitle, L"Incorrect key length, expected %d bytes, got %d bytes.", 2, 0);
    }
    value = word;
    return result;
}

bool CKeyWarder::pskv_set_uint32(uint16_t key, uint32_t value) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    const uint16_t words[2] = {static_cast<uint16_t>(value >> 16),
                               static_cast<uint16_t>(value & 0xFFFF)};
    result = pskv_set_raw(key, words, 2);
    return result;
}

bool CKeyWarder::pskv_get_uint32(uint16_t key, uint32_t& value) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    uint16_t words[2] = {UNREAD_WORD, UNREAD_WORD};
    uint16_t length = 0;
    result = pskv_get_raw(key, words, 2, &length);
    if (result && length < 2) {
        RaiseError(kErrorTitle, L"Incorrect key length, expected %d bytes, got %d bytes.", 4,
                   2 * length);
    }
    value = (static_cast<uint32_t>(words[0]) << 16) | words[1];
    return result;
}

bool CKeyWarder::pskv_get_bits(uint16_t key, uint16_t& value, uint16_t bit_offset,
                               uint16_t bit_width) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    WholeValue read;
    result = read_whole(key, read);
    const uint16_t index = bit_offset / 16;
    if (result && index >= read.length) {
        result = false;  // the field lies beyond the value
    }
    if (result) {
        value = (read.words()[index] >> (bit_offset % 16)) & FieldMask(bit_width);
    }
    return result;
}

bool CKeyWarder::pskv_set_bits(uint16_t key, uint16_t value, uint16_t bit_offset,
                               uint16_t bit_width) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    WholeValue read;
    const bool got = read_whole(key, read);
    uint16_t* words = read.words();
    const uint16_t index = bit_offset / 16;
    if (!got || index >= read.length) {
        result = RaiseError(kErrorTitle,
                            L"Cannot set this presentation key because the base key (0x%04X) is "
                            L"not set",
                            key) == KVCMD_RESPONSE_ACCEPT;
        return result;
    }
    const uint16_t mask = FieldMask(bit_width);
    const uint16_t bit = bit_offset % 16;
    const uint16_t current = (words[index] >> bit) & mask;
    if (current == (value & mask) && !reproducible()) {
        result = true;
        return result;
    }
    words[index] = static_cast<uint16_t>((words[index] & ~(mask << bit)) | ((value & mask) << bit));
    result = pskv_set_raw(key, words, read.length);
    return result;
}

bool CKeyWarder::pskv_set_presentation(uint16_t key, uint16_t value) {
    const pskey_entry* entry = findKey(key);
    return IsPresentation(entry) &&
           pskv_set_bits(entry->base_key, value, entry->bit_offset, entry->bit_width);
}

bool CKeyWarder::pskv_get_presentation(uint16_t key, uint16_t& value) {
    const pskey_entry* entry = findKey(key);
    return IsPresentation(entry) &&
           pskv_get_bits(entry->base_key, value, entry->bit_offset, entry->bit_width);
}

bool CKeyWarder::pskv_set_pres_or_raw(uint16_t key, const uint16_t* data, uint16_t count) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (IsPresentation(findKey(key))) {
        result = count != 0 && data != nullptr && pskv_set_presentation(key, data[0]);
    } else {
        result = pskv_set_raw(key, data, count);
    }
    return result;
}

bool CKeyWarder::pskv_get_pres_or_raw(uint16_t key, uint16_t* buffer, uint16_t capacity,
                                      uint16_t* length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!IsPresentation(findKey(key))) {
        result = pskv_get_raw(key, buffer, capacity, length);
        return result;
    }
    if (buffer == nullptr || capacity == 0) {
        return result;
    }
    if (length != nullptr) {
        *length = 1;
    }
    result = pskv_get_presentation(key, buffer[0]);
    return result;
}

bool CKeyWarder::pskv_get_pres_or_raw(uint16_t key, uint16_t** buffer, uint16_t capacity,
                                      uint16_t* length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!IsPresentation(findKey(key))) {
        result = pskv_get_raw(key, buffer, capacity, length);
        return result;
    }
    if (buffer == nullptr) {
        return result;
    }
    if (*buffer == nullptr) {
        *buffer = new uint16_t[1];
        capacity = 1;
    }
    result = pskv_get_pres_or_raw(key, *buffer, capacity, length);
    return result;
}

bool CKeyWarder::pskv_set_pres_or_raw_if_different(uint16_t key, const uint16_t* data,
                                                   uint16_t count) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (IsPresentation(findKey(key))) {
        result = count != 0 && data != nullptr && pskv_set_presentation(key, data[0]);
        return result;
    }
    if (reproducible()) {
        result = pskv_set_pres_or_raw(key, data, count);
        return result;
    }
    if (error_handler != nullptr) {
        error_handler->clear_worst_response();
    }
    WholeValue read;
    const bool got = read_whole(key, read);
    const bool equal = got && read.length == count && std::equal(data, data + count, read.words());
    if (!got && error_handler != nullptr &&
        error_handler->get_worst_response() == KVCMD_RESPONSE_ABORT) {
        return result;
    }
    result = equal || pskv_set_pres_or_raw(key, data, count);
    return result;
}

bool CKeyWarder::set_fragmented_string(uint16_t key, const uint16_t* data, uint16_t count) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (key != LOCAL_NAME_KEY) {
        result = pskv_set_raw(key, data, count);
        return result;
    }
    if (count > LOCAL_NAME_MAX_WORDS) {
        // Only 18 pieces exist: a longer name would be cut or spill into the keys after them.
        RaiseError(kErrorTitle, L"The name is %d words long; at most %d words can be stored.",
                   count, LOCAL_NAME_MAX_WORDS);
        return result;
    }
    if (data == nullptr && count != 0) {
        return result;
    }
    result = pskv_set_uint16(LOCAL_NAME_LENGTH_KEY, count);
    uint16_t offset = 0;
    for (; offset < count && result; offset += LOCAL_NAME_PIECE_WORDS) {
        const uint16_t words = std::min<uint16_t>(count - offset, LOCAL_NAME_PIECE_WORDS);
        const uint16_t piece = LOCAL_NAME_KEY + offset / LOCAL_NAME_PIECE_WORDS;
        result = pskv_set_raw(piece, data + offset, words) && result;
    }
    for (; offset < LOCAL_NAME_MAX_WORDS; offset += LOCAL_NAME_PIECE_WORDS) {
        pskv_clr(LOCAL_NAME_KEY + offset / LOCAL_NAME_PIECE_WORDS);
    }
    return result;
}

bool CKeyWarder::get_fragmented_string(uint16_t key, uint16_t* buffer, uint16_t& length) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (buffer == nullptr) {
        return result;
    }
    if (key != LOCAL_NAME_KEY) {
        result = pskv_get_raw(key, buffer, 16, &length);
        return result;
    }
    result = pskv_get_uint16(LOCAL_NAME_LENGTH_KEY, length);
    if (!result || length == 0 || length > LOCAL_NAME_MAX_WORDS) {
        result = false;
        return result;
    }
    for (uint16_t offset = 0; result; offset += LOCAL_NAME_PIECE_WORDS) {
        const uint16_t piece = LOCAL_NAME_KEY + offset / LOCAL_NAME_PIECE_WORDS;
        uint16_t read = 0;
        result = server->pskv_get(add_permissions(piece), buffer + offset, LOCAL_NAME_PIECE_WORDS,
                                  &read, false) &&
                 result;
        if (offset + LOCAL_NAME_PIECE_WORDS >= length) {
            break;
        }
    }
    buffer[length] = 0;
    return result;
}
