// Power settings packed to and from their raw words, and CKeyWarder's table accessors.
#include "trace.h"

#include <keyward/keywarder.h>
#include <keyward/powertable.h>

#include <memory>

namespace {

uint8_t High(uint16_t word) {
    return static_cast<uint8_t>(word >> 8);
}

uint8_t Low(uint16_t word) {
    return static_cast<uint8_t>(word & 0xFF);
}

uint16_t Word(uint8_t high, uint8_t low) {
    return static_cast<uint16_t>((high << 8) | low);
}

// The output power as the two's-complement byte in bits 15-8 of the last word.
uint16_t PowerWord(int8_t dbm) {
    return static_cast<uint16_t>(static_cast<uint8_t>(dbm) << 8);
}

int8_t PowerFrom(uint16_t word) {
    return static_cast<int8_t>(High(word));
}

}  // namespace

// ---------------------------------------------------------------- CPowerSetting

uint32_t CPowerSetting::asUint32() const {
    return (static_cast<uint32_t>(internal_pa) << 24) | (static_cast<uint32_t>(external_pa) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(tx_dbm)) << 8);
}

void CPowerSetting::getFromUint32(uint32_t value) {
    internal_pa = static_cast<uint8_t>(value >> 24);
    external_pa = static_cast<uint8_t>(value >> 16);
    tx_dbm = static_cast<int8_t>(static_cast<uint8_t>(value >> 8));
}

void CPowerSetting::fromRaw(const uint16_t* words) {
    getFromUint32((static_cast<uint32_t>(words[0]) << 16) | words[1]);
}

void CPowerSetting::toRaw(uint16_t* words) const {
    const uint32_t value = asUint32();
    words[0] = static_cast<uint16_t>(value >> 16);
    words[1] = static_cast<uint16_t>(value & 0xFFFF);
}

// ---------------------------------------------------------------- CEnhancedPowerSetting

void CEnhancedPowerSetting::fromRaw(const uint16_t* words) {
    internal_pa = High(words[0]);
    external_pa = Low(words[0]);
    switchable_external_pa = words[1] & 1;
    tx_pa_attn = (words[1] >> 4) & 7;
    internal_pa_edr = High(words[2]);
    external_pa_edr = Low(words[2]);
    tx_pre_edr = High(words[3]);
    inhibit_edr = words[3] & 1;
    inhibit_br = (words[3] >> 1) & 1;
    tx_pa_attn_edr = (words[3] >> 4) & 7;
    tx_dbm = PowerFrom(words[4]);
}

void CEnhancedPowerSetting::toRaw(uint16_t* words) const {
    words[0] = Word(internal_pa, external_pa);
    words[1] = static_cast<uint16_t>((switchable_external_pa & 1) | ((tx_pa_attn & 7) << 4));
    words[2] = Word(internal_pa_edr, external_pa_edr);
    words[3] = static_cast<uint16_t>((tx_pre_edr << 8) | (inhibit_edr & 1) |
                                     ((inhibit_br & 1) << 1) | ((tx_pa_attn_edr & 7) << 4));
    words[4] = PowerWord(tx_dbm);
}

// ---------------------------------------------------------------- CBluetoothPowerTableV0Setting

void CBluetoothPowerTableV0Setting::fromRaw(const uint16_t* words) {
    internal_pa = High(words[0]);
    mixer_level = (words[0] >> 4) & 0xF;
    mixer_offset = words[0] & 0xF;
    tx_pa_attn = (words[1] >> 4) & 7;
    internal_pa_edr = High(words[2]);
    mixer_level_edr = (words[2] >> 4) & 0xF;
    mixer_offset_edr = words[2] & 0xF;
    inhibit_edr = words[3] & 1;
    inhibit_br = (words[3] >> 1) & 1;
    tx_pa_attn_edr = (words[3] >> 4) & 7;
    tx_dbm = PowerFrom(words[4]);
}

void CBluetoothPowerTableV0Setting::toRaw(uint16_t* words) const {
    words[0] = static_cast<uint16_t>((internal_pa << 8) | ((mixer_level & 0xF) << 4) |
                                     (mixer_offset & 0xF));
    words[1] = static_cast<uint16_t>((tx_pa_attn & 7) << 4);
    words[2] = static_cast<uint16_t>((internal_pa_edr << 8) | ((mixer_level_edr & 0xF) << 4) |
                                     (mixer_offset_edr & 0xF));
    words[3] = static_cast<uint16_t>(((tx_pa_attn_edr & 7) << 4) | ((inhibit_br & 1) << 1) |
                                     (inhibit_edr & 1));
    words[4] = PowerWord(tx_dbm);
}

// ---------------------------------------------------------------- CKeyWarder

namespace {

template <class Table>
bool WriteTable(CKeyWarder& keys, uint16_t key, const Table& table) {
    uint16_t words[Table::MAX_RAW_WORDS];
    uint16_t count = 0;
    table.toRaw(words, count);
    return keys.pskv_set_raw(key, words, count);
}

template <class Table>
bool ReadTable(CKeyWarder& keys, uint16_t key, Table& table) {
    uint16_t* read = nullptr;
    uint16_t length = 0;
    const bool result = keys.pskv_get_raw(key, &read, 0, &length);
    const std::unique_ptr<uint16_t[]> words(read);
    if (result) {
        table.fromRaw(words.get(), length);
    }
    return result;
}

}  // namespace

bool CKeyWarder::pskv_set_power_table(uint16_t key, const CPowerTable& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = WriteTable(*this, key, table);
    return result;
}

bool CKeyWarder::pskv_set_enhanced_power_table(uint16_t key, const CEnhancedPowerTable& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = WriteTable(*this, key, table);
    return result;
}

bool CKeyWarder::pskv_set_bluetooth_power_table_v0(uint16_t key,
                                                   const CBluetoothPowerTableV0& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = WriteTable(*this, key, table);
    return result;
}

bool CKeyWarder::pskv_get_power_table(uint16_t key, CPowerTable& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = ReadTable(*this, key, table);
    return result;
}

bool CKeyWarder::pskv_get_enhanced_power_table(uint16_t key, CEnhancedPowerTable& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = ReadTable(*this, key, table);
    return result;
}

bool CKeyWarder::pskv_get_bluetooth_power_table_v0(uint16_t key, CBluetoothPowerTableV0& table) {
    bool result = false;
    KEYWARD_TRACE_RETURN(result);
    result = ReadTable(*this, key, table);
    return result;
}
