"""Small containers that claim large cubes are refused by what they are, quickly and in little
memory; damaged metadata is refused rather than decoded to inf or NaN.

The memory and time of each refusal are measured in a child process: one process imports the
package once and forks a fresh process per container, which reports its CPU time and the growth
of its peak resident set over what it held when it started. The data segment of that process is
capped a gigabyte above its start, so that a regression fails the test instead of exhausting
the machine (an address-space cap is unusable: the tensor library reserves far more address
space than it ever touches).
"""
import json
import os
import struct
import subprocess
import sys
import zipfile
import zlib

import lzma
import numpy as np
import pytest
import zstandard

from conftest import ROOT, tiny_compressor
from pyqelm import decode
from pyqelm.format import _records as R
from pyqelm.format import read_chunk_bytes
from pyqelm.format.chunk_io import HEADER_SIZE, MAGIC, VERSION

T, H, W = 4, 6, 7
CHUNK = "chunks/time0.y0.x0.qelmc"
MiB = 1 << 20

CHILD = r"""
import json, os, resource, sys, time
import pyqelm
from pyqelm import decode
from pyqelm.encoder import tcnn_compressor  # noqa: F401  (loaded before any measurement)


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def data_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmData:"))


for line in sys.stdin:
    path, max_memory = json.loads(line)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        base = resident()
        limit = data_size() + (1 << 30)
        resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
        t0, c0 = time.perf_counter(), time.process_time()
        try:
            decode.decode_container(path, max_memory=max_memory)
            outcome = "decoded"
        except ValueError as exc:
            outcome = "refused: " + str(exc)
        except BaseException as exc:
            outcome = f"failed: {type(exc).__name__}: {exc}"
        usage = resource.getrusage(resource.RUSAGE_SELF)
        report = {"outcome": outcome, "wall": time.perf_counter() - t0, "cpu": time.process_time() - c0,
                  "grew": usage.ru_maxrss * 1024 - base}
        os.write(w, json.dumps(report).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        print(f.read(), flush=True)
    os.waitpid(pid, 0)
"""


def measure(cases):
    """{name: report} for {name: (path, max_memory)}, each decoded in a fresh forked process."""
    names = list(cases)
    lines = "".join(json.dumps([str(cases[n][0]), cases[n][1]]) + "\n" for n in names)
    env = dict(os.environ, PYTHONPATH=ROOT, OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", CHILD], input=lines, capture_output=True, text=True, env=env,
                         timeout=600)
    reports = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
    assert len(reports) == len(names), out.stderr[-3000:]
    return dict(zip(names, reports))


# ---- building containers ------------------------------------------------------------------------

def pack_chunk(meta_doc, weights, mask, residuals):
    """A chunk blob around a metadata document given as a dict (or raw bytes), bypassing every
    check of the writer."""
    meta = meta_doc if isinstance(meta_doc, bytes) else json.dumps(meta_doc).encode()
    body = [meta, weights, mask, residuals]
    crc = 0
    for part in body:
        crc = zlib.crc32(part, crc)
    head = struct.pack("<4sHHIQQQI", MAGIC, VERSION, 0, len(meta), len(weights), len(mask), len(residuals), crc)
    assert len(head) == HEADER_SIZE
    return head + b"".join(body)


def rebuild(src, dst, meta=None, manifest=None, chunk_meta=None, mask=None, residuals=None, members=None):
    """Copy of container ``src``: ``meta``/``manifest``/``chunk_meta`` edit the parsed documents in
    place (the edited JSON documents are sealed again, as a writer that knows the format would);
    ``mask``/``residuals`` replace the chunk's sections; ``members`` maps member names to raw
    bytes stored as they are."""
    with zipfile.ZipFile(src) as z:
        docs = {n: json.loads(z.read(n)) for n in ("meta.json", "manifest.json")}
        cc = read_chunk_bytes(z.read(CHUNK))
    cm = cc.chunk_meta.to_dict()
    chunk_meta and chunk_meta(cm)
    blob = pack_chunk(R.dumps(cm), cc.weights_bytes, cc.mask_bytes if mask is None else mask,
                      cc.residual_bytes if residuals is None else residuals)
    docs["manifest.json"]["chunks"][0]["size_bytes"] = len(blob)
    raw = {}
    for name, edit in (("meta.json", meta), ("manifest.json", manifest)):
        docs[name].pop(R.CHECKSUM_KEY, None)
        edit and edit(docs[name])
        raw[name] = R.dumps(docs[name]) if docs[name].pop("unsealed", False) else R.seal(docs[name], name)
    raw[CHUNK] = blob
    raw.update(members or {})
    with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in raw.items():
            z.writestr(name, data, zipfile.ZIP_STORED if name == CHUNK else zipfile.ZIP_DEFLATED)
    return dst


