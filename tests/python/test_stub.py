"""The type stub host/pictor.pyi describes exactly what the pictor module exposes."""

import ast
import importlib.util
import re
from pathlib import Path

import pytest

pictor = pytest.importorskip("pictor")

STUB = Path(__file__).resolve().parents[2] / "host" / "pictor.pyi"


def stub_classes():
    """Public classes of the stub: {class: {method: [FunctionDef, ...]}} (overloads listed together)."""
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            methods = classes.setdefault(node.name, {})
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods.setdefault(item.name, []).append(item)
    return classes


def runtime_methods(cls):
    # Leading underscores are pybind11's own machinery; __init__ is the one dunder described.
    return {name for name in dir(cls) if not name.startswith("_")} | {"__init__"}


def doc_signatures(func):
    """(parameter count without self, return text) of each overload in a pybind11 docstring."""
    found = re.findall(rf"^(?:\d+\. )?{func.__name__}\((.*)\) -> (.+)$", func.__doc__ or "", re.MULTILINE)
    return [(len(re.findall(r"(?:^|, )\w+: ", params)) - 1, ret.strip()) for params, ret in found]


def normal_type(text):
    text = text.replace("numpy.ndarray[numpy.uint8]", "numpy.typing.NDArray[numpy.uint8]")
    return text.replace("typing.", "").replace("numpy.NDArray", "numpy.typing.NDArray")


def test_stub_names_the_module_classes_and_methods():
    classes = stub_classes()
    module_classes = {name for name, value in vars(pictor).items() if isinstance(value, type)}
    assert set(classes) == module_classes == {"NES", "Controller"}
    for name, methods in classes.items():
        assert set(methods) == runtime_methods(getattr(pictor, name)), name


def test_stub_signatures_match_the_module():
    for cls_name, methods in stub_classes().items():
        cls = getattr(pictor, cls_name)
        for name, defs in methods.items():
            if name == "__init__":
                continue
            (count, returns), = doc_signatures(getattr(cls, name))
            (stub,) = defs
            params = stub.args.posonlyargs + stub.args.args
            assert len(params) - 1 == count, f"{cls_name}.{name}"
            assert normal_type(ast.unparse(stub.returns)) == normal_type(returns), f"{cls_name}.{name}"
            # The module's methods take positional arguments only.
            assert not stub.args.args[1:], f"{cls_name}.{name} parameters should be positional-only"


def test_stub_constructor_overloads():
    overloads = stub_classes()["NES"]["__init__"]
    assert all(any(getattr(d, "id", None) == "overload" for d in f.decorator_list) for f in overloads)
    names = [[a.arg for a in f.args.args[1:]] for f in overloads]
    assert names == [["rom_name", "CLOCK_SPEED"], ["CLOCK_SPEED"], ["rom_file", "CLOCK_SPEED"]]
    assert all(ast.literal_eval(f.args.defaults[-1]) == 1789773 for f in overloads)
    # The module's own overloads, in the same order, with the same keywords.
    docs = re.findall(r"^\d+\. __init__\(self: [\w.]+(.*)\) -> None$", pictor.NES.__init__.__doc__, re.MULTILINE)
    assert [re.findall(r", (\w+):", d) for d in docs] == names
    assert pictor.NES(CLOCK_SPEED=0).frameCount() == 0


def test_stub_is_installed_beside_the_module():
    installed = Path(importlib.util.find_spec("pictor").origin).with_name("pictor.pyi")
    assert installed.read_text() == STUB.read_text()
