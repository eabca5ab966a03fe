"""Button combinations: the environment's discrete actions and their names."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import List, Tuple, Union

from pictor_cli.script import BUTTONS  # pad order: A, B, Select, Start, Up, Down, Left, Right

Combination = Union[str, Iterable[str]]
Pad = Tuple[bool, ...]

# A small set that covers most games: standing still, walking right with jumps and runs,
# jumping in place, walking left, crouching, climbing and the Start button.
DEFAULT_ACTIONS: Tuple[str, ...] = (
    "NOOP",
    "Right",
    "Right+A",
    "Right+B",
    "Right+A+B",
    "A",
    "Left",
    "Left+A",
    "Down",
    "Up",
    "Start",
)

NOOP = "NOOP"
_INDEX = {name.lower(): i for i, name in enumerate(BUTTONS)}
# The order of the buttons in a name: the pad's directions first, then its buttons.
_NAME_ORDER = (4, 5, 6, 7, 0, 1, 2, 3)


def pad_state(combination: Combination) -> Pad:
    """The eight button states of one combination.

    A combination is a string of button names joined by '+' ("Right+A"), or a sequence of names
    (["right", "A"]); names are A, B, Select, Start, Up, Down, Left, Right in any case. "NOOP",
    "" and an empty sequence press nothing.
    """
    if isinstance(combination, str):
        text = combination.strip()
        names: Sequence[str] = [] if text.upper() in (NOOP, "") else text.split("+")
    else:
        names = list(combination)
    held = [False] * len(BUTTONS)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"a button name must be a str, got {type(name).__name__}")
        key = name.strip().lower()
        if key not in _INDEX:
            raise ValueError(f"unknown button {name!r} (buttons: {', '.join(BUTTONS)})")
        held[_INDEX[key]] = True
    return tuple(held)


def meaning(pad: Pad) -> str:
    """The name of a pad state: "NOOP", or the held buttons joined by '+', directions first."""
    held = [BUTTONS[i] for i in _NAME_ORDER if pad[i]]
    return "+".join(held) if held else NOOP


def action_table(actions: Union[str, Iterable[Combination], None]) -> List[Pad]:
    """The pad state of each action: DEFAULT_ACTIONS for None, every combination for "all"."""
    if actions is None:
        actions = DEFAULT_ACTIONS
    elif isinstance(actions, str):
        if actions != "all":
            raise ValueError(f"actions must be a list of button combinations or 'all', got {actions!r}")
        # Action n holds the buttons of the set bits of n: bit 0 A, bit 1 B, ..., bit 7 Right.
        return [tuple(bool(n >> i & 1) for i in range(len(BUTTONS))) for n in range(1 << len(BUTTONS))]
    table = [pad_state(c) for c in actions]
    if not table:
        raise ValueError("actions must hold at least one button combination")
    return table


__all__ = ["BUTTONS", "DEFAULT_ACTIONS", "NOOP", "action_table", "meaning", "pad_state"]
