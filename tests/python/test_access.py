# Typed access by key number or identifier, the server's own operations, and power tables on a
# simulated chip.
import pytest

import keyward
import kvcmdsim

IMPL = kvcmdsim.STORE_IMPLEMENTATION
HOST_INTERFACE = 0x01F9
UART_PS_BLOCK = "PSKEY_HOSTIO_UART_PS_BLOCK"


def test_keys_by_number_identifier_or_record(keys):
    record = keyward.database["PSKEY_HOST_INTERFACE"]
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
    assert keys.pskv_get_uint16("PSKEY_HOST_INTERFACE") == 3
    assert keys.pskv_get_uint16(record) == 3
    with pytest.raises(KeyError, match="PSKEY_NOTHING"):
        keys.pskv_get_uint16("PSKEY_NOTHING")
    with pytest.raises(ValueError):
        keys.pskv_get_uint16(0x10000)
    with pytest.raises(TypeError):
        keys.pskv_get_uint16(1.5)


def test_16_and_32_bit_values(chip, keys):
    keys.pskv_set_uint16(HOST_INTERFACE, 2)
    assert chip.read_key(HOST_INTERFACE) == [2]
    keys.pskv_set_uint32("PSKEY_UART_BITRATE", 0x0001C200)
    assert chip.read_key("PSKEY_UART_BITRATE") == [0x0001, 0xC200]
    assert keys.pskv_get_uint32("PSKEY_UART_BITRATE") == 0x0001C200
    with pytest.raises(ValueError):
        keys.pskv_set_uint16(HOST_INTERFACE, 0x10000)
    with pytest.raises(ValueError):
        keys.pskv_set_uint32(HOST_INTERFACE, -1)


def test_arrays(chip, keys):
    keys.pskv_set_raw("PSKEY_USR0", [1, 2, 3])
    assert keys.pskv_get_raw("PSKEY_USR0") == [1, 2, 3]
    assert keys.pskv_get_raw("PSKEY_USR0", capacity=2) == [1, 2]
    assert keys.pskv_size("PSKEY_USR0") == 3
    keys.pskv_set_raw("PSKEY_USR1", [])
    assert keys.pskv_get_raw("PSKEY_USR1") == []
    keys.pskv_clr("PSKEY_USR0")
    assert chip.read_key("PSKEY_USR0") is None
    with pytest.raises(ValueError):
        keys.pskv_set_raw("PSKEY_USR0", [0x10000])


def test_bit_fields_and_presentation_keys(chip, keys):
    chip.set_key(IMPL, UART_PS_BLOCK, [0x01D8, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0])
    keys.pskv_set_uint16("PSKEY_UART_CONFIG_STOP_BITS", 1)  # bit 16: word 1, bit 0
    assert chip.read_key(UART_PS_BLOCK)[1] == 0x0001
    assert keys.pskv_get_uint16("PSKEY_UART_CONFIG_STOP_BITS") == 1
    assert keys.pskv_get_presentation("PSKEY_UART_CONFIG") == 0x0001
    keys.pskv_set_presentation("PSKEY_UART_CONFIG", 0x00A8)
    assert chip.read_key(UART_PS_BLOCK)[1] == 0x00A8
    assert keys.pskv_get_pres_or_raw("PSKEY_UART_CONFIG") == [0x00A8]
    keys.pskv_set_pres_or_raw("PSKEY_UART_CONFIG", [0x0006])
    assert keys.pskv_get_bits(UART_PS_BLOCK, 16, 16) == 0x0006
    keys.pskv_set_bits(UART_PS_BLOCK, 0x3, 4, 4)
    assert chip.read_key(UART_PS_BLOCK)[0] == 0x0138
    with pytest.raises(ValueError):
        keys.pskv_get_bits(UART_PS_BLOCK, 0, 17)


def test_writes_only_when_different(chip, keys):
    before = chip.request_count(0x7003)
    keys.pskv_set_pres_or_raw_if_different(HOST_INTERFACE, [3])
    writes = [r for r in chip.request_log() if r[0] == 2]  # set requests
    assert writes == []
    keys.pskv_set_pres_or_raw_if_different(HOST_INTERFACE, [4])
    assert chip.read_key(HOST_INTERFACE) == [4]
    assert chip.request_count(0x7003) > before


