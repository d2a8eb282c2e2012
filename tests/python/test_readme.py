# The README's Python examples run as written: every ```python block of the README, one after
# the other in one namespace. The shell lines before the quillon example start ptapsim; here the
# ptapsim fixture serves the folder and PTAP_INTERFACE_DIR names it.
import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def python_blocks():
    return re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.S | re.M)


def test_readme_python_examples_run(ptapsim, tmp_path, monkeypatch):
    blocks = python_blocks()
    assert len(blocks) >= 4
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PTAP_INTERFACE_DIR", str(ptapsim))
    namespace = {"__name__": "readme"}
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        for number, block in enumerate(blocks, 1):
            exec(compile(block, f"README.md python block {number}", "exec"), namespace)
    output = printed.getvalue()
    assert "&01f9 = 0003// UART link running H4" in output
    assert "Host interface ('UART link running H4', 3)" in output
    assert "Operation performed Altered key 505, Host interface" in output
    assert "[1, 2]" in output
    assert "payload=b'ping'" in output
