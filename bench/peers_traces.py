"""Reads back the traces of bench_peers.py runs: how many events a trace
holds and how many its writer says it lost.

morvex protobuf: the file is a stream of Trace.packet records. It is parsed
with a cut-down schema whose packet and track_event fields are singular, so
the protobuf runtime merges every packet into one message and appends each
track_event's type and literal name to two repeated fields: counting stays
in C however many million packets there are. Slice begins and ends are the
recorded events; the dropped count is read from the instant event named
"morvex: N events dropped".

morvex json and viztracer: Chrome trace-event JSON, counted by the
compact "ph" markers the writers emit, which cannot occur inside a JSON
string; the records that carry a drop count or viztracer's overflow flag are
decoded as JSON.

bench_peers.py reads each trace in a process of its own,

    python bench/peers_traces.py {morvex-pb|morvex-json|viztracer} PATH

which prints the figures as JSON: memory spent reading a trace must not
raise the peak RSS that the next benchmark child inherits from its parent.
"""

import json
import re
import sys

_CHUNK = 1 << 24

_TYPE_SLICE_BEGIN, _TYPE_SLICE_END, _TYPE_INSTANT = 1, 2, 3
_DROPPED_NAME = re.compile(r"morvex: (\d+) events dropped")

_merged_trace_class = None


def _merged_trace():
    """A Trace class whose packets all merge into one: see the module doc."""
    global _merged_trace_class
    if _merged_trace_class is None:
        from google.protobuf import descriptor_pb2, descriptor_pool, message_factory
        F = descriptor_pb2.FieldDescriptorProto
        f = descriptor_pb2.FileDescriptorProto(name="merged_trace.proto",
                                               package="bench_peers", syntax="proto2")

        def message(name, *fields):
            m = f.message_type.add(name=name)
            for fname, number, ftype, label, type_name in fields:
                field = m.field.add(name=fname, number=number, type=ftype, label=label)
                if type_name:
                    field.type_name = type_name

        one, many = F.LABEL_OPTIONAL, F.LABEL_REPEATED
        # Fields every event packet carries are declared singular so that
        # merging overwrites them instead of keeping them as unknown bytes.
        message("Event",
                ("category_iids", 3, F.TYPE_UINT64, one, None),
                ("type", 9, F.TYPE_INT32, many, None),
                ("name_iid", 10, F.TYPE_UINT64, one, None),
                ("track_uuid", 11, F.TYPE_UINT64, one, None),
                ("name", 23, F.TYPE_STRING, many, None))
        message("Packet",
                ("timestamp", 8, F.TYPE_UINT64, one, None),
                ("trusted_packet_sequence_id", 10, F.TYPE_UINT32, one, None),
                ("track_event", 11, F.TYPE_MESSAGE, one, ".bench_peers.Event"),
                ("sequence_flags", 13, F.TYPE_UINT32, one, None),
                ("compressed_packets", 50, F.TYPE_BYTES, many, None))
        message("Trace", ("packet", 1, F.TYPE_MESSAGE, one, ".bench_peers.Packet"))
        pool = descriptor_pool.DescriptorPool()
        pool.Add(f)
        _merged_trace_class = message_factory.GetMessageClass(
            pool.FindMessageTypeByName("bench_peers.Trace"))
    return _merged_trace_class


def morvex_protobuf(path):
    """{"events": slice begins + ends, "dropped": N} of a morvex Perfetto trace."""
    trace = _merged_trace()()
    with open(path, "rb") as f:
        trace.ParseFromString(f.read())
    # A compressed trace's bundles, each a zlib stream of packets, merge in too.
    bundles = list(trace.packet.compressed_packets)
    if bundles:
        import zlib
        del trace.packet.compressed_packets[:]
        for bundle in bundles:
            trace.MergeFromString(zlib.decompress(bundle))
    event = trace.packet.track_event
    types = list(event.type)
    dropped = 0
    drop_records = 0
    for name in event.name:
        m = _DROPPED_NAME.fullmatch(name)
        if m:
            dropped += int(m.group(1))
            drop_records += 1
    if drop_records != types.count(_TYPE_INSTANT):
        raise ValueError(f"{path}: {types.count(_TYPE_INSTANT)} instant events but "
                         f"{drop_records} of them name a drop count")
    return {"events": types.count(_TYPE_SLICE_BEGIN) + types.count(_TYPE_SLICE_END),
            "dropped": dropped}


def _count_and_find(path, markers, record_key):
    """Counts each marker in the file and returns the offsets of record_key."""
    counts = dict.fromkeys(markers, 0)
    found = []
    overlap = max(len(m) for m in (*markers, record_key)) - 1
    with open(path, "rb") as f:
        tail = b""
        base = 0  # file offset of buf[0]
        while chunk := f.read(_CHUNK):
            buf = tail + chunk
            for m in markers:
                # Only matches that end past the tail: the others were
                # counted with the previous buffer.
                counts[m] += buf.count(m, max(0, len(tail) - len(m) + 1))
            at = buf.find(record_key)
            while at != -1:
                found.append(base + at)
                at = buf.find(record_key, at + 1)
            tail = buf[-overlap:] if overlap else b""
            base += len(buf) - len(tail)
    return counts, sorted(set(found))


def _record_around(path, offset, predicate):
    """Decodes the JSON object that contains the byte at offset."""
    with open(path, "rb") as f:
        start = max(0, offset - 4096)
        f.seek(start)
        window = f.read(8192).decode("utf-8", "replace")
    rel = offset - start
    decoder = json.JSONDecoder()
    at = window.rfind("{", 0, rel)
    while at != -1:
        try:
            obj, end = decoder.raw_decode(window, at)
        except ValueError:
            obj, end = None, -1
        if end > rel and isinstance(obj, dict) and predicate(obj):
            return obj
        at = window.rfind("{", 0, at)
    raise ValueError(f"{path}: no record around byte {offset}")


def morvex_json(path):
    """{"events": "B" + "E" records, "dropped": N} of a morvex JSON trace."""
    key = b'"morvex_dropped_events"'
    counts, offsets = _count_and_find(path, (b'"ph":"B"', b'"ph":"E"'), key)
    dropped = 0
    for offset in offsets:
        record = _record_around(path, offset,
                                lambda r: r.get("name") == "morvex_dropped_events")
        dropped += int(record["args"]["count"])
    return {"events": sum(counts.values()), "dropped": dropped}


def viztracer(path):
    """{"events": complete ("X") events, "overflow": bool} of a viztracer dump."""
    key = b'"viztracer_metadata"'
    counts, offsets = _count_and_find(path, (b'"ph":"X"', b'"ph": "X"'), key)
    if not offsets:
        raise ValueError(f"{path}: no viztracer_metadata record")
    overflow = False
    for offset in offsets:
        with open(path, "rb") as f:
            f.seek(offset + len(key))
            text = f.read(4096).decode("utf-8", "replace").lstrip(" :")
        meta, _ = json.JSONDecoder().raw_decode(text)
        overflow |= bool(meta.get("overflow"))
    return {"events": sum(counts.values()), "overflow": overflow}


READERS = {"morvex-pb": morvex_protobuf, "morvex-json": morvex_json, "viztracer": viztracer}

if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in READERS:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(READERS)}}} PATH")
    json.dump(READERS[sys.argv[1]](sys.argv[2]), sys.stdout)
