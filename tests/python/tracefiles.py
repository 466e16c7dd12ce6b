"""Readers for the two trace formats, independent of morvex itself.

Perfetto files are decoded with the generated messages that the `perfetto`
package ships (compressed bundles inflated with zlib, timestamps on a
sequence's incremental clock resolved to the trace clock); JSON files with the standard library after closing the array.
Both come out as the same shape: per process, per thread, the list of slice
events in file order, so tests can check one thing for both formats.
"""

from __future__ import annotations

import dataclasses
import json
import zlib
from collections import defaultdict

from perfetto.protos.perfetto.trace import perfetto_trace_pb2 as pb

# The slice a trace holds where a thread lost events, with their count.
LOST = "morvex: events lost"
BEGIN_KINDS = {"start", "resume", "throw", "c_call"}
END_KINDS = {"return", "yield", "unwind", "c_return"}
CALL_KINDS = {"start", "c_call"}


@dataclasses.dataclass
class Slice:
    phase: str  # "B" or "E", or "i" for an instant the program marked
    name: str | None  # None: a Perfetto slice end, which carries no name
    ts: int  # nanoseconds
    kind: str | None = None  # JSON only
    cat: str = "py"  # "user" for spans and instants the program recorded,
    # "morvex" for the slice that marks where a thread's events were lost
    args: dict | None = None  # of user events
    # Of a function's begin: where the function is, and whether the slice
    # is a call rather than a generator's resume or a throw into it.
    file: str | None = None
    line: int | None = None
    call: bool | None = None


@dataclasses.dataclass
class Trace:
    # (pid, tid) -> events in file order
    events: dict = dataclasses.field(default_factory=lambda: defaultdict(list))
    # (pid, tid) -> thread name
    thread_names: dict = dataclasses.field(default_factory=dict)
    pids: set = dataclasses.field(default_factory=set)
    dropped: dict = dataclasses.field(default_factory=dict)  # pid -> count
    process_names: dict = dataclasses.field(default_factory=dict)  # pid -> name
    filters: dict = dataclasses.field(default_factory=dict)  # pid -> {option or count: value}
    # (pid, counter name) -> [(ts, value)]
    counters: dict = dataclasses.field(default_factory=lambda: defaultdict(list))
    # pid -> (host, CLOCK_REALTIME ns at trace time 0)
    anchors: dict = dataclasses.field(default_factory=dict)
    # (pid, tid) of an asyncio task's track -> (pid, tid) of the thread whose
    # track it lies under (Perfetto only: JSON has no nesting of tracks)
    task_parents: dict = dataclasses.field(default_factory=dict)

    def names(self, pid=None):
        """Every begun slice name (of one process, or of all)."""
        return [
            s.name
            for (p, _), evs in self.events.items()
            if pid is None or p == pid
            for s in evs
            if s.phase == "B"
        ]

    def lost(self, pid=None):
        """Events the gap slices say were lost (of one process, or of all)."""
        return sum(
            s.args["events"]
            for (p, _), evs in self.events.items()
            if pid is None or p == pid
            for s in evs
            if s.cat == "morvex" and s.phase == "B"
        )

    def thread_events(self, name):
        """Events of the one thread called `name`."""
        keys = [k for k, n in self.thread_names.items() if n == name]
        assert len(keys) == 1, f"threads named {name!r}: {keys}"
        return self.events[keys[0]]


def read_json(path) -> Trace:
    text = open(path, encoding="utf-8").read()
    # The writer's open array, or the strict document convert and merge write.
    strict = text.startswith("{")
    if strict:
        records = json.loads(text)["traceEvents"]
    else:
        assert text.startswith("["), text[:20]
        records = json.loads(text[:-1] + "]" if text.endswith(",") else text + "]")
    t = Trace()
    for r in records:
        key = (r["pid"], r["tid"])
        t.pids.add(r["pid"])
        if r["ph"] == "M":
            if r["name"] == "thread_name":
                t.thread_names[key] = r["args"]["name"]
            elif r["name"] == "morvex_dropped_events":
                t.dropped[r["pid"]] = r["args"]["count"]
            elif r["name"] == "morvex_filters":
                t.filters[r["pid"]] = r["args"]
            elif r["name"] == "process_name":
                t.process_names[r["pid"]] = r["args"]["name"]
            elif r["name"] == "morvex_clock":
                t.anchors[r["pid"]] = (r["args"]["host"], r["args"]["realtime_ns"])
            continue
        if r["cat"] == "morvex":
            assert r["name"] == LOST and r["ph"] in ("B", "E"), r
            assert r["ph"] == "E" or r["args"]["events"] > 0, r
            ts = round(float(r["ts"]) * 1000)
            t.events[key].append(Slice(r["ph"], r["name"], ts, None, "morvex", r.get("args")))
            continue
        if r["cat"] == "user":
            ts = round(float(r["ts"]) * 1000)
            if r["ph"] == "C":
                assert list(r["args"]) == ["value"]
                t.counters[(r["pid"], r["name"])].append((ts, r["args"]["value"]))
            else:
                assert r["ph"] in ("B", "E", "i"), r
                assert (r["ph"] == "i") == (r.get("s") == "t")
                t.events[key].append(Slice(r["ph"], r["name"], ts, None, "user", r.get("args")))
            continue
        assert r["cat"] == "py"
        assert r["ph"] in ("B", "E")
        # A strict document's ends say no kind.
        kind = r["args"]["kind"] if not strict or r["ph"] == "B" else None
        assert kind is None or (kind in BEGIN_KINDS) == (r["ph"] == "B"), r
        ts = round(float(r["ts"]) * 1000)
        if r["ph"] == "B":
            args = r["args"]
            t.events[key].append(
                Slice("B", r["name"], ts, kind, file=args["file"], line=args["line"], call=kind in CALL_KINDS)
            )
        else:
            t.events[key].append(Slice(r["ph"], r["name"], ts, kind))
    return t


