"""Coverage-guided mutation fuzzer of the chunk-blob reader (``read_chunk_bytes``).

    /usr/bin/python3 fuzz/fuzz_chunk.py [--time S] [--max-execs N] [--seed N] [--max-memory-mb M]
                                        [--artifacts DIR] SEED_DIR...
    /usr/bin/python3 fuzz/fuzz_chunk.py --replay FILE...

The reader is pure Python, so libFuzzer cannot drive it, and no Python fuzzing engine is
packaged for this system. This driver is a small greybox fuzzer in the same spirit: line-pair
coverage of the pyqelm.format modules (through sys.settrace) decides which inputs join the
corpus; mutations are byte-level (bit flips, interesting values, insert, erase, splice) and
structural (the metadata JSON parsed and one node replaced, removed or duplicated), and most
mutants get their section lengths and checksum repaired, since random damage is otherwise
caught by the CRC before anything interesting runs. Some structural mutations make the
metadata claim large sizes: a value repeated a million times, nesting deeper than any record,
counts and sizes of 2^40 and more. A run is deterministic for a given seed and execution count.

The process runs under an address-space limit of --max-memory-mb above what it holds once
started (the format library does not load the tensor library, whose reservations would make
such a limit unusable), so a reader that builds what an input claims raises MemoryError, which
is a finding like any other exception. The default, 1024 MB, is about three times what the
largest document the reader accepts (a million values) costs to read, write and read again. The
closing line reports the peak resident set.

The reader's contract: a blob is either refused with ValueError or returned, and a returned
chunk survives write_chunk_bytes -> read_chunk_bytes unchanged. Anything else (another
exception, a run over --timeout seconds of CPU time, a round trip that fails or differs) is a
finding: the
input is written to --artifacts and the exit status is 1. Inputs that reach new code are added
to the first seed folder, so a later run starts from the grown corpus.
"""
import argparse
import copy
import hashlib
import json
import os
import random
import resource
import signal
import struct
import sys
import time
import traceback
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from pyqelm.format import _records as R  # noqa: E402
from pyqelm.format.chunk_io import HEADER_SIZE, MAGIC, VERSION, read_chunk_bytes, write_chunk_bytes  # noqa: E402

FORMAT_DIR = os.path.dirname(os.path.abspath(R.__file__))
HEADER = struct.Struct("<4sHHIQQQI")


class Finding(Exception):
    pass


class Timeout(BaseException):
    pass


# ---- the target ---------------------------------------------------------------------------------

def check(blob):
    """Runs the reader on one input; raises Finding when the contract is broken."""
    try:
        got = read_chunk_bytes(blob)
    except ValueError:
        return
    except Timeout:
        raise
    except BaseException as exc:  # noqa: BLE001 (the point is to catch everything else)
        raise Finding(f"read_chunk_bytes raised {type(exc).__name__}: {exc}\n{traceback.format_exc()}") from None
    try:
        again = read_chunk_bytes(write_chunk_bytes(*got))
        same = R.dumps(again.chunk_meta.to_dict()) == R.dumps(got.chunk_meta.to_dict()) and \
            tuple(again)[1:] == tuple(got)[1:]
    except Timeout:
        raise
    except BaseException as exc:  # noqa: BLE001
        raise Finding(f"accepted chunk does not round-trip: {type(exc).__name__}: {exc}\n"
                      f"{traceback.format_exc()}") from None
    if not same:
        raise Finding("accepted chunk changes on write_chunk_bytes -> read_chunk_bytes")


# ---- coverage -----------------------------------------------------------------------------------

class Coverage:
    """Line pairs executed in the format modules during one call."""

    def __init__(self):
        self.seen = set()
        self.run_edges = set()
        self._wanted = {}

    def _local(self, frame, event, arg):
        if event == "line":
            key = (frame.f_code, frame.f_lineno)
            self.run_edges.add((self._prev.get(frame, 0), key))
            self._prev[frame] = key
        return self._local

    def _global(self, frame, event, arg):
        code = frame.f_code
        wanted = self._wanted.get(code.co_filename)
        if wanted is None:
            wanted = self._wanted[code.co_filename] = os.path.dirname(code.co_filename) == FORMAT_DIR
        if not wanted:
            return None
        self._prev[frame] = (code, -1)
        return self._local

    def run(self, fn, arg):
        """Calls fn(arg) under tracing; returns the number of edges never seen before."""
        self.run_edges = set()
        self._prev = {}
        sys.settrace(self._global)
        try:
            fn(arg)
        finally:
            sys.settrace(None)
            self._prev = {}
        new = self.run_edges - self.seen
        self.seen |= new
        return len(new)


# ---- mutations ----------------------------------------------------------------------------------

