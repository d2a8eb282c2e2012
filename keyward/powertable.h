/// @file
/// @brief Transmit-power tables: a PS key whose value is a list of power settings, each giving the
/// amplifier gains that produce one output power. Three generations of the format exist:
///
///   CPowerSetting / CPowerTable                 PSKEY_LC_POWER_TABLE (0x001E), 2 words a setting
///   CEnhancedPowerSetting / CEnhancedPowerTable  PSKEY_LC_ENHANCED_POWER_TABLE (0x0031), 5 words
///   CBluetoothPowerTableV0Setting / CBluetoothPowerTableV0
///                                               PSKEY_BT_POWER_TABLE_V0 (0x241A), 5 words
///
/// The setting classes convert between the packed words stored on the chip and their fields;
/// packing masks every field to its width. The tables are plain values (a count and 32 slots,
/// copyable as a block) that a tool edits and CKeyWarder reads and writes in one call
/// (pskv_get_power_table, pskv_set_power_table and their twins).
#pragma once

#include <keyward/export.h>

#include <algorithm>
#include <cstdint>

/// One setting of a basic power table: basic rate only. Raw form: word 0 = internal_pa << 8 |
/// external_pa, word 1 = tx_dbm << 8.
class KEYWARD_API CPowerSetting {
  public:
    /// Words of the raw form of one setting.
    static constexpr int RAW_WORDS = 2;

    /// The setting as one number: internal_pa << 24 | external_pa << 16 | tx_dbm << 8 (the low
    /// byte 0); word 0 of the raw form is its upper half, word 1 its lower half.
    uint32_t asUint32() const;
    /// Takes the three upper bytes of `value` and ignores the lowest.
    void getFromUint32(uint32_t value);
    /// Unpacks the fields from RAW_WORDS words of the raw form.
    void fromRaw(const uint16_t* words);
    /// Packs the fields into RAW_WORDS words of the raw form (each field masked to its width).
    void toRaw(uint16_t* words) const;

    /// Orders by output power.
    bool operator<(const CPowerSetting& other) const { return tx_dbm < other.tx_dbm; }
    /// True when every field is equal.
    bool operator==(const CPowerSetting& other) const = default;

    uint8_t internal_pa = 0;  ///< gain of the internal amplifier
    uint8_t external_pa = 0;  ///< gain of the external amplifier
    int8_t tx_dbm = 0;        ///< output power in dBm
};

/// One setting of an enhanced power table: basic and enhanced data rate. Raw form, five words:
///   0: internal_pa << 8 | external_pa
///   1: tx_pa_attn (3 bits) << 4 | switchable_external_pa (1 bit)
///   2: internal_pa_edr << 8 | external_pa_edr
///   3: tx_pre_edr << 8 | tx_pa_attn_edr (3 bits) << 4 | inhibit_br << 1 | inhibit_edr
///   4: tx_dbm << 8
class KEYWARD_API CEnhancedPowerSetting {
  public:
    /// Words of the raw form of one setting.
    static constexpr int RAW_WORDS = 5;

    /// Unpacks the fields from RAW_WORDS words of the raw form.
    void fromRaw(const uint16_t* words);
    /// Packs the fields into RAW_WORDS words of the raw form (each field masked to its width).
    void toRaw(uint16_t* words) const;

    /// Orders by output power.
    bool operator<(const CEnhancedPowerSetting& other) const { return tx_dbm < other.tx_dbm; }
    /// True when every field is equal.
    bool operator==(const CEnhancedPowerSetting& other) const = default;

    uint8_t internal_pa = 0;              ///< gain of the internal amplifier
    uint8_t external_pa = 0;              ///< gain of the external amplifier
    uint8_t tx_pa_attn = 0;               ///< 3 bits
    uint16_t switchable_external_pa = 0;  ///< 0 or 1
    uint8_t internal_pa_edr = 0;          ///< gain of the internal amplifier at enhanced data rate
    uint8_t external_pa_edr = 0;          ///< gain of the external amplifier at enhanced data rate
    uint8_t inhibit_edr = 0;              ///< 0 or 1
    uint8_t inhibit_br = 0;               ///< 0 or 1
    uint8_t tx_pa_attn_edr = 0;           ///< 3 bits
    uint8_t tx_pre_edr = 0;               ///< pre-amplifier setting at enhanced data rate
    int8_t tx_dbm = 0;                    ///< output power in dBm
};

/// One setting of a version-0 Bluetooth power table. Raw form, five words:
///   0: internal_pa << 8 | mixer_level (4 bits) << 4 | mixer_offset (4 bits)
///   1: tx_pa_attn (3 bits) << 4
///   2: internal_pa_edr << 8 | mixer_level_edr << 4 | mixer_offset_edr
///   3: tx_pa_attn_edr (3 bits) << 4 | inhibit_br << 1 | inhibit_edr
///   4: tx_dbm << 8
class KEYWARD_API CBluetoothPowerTableV0Setting {
  public:
    /// Words of the raw form of one setting.
    static constexpr int RAW_WORDS = 5;

