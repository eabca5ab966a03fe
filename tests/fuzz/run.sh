#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer),
# makes their seed corpora and runs each target in turn; any crash, sanitizer
# report, hang or broken invariant fails the script and leaves the input in
# build/fuzz/artifacts/.
#
#   tests/fuzz/run.sh                      # CI: 30 seconds per target
#   tests/fuzz/run.sh -max_total_time=600  # longer
#   tests/fuzz/run.sh -runs=1000000        # the long run: 10^6 inputs per target
#
# Arguments are libFuzzer options given to both targets (default -max_total_time=30).
set -euo pipefail
cd "$(dirname "$0")/../.."

dir=build/fuzz
CXX="${PICTOR_FUZZ_CXX:-clang++}" cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPICTOR_BUILD_MODULE=OFF -DPICTOR_BUILD_FUZZERS=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_rom fuzz_state

rm -rf "$dir/seeds"
python3 tests/fuzz/make_corpus.py "$dir/seeds"
mkdir -p "$dir/artifacts"

options=("$@")
[ ${#options[@]} -gt 0 ] || options=(-max_total_time=30)

for target in fuzz_rom fuzz_state; do
  work="$dir/corpus/$target"
  mkdir -p "$work"
  seeds="$dir/seeds/${target#fuzz_}"
  extra=()
  [ "$target" = fuzz_rom ] && extra=(-max_len=200000)
  echo "== $target ${options[*]}"
  start=$(date +%s)
  # -timeout: an input that takes this long counts as a hang.
  "$dir/$target" "${extra[@]}" -timeout=25 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
    "${options[@]}" "$work" "$seeds" 2>"$dir/$target.log" || {
    tail -n 60 "$dir/$target.log"
    echo "$target: failed; the input is in $dir/artifacts/" >&2
    exit 1
  }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$target.log")
  echo "$target: $runs inputs in $(( $(date +%s) - start )) s, no failure"
done
