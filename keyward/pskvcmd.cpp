#include "pdu_inside.h"
#include "trace.h"

#include <keyward/pskvcmd.h>

#include <utility>

namespace {

using keyward::detail::Channel;

constexpr uint16_t kRawAccess = 0x0080;
constexpr uint32_t kChipDataSpace = 4;

}  // namespace

struct PsKvcmd::Ownership {
    kvcmd_trans* transport;
    explicit Ownership(kvcmd_trans* owned) : transport(owned) {}
    ~Ownership() { delete transport; }
    Ownership(const Ownership&) = delete;
    Ownership& operator=(const Ownership&) = delete;
};

PsKvcmd::PsKvcmd(kvcmd_trans* transport)
    : mTrans(transport),
      mOwnership(transport != nullptr ? std::make_shared<Ownership>(transport) : nullptr) {}

PsKvcmd::PsKvcmd(const PsKvcmd& other) = default;

PsKvcmd& PsKvcmd::operator=(const PsKvcmd& other) = default;

PsKvcmd::~PsKvcmd() = default;

void PsKvcmd::SetTrans(kvcmd_trans* transport) {
    if (mOwnership != nullptr) {
        mOwnership->transport = nullptr;
    }
    mTrans = transport;
    mOwnership = transport != nullptr ? std::make_shared<Ownership>(transport) : nullptr;
}

uint16_t PsKvcmd::stores_word(bool raw) const {
    return raw ? static_cast<uint16_t>(mStores | kRawAccess) : mStores;
}

bool PsKvcmd::begin_operation() {
    kvcmd_trans_error_handler* handler = get_error_handler();
    if (handler == nullptr) {
        return false;
    }
    handler->reset();
    return is_open() || open();
}

PDU PsKvcmd::exchange(PDU&& request) {
    PDU response = mTrans->run_pdu_report_errs(request);
    mRecycled = std::move(request);
    return response;
}

bool PsKvcmd::read_mem(GenericPointer where, uint16_t length, uint16_t* out) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (mTrans != nullptr && where.space == kChipDataSpace) {
        result = mTrans->read_mem(where, length, out);
    }
    return result;
}

bool PsKvcmd::pskv_size(uint16_t key, uint16_t* const length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!begin_operation()) {
        return result;
    }
    const KVCMD_PSSIZE_PDU response(exchange(KVCMD_PSSIZE_PDU(key, stores_word(raw), recycled())));
    if (Channel(response) != 0) {
        if (length != nullptr) {
            *length = response.get_size();
        }
        result = response.get_status() == KVCMD_PDU::STATUS_OK;
    }
    return result;
}

bool PsKvcmd::pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if ((data == nullptr && length != 0) || !begin_operation()) {
        return result;
    }
    KVCMD_PS_PDU request(KVCMD_PDU::TYPE_SET_REQ, key, length, stores_word(raw), recycled());
    request.set_data(data, length);
    result = Channel(exchange(std::move(request))) != 0;
    return result;
}

bool PsKvcmd::pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length,
                       uint16_t* const length, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!begin_operation()) {
        return result;
    }
    const KVCMD_PS_PDU response(exchange(
        KVCMD_PS_PDU(KVCMD_PDU::TYPE_GET_REQ, key, max_length, stores_word(raw), recycled())));
    if (Channel(response) != 0) {
        if (data != nullptr) {
            response.get_data(data, max_length);
        }
        if (length != nullptr) {
            *length = response.get_len();
        }
        result = true;
    }
    return result;
}

bool PsKvcmd::pskv_next(uint16_t key, uint16_t* next, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!begin_operation()) {
        return result;
    }
    const KVCMD_PSNEXT_PDU response(exchange(KVCMD_PSNEXT_PDU(key, stores_word(raw), recycled())));
    if (Channel(response) != 0) {
        if (next != nullptr) {
            *next = response.get_next();
        }
        result = true;
    }
    return result;
}

bool PsKvcmd::pskv_next_all(uint16_t key, uint16_t* next) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!begin_operation()) {
        return result;
    }
    const KVCMD_PSNEXT_ALL_PDU response(exchange(KVCMD_PSNEXT_ALL_PDU(key, recycled())));
    if (Channel(response) != 0) {
        if (next != nullptr) {
            *next = response.get_next();
        }
        result = true;
    }
    return result;
}

bool PsKvcmd::pskv_clr(uint16_t key, bool /*raw*/) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (begin_operation()) {
        result = Channel(exchange(KVCMD_PSCLR_PDU(key, recycled()))) != 0;
    }
    return result;
}

