"""Small containers that claim large cubes are refused by what they are, fast and in little
memory; damaged metadata is refused rather than decoded to inf or NaN.

Each refusal is measured in a child: one process imports the package once and forks a fresh
process per container, which reports its CPU time and the growth of its peak resident set. Its
data segment is capped 1 GiB above its start so that a regression fails instead of exhausting
the machine (an address-space cap is unusable: the tensor library reserves far more than it uses).
"""
import json
import lzma
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

import numpy as np
import pytest
import zstandard

from conftest import ROOT, tiny_compressor
from pyqelm import decode
from pyqelm.format import _records as R
from pyqelm.format import read_chunk_bytes
from pyqelm.format.chunk_io import MAGIC, VERSION

T, H, W = 4, 6, 7
CHUNK = "chunks/time0.y0.x0.qelmc"
MiB = 1 << 20

CHILD = r"""
import json, os, resource, sys, time
from pyqelm import decode
from pyqelm.encoder import tcnn_compressor  # noqa: F401  (loaded before any measurement)

for line in sys.stdin:
    path, max_memory = json.loads(line)
    r, w = os.pipe()
    if os.fork() == 0:
        with open("/proc/self/statm") as f:
            base = int(f.read().split()[1]) * resource.getpagesize()
        with open("/proc/self/status") as f:
            data = next(int(x.split()[1]) * 1024 for x in f if x.startswith("VmData:"))
        resource.setrlimit(resource.RLIMIT_DATA, (data + (1 << 30), data + (1 << 30)))
        t0, c0 = time.perf_counter(), time.process_time()
        try:
            decode.decode_container(path, max_memory=max_memory)
            outcome = "decoded"
        except ValueError as exc:
            outcome = "refused: " + str(exc)
        except BaseException as exc:
            outcome = f"failed: {type(exc).__name__}: {exc}"
        grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
        os.write(w, json.dumps({"outcome": outcome, "wall": time.perf_counter() - t0,
                                "cpu": time.process_time() - c0, "grew": grew}).encode())
        os._exit(0)
    os.close(w)
    print(os.fdopen(r).read(), flush=True)
    os.wait()
"""


def measure(cases):
    """{name: report} for {name: (path, max_memory)}."""
    lines = "".join(json.dumps([str(p), m]) + "\n" for p, m in cases.values())
    out = subprocess.run([sys.executable, "-c", CHILD], input=lines, capture_output=True, text=True, timeout=600,
                         env=dict(os.environ, PYTHONPATH=ROOT, OMP_NUM_THREADS="1"))
    reports = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
    assert len(reports) == len(cases), out.stderr[-3000:]
    return dict(zip(cases, reports))


# ---- building containers ------------------------------------------------------------------------

def rebuild(src, dst, meta=None, manifest=None, chunk_meta=None, mask=None, residuals=None, members=(), seal=True):
    """Copy of container ``src``: ``meta``/``manifest``/``chunk_meta`` edit the parsed documents in
    place (written back sealed, as a writer that knows the format would, or without checksums);
    ``mask``/``residuals`` replace chunk sections; ``members`` maps names to raw bytes. The chunk
    is packed by hand, past every check of the writer."""
    with zipfile.ZipFile(src) as z:
        docs = {n: json.loads(z.read(n)) for n in ("meta.json", "manifest.json")}
        cc = read_chunk_bytes(z.read(CHUNK))
    cm = cc.chunk_meta.to_dict()
    chunk_meta and chunk_meta(cm)
    body = [R.dumps(cm), cc.weights_bytes, cc.mask_bytes if mask is None else mask,
            cc.residual_bytes if residuals is None else residuals]
    crc = zlib.crc32(b"".join(body))
    blob = struct.pack("<4sHHIQQQI", MAGIC, VERSION, 0, *map(len, body), crc) + b"".join(body)
    docs["manifest.json"]["chunks"][0]["size_bytes"] = len(blob)
    raw = {CHUNK: blob}
    for name, edit in (("meta.json", meta), ("manifest.json", manifest)):
        docs[name].pop(R.CHECKSUM_KEY, None)
        edit and edit(docs[name])
        raw[name] = R.seal(docs[name], name) if seal else R.dumps(docs[name])
    raw.update(members)
    with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in raw.items():
            z.writestr(name, data, zipfile.ZIP_STORED if name == CHUNK else zipfile.ZIP_DEFLATED)
    return dst


