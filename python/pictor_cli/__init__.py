"""Command-line front end and helpers around the pictor emulator module."""
