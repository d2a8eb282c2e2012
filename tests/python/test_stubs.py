# The type stubs beside the modules name what the modules have, and nothing they lack, so that
# an editor completes and explains what is really there.
import ast
import inspect
import pathlib

import pytest

import keyward
import kvcmdsim
import quillon


def stub_of(module):
    path = pathlib.Path(module.__file__).with_name(module.__name__ + ".pyi")
    assert path.exists(), f"no stub beside {module.__file__}"
    return ast.parse(path.read_text())


def names(body):
    """Public names a stub body defines (type aliases, plain assignments, are the stub's own)."""
    found = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            found[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found[node.target.id] = node
    return {name: node for name, node in found.items() if not name.startswith("_")}


def public(names_):
    return {n for n in names_ if not n.startswith("_")}


def members_of(node, classes):
    """A stub class's members, with those of its bases that the stub itself defines."""
    members = names(node.body)
    for base in node.bases:
        base_name = base.value.id if isinstance(base, ast.Subscript) else getattr(base, "id", "")
        if base_name in classes:
            members = {**members_of(classes[base_name], classes), **members}
    return members


@pytest.mark.parametrize("module", [keyward, kvcmdsim, quillon], ids=lambda m: m.__name__)
def test_stub_matches_the_module(module):
    body = stub_of(module).body
    classes = {node.name: node for node in body if isinstance(node, ast.ClassDef)}
    stub = names(body)
    assert set(stub) == public(dir(module))
    for name, node in stub.items():
        runtime = getattr(module, name)
        if not isinstance(node, ast.ClassDef):
            continue
        members = members_of(node, classes)
        own = public(vars(runtime))
        if issubclass(runtime, tuple):  # named tuples: their fields
            own = set(runtime._fields)
        declared = set(members)
        if type(runtime) is type:
            # A class written in Python: its annotated attributes are set on each instance.
            declared -= {n for n, m in members.items() if isinstance(m, ast.AnnAssign)}
        if name == "Transport" and module is keyward:
            own = declared  # its optional methods are documented, not defined
        missing = declared - own - public(dir(runtime))
        assert not missing, f"{name}: the stub names {missing}, which the module lacks"
        undeclared = own - set(members)
        assert not undeclared, f"{name}: the module has {undeclared}, which the stub lacks"


def explanation(item):
    """The docstring without the signature line pybind11 writes for every function."""
    text = (item.__doc__ or "").strip()
    if not inspect.isclass(item) and text.startswith(item.__name__ + "("):
        text = text.partition("\n")[2].strip()
    return text


def test_every_public_function_and_class_is_explained():
    lacking = [f"{module.__name__}.{name}"
               for module in (keyward, kvcmdsim, quillon) for name in public(dir(module))
               if (inspect.isclass(getattr(module, name)) or callable(getattr(module, name)))
               and not explanation(getattr(module, name))]
    assert not lacking
