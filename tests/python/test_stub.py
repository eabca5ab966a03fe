"""The installed type information (the pictor-stubs package) describes exactly what the module exposes."""

import ast
import importlib.metadata
import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pictor = pytest.importorskip("pictor")
pytest.importorskip("mypy", reason="the type checks need mypy (the test extra)")

STUB = Path(__file__).resolve().parents[2] / "python" / "pictor-stubs" / "__init__.pyi"
# Made by pybind11 for pickling: documented in the stub, but their docstrings are pybind11's own.
PYBIND_MADE = {"__getstate__", "__setstate__"}


def stub_classes():
    """Public classes of the stub: {class: {name: [FunctionDef, ...]}} (overloads listed together)."""
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            members = classes.setdefault(node.name, {})
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.setdefault(item.name, []).append(item)
    return classes


def split_top(text):
    """Splits a parameter list at the commas outside brackets."""
    parts, depth, current = [], 0, ""
    for ch in text:
        depth += ch in "[(" and 1 or (ch in "])" and -1 or 0)
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    return [p for p in parts + [current.strip()] if p]


def runtime_overloads(func):
    """[(positional names, keyword-only names, names with defaults, return text)] from a pybind11 docstring."""
    found = []
    for params, ret in re.findall(rf"^(?:\d+\. )?{func.__name__}\((.*)\) -> (.+)$", func.__doc__ or "", re.M):
        positional, keyword, defaults, star = [], [], set(), False
        for param in split_top(params)[1:]:  # self first
            if param in ("*", "/"):
                star = star or param == "*"
                continue
            name = param.split(":")[0].strip()
            (keyword if star else positional).append(name)
            if "=" in param:
                defaults.add(name)
        found.append((positional, keyword, defaults, ret.strip()))
    return found


def stub_overload(defn):
    args = defn.args
    positional = [a.arg for a in args.posonlyargs + args.args][1:]
    keyword = [a.arg for a in args.kwonlyargs]
    defaults = set(positional[len(positional) - len(args.defaults) :] if args.defaults else [])
    defaults |= {a.arg for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None}
    return positional, keyword, defaults, ast.unparse(defn.returns)


def normal_return(text):
    return re.sub(r"(?<![\w.])typing\.", "", text)


def test_stub_matches_the_module_names_signatures_and_docs():
    classes = stub_classes()
    module_classes = {name for name, value in vars(pictor).items() if isinstance(value, type)}
    assert set(classes) == module_classes == {"NES", "Controller", "Batch", "Observer"}
    assert pictor.__doc__ and ast.get_docstring(ast.parse(STUB.read_text()))
    for cls_name, members in classes.items():
        cls = getattr(pictor, cls_name)
        assert cls.__doc__ and ast.get_docstring(next(n for n in ast.parse(STUB.read_text()).body
                                                      if isinstance(n, ast.ClassDef) and n.name == cls_name))
        public = {n for n in dir(cls) if not n.startswith("_")} | {"__init__"} | ((PYBIND_MADE | {"__len__"}) & set(vars(cls)))
        assert set(members) == public, cls_name
        for name, defs in members.items():
            if name in PYBIND_MADE or isinstance(getattr(cls, name), property):
                continue
            runtime = runtime_overloads(getattr(cls, name))
            stub = [stub_overload(d) for d in defs]
            assert len(runtime) == len(stub), f"{cls_name}.{name}"
            for (r_pos, r_kw, r_def, r_ret), (s_pos, s_kw, s_def, s_ret), defn in zip(runtime, stub, defs):
                where = f"{cls_name}.{name}"
                assert (r_pos, r_kw, r_def) == (s_pos, s_kw, s_def), where
                assert normal_return(r_ret) == s_ret, where
                # Every parameter is described, in the module and in the stub.
                doc = ast.get_docstring(defn) or ""
                assert doc, where
                for param in r_pos + r_kw:
                    assert f"{param}:" in doc and f"{param}:" in getattr(cls, name).__doc__, f"{where}({param})"


def test_installed_as_a_stub_package_that_stubtest_accepts(tmp_path):
    site = Path(importlib.util.find_spec("pictor").origin).parent
    assert (site / "pictor-stubs" / "__init__.pyi").read_text() == STUB.read_text()
    assert not (site / "pictor.pyi").exists()
    # pybind11 gives every class its own metaclass, which a stub cannot name.
    allow = tmp_path / "allowlist.txt"
    allow.write_text("pictor.NES\npictor.Controller\npictor.Batch\npictor.Observer\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pictor", "--allowlist", str(allow)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_mypy_on_user_code_sees_the_types(tmp_path):
    code = tmp_path / "user.py"
    code.write_text(
        textwrap.dedent(
            """
            import pathlib
            import pickle

            import numpy as np
            import numpy.typing as npt

            import pictor

            nes = pictor.NES(pathlib.Path("game.nes"), verbose=False)
            pad = pictor.Controller()
            pad.updateInputs((True, False) * 4)
            pad.updateInputs(np.zeros(8, dtype=np.bool_))
            nes.setController(pad, 0)
            nes.perFrame(lambda: None)
            nes.runFrame()
            state: bytes = nes.getState()
            nes.setState(state)
            audio: npt.NDArray[np.int16] = nes.readAudio()
            dropped: int = nes.audioDropped
            picture: npt.NDArray[np.uint8] = nes.getImg()
            twin: pictor.NES = pickle.loads(pickle.dumps(nes))
            version: str = pictor.__version__
            nes.runFrame(1)  # type: ignore[call-arg]
            """
        )
    )
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(code)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    # With --strict an ignore that silences nothing is an error: the bad call must have been seen.
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_version_is_the_distribution_version():
    assert pictor.__version__ == importlib.metadata.version("pictor")
