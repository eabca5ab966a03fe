"""Command-line front end and helpers around the pictor emulator module."""

from .machine import demo_path

__all__ = ["demo_path"]
