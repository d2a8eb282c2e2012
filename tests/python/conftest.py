# The Python modules' tests. They import keyward, kvcmdsim and quillon from wherever Python
# finds them: the build tree (CTest puts it on PYTHONPATH) or, installed, Debian's Python path.
# VARNAK_EXPECT_INSTALLED=1 makes sure the installed modules are the ones under test;
# VARNAK_PTAPSIM names the ptapsim program (else the one on PATH).
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

import keyward
import kvcmdsim
import quillon

INSTALLED_DIR = "/usr/lib/python3/dist-packages"


def pytest_report_header(config):
    return ["modules: " + ", ".join(m.__file__ for m in (keyward, kvcmdsim, quillon))]


def pytest_configure(config):
    config.addinivalue_line("markers", "threads: tests that run Python threads")
    if os.environ.get("VARNAK_EXPECT_INSTALLED") == "1":
        for module in (keyward, kvcmdsim, quillon):
            if not module.__file__.startswith(INSTALLED_DIR + "/"):
                raise pytest.UsageError(f"{module.__name__} is {module.__file__}, not installed")


@pytest.fixture
def chip():
    """A blank simulated chip holding PSKEY_HOST_INTERFACE = 3."""
    chip = kvcmdsim.Chip()
    chip.set_key(kvcmdsim.STORE_IMPLEMENTATION, "PSKEY_HOST_INTERFACE", [3])
    return chip


@pytest.fixture
def server(chip):
    return keyward.Server(kvcmdsim.Transport(chip))


@pytest.fixture
def keys(server):
    return keyward.KeyWarder(server)


def ptapsim_program():
    program = os.environ.get("VARNAK_PTAPSIM") or shutil.which("ptapsim")
    if not program:
        pytest.fail("no ptapsim program: set VARNAK_PTAPSIM or put ptapsim on PATH")
    return program


@pytest.fixture
def ptapsim():
    """A ptapsim process serving the folder it returns, ended after the test."""
    # A short path of its own: a socket's path has room for 107 characters only.
    folder = pathlib.Path(tempfile.mkdtemp(prefix="ptapsim-"))
    socket = folder / "ptap"
    process = subprocess.Popen([ptapsim_program(), "--socket", str(socket)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    while not socket.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            pytest.fail("ptapsim did not start: " + process.stderr.read().decode())
        time.sleep(0.02)
    yield folder
    process.send_signal(signal.SIGTERM)
    try:
        assert process.wait(timeout=20) == 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)
