#!/usr/bin/env bash
# Runs every benchmark: the C++ ones (recording path, pipeline, writers) and
# the per-event overhead of morvex next to the sys.monitoring floor on each
# CPython >= 3.12 found. Numbers are for this machine only; run it on a quiet
# one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "$(nproc)" >/dev/null
for b in build/bench/bench_record build/bench/bench_pipeline build/bench/bench_writers; do
  echo "==> $(basename "$b")"
  "$b"
done

mapfile -t pythons < <(tools/find-pythons)
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print("py%d.%d" % sys.version_info[:2])')
  venv="$root/.venv/$tag"
  tools/make-venv "$py" "$venv"
  "$venv/bin/python" -m pip install -q --no-build-isolation "$root"
  echo "==> overhead on $tag"
  "$venv/bin/python" bench/bench_overhead.py
done
