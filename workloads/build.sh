#!/bin/sh
# Builds the seven workload cartridges: makes the pattern, table and sample
# files, then assembles and links workload.s once per cartridge kind.
#
# Usage: workloads/build.sh [OUTPUT_DIR]
#   Writes OUTPUT_DIR/workload_<kind>.nes for kind nrom, mmc1, uxrom, cnrom, mmc3, mmc4, fme7;
#   OUTPUT_DIR defaults to python/pictor_cli/data in the repository.
# Needs python3 (or $PYTHON) and ca65/ld65 from cc65. Intermediate files go to a
# temporary folder that is removed afterwards.
set -eu

src=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$src")
output=${1:-"$repo/python/pictor_cli/data"}
python=${PYTHON:-python3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

"$python" "$src/make_assets.py" "$work"
mkdir -p "$output"
# kind:mapper number
for entry in nrom:0 mmc1:1 uxrom:2 cnrom:3 mmc3:4 mmc4:10 fme7:69; do
    kind=${entry%%:*}
    number=${entry#*:}
    ca65 -D KIND="$number" -I "$src" -I "$repo/asm" -I "$work" --bin-include-dir "$work" \
        -o "$work/$kind.o" "$src/workload.s"
    ld65 -C "$src/$kind.cfg" -o "$work/$kind.nes" "$work/$kind.o"
    cp "$work/$kind.nes" "$output/workload_$kind.nes"
    echo "wrote $output/workload_$kind.nes"
done
