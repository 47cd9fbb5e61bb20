"""Each input that used to end in an unhelpful message ("maximum recursion depth exceeded",
"too many values to unpack", a pybind argument dump, "division by zero", a message of 5,000
characters, ...) now gets one short line that says what is wrong and what to do. Every case
fails before any training."""
import json
import os
import subprocess
import sys

import netCDF4
import numpy as np
import pytest

from conftest import IMPORT_ROOT, tiny_compressor, v2_store
from pyqelm import cli, outputs
from pyqelm.pipeline import write_meta_sidecar

T, H, W = 3, 4, 5
SMALL = ["--preset", "tiny", "--epochs", "1", "--backend", "reference", "--device", "cpu", "-q"]


def store(d, edit=None, leaf=None):
    path = v2_store(d / "s.zarr", (np.arange(T * H * W).reshape(T, H, W) + 1).astype("f4"), chunks=(1, H, W))
    if edit:
        f = os.path.join(path, "v", leaf)
        text = edit(open(f).read())
        open(f, "w").write(text)
    return path


def saved(d, chunk_blob=False):
    """A container (or a chunk blob with its metadata file) written without training."""
    c = tiny_compressor(np.random.default_rng(0).random((T, H, W, 1)).astype(np.float32), np.zeros((T, H, W), bool))
    c.fit(epochs=0, batch_size=16)
    if not chunk_blob:
        c.save_qelm(str(d / "c.qelm"))
        return str(d / "c.qelm")
    blob = str(d / "c.qelmc")
    meta = c.save_chunk_blob(blob)[0]
    write_meta_sidecar(blob + ".meta.json", meta, blob=open(blob, "rb").read())
    return blob


def five_axes(d):
    blob = saved(d, chunk_blob=True)
    from pyqelm.format import _records as R

    rec = json.load(open(blob + ".meta.json"))
    rec.pop(R.CHECKSUM_KEY, None)
    rec.update(shape=rec["shape"] + [1], axes=rec["axes"] + ["level"])
    # Sealed again, as a writer that knew the format would: the checksum is not what is tested.
    open(blob + ".meta.json", "wb").write(R.seal(rec, "meta.json"))
    return ["decode", blob, d / "o.zarr"]


def odd_metrics(d):
    """A container whose quality metrics were written in another form."""
    from pyqelm.format import read_chunk_bytes, read_container, write_chunk_bytes, write_container

    c = read_container(saved(d))
    name, blob = next(iter(c.chunks.items()))
    cc = read_chunk_bytes(blob)
    cc.chunk_meta.extras["quality_metrics"] = {"source": "model", "bands": [{"rmse": 1.0}]}
    blob = write_chunk_bytes(cc.chunk_meta, cc.weights_bytes, cc.mask_bytes, cc.residual_bytes)
    c.manifest.chunks[0].size_bytes = len(blob)
    return write_container(str(d / "odd.qelm"), c.meta, c.manifest, [(name, blob)])


def empty_rows(d):
    path = str(d / "h0.nc")
    with netCDF4.Dataset(path, "w") as ds:
        for name, n in (("time", 2), ("lat", 0), ("lon", 3)):
            ds.createDimension(name, n)
        ds.createVariable("time", "f8", ("time",)).units = "days since 2000-01-01"
        ds["time"][:] = [0, 1]
        ds.createVariable("tas", "f4", ("time", "lat", "lon"))
    return ["encode", path, d / "o.qelm", *SMALL]


def read_only(d, monkeypatch):
    folder = d / "ro"
    folder.mkdir()
    os.chmod(folder, 0o555)
    if os.geteuid() == 0:  # permissions do not bind root: the check is what is tested
        real = os.access
        monkeypatch.setattr(outputs.os, "access", lambda p, m: False if os.fspath(p) == str(folder) else real(p, m))
    return ["decode", saved(d), folder / "d.zarr"]