CLEARED = 1  # TracePacket.SEQ_INCREMENTAL_STATE_CLEARED


def unbundled(packets):
    """The packets in file order, compressed_packets bundles opened."""
    for p in packets:
        if p.HasField("compressed_packets"):
            assert len(p.ListFields()) == 1, "a bundle packet holds the bundle alone"
            inner = pb.Trace()
            inner.ParseFromString(zlib.decompress(p.compressed_packets))
            assert not any(q.HasField("compressed_packets") for q in inner.packet)
            yield from inner.packet
        else:
            yield p


def trace_timed(packets):
    """The packets with every timestamp on the trace clock: one on a
    sequence's incremental clock is the delta from the sequence's previous
    one, from the value its clock snapshot gave it. Snapshots are consumed."""
    default_clock = {}  # sequence -> its packets' default clock id
    clocks = {}  # (sequence, clock id) -> [value, offset to the trace clock]
    for p in packets:
        seq = p.trusted_packet_sequence_id
        if p.sequence_flags & CLEARED:
            default_clock.pop(seq, None)
        if p.HasField("trace_packet_defaults") and p.trace_packet_defaults.HasField("timestamp_clock_id"):
            default_clock[seq] = p.trace_packet_defaults.timestamp_clock_id
        if p.HasField("clock_snapshot"):
            incremental = [c for c in p.clock_snapshot.clocks if c.is_incremental]
            others = [c for c in p.clock_snapshot.clocks if not c.is_incremental]
            assert len(incremental) == 1 and 64 <= incremental[0].clock_id <= 127
            assert [c.clock_id for c in others] == [6], "read against BOOTTIME"
            inc = incremental[0]
            clocks[seq, inc.clock_id] = [inc.timestamp, others[0].timestamp - inc.timestamp]
            continue
        clock = p.timestamp_clock_id if p.HasField("timestamp_clock_id") else default_clock.get(seq)
        if (seq, clock) in clocks and p.HasField("timestamp"):
            state = clocks[seq, clock]
            state[0] = (state[0] + p.timestamp) & 0xFFFFFFFFFFFFFFFF
            p.timestamp = state[0] + state[1]
        yield p


