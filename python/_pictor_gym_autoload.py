"""Registers pictor/NES-v0 as soon as Gymnasium is imported.

Gymnasium 1.x reads no plugin entry points, so ``gymnasium.make("pictor/NES-v0")`` would not
find the environment until ``pictor_gym`` had been imported. The distribution's
``pictor_gym_autoload.pth`` imports this module when the interpreter starts; it only puts a
finder in front of the import system that waits for ``gymnasium``, imports ``pictor_gym`` once
Gymnasium's own import has run (which registers the environment), and then steps aside.
"""

import sys

# Runs at every interpreter start: nothing is imported here that the start does not load anyway.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from importlib.machinery import ModuleSpec
    from types import ModuleType


class GymnasiumFinder:
    """A meta path finder that only acts on the first import of ``gymnasium``."""

    @classmethod
    def find_spec(
        cls, name: str, path: "Sequence[str] | None" = None, target: "ModuleType | None" = None
    ) -> "ModuleSpec | None":
        if name != "gymnasium":
            return None
        import importlib
        import importlib.util
        import warnings

        if cls in sys.meta_path:
            sys.meta_path.remove(cls)  # once, and the search below must not come back here
        spec = importlib.util.find_spec(name)
        loader = spec.loader if spec else None
        if loader is None or not hasattr(loader, "exec_module"):
            return spec
        exec_gymnasium = loader.exec_module

        def exec_module(module: "ModuleType") -> None:
            exec_gymnasium(module)
            # pictor_gym already in sys.modules: it is the one importing Gymnasium and registers
            # the environment itself when its import ends.
            if "pictor_gym" in sys.modules:
                return
            try:
                importlib.import_module("pictor_gym")
            except Exception as e:  # Gymnasium itself stays usable
                message = f"pictor/NES-v0 is not registered: pictor_gym failed to import: {e!r}"
                warnings.warn(message, RuntimeWarning, stacklevel=2)

        loader.exec_module = exec_module  # type: ignore[method-assign]
        return spec


def install() -> None:
    if "gymnasium" not in sys.modules and GymnasiumFinder not in sys.meta_path:
        sys.meta_path.insert(0, GymnasiumFinder)


install()
