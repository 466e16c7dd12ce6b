#!/usr/bin/env bash
# Runs every benchmark: the C++ ones (recording path, pipeline, writers, the
# trace reader), the per-event overhead of morvex next to the sys.monitoring
# floor on each CPython >= 3.12 found, and, on the newest, the instructions
# an event costs on each thread (callgrind), what the opt-in
# features cost and save and whether the JSON writer keeps up with one hot
# thread. Numbers are for this machine only; run it on a quiet one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=tools/common.sh
. tools/common.sh
cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null
for b in build/bench/bench_record build/bench/bench_pipeline build/bench/bench_writers \
  build/bench/bench_reader; do
  echo "==> $(basename "$b")"
  "$b"
done

find_pythons_or_fail
for py in "${pythons[@]}"; do
  venv=$(venv_with_morvex "$py")
  say "overhead with $py"
  "$venv/bin/python" bench/bench_overhead.py
done
venv=$(venv_with_morvex "$(newest_python)")
# Instructions, not times: the same on every run, however loaded the machine.
command -v valgrind >/dev/null || apt_install valgrind
say "instructions per event with $(newest_python) (callgrind)"
"$venv/bin/python" bench/bench_instructions.py
say "features with $(newest_python)"
"$venv/bin/python" bench/bench_features.py
say "the JSON writer and one hot thread"
"$venv/bin/python" bench/bench_json_hot.py
say "next to other tools on pyperformance workloads: make bench-peers (up to 15 minutes)"
