#!/bin/sh
# Builds the demo cartridge: makes the graphics and sample data, assembles and links.
#
# Usage: demo/build.sh [OUTPUT.nes]
#   OUTPUT defaults to python/pictor_cli/data/demo.nes in the repository.
# Needs python3 (or $PYTHON) and ca65/ld65 from cc65. Intermediate files go to a
# temporary folder that is removed afterwards.
set -eu

demo_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(dirname "$demo_dir")
output=${1:-"$repo_dir/python/pictor_cli/data/demo.nes"}
python=${PYTHON:-python3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

"$python" "$demo_dir/make_assets.py" "$work"
ca65 -o "$work/demo.o" -I "$repo_dir/asm" -I "$work" --bin-include-dir "$work" "$demo_dir/demo.s"
ld65 -C "$demo_dir/demo.cfg" -o "$work/demo.nes" "$work/demo.o"

mkdir -p "$(dirname "$output")"
cp "$work/demo.nes" "$output"
echo "wrote $output"