def claim_cube(T_, H_, W_):
    """Edits of meta.json and manifest.json that make a container claim a T_ x H_ x W_ cube."""
    def meta(d):
        d["shape"][:3] = [T_, H_, W_]
        d["time"]["values"] = [f"2021-01-{d_ + 1:02d}" for d_ in range(T_)]

    def manifest(d):
        for axis, n in zip(("time", "y", "x"), (T_, H_, W_)):
            d["chunk_grid"][axis]["size"] = n
            d["chunks"][0]["bounds"][axis] = [0, n]
    return dict(meta=meta, manifest=manifest)


def zstd_frame(chunks, size, level=1):
    """One Zstandard frame declaring ``size`` bytes, compressed from an iterator of chunks."""
    c = zstandard.ZstdCompressor(level=level, write_content_size=True).compressobj(size=size)
    return b"".join([c.compress(part) for part in chunks] + [c.flush()])


def repeat(block, total):
    done = 0
    while done < total:
        yield block[:total - done]
        done += len(block)


def mask_claiming(F, H_, W_):
    """A dynamic mask blob of F frames of H_ x W_ pixels, all holding data: a few KB."""
    packed = (H_ * W_ + 7) // 8
    frame = zstd_frame(repeat(bytes(MiB), packed), packed)
    return struct.pack("<Biii", 1, F, H_, W_) + b"".join(struct.pack("<I", len(frame)) + frame for _ in range(F))


def residuals_claiming(shape, count):
    """A residual blob of one frame holding ``count`` outliers at the first cells: ascending
    positions, deltas 0, 1, 1, ... The values stream is a short XZ stream (the decoder must
    refuse the claim before it gets there)."""
    deltas = np.ones(MiB, np.int32)
    first = deltas.copy()
    first[0] = 0

    def parts():
        done = 0
        while done < count:
            k = min(MiB, count - done)
            yield (first if done == 0 else deltas)[:k].tobytes()
            done += k
    positions = zstd_frame(parts(), 4 * count)
    values = lzma.compress(bytes(4096), format=lzma.FORMAT_XZ, preset=0)
    frame = struct.pack("<fI", 1e-3, len(positions)) + positions + struct.pack("<II", count, len(values)) + values
    return struct.pack("<IB4iI", 0, 1, *shape, 1) + struct.pack("<Q", 0) + frame