    /// Unpacks the fields from RAW_WORDS words of the raw form.
    void fromRaw(const uint16_t* words);
    /// Packs the fields into RAW_WORDS words of the raw form (each field masked to its width).
    void toRaw(uint16_t* words) const;

    /// Orders by output power.
    bool operator<(const CBluetoothPowerTableV0Setting& other) const {
        return tx_dbm < other.tx_dbm;
    }
    /// True when every field is equal.
    bool operator==(const CBluetoothPowerTableV0Setting& other) const = default;

    uint8_t internal_pa = 0;       ///< gain of the internal amplifier
    uint8_t mixer_level = 0;       ///< 4 bits
    uint8_t mixer_offset = 0;      ///< 4 bits
    uint8_t tx_pa_attn = 0;        ///< 3 bits
    uint8_t internal_pa_edr = 0;   ///< gain of the internal amplifier at enhanced data rate
    uint8_t mixer_level_edr = 0;   ///< 4 bits
    uint8_t mixer_offset_edr = 0;  ///< 4 bits
    uint8_t inhibit_edr = 0;       ///< 0 or 1
    uint8_t inhibit_br = 0;        ///< 0 or 1
    uint8_t tx_pa_attn_edr = 0;    ///< 3 bits
    int8_t tx_dbm = 0;             ///< output power in dBm
};

/// The keyward library's own names.
namespace keyward {

/// What the three table classes share: `count` settings in 32 slots. Edits that would need a
/// 33rd slot or name a position outside the table change nothing and return false; a `count`
/// outside 0..32 set by a caller is taken as the nearest bound.
template <class Setting>
class PowerTable {
  public:
    /// The slots of a table.
    static constexpr int MAX_SETTINGS = 32;
    /// Words a buffer for toRaw must hold.
    static constexpr int MAX_RAW_WORDS = MAX_SETTINGS * Setting::RAW_WORDS;

    /// Replaces the table with the whole settings packed in `words` (at most 32); trailing
    /// words that do not fill a setting are ignored.
    void fromRaw(const uint16_t* words, uint16_t word_count) {
        count = words == nullptr ? 0 : std::min(word_count / Setting::RAW_WORDS, MAX_SETTINGS);
        for (int i = 0; i < count; ++i) {
            settings[i].fromRaw(words + i * Setting::RAW_WORDS);
        }
    }
    /// Packs the settings into `words` (MAX_RAW_WORDS at most) and their number into
    /// `word_count`.
    void toRaw(uint16_t* words, uint16_t& word_count) const {
        const int used = size();
        for (int i = 0; i < used; ++i) {
            settings[i].toRaw(words + i * Setting::RAW_WORDS);
        }
        word_count = static_cast<uint16_t>(used * Setting::RAW_WORDS);
    }
    /// Stores `setting` at `index` (0..count), moving the later settings up by one.
    bool insertElement(int index, const Setting& setting) {
        const int used = size();
        if (used >= MAX_SETTINGS || index < 0 || index > used) {
            return false;
        }
        std::copy_backward(settings + index, settings + used, settings + used + 1);
        settings[index] = setting;
        count = used + 1;
        return true;
    }
    /// Removes the setting at `index` (0..count - 1), moving the later settings down by one.
    bool deleteElement(int index) {
        const int used = size();
        if (index < 0 || index >= used) {
            return false;
        }
        std::copy(settings + index + 1, settings + used, settings + index);
        count = used - 1;
        return true;
    }
    /// Appends `setting`.
    bool addElement(const Setting& setting) { return insertElement(size(), setting); }
    /// Orders the settings by ascending output power; equal powers keep their order.
    void Sort() {
        count = size();
        std::stable_sort(settings, settings + count);
    }
    /// `count`, taken into 0..32.
    int size() const { return std::clamp<int>(count, 0, MAX_SETTINGS); }

    /// The number of settings in use.
    int32_t count = 0;
    /// The settings; the first `count` are in use.
    Setting settings[MAX_SETTINGS];
};

}  // namespace keyward

/// A basic power table (PSKEY_LC_POWER_TABLE).
class CPowerTable : public keyward::PowerTable<CPowerSetting> {};
/// An enhanced power table (PSKEY_LC_ENHANCED_POWER_TABLE).
class CEnhancedPowerTable : public keyward::PowerTable<CEnhancedPowerSetting> {};
/// A version-0 Bluetooth power table (PSKEY_BT_POWER_TABLE_V0).
class CBluetoothPowerTableV0 : public keyward::PowerTable<CBluetoothPowerTableV0Setting> {};