bool PsKvcmd::pskv_clrs(uint16_t key, bool raw) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (begin_operation()) {
        result = Channel(exchange(KVCMD_PSCLRS_PDU(key, stores_word(raw), recycled()))) != 0;
    }
    return result;
}

bool PsKvcmd::pskv_known_key(uint16_t key, bool /*raw*/) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (!begin_operation()) {
        return result;
    }
    const KVCMD_PSSIZE_PDU response(exchange(KVCMD_PSSIZE_PDU(key, 0, recycled())));
    result = Channel(response) != 0 && response.get_key() != 0;
    return result;
}

bool PsKvcmd::pskv_factory_set() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (begin_operation()) {
        result = Channel(exchange(KVCMD_PS_FACTORY_SET_PDU())) != 0;
    }
    return result;
}

bool PsKvcmd::pskv_factory_restore(bool all) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (begin_operation()) {
        const PDU response = all ? exchange(KVCMD_PS_FACTORY_RESTORE_ALL_PDU())
                                 : exchange(KVCMD_PS_FACTORY_RESTORE_PDU());
        result = Channel(response) != 0;
    }
    return result;
}

bool PsKvcmd::pskv_clrb(uint16_t /*key*/) {
    return false;
}

bool PsKvcmd::supports_stores() {
    return true;
}

bool PsKvcmd::inquire_known_keys() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (mTrans == nullptr) {
        return result;
    }
    result = mTrans->detectSecurity() == kvcmd_trans::SECURITY_LOCKED
                 ? inquire_known_keys_from_psnextall()
                 : inquire_known_keys_from_mem();
    return result;
}

kvcmd_trans_error_handler* PsKvcmd::get_error_handler() {
    return mTrans != nullptr ? mTrans->get_error_handler() : nullptr;
}

bool PsKvcmd::reset_kv(reset_t how) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = mTrans != nullptr && mTrans->reset_kv(how);
    return result;
}

bool PsKvcmd::reset_kv_and_close(reset_t how) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = mTrans != nullptr && mTrans->reset_kv_and_close(how);
    return result;
}

bool PsKvcmd::open() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    if (mTrans == nullptr || !mTrans->open(0)) {
        return result;
    }
    result = inquire_known_keys();
    if (!result) {
        mTrans->close();
    }
    return result;
}

bool PsKvcmd::close() {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = mTrans != nullptr && mTrans->close();
    return result;
}

void PsKvcmd::set_error_handler(kvcmd_trans_error_handler* handler) {
    if (mTrans != nullptr) {
        mTrans->set_error_handler(handler);
    }
}

bool PsKvcmd::get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = mTrans != nullptr && mTrans->get_firmware_id(id, name, name_capacity);
    return result;
}

bool PsKvcmd::is_layer_a_supported() {
    return mTrans != nullptr && mTrans->is_layer_a_supported();
}

bool PsKvcmd::get_slt(SlTable*& table, bool refresh) {
    return mTrans != nullptr && mTrans->get_slt(table, refresh);
}

bool PsKvcmd::is_open() {
    return mTrans != nullptr && mTrans->is_open();
}

uint16_t PsKvcmd::NumBootmodes() {
    return 0;
}

const char* PsKvcmd::getvar(const char* name) {
    const char* value = mTrans != nullptr ? mTrans->getvar(name) : nullptr;
    return value != nullptr ? value : "";
}

bool PsKvcmdRaw::pskv_size(uint16_t key, uint16_t* const length, bool /*raw*/) {
    return PsKvcmd::pskv_size(key, length, true);
}

bool PsKvcmdRaw::pskv_set(uint16_t key, const uint16_t* const data, uint16_t length, bool /*raw*/) {
    return PsKvcmd::pskv_set(key, data, length, true);
}

bool PsKvcmdRaw::pskv_get(uint16_t key, uint16_t* const data, uint16_t max_length,
                          uint16_t* const length, bool /*raw*/) {
    return PsKvcmd::pskv_get(key, data, max_length, length, true);
}

bool PsKvcmdRaw::pskv_next(uint16_t key, uint16_t* next, bool /*raw*/) {
    return PsKvcmd::pskv_next(key, next, true);
}

bool PsKvcmdRaw::pskv_clr(uint16_t key, bool /*raw*/) {
    return PsKvcmd::pskv_clr(key, true);
}

bool PsKvcmdRaw::pskv_clrs(uint16_t key, bool /*raw*/) {
    return PsKvcmd::pskv_clrs(key, true);
}

bool PsKvcmdRaw::pskv_known_key(uint16_t key, bool /*raw*/) {
    return PsKvcmd::pskv_known_key(key, true);
}
