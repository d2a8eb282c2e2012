# Failures as exceptions (keyward.Error and its subclasses, with the reported text, caption and
# code), and the error handler callable that answers the reports instead.
import pytest

import keyward
import kvcmdsim

HOST_INTERFACE = 0x01F9
PS = 0x7003  # the KVCMD PS varid
READ_ONLY = 6


class Recorder:
    """A handler that records every report and answers from a list (then `otherwise`)."""

    def __init__(self, *answers, otherwise=None):
        self.reports = []
        self.answers = list(answers)
        self.otherwise = otherwise

    def __call__(self, text, caption, code, type):
        self.reports.append((text, caption, code, type))
        if type == -1:
            return None
        return self.answers.pop(0) if self.answers else self.otherwise

    def errors(self):
        return [r for r in self.reports if r[3] != -1]


def test_chip_status_raises_with_the_reported_text_caption_and_code(chip, keys):
    chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY)
    with pytest.raises(keyward.CommunicationError) as failure:
        keys.pskv_set_raw(HOST_INTERFACE, [2])
    error = failure.value
    assert (error.text, error.caption, error.code, error.type) == (
        "The chip reports 'Read only'.", "Communication error", 5, 0)
    assert str(error) == error.text
    assert chip.read_key(HOST_INTERFACE) == [3]


def test_a_read_of_a_key_without_value_raises_no_value_error(keys):
    with pytest.raises(keyward.NoValueError, match=r"no value for key 0x0001 \(Device address\)"):
        keys.pskv_get_raw("PSKEY_BDADDR")
    with pytest.raises(keyward.NoValueError):
        keys.pskv_size("PSKEY_BDADDR")


def test_a_short_key_read_as_uint32_raises(keys):
    with pytest.raises(keyward.Error, match="Incorrect key length, expected 4 bytes, got 2 bytes."):
        keys.pskv_get_uint32(HOST_INTERFACE)


def test_unreachable_chip_raises_communication_error(chip, keys):
    chip.set_unreachable(True)
    with pytest.raises(keyward.CommunicationError, match="Couldn't open the connection"):
        keys.pskv_get_uint16(HOST_INTERFACE)


def test_syntax_error_raises_command_stream_error_with_the_line(chip, keys):
    with pytest.raises(keyward.CommandStreamError) as failure:
        keys.apply_text("&01f9 = 0002\n# comment\n&01f9 3\n&01f9 = 0001\n")
    assert failure.value.text == "Error on line 3 - invalid operator"
    assert failure.value.line == 3
    assert chip.read_key(HOST_INTERFACE) == [2]  # the lines before it stay applied


def test_missing_file_raises_file_error(keys, tmp_path):
    with pytest.raises(keyward.FileError, match="Couldn't open .*missing.ps"):
        keys.apply_file(tmp_path / "missing.ps")


def test_unknown_canned_operation_raises(keys):
    with pytest.raises(keyward.Error) as failure:
        keys.apply_canned("@nothing")
    assert (failure.value.text, failure.value.caption, failure.value.code) == (
        "Canned operation @nothing not supported", "ERROR", 1)


def test_every_error_is_a_keyward_error():
    for name in ("CommunicationError", "TransportException", "CommandStreamError", "FileError",
                 "NoValueError"):
        assert issubclass(getattr(keyward, name), keyward.Error)


def test_handler_sees_progress_notes_and_errors(chip):
    recorder = Recorder()
    server = keyward.Server(kvcmdsim.Transport(chip), handler=recorder)
    keys = keyward.KeyWarder(server)
    keys.apply_text("&01f9 = 0002\n")
    assert ("Altered key 505, Host interface", "Operation performed", 0, -1) in recorder.reports
    assert server.handler is recorder
    server.handler = None
    assert server.handler is None


