"""Scripted button presses: "BUTTONS@FIRST-END" specs turned into pad states per frame."""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass
from typing import Iterable, List, Optional, Sequence, Tuple

# The pad's serial order; updateInputs takes the eight states in this order.
BUTTONS = ("A", "B", "Select", "Start", "Up", "Down", "Left", "Right")
_INDEX = {name.lower(): i for i, name in enumerate(BUTTONS)}

SYNTAX_HELP = (
    "A press is BUTTONS@FIRST-END: BUTTONS is one button or several joined with '+' "
    "(A, B, Select, Start, Up, Down, Left, Right; any case), held from frame FIRST up to "
    "but not including frame END (frames count from 0). 'A@60' holds A for frame 60 only, "
    "'Right@100-' holds Right from frame 100 to the end. Repeat the option or separate presses "
    "by commas: --press A@60-90 --press Right@0-300 or --press A+B@10-20,Start@5."
)



def add_press_argument(parser: argparse.ArgumentParser, summary: str) -> None:
    """The --press option (alias --script) shared by the commands that drive pad 1."""
    parser.add_argument(
        "--press",
        "--script",
        dest="press",
        action="append",
        default=[],
        metavar="PRESS",
        help=f"{summary} {SYNTAX_HELP}",
    )


_SPEC = re.compile(r"^\s*(?P<buttons>[^@]*?)\s*@\s*(?P<first>\d+)\s*(?:(?P<dash>-)\s*(?P<end>\d*))?\s*$")


class ScriptError(ValueError):
    """A press spec that cannot be read; the message is meant for the user as is."""


@dataclass(frozen=True)
class Press:
    buttons: Tuple[int, ...]  # indexes into BUTTONS
    first: int
    end: Optional[int]  # exclusive; None holds to the end of the run

    def active(self, frame: int) -> bool:
        return frame >= self.first and (self.end is None or frame < self.end)


def button_index(name: str) -> int:
    try:
        return _INDEX[name.strip().lower()]
    except KeyError:
        raise ScriptError(f"unknown button '{name.strip()}' (buttons: {', '.join(BUTTONS)})") from None


def parse_press(spec: str) -> Press:
    match = _SPEC.match(spec)
    if not match:
        raise ScriptError(f"cannot read press '{spec}': expected BUTTONS@FIRST-END, e.g. A@60-90")
    names = match.group("buttons")
    if not names:
        raise ScriptError(f"press '{spec}' names no button")
    try:
        buttons = tuple(sorted({button_index(name) for name in names.split("+")}))
    except ScriptError as err:
        raise ScriptError(f"{err} in press '{spec}'") from None
    first = int(match.group("first"))
    if not match.group("dash"):
        end: Optional[int] = first + 1
    elif match.group("end"):
        end = int(match.group("end"))
        if end <= first:
            raise ScriptError(f"press '{spec}' ends at frame {end}, not after its first frame {first}")
    else:
        end = None
    return Press(buttons, first, end)


class Script:
    """The pad states that a list of presses gives for each frame."""

    def __init__(self, presses: Sequence[Press] = ()):
        self.presses = list(presses)

    @classmethod
    def parse(cls, specs: Iterable[str]) -> "Script":
        presses: List[Press] = []
        for item in specs:
            presses.extend(parse_press(part) for part in item.split(",") if part.strip())
        return cls(presses)

    def __bool__(self) -> bool:
        return bool(self.presses)

    def buttons(self, frame: int) -> List[bool]:
        states = [False] * 8
        for press in self.presses:
            if press.active(frame):
                for i in press.buttons:
                    states[i] = True
        return states
