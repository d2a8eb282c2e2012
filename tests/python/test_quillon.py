# A ptapsim session through quillon: the transport's set-up, the lists, the messages and their
# failures.
import pytest

import quillon


@pytest.fixture
def device(ptapsim):
    quillon.init("trans=ptap;dir=%s" % ptapsim)
    yield ptapsim
    quillon.deinit()


def state(service_id):
    return {s.id: s for s in quillon.services()}[service_id]


def test_set_up_and_lists(device):
    assert quillon.is_initialized()
    assert quillon.arg("dir") == str(device) and quillon.arg("port") == ""
    assert quillon.hifs() == [quillon.Hif(0, 1, "usb"), quillon.Hif(1, 2, "spi")]
    services = quillon.services()
    assert [s.id for s in services] == [1, 2, 3]
    assert services[0] == quillon.Service(1, 0x0100, 0, 2, True, 64)
    assert quillon.stats(0, [1, 2, 16, 99]) == {1: 1200, 2: 3400, 16: 7, 99: 0}


def test_service_operations(device):
    quillon.service_map(3)
    assert state(3).low7 == 1  # mapped
    quillon.service_start(3)
    assert state(3).low7 == 2  # started
    quillon.service_available(3)
    assert state(3).bit7
    quillon.service_unavailable(3)
    quillon.service_stop(3)
    quillon.service_unmap(3)
    assert state(3).low7 == 0 and not state(3).bit7
    with pytest.raises(quillon.DeviceError) as failure:
        quillon.service_start(3)  # not mapped
    assert failure.value.status == 4
    assert "PTAP_SERVICE_START" in failure.value.text
    with pytest.raises(quillon.DeviceError) as failure:
        quillon.service_map(42)
    assert failure.value.status == 3


def test_queue_pairs_data_and_tests(device):
    quillon.queue_pair_attach(1, 7, 0, 0x12345678)
    with pytest.raises(quillon.DeviceError):
        quillon.queue_pair_attach(1, 7, 0, 0x12345678)  # attached already
    quillon.queue_pair_detach(1, 7)
    up = quillon.data_down(5, 1, 9, b"hello")  # service 1 is started: echoed back
    assert up == quillon.DataUp(5, 1, 9, b"hello")
    with pytest.raises(quillon.DeviceError):
        quillon.data_down(5, 3, 9, b"hello")  # service 3 is not
    quillon.ptest_start(1, "C:\\tests\\loopback.bin")


def test_set_up_failures_carry_the_recorded_text(ptapsim):
    for connection, text in [("trans=serial", "Unknown protocol: serial"),
                             ("TRANS=ptap", "Unknown protocol: "),
                             ("trans=ptap;debug", "Badly formatted connection string")]:
        with pytest.raises(quillon.Error) as failure:
            quillon.init(connection)
        assert failure.value.text == text
        assert not quillon.is_initialized()
    with pytest.raises(quillon.Error, match="Transport not initialized"):
        quillon.arg("dir")


def test_no_device_raises(tmp_path, monkeypatch):
    with pytest.raises(quillon.Error):
        quillon.init("trans=ptap;dir=%s" % tmp_path)
    # The first message sets the transport up by itself, from $PTAP_INTERFACE_DIR.
    monkeypatch.setenv("PTAP_INTERFACE_DIR", str(tmp_path))
    with pytest.raises(quillon.Error):
        quillon.hifs()
    assert not quillon.is_initialized()


def test_connection_context(ptapsim):
    with quillon.Connection("trans=ptap;dir=%s" % ptapsim) as connection:
        assert connection.connection.endswith(str(ptapsim))
        assert quillon.is_initialized() and len(quillon.hifs()) == 2
    assert not quillon.is_initialized()
