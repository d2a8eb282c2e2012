# The thread cases: the GIL is released while a call waits on the chip, and what the docstrings
# say may be called from several threads at once works from several threads at once. These also
# run under ThreadSanitizer.
import datetime
import threading
import time

import pytest

import keyward
import kvcmdsim
import quillon

pytestmark = pytest.mark.threads

HOST_INTERFACE = 0x01F9


def run_threads(count, body):
    errors = []

    def guarded(index):
        try:
            body(index)
        except BaseException as error:  # reported by the test thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]


def test_the_gil_is_released_while_a_call_waits_on_the_chip(chip, keys):
    keys.server.open()
    chip.set_request_delay(datetime.timedelta(milliseconds=100))
    before = chip.transact_count
    seen = set()
    done = threading.Event()

    def read():
        keys.pskv_get_uint32("PSKEY_UART_BITRATE")

    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, "PSKEY_UART_BITRATE", [0, 0x4B00])
    reader = threading.Thread(target=lambda: (read(), done.set()))
    reader.start()
    while not done.is_set():
        seen.add(chip.transact_count)
        time.sleep(0.001)
    reader.join()
    final = chip.transact_count
    # The read sends a size and a get request; this thread ran while the first one waited.
    assert final - before >= 2
    assert any(before < count < final for count in seen)


def test_threads_share_one_server_and_take_turns(chip, server):
    keys = keyward.KeyWarder(server)
    server.open()
    # Each request takes a while, so that calls of the threads would overlap if they could.
    chip.set_request_delay(datetime.timedelta(milliseconds=1))

    def work(index):
        key = 0x028A + index  # PSKEY_USR0 + index
        for value in range(10):
            keys.pskv_set_raw(key, [index, value])
            assert keys.pskv_get_raw(key) == [index, value]
            assert keys.pskv_get_uint16(HOST_INTERFACE) == 3

    run_threads(4, work)
    assert chip.overlapping_transacts == 0


def test_threads_share_a_cache(chip, server):
    with keyward.Cache(server) as cache:
        keys = keyward.KeyWarder(cache)
        chip.set_request_delay(datetime.timedelta(milliseconds=1))

        def work(index):
            for _ in range(10):
                assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
                keys.pskv_set_uint16(0x028A + index, index)

        run_threads(4, work)
    assert chip.overlapping_transacts == 0


def test_a_python_transport_serves_a_cache_worker_and_client_threads(chip):
    lock = threading.Lock()
    inside = []

    class Forwarding(keyward.Transport):
        def transact(self, request):
            with lock:
                inside.append(threading.get_ident())
            return chip.exchange(request)

    with keyward.Cache(keyward.Server(Forwarding())) as cache:
        keys = keyward.KeyWarder(cache)
        run_threads(3, lambda index: [keys.pskv_get_uint16(HOST_INTERFACE) for _ in range(20)])
    assert len(set(inside)) >= 2  # the worker's thread and a client's
    assert chip.overlapping_transacts == 0


def test_a_dump_is_cancelled_from_another_thread(chip, keys):
    chip.set_firmware_keys([(HOST_INTERFACE, HOST_INTERFACE), (0x028A, 0x028A + 49)])
    keys.server.open()
    for key in range(0x028A, 0x028A + 50):
        chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, key, [key])
    chip.set_request_delay(datetime.timedelta(milliseconds=20))
    progress = threading.Event()

    def handler(text, caption, code, type):
        progress.set()

    keys.server.handler = handler
    outcome = []

    def dump():
        try:
            keys.dump_text()
            outcome.append("finished")
        except keyward.Error as error:
            outcome.append(error)

    dumper = threading.Thread(target=dump)
    dumper.start()
    assert progress.wait(timeout=60)
    keys.server.do_cancel()  # never waits for the dump
    dumper.join(timeout=120)
    assert not dumper.is_alive()
    assert isinstance(outcome[0], keyward.Error)
    assert chip.request_count(0x7003) < 51


def test_quillon_from_several_threads(ptapsim):
    with quillon.Connection("trans=ptap;dir=%s" % ptapsim):
        expected = quillon.services()
        results = []
        run_threads(4, lambda index: results.extend(quillon.services() for _ in range(10)))
    assert len(results) == 40 and all(r == expected for r in results)
