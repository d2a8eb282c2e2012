# Transports written in Python: one that forwards to the simulated chip, one that fails and one
# that raises, plugged into keyward.Server (and a Cache, whose worker calls them).
import pytest

import keyward
import kvcmdsim

HOST_INTERFACE = "PSKEY_HOST_INTERFACE"


class Forwarding(keyward.Transport):
    """Forwards every request to a simulated chip, as a script's own link would to a real one."""

    def __init__(self, chip):
        self.chip = chip
        self.sequence = 0
        self.opened = 0
        self.requests = []

    def open(self):
        self.opened += 1
        return True

    def transact(self, request):
        self.requests.append(request)
        self.sequence = (self.sequence + 1) & 0xFFFF
        return self.chip.exchange(request, self.sequence)

    def getvar(self, name):
        return self.chip.var(name)

    def get_firmware_id(self):
        return self.chip.firmware_id, self.chip.firmware_name


class Failing(keyward.Transport):
    def __init__(self, result):
        self.result = result
        self.calls = 0

    def transact(self, request):
        self.calls += 1
        return self.result


class LinkBroken(Exception):
    pass


class Raising(Forwarding):
    """Forwards until told to raise."""

    def __init__(self, chip):
        super().__init__(chip)
        self.raise_next = False

    def transact(self, request):
        if self.raise_next:
            self.raise_next = False
            raise LinkBroken("the cable is out")
        return super().transact(request)


def test_forwarding_transport_gives_every_feature(chip):
    link = Forwarding(chip)
    keys = keyward.KeyWarder(keyward.Server(link))
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
    keys.pskv_set_uint32("PSKEY_UART_BITRATE", 0x0001C200)
    assert chip.read_key("PSKEY_UART_BITRATE") == [0x0001, 0xC200]
    # The key list came from chip memory, read through transact with KVCMD memory requests.
    assert len(keys.server.known_keys()) > 1000
    assert chip.request_count(0x1001) > 0
    assert "&01f9 = 0003" in keys.dump_text()
    keys.apply_canned("@usb")
    assert chip.read_key(HOST_INTERFACE) == [2]
    chip.set_var("SPIDEBUG_REPRODUCIBLE", "ON")
    assert keys.server.getvar("SPIDEBUG_REPRODUCIBLE") == "ON"
    chip.set_firmware_id(4120, "Simulated firmware")
    assert keys.get_firmware_id() == (4120, "Simulated firmware")
    assert link.opened == 1
    assert all(isinstance(r, bytes) for r in link.requests)


def test_minimal_transport_needs_only_transact(chip):
    class Minimal:
        def transact(self, request):
            return chip.exchange(request)

    keys = keyward.KeyWarder(keyward.Server(Minimal()))
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
    assert keys.get_firmware_id.__doc__
    with pytest.raises(keyward.Error):
        keys.get_firmware_id()  # the minimal transport has none


def test_secure_chip_keys_are_walked(chip):
    chip.secure = True
    keys = keyward.KeyWarder(keyward.Server(Forwarding(chip)))
    assert keys.server.known_keys() == [0x01F9]
    assert keys.server.security_state == 1


@pytest.mark.parametrize("result", [1, 2, None])
def test_failing_transport_raises_communication_error(result):
    link = Failing(result)
    server = keyward.Server(link)
    with pytest.raises(keyward.CommunicationError) as failure:
        server.open()
    # The last report of the failed open: no key list could be read from the chip.
    assert failure.value.text.startswith("The application was unable to find a lookup table")
    assert failure.value.caption == "Error reading lookup table"
    assert failure.value.code == 3
    assert link.calls > 0
    assert not server.is_open()


def test_failing_transport_record_of_one_request(chip):
    link = Forwarding(chip)
    keys = keyward.KeyWarder(keyward.Server(link))
    keys.server.open()
    link.transact = lambda request: 1
    with pytest.raises(keyward.CommunicationError) as failure:
        keys.pskv_set_uint16(HOST_INTERFACE, 2)
    assert (failure.value.text, failure.value.caption, failure.value.code) == (
        "Failed to send or process command", "Communication error", 2)