def test_local_name_in_pieces(chip, keys):
    name = [ord(c) for c in "Veltra Plus handset 01"]
    keys.set_fragmented_string("PSKEY_LOCAL_NAME0", name)
    assert chip.read_key("PSKEY_LOCAL_NAME_LENGTH") == [len(name)]
    assert chip.read_key("PSKEY_LOCAL_NAME0") == name[:14]
    assert chip.read_key(0x00DD) == name[14:]
    assert keys.get_fragmented_string() == name
    with pytest.raises(keyward.Error):
        keys.set_fragmented_string("PSKEY_LOCAL_NAME0", [0x41] * 253)


def test_known_keys(keys):
    assert keys.pskv_known_key(HOST_INTERFACE)
    assert keys.key_known(HOST_INTERFACE)
    assert not keys.key_known(0xFF00)
    assert not keys.pskv_known_key(0xFF00)


def test_server_operations(chip, server):
    with server as same:
        assert same is server and server.is_open()
        assert server.known_keys()[:3] == [1, 2, 3]
        assert server.keys_known and server.key_exists(HOST_INTERFACE)
        assert server.pskv_get(HOST_INTERFACE) == [3]
        server.pskv_set("PSKEY_USR0", [7, 8])
        assert server.pskv_get("PSKEY_USR0", max_length=1) == [7]
        assert server.pskv_size("PSKEY_USR0") == 2
        assert server.pskv_next_all(0) == HOST_INTERFACE
        assert server.pskv_next_all("PSKEY_USR0") == 0
        server.stores = kvcmdsim.STORE_IMPLEMENTATION
        assert server.stores == kvcmdsim.STORE_IMPLEMENTATION
        server.bootmode = 3  # a plain server has no boot modes
        assert server.bootmode == keyward.NO_BOOTMODE and server.num_bootmodes == 0
        server.pskv_factory_set()
        assert chip.get_key(kvcmdsim.STORE_FACTORY, HOST_INTERFACE) == [3]
        chip.write_memory(4, 0xFF00, [0x1234, 0x5678])
        assert server.read_mem(4, 2 * 0xFF00, 2) == [0x1234, 0x5678]
        chip.set_firmware_id(4120, "Simulated firmware")
        assert server.get_firmware_id() == (4120, "Simulated firmware")
        chip.set_var("SPIDEBUG_REPRODUCIBLE", "on")
        assert server.getvar("SPIDEBUG_REPRODUCIBLE") == "on"
        server.reset_kv_and_close(kvcmdsim.RESET_COLD)
        assert not server.is_open()
    assert chip.reset_count == 1


def test_raw_server_sends_raw_requests(chip):
    server = keyward.Server(kvcmdsim.Transport(chip), raw=True)
    assert server.raw
    chip.reset_counters()
    server.pskv_get(HOST_INTERFACE)
    stores_word = chip.request_log()[-1][14] | chip.request_log()[-1][15] << 8
    assert stores_word & kvcmdsim.RAW_ACCESS


def test_power_tables_read_edited_and_written(chip, keys):
    table = keyward.PowerTable([keyward.PowerSetting(internal_pa=13, external_pa=17, tx_dbm=-8),
                                keyward.PowerSetting(internal_pa=20, tx_dbm=4)])
    keys.pskv_set_power_table("PSKEY_LC_POWER_TABLE", table)
    assert chip.read_key("PSKEY_LC_POWER_TABLE") == [0x0D11, 0xF800, 0x1400, 0x0400]
    read = keys.pskv_get_power_table()
    assert read == table
    read[0].tx_dbm = 6  # elements are views of the table's slots
    read.sort()
    assert [s.tx_dbm for s in read] == [4, 6]
    read.insert(0, keyward.PowerSetting(tx_dbm=-20))
    del read[2]
    keys.pskv_set_power_table("PSKEY_LC_POWER_TABLE", read)
    assert [s.tx_dbm for s in keys.pskv_get_power_table()] == [-20, 4]

    enhanced = keyward.EnhancedPowerTable([keyward.EnhancedPowerSetting(tx_pa_attn=5, tx_dbm=3)])
    keys.pskv_set_enhanced_power_table("PSKEY_LC_ENHANCED_POWER_TABLE", enhanced)
    assert keys.pskv_get_enhanced_power_table() == enhanced
    v0 = keyward.BluetoothPowerTableV0([keyward.BluetoothPowerTableV0Setting(mixer_level=1)])
    keys.pskv_set_bluetooth_power_table_v0("PSKEY_BT_POWER_TABLE_V0", v0)
    assert keys.pskv_get_bluetooth_power_table_v0()[0].mixer_level == 1