INTERESTING = [0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 2 ** 63 - 1, 2 ** 64 - 1]
JSON_VALUES = [None, True, False, 0, -1, 1, 2 ** 31, 2 ** 40, 10 ** 8, 2 ** 63, 2 ** 64 + 5, -(2 ** 70), 0.5, -0.0,
               1e308, 5e-324,
               "", "x", "int8", "int16", "float16", "native", "perframe_int16", "chunked_v1", "zstd", "lzma",
               "int8_per_tensor_f16dec", "int16_per_tensor_f16dec", "\ud800", "\x00",
               "int32", "bound_step", "bound_codes_v1", "residual_codes",
               [], [0], [[0, 1]], [[1, 0], [2]], {}, {"$float": "nan"}, {"$float": "inf"}, {"$float": "-inf"},
               {"$float": "bogus"}, {"$float": 1}, {"$float": "nan", "x": 1}]


def split(blob):
    """(header fields, [meta, weights, mask, residuals]) when the lengths parse, else None."""
    if len(blob) < HEADER_SIZE:
        return None
    fields = list(HEADER.unpack_from(blob))
    lens = fields[3:7]
    if HEADER_SIZE + sum(lens) != len(blob):
        return None
    parts, pos = [], HEADER_SIZE
    for n in lens:
        parts.append(blob[pos:pos + n])
        pos += n
    return fields, parts


def join(fields, parts, repair=True):
    if repair:
        fields = list(fields)
        fields[3:7] = [len(p) for p in parts]
        crc = 0
        for p in parts:
            crc = zlib.crc32(p, crc)
        fields[7] = crc & 0xFFFFFFFF
    lens = [min(max(v, 0), m) for v, m in zip(fields[1:], (0xFFFF, 0xFFFF, 2 ** 32 - 1, 2 ** 64 - 1, 2 ** 64 - 1,
                                                           2 ** 64 - 1, 2 ** 32 - 1))]
    return HEADER.pack(fields[0], *lens) + b"".join(parts)


def mutate_bytes(rng, data, corpus):
    data = bytearray(data)
    for _ in range(rng.choice((1, 1, 1, 2, 4))):
        op = rng.randrange(7)
        if op == 0 and data:
            i = rng.randrange(len(data))
            data[i] ^= 1 << rng.randrange(8)
        elif op == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 2 and data:
            width = rng.choice((1, 2, 4, 8))
            i = rng.randrange(len(data))
            v = rng.choice(INTERESTING) & ((1 << (8 * width)) - 1)
            data[i:i + width] = v.to_bytes(width, "little")
        elif op == 3:
            i = rng.randrange(len(data) + 1)
            data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
        elif op == 4 and data:
            i = rng.randrange(len(data))
            del data[i:i + rng.randrange(1, 17)]
        elif op == 5 and data:
            i = rng.randrange(len(data))
            j = rng.randrange(len(data))
            data[j:j] = data[i:i + rng.randrange(1, 33)]
        elif op == 6 and corpus:
            other = rng.choice(corpus)
            if other:
                i = rng.randrange(len(other))
                data[rng.randrange(len(data) + 1):] = other[i:i + rng.randrange(1, 65)]
    return bytes(data)


def nodes(obj, path=()):
    yield path, obj
    if isinstance(obj, dict):
        for k, v in obj.items():
            yield from nodes(v, path + (k,))
    elif isinstance(obj, list):
        for i, v in enumerate(obj):
            yield from nodes(v, path + (i,))


def set_at(root, path, value):
    if not path:
        return value
    parent = root
    for k in path[:-1]:
        parent = parent[k]
    parent[path[-1]] = value
    return root


def mutate_json(rng, meta_bytes):
    """A structural change of the metadata JSON; None when it does not parse."""
    try:
        root = json.loads(meta_bytes.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    all_nodes = list(nodes(root))
    path, node = rng.choice(all_nodes)
    op = rng.randrange(6) if rng.random() < 0.97 else 6
    if op == 0:
        root = set_at(root, path, copy.deepcopy(rng.choice(JSON_VALUES)))
    elif op == 1 and path:
        parent = root
        for k in path[:-1]:
            parent = parent[k]
        del parent[path[-1]]
    elif op == 2:
        root = set_at(root, path, copy.deepcopy(rng.choice(all_nodes)[1]))
    elif op == 3 and isinstance(node, dict):
        node[rng.choice(["x", "mode", "scales", "dtype", "extras", "has_residuals", "$float"])] = \
            copy.deepcopy(rng.choice(JSON_VALUES))
    elif op == 4 and isinstance(node, list):
        node.append(copy.deepcopy(rng.choice(node) if node else rng.choice(JSON_VALUES)))
    elif op == 5:
        root = set_at(root, path, [node] if rng.random() < 0.5 else {"$float": node})
    elif op == 6:
        root = grow_json(rng, root, path, node)
    text = json.dumps(root, ensure_ascii=rng.random() < 0.5, allow_nan=rng.random() < 0.2)
    return text.encode("utf-8", "surrogatepass")


def grow_json(rng, root, path, node):
    """A structural change that makes the document claim much: a node repeated beyond the
    reader's value limit (or a few thousand times: documents the reader parses, which coverage
    tracing makes slow to run when larger) or buried under up to 80 levels of nesting."""
    if rng.random() < 0.5:
        short = node is None or isinstance(node, (int, float, bool)) or (isinstance(node, str) and len(node) < 8)
        small = node if short or node in ({}, []) else {}
        return set_at(root, path, [small] * rng.choice((1000, 5000, (1 << 20) + 2)))
    for _ in range(rng.choice((8, 63, 64, 65, 80))):
        node = [node]
    return set_at(root, path, node)


def mutate(rng, blob, corpus):
    parsed = split(blob)
    if parsed is None or rng.random() < 0.15:
        return mutate_bytes(rng, blob, corpus)
    fields, parts = parsed
    r = rng.random()
    if r < 0.45 and len(parts[0]) <= 1 << 16:  # grown documents get byte-level mutations only
        new_meta = mutate_json(rng, parts[0])
        parts[0] = new_meta if new_meta is not None else mutate_bytes(rng, parts[0], [])
    elif r < 0.7:
        i = rng.randrange(4)
        parts[i] = mutate_bytes(rng, parts[i], []) if rng.random() < 0.8 else b""
    elif r < 0.85:
        i = rng.randrange(1, 4)
        other = split(rng.choice(corpus))
        if other:
            parts[i] = other[1][i]
    else:
        k = rng.randrange(8)
        fields[k] = rng.choice(INTERESTING) if k else rng.choice((MAGIC, b"QLMD", b"\0" * 4))
        return join(fields, parts, repair=False)
    return join(fields, parts, repair=rng.random() < 0.9)


# ---- driver -------------------------------------------------------------------------------------

def save(folder, prefix, data):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, prefix + hashlib.sha1(data).hexdigest())
    with open(path, "wb") as f:
        f.write(data)
    return path


