# PS files and command streams from a path or a string (apply, dump plain and annotated, query)
# and canned operations.
import keyward
import kvcmdsim

HOST_INTERFACE = 0x01F9


def test_dump_to_a_file_and_to_text(chip, keys, tmp_path):
    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, "PSKEY_USR0", [0x0102, 0xABCD])
    keys.dump_ps(tmp_path / "plain.ps")
    plain = (tmp_path / "plain.ps").read_text()
    assert plain == keys.dump_text() == "&01f9 = 0003\n&028a = 0102 abcd\n"
    keys.dump_ps(str(tmp_path / "annotated.ps"), keyward.ANNOTATED)
    annotated = keys.dump_text(keyward.ANNOTATED)
    assert (tmp_path / "annotated.ps").read_text() == annotated
    assert "// PSKEY_HOST_INTERFACE\n&01f9 = 0003// UART link running H4\n" in annotated


def test_a_dump_applied_to_another_chip_restores_it(chip, keys, tmp_path):
    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, "PSKEY_USR0", [1, 2, 3])
    keys.dump_ps(tmp_path / "chip.ps", keyward.ANNOTATED)
    other = kvcmdsim.Chip()
    other_keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(other)))
    other_keys.apply_file(tmp_path / "chip.ps")
    assert other.read_key(HOST_INTERFACE) == [3] and other.read_key("PSKEY_USR0") == [1, 2, 3]
    # Applying it again writes nothing.
    other.reset_counters()
    other_keys.apply_text(other_keys.dump_text())
    assert not [r for r in other.request_log() if r[0] == 2]


def test_apply_text_operations(chip, keys):
    keys.apply_text('&01f9 = 2\n&00dc = "Abc\n&03c0 + 0001\n&03c0 + 0002\n&028b ~ 0005\n')
    assert chip.read_key(HOST_INTERFACE) == [2]
    assert chip.read_key(0x00DC) == [0x41, 0x62, 0x63]
    assert chip.read_key(0x03C0) == [1]  # add: only when the key had no value
    assert chip.read_key(0x028B) is None  # update: only when it has one
    keys.apply_text("&01f9 -\n")
    assert chip.read_key(HOST_INTERFACE) is None


def test_query_from_text_and_files(chip, keys, tmp_path):
    query = "?01f9 =\n&0205 =\n"
    assert keys.query_text(query) == "&01f9 = 0003\n&0205 -\n"
    assert keys.query_text(query, keyward.ANNOTATED).startswith("// PSKEY_HOST_INTERFACE\n")
    (tmp_path / "query.ps").write_text(query)
    keys.run_query(tmp_path / "answer.ps", tmp_path / "query.ps")
    assert (tmp_path / "answer.ps").read_text() == "&01f9 = 0003\n&0205 -\n"
    assert chip.read_key(HOST_INTERFACE) == [3]  # a query changes nothing


def test_write_key_lines(keys):
    assert keys.write_key(HOST_INTERFACE, [3]) == "&01f9 = 0003\n"
    assert keys.write_key("PSKEY_HOST_INTERFACE", [0x1F], keyward.ANNOTATED) == (
        "// PSKEY_HOST_INTERFACE\n&01f9 = 001f// Unrecognised value 1f\n")
    assert keys.write_delete_key(0x0205) == "&0205 -\n"
    assert keys.write_delete_key(0x0205, keyward.ANNOTATED) == (
        "// PSKEY_UART_CONFIG\n&0205 - // Delete\n")


def test_canned_operations_by_name_index_and_steps(chip, keys):
    assert keys.is_valid_canned("@USB") and not keys.is_valid_canned("usb")
    keys.apply_canned("@usb")
    assert chip.read_key(HOST_INTERFACE) == [2]
    keys.apply_canned(0)  # @h4
    assert chip.read_key(HOST_INTERFACE) == [3]
    # @115200 on a chip that has no PSKEY_UART_BITRATE sets only PSKEY_UART_BAUDRATE.
    chip.remove_firmware_keys(0x01EA, 0x01EA)
    keys.server.inquire_known_keys()
    keys.apply_canned("@115200")
    assert chip.read_key("PSKEY_UART_BAUDRATE") == [0x01D8]
    assert chip.read_key("PSKEY_UART_BITRATE") is None
    keys.apply_canned([(keyward.PS_OP_SET, "PSKEY_HOST_INTERFACE", 6)])
    assert chip.read_key(HOST_INTERFACE) == [6]