def claim_cube(T_, H_, W_):
    """Edits that make meta.json and manifest.json claim a T_ x H_ x W_ cube."""
    def meta(d):
        d["shape"][:3] = [T_, H_, W_]
        d["time"]["values"] = [f"2021-01-{i + 1:02d}" for i in range(T_)]

    def manifest(d):
        for axis, n in zip(("time", "y", "x"), (T_, H_, W_)):
            d["chunk_grid"][axis]["size"] = n
            d["chunks"][0]["bounds"][axis] = [0, n]
    return dict(meta=meta, manifest=manifest)


def zstd_frame(blocks, size):
    c = zstandard.ZstdCompressor(level=1, write_content_size=True).compressobj(size=size)
    return b"".join([c.compress(b) for b in blocks] + [c.flush()])


def mask_claiming(F, H_, W_):
    """A dynamic mask blob of F all-valid frames of H_ x W_ pixels: a few KB."""
    n = (H_ * W_ + 7) // 8
    frame = zstd_frame((bytes(min(MiB, n - k)) for k in range(0, n, MiB)), n)
    return struct.pack("<Biii", 1, F, H_, W_) + (struct.pack("<I", len(frame)) + frame) * F


def residuals_claiming(shape, count):
    """A residual blob of one frame whose positions (deltas 0, 1, 1, ...) hold ``count`` outliers;
    its values stream is short (the claim must be refused before it is reached)."""
    ones = np.ones(MiB, np.int32)
    first = ones.copy()
    first[0] = 0
    positions = zstd_frame(((first if k == 0 else ones)[:min(MiB, count - k)].tobytes()
                            for k in range(0, count, MiB)), 4 * count)
    values = lzma.compress(bytes(4096), format=lzma.FORMAT_XZ, preset=0)
    return (struct.pack("<IB4iIQfI", 0, 1, *shape, 1, 0, 1e-3, len(positions)) + positions
            + struct.pack("<II", count, len(values)) + values)