# case: (build(tmp_path, monkeypatch) -> argv, exit status, words of the new message, the old message)
CASES = {
    "metadata nested too deeply": (
        lambda d, mp: ["encode", store(d, lambda t: t[:-1] + ', "a": ' + "[" * 100000 + "]" * 100000 + "}",
                                      ".zattrs"), d / "o.qelm", *SMALL],
        1, "cannot read Zarr metadata", "maximum recursion depth exceeded"),
    "cube of five axes": (lambda d, mp: five_axes(d), 1, "describes a cube of 5 axes", "too many values to unpack"),
    "grid size beyond 32 bits": (lambda d, mp: ["encode", store(d), d / "o.qelm", "--xy-base-resolution",
                                                "99999999999", *SMALL],
                                 2, "must be <= 2147483647", "incompatible function arguments"),
    "no rows": (lambda d, mp: empty_rows(d), 1, "has shape (2, 0, 3) (time, lat, lon): there is no data",
                "division by zero"),
    "infinite grid scale": (lambda d, mp: ["encode", store(d), d / "o.qelm", "--xy-scale", "1e300", *SMALL],
                            1, "beyond 2^31", "cannot convert float infinity to integer"),
    "5,000-character name": (lambda d, mp: ["encode", store(d), d / "o.qelm", "--variable", "k" * 5000, *SMALL],
                             1, "characters)", "k" * 1000),
    "quality metrics another writer stored": (lambda d, mp: ["inspect", odd_metrics(d)], 0, None, "KeyError"),
    "zero chunk size": (lambda d, mp: ["encode", store(d, lambda t: t.replace('"chunks": [\n        1,\n        4',
                                                                              '"chunks": [\n        1,\n        0'),
                                                       ".zarray"), d / "o.qelm", *SMALL],
                        1, "chunk shape [1, 0, 5] must hold one positive integer", "integer division or modulo"),
    "bad JSON of a store": (lambda d, mp: ["encode", store(d, lambda t: t.replace('"time"', 'time'), ".zattrs"),
                                           d / "o.qelm", *SMALL], 1, "s.zarr/v/.zattrs: Expecting value",
                            None),
    "negative number with exponent": (lambda d, mp: ["encode", store(d), d / "o.qelm", "--valid-range", "1e38",
                                                     "-1e38", *SMALL], 1, "MIN < MAX, got (1e+38, -1e+38)",
                                      "expected 2 arguments"),
    "network beyond memory": (lambda d, mp: ["encode", store(d), d / "o.qelm", "--xy-hash-size", "30",
                                             "--xy-levels", "32", "--xy-features", "8", "--xy-base-resolution",
                                             "1000", *SMALL], 1, "of memory (model", "DefaultCPUAllocator"),
    "decode into a read-only folder": (read_only, 1, "(permission denied); choose a folder you can write to",
                                       "KeyError: '.zgroup'"),
    "decode to a .nc name": (lambda d, mp: ["decode", saved(d), d / "out.nc"], 1,
                             "decode writes a Zarr store, not a .nc file", None),
    "inspect a folder": (lambda d, mp: ["inspect", d], 1, "is a folder, not a container", "no such file"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_unhelpful_message_is_replaced_by_one_that_says_what_to_do(tmp_path, monkeypatch, capsys, case):
    build, code, words, old = CASES[case]
    argv = [str(a) for a in build(tmp_path, monkeypatch)]
    capsys.readouterr()
    assert cli.main(argv) == code
    err = capsys.readouterr().err
    if code:
        assert words in err and len(err.strip().splitlines()) == 1 and len(err) < 500, err
    else:
        assert err == ""
    assert old is None or old not in err


def test_allocation_failure_names_its_size_and_what_to_change():
    text = cli._message(RuntimeError("[enforce fail at alloc_cpu.cpp:75] err == 0. DefaultCPUAllocator: can't "
                                     "allocate memory: you tried to allocate 12799999999872 bytes. Error code 12"))
    assert text.startswith("out of memory (an allocation of 11920.9 GiB failed): use a smaller --preset")
    assert cli._message(KeyError("x" * 5000)).startswith("missing entry 'xxxxxxxx") and len(cli._message(
        KeyError("x" * 5000))) < 200


def test_a_reader_that_goes_away_ends_the_run_quietly():
    """`pyqelm presets | head`: the closed pipe is the reader's choice, not an error to report."""
    env = {**os.environ, "PYTHONPATH": IMPORT_ROOT}
    p = subprocess.Popen([sys.executable, "-m", "pyqelm", "presets"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    p.stdout.close()  # before the child has imported anything, so its first write meets a closed pipe
    err = p.stderr.read().decode()
    assert p.wait() == 141 and err == "", err