def run_one(data, timeout):
    # CPU time, not wall time: a loaded machine must not turn a slow run into a finding.
    signal.setitimer(signal.ITIMER_PROF, timeout)
    try:
        check(data)
    except Timeout:
        raise Finding(f"no answer within {timeout} s") from None
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("inputs", nargs="*", help="seed folders (or files with --replay)")
    ap.add_argument("--time", type=float, default=60.0, help="seconds to run (default 60)")
    ap.add_argument("--max-execs", type=int, default=0, help="stop after this many executions (0: no limit)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=10.0, help="CPU seconds one input may take (traced)")
    ap.add_argument("--artifacts", default="build-fuzz/findings", help="where findings are written")
    ap.add_argument("--replay", action="store_true", help="run each input once and report")
    ap.add_argument("--max-memory-mb", type=int, default=1024,
                    help="address space the process may add once started (default 1024; 0: no limit)")
    args = ap.parse_args(argv)
    if args.max_memory_mb:
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        limit = used + (args.max_memory_mb << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    def on_alarm(signum, frame):
        raise Timeout()

    signal.signal(signal.SIGPROF, on_alarm)
    files = []
    for p in args.inputs:
        files += [os.path.join(p, n) for n in sorted(os.listdir(p))] if os.path.isdir(p) else [p]
    seeds = []
    for path in files:
        with open(path, "rb") as f:
            seeds.append((path, f.read()))

    # As with libFuzzer, inputs that reach new code are added to the first folder given.
    grow = args.inputs[0] if args.inputs and os.path.isdir(args.inputs[0]) and not args.replay else None
    failed = 0
    cov = Coverage()
    corpus = []
    for path, data in seeds:
        try:
            cov.run(lambda d: run_one(d, args.timeout), data)
        except Finding as exc:
            print(f"FINDING on {path}: {exc}", flush=True)
            failed += 1
        corpus.append(data)
    if args.replay:
        print(f"replayed {len(seeds)} inputs, {failed} failed")
        return 1 if failed else 0
    if failed:
        return 1
    if not corpus:
        corpus.append(b"")

    rng = random.Random(args.seed)
    start = time.monotonic()
    execs, last_report = 0, start
    print(f"#0 INITED cov: {len(cov.seen)} corp: {len(corpus)}", flush=True)
    while True:
        now = time.monotonic()
        if (args.max_execs and execs >= args.max_execs) or (not args.max_execs and now - start >= args.time):
            break
        data = mutate(rng, rng.choice(corpus), corpus)
        execs += 1
        try:
            if cov.run(lambda d: run_one(d, args.timeout), data):
                corpus.append(data)
                if grow:
                    save(grow, "", data)
        except Finding as exc:
            path = save(args.artifacts, "chunk-crash-", data)
            print(f"#{execs} FINDING: {exc}\nInput written to {path}", flush=True)
            return 1
        if now - last_report >= 10:
            last_report = now
            print(f"#{execs} pulse cov: {len(cov.seen)} corp: {len(corpus)} "
                  f"exec/s: {execs / max(now - start, 1e-9):.0f}", flush=True)
    elapsed = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    print(f"Done {execs} runs in {elapsed:.0f} second(s): exec/s: {execs / max(elapsed, 1e-9):.0f}, "
          f"cov: {len(cov.seen)} edges, corpus: {len(corpus)}, peak RSS {peak} MB", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
