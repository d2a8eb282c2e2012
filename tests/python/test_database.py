# The key database, canned operations, chip catalogue and power settings as Python objects.
import pytest

import keyward

database = keyward.database


def test_lookup_by_number_and_identifier():
    key = database[0x0001]
    assert (key.number, key.identifier, key.structure, key.length) == (1, "PSKEY_BDADDR", 12, 4)
    assert database["PSKEY_BDADDR"] == key
    assert key.label and key.description
    assert 0x0001 in database and "PSKEY_BDADDR" in database
    assert 0xFF00 not in database and "PSKEY_NOTHING" not in database
    assert database.get(0xFF00) is None
    with pytest.raises(KeyError):
        database[0]
    assert int(key) == 1 and hash(key) == 1 and repr(key) == "<Key 0x0001 PSKEY_BDADDR>"


def test_iteration_in_database_order():
    keys = list(database)
    assert len(keys) == len(database) == 1727
    assert len({k.number for k in keys}) == 1727
    assert sum(k.is_presentation for k in keys) == 43
    assert sum(k.constraint == keyward.CONSTRAINT_ENUMERATION for k in keys) == 198
    assert all(k.identifier.startswith("PSKEY_") for k in keys)
    assert database.check_valid()


def test_enumerations_and_presentation_keys():
    assert database["PSKEY_HOST_INTERFACE"].enumeration[3] == ("UART link running H4", 3)
    assert database["PSKEY_BDADDR"].enumeration == []
    assert database.enumeration(0) == [("True", 1), ("False", 0)]
    stop_bits = database["PSKEY_UART_CONFIG_STOP_BITS"]
    assert stop_bits.kind == keyward.KIND_PRESENTATION
    assert (stop_bits.base_key, stop_bits.bit_offset, stop_bits.bit_width) == (0x0191, 16, 1)
    presented = database[0x0191].presentation_keys
    assert len(presented) == 18
    assert [k.identifier for k in presented[:2]] == ["PSKEY_UART_BAUD_RATE", "PSKEY_UART_CONFIG"]
    assert database.structure_length(52) == 4 and database.structure_length(15) == 200
    assert database.structure_length(53) == 1 and database.structure_length(1) == -1


def test_canned_operations_are_listed():
    recipes = keyward.canned_operations()
    assert len(recipes) == 29
    assert recipes[4].name == "@usb" and recipes[4].description == "Sets transport to USB"
    assert recipes[12].steps == [(keyward.PS_OP_SET, 0x01BE, 0x01D8),
                                 (keyward.PS_OP_SET, 0x01EA, 0x0001C200)]
    assert recipes[20].name == "@del_usr" and len(recipes[20].steps) == 50


def test_chip_catalogue_and_identity():
    catalogue = keyward.chip_catalogue()
    assert len(catalogue) == 46 and catalogue[0].index == 0
    identity = keyward.ChipIdentity()
    assert not identity.is_identified() and not identity.is_identified(True)
    identity.identify_from_words(0x0040, 0x0022)
    assert identity.version_word == 0x0040 and identity.second_word == 0x0022
    assert identity.is_identified() == (identity.chip_index != 0)


def test_power_settings_pack_and_unpack():
    basic = keyward.PowerSetting(internal_pa=13, external_pa=17, tx_dbm=-8)
    assert basic.to_raw() == [0x0D11, 0xF800] and basic.as_uint32() == 0x0D11F800
    assert keyward.PowerSetting.from_uint32(0x0D11F8FF) == basic
    v0 = keyward.BluetoothPowerTableV0Setting.from_raw([0x0D12, 0x0000, 0x3F12, 0x0000, 0xF800])
    assert (v0.internal_pa, v0.mixer_level, v0.mixer_offset, v0.internal_pa_edr,
            v0.mixer_level_edr, v0.mixer_offset_edr, v0.tx_dbm) == (13, 1, 2, 63, 1, 2, -8)
    assert v0.to_raw() == [0x0D12, 0x0000, 0x3F12, 0x0000, 0xF800]
    assert len(keyward.EnhancedPowerTable.from_raw([0] * 11)) == 2
    assert len(keyward.EnhancedPowerTable.from_raw([0] * 4)) == 0
    assert len(keyward.PowerTable.from_raw([0] * 70)) == 32
    with pytest.raises(ValueError, match="tx_pa_attn"):
        keyward.EnhancedPowerSetting(tx_pa_attn=8)
    with pytest.raises(TypeError, match="no field"):
        keyward.PowerSetting(gain=1)
    assert "tx_dbm=-8" in repr(basic)


def test_power_table_edits():
    first, second = keyward.PowerSetting(tx_dbm=-8), keyward.PowerSetting(tx_dbm=-8, external_pa=1)
    table = keyward.PowerTable([keyward.PowerSetting(tx_dbm=4), first,
                                keyward.PowerSetting(tx_dbm=0), second])
    table.sort()
    assert list(table) == [first, second, keyward.PowerSetting(tx_dbm=0),
                           keyward.PowerSetting(tx_dbm=4)]
    assert table[-1].tx_dbm == 4
    with pytest.raises(IndexError):
        table[4]
    while len(table) < keyward.PowerTable.MAX_SETTINGS:
        table.append(first)
    with pytest.raises(ValueError, match="at most 32"):
        table.append(first)
    with pytest.raises(IndexError):
        table.insert(40, first)