def test_failing_transport_is_retried_as_often_as_it_says(chip):
    class Flaky(Forwarding):
        def __init__(self, chip):
            super().__init__(chip)
            self.failures = 2

        def send_attempts(self):
            return 3

        def transact(self, request):
            if self.failures:
                self.failures -= 1
                return 2
            return super().transact(request)

    keys = keyward.KeyWarder(keyward.Server(Flaky(chip)))
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3


def test_transport_answering_nonsense_raises_type_error(chip):
    class Nonsense(Forwarding):
        def transact(self, request):
            return "not bytes"

    with pytest.raises(TypeError, match="transact"):
        keyward.Server(Nonsense(chip)).open()


def test_raising_transport_exception_reaches_the_caller_as_itself(chip):
    link = Raising(chip)
    keys = keyward.KeyWarder(keyward.Server(link))
    assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
    link.raise_next = True
    with pytest.raises(LinkBroken, match="the cable is out") as raised:
        keys.pskv_set_uint16(HOST_INTERFACE, 1)
    assert raised.traceback[-1].name == "transact"
    # The server goes on working once the link does.
    keys.pskv_set_uint16(HOST_INTERFACE, 1)
    assert chip.read_key(HOST_INTERFACE) == [1]


def test_raising_open_reaches_the_caller():
    class NoCable(keyward.Transport):
        def open(self):
            raise LinkBroken("no cable")

    with pytest.raises(LinkBroken, match="no cable"):
        keyward.KeyWarder(keyward.Server(NoCable())).pskv_get_uint16(HOST_INTERFACE)


def test_raising_transport_through_the_cache_worker(chip):
    link = Raising(chip)
    server = keyward.Server(link)
    with keyward.Cache(server) as cache:
        keys = keyward.KeyWarder(cache)
        cache.clear_cache(HOST_INTERFACE)
        link.raise_next = True
        # The worker fetches the key; what it raised is raised to the reading client.
        with pytest.raises(LinkBroken):
            keys.pskv_get_uint16(HOST_INTERFACE)
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 3


def test_cpp_transport_exception_is_a_keyward_error(chip, keys):
    chip.queue_exception("link reset by peer")
    with pytest.raises(keyward.TransportException) as raised:
        keys.pskv_get_uint16(HOST_INTERFACE)
    assert raised.value.text == "link reset by peer"
    assert isinstance(raised.value, keyward.Error)


def test_forwarded_chip_exception_passes_through_a_python_transport(chip):
    keys = keyward.KeyWarder(keyward.Server(Forwarding(chip)))
    keys.pskv_get_uint16(HOST_INTERFACE)
    chip.queue_exception("link reset by peer")
    with pytest.raises(keyward.TransportException, match="link reset by peer"):
        keys.pskv_get_uint16(HOST_INTERFACE)


def test_transport_calling_back_into_its_server_is_refused(chip):
    class Reentrant(Forwarding):
        server = None

        def transact(self, request):
            if self.server is not None:
                self.server.is_open()
            return super().transact(request)

    link = Reentrant(chip)
    server = keyward.Server(link)
    server.open()
    link.server = server
    with pytest.raises(RuntimeError, match="cannot call back"):
        keyward.KeyWarder(server).pskv_get_uint16(HOST_INTERFACE)


def test_a_cpp_transport_serves_one_server(chip):
    transport = kvcmdsim.Transport(chip)
    first = keyward.Server(transport)
    with pytest.raises(ValueError, match="another server"):
        keyward.Server(transport)
    del first
    keyward.Server(transport)  # free again


def test_server_refuses_what_is_not_a_transport():
    with pytest.raises(TypeError, match="transact"):
        keyward.Server(object())