def empty_dicts(n_bytes):
    """A JSON list of ``n_bytes`` (3k + 1) of ``{},``: 22 million dictionaries in 64 MiB."""
    return b"[" + b"{}," * (n_bytes // 3 - 1) + b"{}]"


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """good.qelm (static mask), good-rectified.qelm (residuals) and nomask.qelm."""
    import contextlib
    import io

    folder = tmp_path_factory.mktemp("saved")
    vol = np.random.default_rng(0).random((T, H, W, 1)).astype(np.float32)
    nodata = np.zeros(vol.shape[:3], bool)
    nodata[:, 0, 0] = True
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        c = tiny_compressor(vol, nodata)
        c.fit(epochs=1, batch_size=16)
        c.save_qelm(str(folder / "good.qelm"), save_residuals=True, residual_threshold=0.001)
        c.save_qelm(str(folder / "nomask.qelm"), mask_mode="no")
    return folder


# ---- the small hostile containers ---------------------------------------------------------------

def hostile_cases(saved, out):
    """{name: (path, max_memory, words of the refusal)}."""
    good, rect, big = saved / "good.qelm", saved / "good-rectified.qelm", claim_cube(4, 8000, 8000)
    return {
        # 256 million network evaluations; the static mask knows the grid is 6 x 7.
        "claims 4x8000x8000, mask disagrees": (rebuild(good, out / "a.qelm", **big), 1 << 40,
                                              r"mask of shape \(1, 6, 7\) does not fit the cube \(4, 8000, 8000\)"),
        # Nothing contradicts the claim: only the memory cap can refuse it.
        "claims 4x8000x8000, no mask": (rebuild(saved / "nomask.qelm", out / "b.qelm", **big), 256 * MiB,
                                        r"this 4 x 8000 x 8000 x 1 cube needs about .* GiB of memory, more than "
                                        r"the 256.0 MiB allowed"),
        "mask blob inflating to GBs": (rebuild(good, out / "c.qelm", mask=mask_claiming(T, 20000, 20000)), None,
                                       r"mask of shape \(4, 20000, 20000\) does not fit the cube \(4, 6, 7\)"),
        "10^8 outliers, counted in the chunk metadata": (
            rebuild(rect, out / "d.qelm", residuals=residuals_claiming((1, 10000, 10000, 1), 10 ** 8),
                    chunk_meta=lambda d: d["residual_info"].update(outlier_count=10 ** 8)), None,
            r"residual track counts 100,000,000 outliers in a cube of 168 values"),
        "10^8 outliers in a 10000 x 10000 frame": (
            rebuild(rect, out / "e.qelm", residuals=residuals_claiming((1, 10000, 10000, 1), 10 ** 8)), None,
            r"residual track shape \(1, 10000, 10000, 1\) does not match the cube \(4, 6, 7, 1\)"),
        "decoder of 16384 x 8": (
            rebuild(good, out / "f.qelm",
                    chunk_meta=lambda d: d["model_config"].update(decoder_hidden=16384, n_hidden_layers=8)), None,
            r"the model configuration asks for 1,879,\d{3},\d{3} weights .* the weight recipe stores"),
        "meta.json of 64 MiB of {},": (rebuild(good, out / "g.qelm", members={"meta.json": empty_dicts(64 * MiB)}),
                                       None, r"member 'meta.json' declares 67,108,864 bytes, more than the "
                                             r"16,777,216-byte limit"),
        "manifest.json of 64 MiB of {},": (
            rebuild(good, out / "h.qelm", members={"manifest.json": empty_dicts(64 * MiB)}), None,
            r"member 'manifest.json' declares 67,108,864 bytes"),
        "meta.json of 15 MiB of {}, (under the size limit)": (
            rebuild(good, out / "i.qelm", meta=lambda d: d.update(x=[{}] * (5 * MiB)), seal=False), None,
            r"meta.json holds about 5,24\d,\d{3} JSON values, more than the 1,048,576"),
        "manifest.json nested 100,000 deep": (
            rebuild(good, out / "j.qelm", members={"manifest.json": b"[" * 100000 + b"]" * 100000}), None,
            r"manifest.json is nested 100000 levels deep, more than the 64"),
    }


def test_small_hostile_containers_are_refused_fast_and_small(saved, tmp_path):
    cases = hostile_cases(saved, tmp_path)
    assert all(os.path.getsize(p) < 100_000 for p, _, _ in cases.values())  # small files, large claims
    reports = measure({"good": (saved / "good-rectified.qelm", None), **{n: c[:2] for n, c in cases.items()}})
    print("\ncase | outcome | CPU s | wall s | peak growth MiB")
    for name, r in reports.items():
        print(f"{name} | {r['outcome'][:90]} | {r['cpu']:.3f} | {r['wall']:.3f} | {r['grew'] / MiB:.1f}")
    assert reports.pop("good")["outcome"] == "decoded"
    for name, r in reports.items():
        assert re.search(cases[name][2], r["outcome"]) and r["outcome"].startswith("refused: "), (name, r)
        assert r["cpu"] < 2.0 and r["grew"] < 300 * MiB, (name, r)


# ---- the memory cap -----------------------------------------------------------------------------

def test_memory_cap_refuses_by_size_and_the_library_and_command_line_raise_it(saved, tmp_path, capsys, monkeypatch):
    from pyqelm import cli

    path = saved / "good.qelm"
    with pytest.raises(ValueError, match=r"this 4 x 6 x 7 x 1 cube needs about .* more than the 1.0 KiB allowed"):
        decode.decode_container(str(path), max_memory=1024)
    assert decode.decode_container(str(path), max_memory=64 * MiB)[0].shape == (T, H, W, 1)
    assert cli.main(["decode", str(path), str(tmp_path / "out.zarr"), "--max-memory", "1K"]) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith("pyqelm decode: error: decoding this 4 x 6 x 7 x 1 cube needs about") and "\n" not in err
    assert not (tmp_path / "out.zarr").exists()
    assert cli.main(["decode", str(path), str(tmp_path / "out.zarr"), "--max-memory", "1G"]) == 0
    # The default is half of physical memory, or of 64 GiB when the system does not say.
    monkeypatch.setattr(os, "sysconf", lambda name: {"SC_PAGE_SIZE": 4096, "SC_PHYS_PAGES": 1 << 20}[name])
    assert decode.default_max_memory() == 2 << 30
    monkeypatch.setattr(os, "sysconf", lambda name: -1)
    assert decode.default_max_memory() == 32 << 30


def test_parse_memory_size():
    for text, size in [("512M", 512 * MiB), ("8G", 8 << 30), ("1.5T", int(1.5 * (1 << 40))), ("4096", 4096),
                       ("64KiB", 64 << 10), ("2gb", 2 << 30)]:
        assert decode.parse_memory_size(text) == size
    for text in ("0", "-1G", "lots", "1e400", ""):
        with pytest.raises(ValueError):
            decode.parse_memory_size(text)


# ---- metadata integrity -------------------------------------------------------------------------

def text_edit(src, dst, name, edit):
    """Copy of ``src`` with the JSON member ``name`` edited as a text editor would: checksum kept."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            d = json.loads(zin.read(info)) if info.filename == name else None
            d is not None and edit(d)
            zout.writestr(info, zin.read(info) if d is None else json.dumps(d).encode())
    return dst


def times(*days):
    return lambda d: d["time"].update(values=[f"2021-01-{i:02d}Z" for i in days])


INTEGRITY_CASES = {
    # the checksums of the documents as written
    "meta.json edited": (("meta.json", lambda d: d["bands"][0].update(add_offset=5.0)),
                         "meta.json was changed or damaged after it was written"),
    "manifest.json edited": (("manifest.json", lambda d: d["chunk_grid"]["x"].update(regular=False)),
                             "manifest.json was changed or damaged"),
    "checksum malformed": (("meta.json", lambda d: d.update(checksum="md5:1")), "malformed checksum 'md5:1'"),
    # validation, which containers without checksums get as well
    "training range NaN": (dict(chunk_meta=lambda d: d.update(train_data_range=[[0.0, {"$float": "nan"}]])),
                           r"train_data_range\[0\] must hold finite numbers"),
    "training range 1e308": (dict(chunk_meta=lambda d: d.update(train_data_range=[[0.0, 1e308]])),
                             r"\[0.0, 1e\+308\] lies beyond what float32 values can hold"),
    "log-space range beyond float32": (dict(chunk_meta=lambda d: d.update(train_data_range=[[0.0, 120.0]]),
                                            meta=lambda d: d.update(use_log=True)), "reaches 120 in log space"),
    "equal time values": (dict(meta=times(1, 2, 2, 4)), r"not strictly monotonic: frame 2 \(2021-01-02Z\) follows"),
    "decreasing time value": (dict(meta=times(1, 3, 2, 4)), r"not strictly monotonic: frame 2"),
    "global time bound not a date": (dict(meta=lambda d: d["time"].update(global_start="NaN")),
                                     "not an ISO-8601 timestamp: 'NaN'"),
    "band offset infinite": (dict(meta=lambda d: d["bands"][0].update(add_offset={"$float": "inf"})),
                             "add_offset must be finite"),
    # each within float32, together beyond it: only the decoded values tell
    "weights and range overflowing together": (
        dict(chunk_meta=lambda d: (d["quantization_info"].update(scales=[1e-30, 1e-30]),
                                   d.update(train_data_range=[[0.0, 3e38]]))),
        "valid values of frame 0 decode to inf or NaN; the container's metadata or weights are damaged"),
}


@pytest.mark.parametrize("case", list(INTEGRITY_CASES))
def test_damaged_metadata_is_refused_not_decoded_to_nan(saved, tmp_path, case):
    edits, words = INTEGRITY_CASES[case]
    good, bad = saved / "good.qelm", tmp_path / "bad.qelm"
    text_edit(good, bad, *edits) if isinstance(edits, tuple) else rebuild(good, bad, seal=False, **edits)
    with pytest.raises(ValueError, match=words):
        decode.decode_container(str(bad))


def test_containers_without_checksums_and_decreasing_time_axes_still_decode(saved, tmp_path):
    good = saved / "good.qelm"
    old = rebuild(good, tmp_path / "old.qelm", seal=False)
    with zipfile.ZipFile(old) as z:
        assert all(R.CHECKSUM_KEY not in json.loads(z.read(n)) for n in ("meta.json", "manifest.json"))
    np.testing.assert_array_equal(decode.decode_container(str(old))[0], decode.decode_container(str(good))[0])
    # A source stored newest first has a strictly monotonic time axis too.
    assert np.isfinite(decode.decode_container(str(rebuild(good, tmp_path / "b.qelm", meta=times(4, 3, 2, 1))))[0]
                       [:, 1:]).all()


# ---- claims checked before allocation -----------------------------------------------------------

@pytest.mark.parametrize("kind", [{}, dict(disable_temporal=True), dict(enable_deformation=True),
                                  dict(temporal_mode="latent", code_hash_size=6, code_n_levels=2, t1d_hash_size=4),
                                  dict(block_size=[2, 3], decoder_hidden=24, n_hidden_layers=3, n_output_dims=2),
                                  dict(n_hidden_layers=0, spatial_dims=3, xy_features_per_level=4)],
                         ids=["hash3d", "no time", "deformation", "latent", "blocks", "no hidden layer, 3-D"])
def test_component_sizes_match_the_network_built(kind):
    from pyqelm.models._architecture import component_names, component_sizes, resolve_architecture
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    kwargs = dict(n_output_dims=1, xy_hash_size=8, xy_base_resolution=4, xy_n_levels=3, xy_per_level_scale=1.5,
                  xy_features_per_level=2, t_hash_size=7, t_base_resolution=2, t_n_levels=2, t_per_level_scale=2.0,
                  t_features_per_level=2, spatial_scale=1.0, decoder_hidden=16, n_hidden_layers=1)
    kwargs.update(kind)
    tensors, names = QELMNetworkTorch(**kwargs).export_weight_components()
    arch = resolve_architecture(kwargs)
    assert (component_names(arch), component_sizes(arch)) == (names, [t.numel() for t in tensors])


@pytest.mark.parametrize("edits, words", [
    (dict(chunk_meta=lambda d: d["model_config"].update(xy_hash_size=24, xy_n_levels=16, xy_base_resolution=64)),
     r"asks for [\d,]+ weights \(spatial [\d,]+, phenology 80, decoder [\d,]+\), the weight recipe stores spatial 112"),
    (dict(chunk_meta=lambda d: d["quantization_info"].update(mode="int8_per_tensor_f16dec")),
     "weight blob holds 896 bytes"),
    (dict(chunk_meta=lambda d: d["model_config"].update(xy_per_level_scale=1e300)), r"level 1 has no finite scale|beyond 2\^31"),
    (dict(chunk_meta=lambda d: d["model_config"].update(n_bands=3, n_output_dims=3)),
     "the cube has 1 bands, the network predicts 3"),
    (dict(meta=lambda d: d["time"]["values"].pop()), "the time axis holds 3 timestamps for 4 frames"),
    (dict(chunk_meta=lambda d: d["residual_info"].update(outlier_count=5)),
     r"residual blob holds \d+ outliers, the chunk metadata counts 5"),
], ids=["grids", "element width", "level scale", "bands", "frames", "outliers"])
def test_claims_disagreeing_with_each_other_are_refused_before_building(saved, tmp_path, monkeypatch, edits, words):
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    if words.startswith("residual"):
        monkeypatch.setattr(decode, "_predict", lambda *a, **k: pytest.fail("predicted"))
    else:
        monkeypatch.setattr(QELMNetworkTorch, "from_config", lambda *a: pytest.fail("network built"))
    with pytest.raises(ValueError, match=words):
        decode.decode_container(str(rebuild(saved / "good-rectified.qelm", tmp_path / "bad.qelm", **edits)))


# ---- JSON documents -----------------------------------------------------------------------------

def test_json_limits_bound_what_the_parser_builds():
    import time

    from pyqelm.format import ChunkMeta, write_chunk_bytes

    ok = {"t": [f"2021-01-{d:02d}" for d in range(1, 29)] * 1000, "crs": 'GEOGCS["WGS 84",DATUM["x"]]',
          "n": [[[[{"a": "[[[{{{,,,:::\\\\\"]]]"}]]]]}
    assert R.loads(R.dumps(ok), "doc") == ok  # brackets and commas inside strings do not count
    for text, words in [(b"[" + b"0," * (1 << 20) + b"0]", "holds about 1,048,578 JSON values"),
                        (b'{"a":' * 65 + b"1" + b"}" * 65, "nested 65 levels deep"),
                        (b" " * (16 * MiB + 1), "holds 16,777,217 bytes")]:
        with pytest.raises(ValueError, match=words):
            R.loads(text, "doc")
    t0 = time.process_time()  # escaped quotes cannot make the scan of strings quadratic
    with pytest.raises(ValueError):
        R.loads(b'["' + b'x\\"' * (4 * MiB) + b"]", "doc")
    assert time.process_time() - t0 < 5
    with pytest.raises(ValueError, match="chunk metadata holds about"):  # never written, then
        write_chunk_bytes(ChunkMeta(model_config={}, quantization_info={"mode": "float16"},
                                    extras={"x": [0] * (1 << 20)}), b"w", b"", b"")
