#!/usr/bin/env bash
# The first quick-start command (`make demo`): on a fresh machine, sets up a
# virtual environment with morvex built into it, traces examples/demo.py in
# both formats, checks that the traces decode, and says how to open them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# shellcheck source=tools/common.sh
. tools/common.sh

command -v cmake >/dev/null || apt_install cmake
command -v c++ >/dev/null || apt_install g++
[ -f /usr/include/libdeflate.h ] || apt_install libdeflate-dev
[ -f /usr/include/zlib.h ] || apt_install zlib1g-dev

find_pythons_or_fail
py=$(newest_python)
say "setting up a virtual environment with $py and building morvex into it (a minute on a fresh checkout)"
venv=$(venv_with_morvex "$py")

out="$root/build/demo"
mkdir -p "$out"
pftrace="$out/demo.pftrace"
json="$out/demo.json"

say "morvex run -o $pftrace examples/demo.py"
"$venv/bin/morvex" run -o "$pftrace" examples/demo.py
say "morvex run -o $json -f json examples/demo.py"
"$venv/bin/morvex" run -o "$json" -f json examples/demo.py

say "checking the traces"
"$venv/bin/python" - "$pftrace" "$json" <<'EOF'
import json
import sys

from perfetto.protos.perfetto.trace import perfetto_trace_pb2

pftrace, json_path = sys.argv[1:]

trace = perfetto_trace_pb2.Trace()
with open(pftrace, "rb") as f:
    trace.ParseFromString(f.read())
slices = sum(p.HasField("track_event") for p in trace.packet)
threads = sorted({p.track_descriptor.thread.thread_name for p in trace.packet
                  if p.HasField("track_descriptor") and p.track_descriptor.HasField("thread")})
names = {n.name for p in trace.packet for n in p.interned_data.event_names}
print(f"{pftrace}: {len(trace.packet)} packets, {slices} slice events, "
      f"{len(names)} function names, threads {', '.join(threads)}")
missing = {"parse_expression", "running_average", "fib"} - names
if not slices or missing:
    sys.exit(f"error: the Perfetto trace lacks the demo's functions {sorted(missing)}")

# The file is "[" then records each followed by ","; other processes may
# still append, so it is never closed.
with open(json_path) as f:
    events = json.loads(f.read().rstrip().rstrip(",") + "]")
kinds = {}
for e in events:
    kind = e.get("args", {}).get("kind")
    if kind:
        kinds[kind] = kinds.get(kind, 0) + 1
print(f"{json_path}: {len(events)} records; "
      + ", ".join(f"{n} {k}" for k, n in sorted(kinds.items())))
if not {"start", "return", "yield", "resume", "unwind", "throw"} <= kinds.keys():
    sys.exit("error: the JSON trace lacks some kinds of event")
EOF

cat <<EOF

The traces of examples/demo.py are ready:

  $pftrace
      Perfetto trace: open https://ui.perfetto.dev and drag the file onto the page
      (or use "Open trace file"); each thread is a track of nested function slices.
  $json
      Chrome trace-event JSON: open chrome://tracing in Chrome or Chromium and
      press "Load".

To trace your own program:
  $venv/bin/morvex run -o trace.pftrace your_script.py [ARGS...]
  $venv/bin/morvex run -o trace.pftrace -m your.module [ARGS...]
Next: make test runs every test.
EOF