def test_handler_answer_1_stops_a_stream_which_raises(chip):
    chip.fail_requests(PS, None, READ_ONLY, times=-1)
    recorder = Recorder(otherwise=keyward.RESPONSE_ABORT)
    keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(chip), handler=recorder))
    with pytest.raises(keyward.Error):
        keys.apply_text("&01f9 = 0002\n&01f8 = 0001\n")
    assert recorder.errors()
    assert chip.request_count(PS, 0x01F8) == 0  # the second line was not run


def test_handler_answer_0_goes_on(chip):
    chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY, times=-1)
    recorder = Recorder(otherwise=keyward.RESPONSE_NONE)
    keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(chip), handler=recorder))
    keys.apply_text("&01f9 = 0002\n&03c0 = 0001\n")  # no exception: the handler said go on
    assert chip.read_key(0x03C0) == [1]
    assert recorder.errors()[0][:3] == ("The chip reports 'Read only'.", "Communication error", 5)


def test_handler_answer_2_repeats_the_operation(chip):
    chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY, times=1)
    recorder = Recorder(keyward.RESPONSE_RETRY)
    keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(chip), handler=recorder))
    keys.apply_text("&01f9 = 0002\n")
    assert chip.read_key(HOST_INTERFACE) == [2]
    assert len(recorder.errors()) == 1


def test_handler_answer_4_counts_a_failure_as_success(keys):
    keys.server.handler = Recorder(keyward.RESPONSE_ACCEPT)
    # PSKEY_UART_CONFIG_STOP_BITS lives in PSKEY_HOSTIO_UART_PS_BLOCK, which has no value.
    keys.pskv_set_uint16("PSKEY_UART_CONFIG_STOP_BITS", 1)
    assert keys.server.handler.errors() == [
        ("Cannot set this presentation key because the base key (0x0191) is not set", "Error",
         3, 0)]
    keys.server.handler = None
    with pytest.raises(keyward.Error, match="base key"):
        keys.pskv_set_uint16("PSKEY_UART_CONFIG_STOP_BITS", 1)


def test_handler_answering_none_keeps_the_default(chip, keys):
    keys.server.handler = lambda *report: None
    chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY)
    with pytest.raises(keyward.CommunicationError):
        keys.pskv_set_raw(HOST_INTERFACE, [2])


def test_a_read_answered_with_go_on_still_has_no_value(chip, keys):
    keys.server.handler = Recorder(otherwise=keyward.RESPONSE_IGNORE)
    with pytest.raises(keyward.Error, match="Incorrect key length"):
        keys.pskv_get_uint32(HOST_INTERFACE)


def test_exception_of_the_handler_stops_the_operation_and_is_raised(chip):
    class Refused(Exception):
        pass

    def handler(text, caption, code, type):
        if type == -1:
            raise Refused(text)

    keys = keyward.KeyWarder(keyward.Server(kvcmdsim.Transport(chip), handler=handler))
    with pytest.raises(Refused, match="Altered key 505"):
        keys.apply_text("&01f9 = 0002\n&03c0 = 0001\n")
    assert chip.read_key(0x03C0) is None  # stopped after the first line


def test_handler_must_answer_an_int(chip, keys):
    keys.server.handler = lambda *report: "yes"
    chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY)
    with pytest.raises(TypeError, match="int or None"):
        keys.pskv_set_raw(HOST_INTERFACE, [2])
    with pytest.raises(TypeError):
        keys.server.handler = 5


def test_the_cache_reports_to_its_servers_handler(chip):
    recorder = Recorder(otherwise=keyward.RESPONSE_NONE)
    server = keyward.Server(kvcmdsim.Transport(chip), handler=recorder)
    with keyward.Cache(server) as cache:
        assert cache.handler is recorder
        keys = keyward.KeyWarder(cache)
        chip.fail_requests(PS, HOST_INTERFACE, READ_ONLY)
        keys.pskv_set_raw(HOST_INTERFACE, [2])
        assert recorder.errors()[-1][0] == "The chip reports 'Read only'."
