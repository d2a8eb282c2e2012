# The simulated chip from Python: images, faults, counters and its link.
import datetime

import pytest

import keyward
import kvcmdsim

IMPL = kvcmdsim.STORE_IMPLEMENTATION
HOST_INTERFACE = 0x01F9


def test_image_saved_and_loaded(chip, tmp_path):
    chip.set_key(kvcmdsim.STORE_FACTORY, "PSKEY_USR0", [1, 2])
    chip.set_var("SPIDEBUG_REPRODUCIBLE", "ON")
    chip.secure = True
    chip.set_firmware_id(4120, "Simulated firmware")
    chip.save(tmp_path / "chip.img")
    loaded = kvcmdsim.Chip(tmp_path / "chip.img")
    assert loaded.read_key(HOST_INTERFACE) == [3]
    assert loaded.get_key(kvcmdsim.STORE_FACTORY, "PSKEY_USR0") == [1, 2]
    assert loaded.get_key(IMPL, "PSKEY_USR0") is None
    assert loaded.var("SPIDEBUG_REPRODUCIBLE") == "ON" and loaded.secure
    assert (loaded.firmware_id, loaded.firmware_name) == (4120, "Simulated firmware")
    assert loaded.keys_in(IMPL) == [HOST_INTERFACE]


def test_bad_image_names_the_line(tmp_path):
    (tmp_path / "bad.img").write_text("secure off\nsecure perhaps\n")
    with pytest.raises(OSError, match="line 2"):
        kvcmdsim.Chip(tmp_path / "bad.img")
    chip = kvcmdsim.Chip()
    with pytest.raises(OSError):
        chip.load_text("&01f9 = xyz\n")


def test_attached_image_is_saved_when_the_transport_closes(tmp_path):
    chip = kvcmdsim.Chip()
    chip.attach_image(tmp_path / "chip.img")
    server = keyward.Server(kvcmdsim.Transport(chip))
    keyward.KeyWarder(server).pskv_set_uint16(HOST_INTERFACE, 2)
    assert chip.has_unsaved_changes
    server.close()
    assert not chip.has_unsaved_changes
    assert kvcmdsim.Chip(tmp_path / "chip.img").read_key(HOST_INTERFACE) == [2]
    assert chip.image_path == str(tmp_path / "chip.img")


def test_fault_switches(chip, keys):
    chip.fail_requests(0x7003, "PSKEY_HOST_INTERFACE", 5, times=1)
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3  # a get is repeated on "access denied"
    chip.fail_requests(0x7003, "PSKEY_HOST_INTERFACE", 5, times=3)
    with pytest.raises(keyward.CommunicationError, match="Access denied"):
        keys.pskv_get_uint16(HOST_INTERFACE)
    chip.queue_transact_results([1])
    with pytest.raises(keyward.CommunicationError, match="Failed to send"):
        keys.pskv_get_uint16(HOST_INTERFACE)
    chip.set_silent(True)
    with pytest.raises(keyward.CommunicationError):
        keys.pskv_get_uint16(HOST_INTERFACE)
    chip.clear_faults()
    chip.set_request_delay(datetime.timedelta(milliseconds=1))
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3


def test_counters_and_log(chip, keys):
    keys.server.open()
    assert chip.open_count == 1
    chip.reset_counters()
    keys.pskv_get_uint16(HOST_INTERFACE)
    assert chip.transact_count == 2
    assert chip.request_count(0x3006) == 1 and chip.request_count(0x7003, HOST_INTERFACE) == 1
    log = chip.request_log()
    assert len(log) == 2 and log[1][6:8] == bytes([0x03, 0x70])


def test_exchange_answers_raw_requests(chip):
    # A PS get of one word of PSKEY_HOST_INTERFACE: type 0, 9 words, seq, varid 0x7003.
    request = bytes([0, 0, 9, 0, 0, 0, 0x03, 0x70, 0, 0, 0xF9, 0x01, 1, 0, 0, 0, 0, 0])
    response = chip.exchange(request, sequence=7)
    assert response[0] == 1 and response[4] == 7 and response[16:18] == bytes([3, 0])
    chip.set_silent(True)
    assert chip.exchange(request) == 2
    chip.set_silent(False)
    chip.queue_exception("unplugged")
    with pytest.raises(keyward.TransportException, match="unplugged"):
        chip.exchange(request)


def test_transport_settings_and_identity(chip):
    transport = kvcmdsim.Transport(chip)
    assert transport.chip is chip and transport.send_attempts == 2
    transport.send_attempts = 1
    chip.set_chip_words(0x0040, 0x0022)
    keyward.Server(transport).open()
    assert isinstance(transport.identity, keyward.ChipIdentity)
    assert transport.identity.version_word == 0x0040
    assert transport.security_state == 2


def test_memory_and_firmware_keys(chip):
    assert chip.write_memory(4, 0x1000, [1, 2, 3])
    assert chip.read_memory(4, 0x1000, 3) == [1, 2, 3]
    assert chip.read_memory(4, 0xFFFF, 2) is None
    chip.set_firmware_keys([(0x0001, 0x0003), (0x01F9, 0x01F9)])
    assert chip.firmware_keys() == [(0x0001, 0x0003), (0x01F9, 0x01F9)]
    server = keyward.Server(kvcmdsim.Transport(chip))
    assert server.known_keys() == [1, 2, 3, 0x01F9]