def empty_values_json(n_bytes):
    """A JSON list of about ``n_bytes`` of ``{},``: twenty million dictionaries for 64 MB."""
    return b"[" + b"{}," * (n_bytes // 3) + b"{}]"


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A standard container with a static mask, one without a mask and a rectified one."""
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
    assert (folder / "good-rectified.qelm").exists()
    return folder


# ---- the small hostile containers ---------------------------------------------------------------

def hostile_cases(saved, out):
    """{name: (path, max_memory, words of the refusal)}."""
    good, rect, nomask = saved / "good.qelm", saved / "good-rectified.qelm", saved / "nomask.qelm"
    big = claim_cube(4, 8000, 8000)
    cases = {
        # The network would be evaluated 256 million times; the static mask knows the grid is 6 x 7.
        "claims 4x8000x8000, mask disagrees": (rebuild(good, out / "claim.qelm", **big), 1 << 40,
                                              r"mask of shape \(1, 6, 7\) does not fit the cube \(4, 8000, 8000\)"),
        # Nothing contradicts the claim: only the memory cap can refuse it.
        "claims 4x8000x8000, no mask": (rebuild(nomask, out / "claim-nomask.qelm", **big), 256 * MiB,
                                        r"this 4 x 8000 x 8000 x 1 cube needs about .* GiB of memory, more than "
                                        r"the 256.0 MiB allowed"),
        "mask blob inflating to GBs": (rebuild(good, out / "mask.qelm", mask=mask_claiming(T, 20000, 20000)), None,
                                       r"mask of shape \(4, 20000, 20000\) does not fit the cube \(4, 6, 7\)"),
        "residual track of 10^8 outliers, counted in the chunk metadata": (
            rebuild(rect, out / "resid.qelm", residuals=residuals_claiming((1, 10000, 10000, 1), 10 ** 8),
                    chunk_meta=lambda d: d["residual_info"].update(outlier_count=10 ** 8)), None,
            r"residual track counts 100,000,000 outliers in a cube of 168 values"),
        "residual track of 10^8 outliers in a 10000 x 10000 frame": (
            rebuild(rect, out / "resid2.qelm", residuals=residuals_claiming((1, 10000, 10000, 1), 10 ** 8)), None,
            r"residual track shape \(1, 10000, 10000, 1\) does not match the cube \(4, 6, 7, 1\)"),
        "decoder of 16384 x 8": (
            rebuild(good, out / "decoder.qelm",
                    chunk_meta=lambda d: d["model_config"].update(decoder_hidden=16384, n_hidden_layers=8)), None,
            r"the model configuration asks for 1,879,\d{3},\d{3} weights .* the weight recipe stores"),
        "meta.json of 64 MB of {},": (
            rebuild(good, out / "meta64.qelm", members={"meta.json": empty_values_json(64 * MiB)}), None,
            r"member 'meta.json' declares 67,108,867 bytes, more than the 16,777,216-byte limit"),
        "manifest.json of 64 MB of {},": (
            rebuild(good, out / "manifest64.qelm", members={"manifest.json": empty_values_json(64 * MiB)}), None,
            r"member 'manifest.json' declares 67,108,867 bytes"),
        "meta.json of 15 MB of {}, (under the size limit)": (
            rebuild(good, out / "meta15.qelm", meta=lambda d: d.update(x=[{}] * (5 * MiB), unsealed=True)), None,
            r"meta.json holds about 5,24\d,\d{3} JSON values, more than the 1,048,576"),
        "manifest.json nested 100,000 deep": (
            rebuild(good, out / "deep.qelm", members={"manifest.json": b"[" * 100000 + b"]" * 100000}), None,
            r"manifest.json is nested 100000 levels deep, more than the 64"),
    }
    return cases


def test_small_hostile_containers_are_refused_fast_and_small(saved, tmp_path):
    cases = hostile_cases(saved, tmp_path)
    for name, (path, _, _) in cases.items():
        assert os.path.getsize(path) < 200_000, name  # small files, large claims
    reports = measure({"good": (saved / "good-rectified.qelm", None),
                       **{n: (p, m) for n, (p, m, _) in cases.items()}})
    print("\ncase: outcome | CPU s | wall s | peak growth MiB")
    for name, r in reports.items():
        print(f"{name}: {r['outcome'][:90]} | {r['cpu']:.3f} | {r['wall']:.3f} | {r['grew'] / MiB:.1f}")
    assert reports.pop("good")["outcome"] == "decoded"
    for name, (_, _, words) in cases.items():
        r = reports[name]
        assert r["outcome"].startswith("refused: "), (name, r)
        assert __import__("re").search(words, r["outcome"]), (name, r["outcome"])
        assert r["cpu"] < 2.0, (name, r)
        assert r["grew"] < 300 * MiB, (name, r)


# ---- the memory cap -----------------------------------------------------------------------------

def test_memory_cap_refuses_by_size_and_the_library_and_command_line_raise_it(saved, tmp_path, capsys):
    from pyqelm import cli

    path = saved / "good.qelm"
    with pytest.raises(ValueError, match=r"this 4 x 6 x 7 x 1 cube needs about .* more than the 1.0 KiB allowed"):
        decode.decode_container(str(path), max_memory=1024)
    cube, _ = decode.decode_container(str(path), max_memory=64 * MiB)
    assert cube.shape == (T, H, W, 1)
    assert cli.main(["decode", str(path), str(tmp_path / "out.zarr"), "--max-memory", "1K"]) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith("pyqelm decode: error: decoding this 4 x 6 x 7 x 1 cube needs about") and "\n" not in err
    assert not (tmp_path / "out.zarr").exists()
    assert cli.main(["decode", str(path), str(tmp_path / "out.zarr"), "--max-memory", "1G"]) == 0


@pytest.mark.parametrize("text, size", [("512M", 512 * MiB), ("8G", 8 << 30), ("1.5T", int(1.5 * (1 << 40))),
                                        ("4096", 4096), ("64KiB", 64 << 10), ("2gb", 2 << 30),
                                        ("0", None), ("-1G", None), ("lots", None), ("1e400", None), ("", None)])
def test_parse_memory_size(text, size):
    if size is None:
        with pytest.raises(ValueError):
            decode.parse_memory_size(text)
    else:
        assert decode.parse_memory_size(text) == size


def test_default_cap_is_half_of_physical_memory(monkeypatch):
    monkeypatch.setattr(os, "sysconf", lambda name: {"SC_PAGE_SIZE": 4096, "SC_PHYS_PAGES": 1 << 20}[name])
    assert decode.default_max_memory() == 2 << 30
    monkeypatch.setattr(os, "sysconf", lambda name: -1)
    assert decode.default_max_memory() == 32 << 30


# ---- metadata integrity -------------------------------------------------------------------------

def raw_edit(src, dst, name, edit):
    """Copy of ``src`` with member ``name`` (a JSON document) edited and written back without
    touching its checksum, as a text editor would."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            data = zin.read(info)
            if info.filename == name:
                d = json.loads(data)
                edit(d)
                data = json.dumps(d).encode()
            zout.writestr(info, data)
    return dst


def set_time(d, values):
    d["time"]["values"] = values


INTEGRITY_CASES = {
    # the checksum of the written documents
    "meta.json edited": (dict(name="meta.json", edit=lambda d: d["bands"][0].update(add_offset=5.0)),
                         "meta.json was changed or damaged after it was written"),
    "manifest.json edited": (dict(name="manifest.json", edit=lambda d: d["chunk_grid"]["x"].update(regular=False)),
                             "manifest.json was changed or damaged"),
    "checksum malformed": (dict(name="meta.json", edit=lambda d: d.update(checksum="md5:1")),
                           "meta.json has a malformed checksum 'md5:1'"),
    # validation, for containers written without checksums
    "training range NaN": (dict(chunk=lambda d: d.update(train_data_range=[[0.0, {"$float": "nan"}]])),
                           r"train_data_range\[0\] must hold finite numbers"),
    "training range 1e308": (dict(chunk=lambda d: d.update(train_data_range=[[0.0, 1e308]])),
                             r"train_data_range\[0\] \[0.0, 1e\+308\] lies beyond what float32 values can hold"),
    "training range backwards": (dict(chunk=lambda d: d.update(train_data_range=[[1.0, 0.0]])),
                                 r"train_data_range\[0\] runs backwards"),
    "log-space range beyond float32": (dict(chunk=lambda d: d.update(train_data_range=[[0.0, 120.0]]),
                                            meta=lambda d: d.update(use_log=True)),
                                       "reaches 120 in log space"),
    "equal time values": (dict(meta=lambda d: set_time(d, ["2021-01-01Z", "2021-01-02Z", "2021-01-02Z",
                                                           "2021-01-04Z"])),
                          r"not strictly monotonic: frame 2 \(2021-01-02Z\) follows frame 1"),
    "decreasing time value": (dict(meta=lambda d: set_time(d, ["2021-01-01Z", "2021-01-03Z", "2021-01-02Z",
                                                               "2021-01-04Z"])),
                              r"not strictly monotonic: frame 2"),
    "band offset not finite": (dict(meta=lambda d: d["bands"][0].update(add_offset={"$float": "inf"})),
                               "add_offset must be finite"),
    "valid range NaN": (dict(meta=lambda d: d["bands"][0].update(valid_range=[0, {"$float": "nan"}])),
                        "valid_range holds NaN"),
    "global time bound not a date": (dict(meta=lambda d: d["time"].update(global_start="NaN")),
                                     "not an ISO-8601 timestamp: 'NaN'"),
    # each within float32, together beyond it: only the decoded values can tell
    "weights and range overflowing together": (
        dict(chunk=lambda d: (d["quantization_info"].update(scales=[1e-30, 1e-30]),
                              d.update(train_data_range=[[0.0, 3e38]]))),
        "valid values of frame 0 decode to inf or NaN; the container's metadata or weights are damaged"),
}


@pytest.mark.parametrize("case", list(INTEGRITY_CASES))
def test_damaged_metadata_is_refused_not_decoded_to_nan(saved, tmp_path, case):
    edits, words = INTEGRITY_CASES[case]
    good = saved / "good.qelm"
    if "name" in edits:
        bad = raw_edit(good, tmp_path / "bad.qelm", edits["name"], edits["edit"])
    else:  # re-sealed or unsealed alike: validation does not rely on the checksum
        unsealed = lambda d: d.update(unsealed=True)  # noqa: E731
        bad = rebuild(good, tmp_path / "bad.qelm", chunk_meta=edits.get("chunk"),
                      meta=lambda d: (edits.get("meta") or (lambda _: None))(d) or unsealed(d),
                      manifest=unsealed)
    with pytest.raises(ValueError, match=words):
        decode.decode_container(str(bad))


def test_containers_without_checksums_and_decreasing_time_axes_still_decode(saved, tmp_path):
    good = saved / "good.qelm"
    reference, _ = decode.decode_container(str(good))
    old = rebuild(good, tmp_path / "old.qelm", meta=lambda d: d.update(unsealed=True),
                  manifest=lambda d: d.update(unsealed=True))
    with zipfile.ZipFile(old) as z:
        assert all(R.CHECKSUM_KEY not in json.loads(z.read(n)) for n in ("meta.json", "manifest.json"))
    np.testing.assert_array_equal(decode.decode_container(str(old))[0], reference)
    # A source stored newest first is a strictly monotonic axis too.
    backwards = rebuild(good, tmp_path / "back.qelm",
                        meta=lambda d: set_time(d, ["2021-01-04Z", "2021-01-03Z", "2021-01-02Z", "2021-01-01Z"]))
    assert np.isfinite(decode.decode_container(str(backwards))[0][:, 1:]).all()


# ---- claims checked before allocation -----------------------------------------------------------

NETWORKS = {
    "hash3d": {},
    "no time": dict(disable_temporal=True),
    "latent": dict(temporal_mode="latent", code_hash_size=6, code_n_levels=2, t1d_hash_size=4),
    "deformation": dict(enable_deformation=True),
    "blocks, deep decoder": dict(block_size=[2, 3], decoder_hidden=24, n_hidden_layers=3, n_output_dims=2),
    "no hidden layer, three dimensions": dict(n_hidden_layers=0, spatial_dims=3, xy_features_per_level=4),
}


@pytest.mark.parametrize("kind", list(NETWORKS))
def test_component_sizes_match_the_network_built(kind):
    from pyqelm.models._architecture import component_names, component_sizes, resolve_architecture
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    kwargs = dict(n_output_dims=1, xy_hash_size=8, xy_base_resolution=4, xy_n_levels=3, xy_per_level_scale=1.5,
                  xy_features_per_level=2, t_hash_size=7, t_base_resolution=2, t_n_levels=2, t_per_level_scale=2.0,
                  t_features_per_level=2, spatial_scale=1.0, decoder_hidden=16, n_hidden_layers=1)
    kwargs.update(NETWORKS[kind])
    tensors, names = QELMNetworkTorch(**kwargs).export_weight_components()
    arch = resolve_architecture(kwargs)
    assert component_names(arch) == names
    assert component_sizes(arch) == [t.numel() for t in tensors]


@pytest.mark.parametrize("edit, words", [
    (lambda d: d["model_config"].update(xy_hash_size=24, xy_n_levels=16, xy_base_resolution=64),
     r"asks for [\d,]+ weights \(spatial [\d,]+, phenology 80, decoder [\d,]+\), the weight recipe stores spatial 112"),
    (lambda d: d["model_config"].update(n_bands=3, n_output_dims=3), "the cube has 1 bands, the network predicts 3"),
    (lambda d: d["quantization_info"].update(mode="int8_per_tensor_f16dec"), r"weight blob holds 896 bytes"),
    (lambda d: d["model_config"].update(xy_per_level_scale=1e300), "hash grid level 1 has no finite scale"),
], ids=["grids", "bands", "element width", "level scale"])
def test_network_claims_are_checked_against_the_weights_before_building(saved, tmp_path, monkeypatch, edit, words):
    from pyqelm.models.QELMNetworkTorch import QELMNetworkTorch

    bad = rebuild(saved / "good.qelm", tmp_path / "bad.qelm", chunk_meta=edit)
    monkeypatch.setattr(QELMNetworkTorch, "from_config", lambda *a: pytest.fail("network built"))
    with pytest.raises(ValueError, match=words):
        decode.decode_container(str(bad))


def test_cube_claims_disagreeing_with_the_chunk_are_refused_before_predicting(saved, tmp_path, monkeypatch):
    monkeypatch.setattr(decode, "_predict", lambda *a, **k: pytest.fail("predicted"))
    rect = saved / "good-rectified.qelm"
    for edits, words in [
        (dict(meta=lambda d: d["shape"].__setitem__(3, 2)), "the cube has 2 bands, the network predicts 1"),
        (dict(meta=lambda d: d["time"]["values"].pop()), "the time axis holds 3 timestamps for 4 frames"),
        (dict(chunk_meta=lambda d: d["residual_info"].update(outlier_count=5)),
         r"residual blob holds \d+ outliers, the chunk metadata counts 5"),
    ]:
        with pytest.raises(ValueError, match=words):
            decode.decode_container(str(rebuild(rect, tmp_path / "bad.qelm", **edits)))


# ---- JSON documents -----------------------------------------------------------------------------

def test_json_limits_bound_what_the_parser_builds():
    import time

    ok = {"values": [f"2021-01-{d:02d}" for d in range(1, 29)] * 1000, "crs": 'GEOGCS["WGS 84",DATUM["x"]]',
          "nested": [[[[{"a": "[[[{{{,,,:::\\\"]]]"}]]]]}
    assert R.loads(R.dumps(ok), "doc") == ok  # brackets and commas inside strings do not count
    for text, words in [
        (b"[" + b"0," * (1 << 20) + b"0]", "holds about 1,048,578 JSON values"),
        (b'{"a":' * 65 + b"1" + b"}" * 65, "nested 65 levels deep"),
        (b" " * (16 * MiB + 1), "holds 16,777,217 bytes"),
    ]:
        with pytest.raises(ValueError, match=words):
            R.loads(text, "doc")
    # Escaped quotes cannot make the string scan quadratic.
    t0 = time.process_time()
    with pytest.raises(ValueError):
        R.loads(b'["' + b'x\\"' * (4 * MiB) + b"]", "doc")
    assert time.process_time() - t0 < 5
    # What the reader would refuse is never written.
    from pyqelm.format import ChunkMeta, write_chunk_bytes

    cm = ChunkMeta(model_config={}, quantization_info={"mode": "float16"}, extras={"x": [0] * (1 << 20)})
    with pytest.raises(ValueError, match="chunk metadata holds about"):
        write_chunk_bytes(cm, b"w", b"", b"")
