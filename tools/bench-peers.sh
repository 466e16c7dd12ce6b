#!/usr/bin/env bash
# `make bench-peers`: morvex next to the sys.monitoring floor and to other
# tracers and profilers on pyperformance workloads. Sets up .venv/bench-pyX.Y
# for the newest CPython >= 3.12 found (MORVEX_PYTHON picks others) with this
# checkout's morvex and the peers from PyPI, then runs bench/bench_peers.py
# with the arguments given (--help lists them) twice: free to use every CPU,
# then pinned to CPU 0. Numbers are for this machine only; run it on a quiet
# one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=tools/common.sh
. tools/common.sh

command -v cmake >/dev/null || apt_install cmake
command -v c++ >/dev/null || apt_install g++
command -v cc >/dev/null || apt_install gcc

find_pythons_or_fail
py=""
newest=""
for candidate in "${pythons[@]}"; do
  version=$("$candidate" -c 'import sys; print("%05d%05d" % sys.version_info[:2])')
  if [[ -z "$newest" || "$version" > "$newest" ]]; then
    newest=$version
    py=$candidate
  fi
done

say "setting up a benchmark environment with $py (a few minutes on a fresh checkout)"
venv=$(venv_with_morvex "$py" bench)
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  pyperformance pyperf yappi pyinstrument viztracer

# Twice: free to use every CPU, then pinned to one, where the writer threads'
# work is paid by the program as it is in a one-CPU container.
say "bench/bench_peers.py $* (every CPU)"
"$venv/bin/python" bench/bench_peers.py "$@"
command -v taskset >/dev/null || apt_install util-linux
# A --json file of the pinned run is named apart: peers.json -> peers.pinned.json.
pinned=()
json_next=0
for arg in "$@"; do
  if ((json_next)); then
    base=${arg%.json}
    arg="$base.pinned${arg#"$base"}"
    json_next=0
  fi
  [[ "$arg" == "--json" ]] && json_next=1
  pinned+=("$arg")
done
say "bench/bench_peers.py ${pinned[*]} (pinned to CPU 0)"
exec taskset -c 0 "$venv/bin/python" bench/bench_peers.py "${pinned[@]}"