def read_perfetto(path) -> Trace:
    trace = pb.Trace()
    trace.ParseFromString(open(path, "rb").read())
    t = Trace()
    names = defaultdict(dict)  # sequence -> iid -> name
    locations = defaultdict(dict)  # sequence -> iid -> (file, line)
    categories = defaultdict(dict)
    seq_track = {}  # sequence -> thread track uuid
    tracks = {}  # uuid -> (pid, tid)
    process_tracks = {}
    counter_tracks = {}  # uuid -> (pid, name)
    for p in trace_timed(unbundled(trace.packet)):
        seq = p.trusted_packet_sequence_id
        if p.HasField("interned_data"):
            for c in p.interned_data.event_categories:
                categories[seq][c.iid] = c.name
            for n in p.interned_data.event_names:
                assert n.iid not in names[seq], "an iid is interned once per sequence"
                names[seq][n.iid] = n.name
            for loc in p.interned_data.source_locations:
                assert loc.iid in names[seq] and loc.function_name == names[seq][loc.iid], loc
                locations[seq][loc.iid] = (loc.file_name, loc.line_number)
        if p.HasField("trace_packet_defaults"):
            seq_track[seq] = p.trace_packet_defaults.track_event_defaults.track_uuid
        if p.HasField("track_descriptor"):
            d = p.track_descriptor
            if d.HasField("process"):
                process_tracks[d.uuid] = d.process.pid
                labels = dict(label.split("=", 1) for label in d.process.process_labels)
                if "realtime_ns" in labels:
                    t.anchors[d.process.pid] = (labels["host"], int(labels["realtime_ns"]))
                t.pids.add(d.process.pid)
                t.process_names[d.process.pid] = d.process.process_name
            elif d.HasField("counter"):
                counter_tracks[d.uuid] = (process_tracks[d.parent_uuid], d.name)
            elif d.parent_uuid in tracks:
                # A task's track: named, under its thread's, with no thread
                # descriptor; keyed here the way a JSON trace numbers it.
                parent = tracks[d.parent_uuid]
                key = (parent[0], 0x80000000 | (d.uuid & 0x7FFFFFFF))
                assert d.name, "a task's track is named"
                tracks[d.uuid] = key
                t.thread_names[key] = d.name
                t.task_parents[key] = parent
                t.events.setdefault(key, [])
            elif d.HasField("thread"):
                assert d.parent_uuid in process_tracks, "thread track before its process"
                assert process_tracks[d.parent_uuid] == d.thread.pid
                key = (d.thread.pid, d.thread.tid & 0xFFFFFFFF)
                tracks[d.uuid] = key
                if d.thread.HasField("thread_name"):
                    t.thread_names[key] = d.thread.thread_name
                t.events.setdefault(key, [])
        if p.HasField("track_event"):
            e = p.track_event
            if e.type == pb.TrackEvent.TYPE_INSTANT and e.track_uuid in process_tracks:
                pid = process_tracks[e.track_uuid]
                if list(e.categories) == ["py", "filters"]:
                    assert e.name == "morvex: filters"
                    t.filters[pid] = {a.name: annotation(a) for a in e.debug_annotations}
                    continue
                assert list(e.categories) == ["py", "dropped"]
                count = int(e.name.split()[1])
                assert e.name == f"morvex: {count} events dropped"
                t.dropped[pid] = count
                continue
            assert p.sequence_flags == 2
            if e.type == pb.TrackEvent.TYPE_COUNTER:
                value = e.double_counter_value if e.HasField("double_counter_value") else e.counter_value
                t.counters[counter_tracks[e.track_uuid]].append((p.timestamp, value))
                continue
            # Its own track, or its sequence's (threads past the 125th share
            # a sequence and name their tracks).
            key = tracks[e.track_uuid if e.HasField("track_uuid") else seq_track[seq]]
            if list(e.categories) == ["morvex"]:
                assert e.type == pb.TrackEvent.TYPE_SLICE_BEGIN and e.name == LOST
                args = {a.name: annotation(a) for a in e.debug_annotations}
                assert args["events"] > 0
                t.events[key].append(Slice("B", e.name, p.timestamp, None, "morvex", args))
            elif list(e.categories) == ["user"]:
                phase = "B" if e.type == pb.TrackEvent.TYPE_SLICE_BEGIN else "i"
                assert e.type in (pb.TrackEvent.TYPE_SLICE_BEGIN, pb.TrackEvent.TYPE_INSTANT)
                args = {a.name: annotation(a) for a in e.debug_annotations}
                t.events[key].append(Slice(phase, e.name, p.timestamp, None, "user", args))
            elif e.type == pb.TrackEvent.TYPE_SLICE_BEGIN:
                [category] = [categories[seq][i] for i in e.category_iids]
                assert category in ("py", "py.resume"), category
                # A function's location is interned under its name's iid.
                file = line = None
                if e.HasField("source_location_iid"):
                    assert e.source_location_iid == e.name_iid
                    file, line = locations[seq][e.source_location_iid]
                t.events[key].append(
                    Slice("B", names[seq][e.name_iid], p.timestamp, file=file, line=line, call=category == "py")
                )
            else:
                assert e.type == pb.TrackEvent.TYPE_SLICE_END
                t.events[key].append(Slice("E", None, p.timestamp))
    return t


def annotation(a):
    for field in ("bool_value", "int_value", "double_value", "string_value"):
        if a.HasField(field):
            return getattr(a, field)
    return None


def read(path, fmt) -> Trace:
    return read_json(path) if fmt == "json" else read_perfetto(path)


def assert_nested(events, allow_open=False):
    """Begins and ends pair up like brackets; JSON ends name their begin."""
    stack = []
    for s in events:
        if s.phase == "i":
            continue
        if s.phase == "B":
            stack.append(s.name)
        else:
            assert stack, f"end without a begin: {s}"
            begun = stack.pop()
            assert s.name is None or s.name == begun, (s.name, begun)
    if not allow_open:
        assert stack == [], f"slices left open: {stack}"


@dataclasses.dataclass
class Span:
    name: str
    begin: int
    end: int | None  # None: still open at the end of the trace
    depth: int


def spans(events):
    """The slices of one thread's events, begins paired with their ends."""
    out, stack = [], []
    for s in events:
        if s.phase == "i":
            continue
        if s.phase == "B":
            stack.append(Span(s.name, s.ts, None, len(stack)))
            out.append(stack[-1])
        elif stack:
            stack.pop().end = s.ts
    return out


def assert_time_ordered(events):
    ts = [s.ts for s in events]
    assert ts == sorted(ts), "one thread's events come out in recorded order"
