# The cache over a server: a context manager, its use-cache switch, and the server it wraps.
import pytest

import keyward
import kvcmdsim

HOST_INTERFACE = 0x01F9
PS = 0x7003


def test_reads_come_from_the_cache(chip, server):
    with keyward.Cache(server) as cache:
        keys = keyward.KeyWarder(cache)
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
        gets = chip.request_count(PS, HOST_INTERFACE)
        for _ in range(5):
            assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
        assert chip.request_count(PS, HOST_INTERFACE) == gets
        keys.pskv_set_uint16(HOST_INTERFACE, 2)  # written through, then fetched anew
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 2
        assert cache.server is server and cache.is_open()
    assert not cache.is_open()


def test_use_cache_switch_fetches_every_read(chip, server):
    cache = keyward.Cache(server, use_cache=False)
    assert not cache.use_cache
    keys = keyward.KeyWarder(cache)
    cache.open()
    keys.pskv_get_uint16(HOST_INTERFACE)
    gets = chip.request_count(PS, HOST_INTERFACE)
    keys.pskv_get_uint16(HOST_INTERFACE)
    assert chip.request_count(PS, HOST_INTERFACE) == gets + 1
    cache.use_cache = True
    assert cache.use_cache
    cache.close()


def test_cache_boot_modes(chip, server):
    # Boot mode 0 overrides PSKEY_HOST_INTERFACE in slot 0 (key 1208).
    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, 1200, [HOST_INTERFACE])
    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, 1208, [6])
    with keyward.Cache(server) as cache:
        keys = keyward.KeyWarder(cache)
        assert cache.num_bootmodes == 8
        keys.bootmode = 0
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 6
        keys.bootmode = keyward.NO_BOOTMODE
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 3


def test_the_wrapped_server_is_the_caches_alone(server):
    cache = keyward.Cache(server)
    with pytest.raises(RuntimeError, match="wrapped by a Cache"):
        server.open()
    with pytest.raises(ValueError, match="another Cache"):
        keyward.Cache(server)
    with pytest.raises(TypeError):
        keyward.Cache(cache)
    del cache
    server.open()  # free again


def test_cache_clears_and_prefetches(chip, server):
    with keyward.Cache(server) as cache:
        keys = keyward.KeyWarder(cache)
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 3
        chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, HOST_INTERFACE, [4])
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 3  # the cached value
        cache.clear_cache(HOST_INTERFACE)
        assert keys.pskv_get_uint16(HOST_INTERFACE) == 4
        cache.clear_cache()
        assert cache.pending_entries() > 0
