"""Every NetCDF file of Debian's libncarg-data (cdf/ and nug/) through encode, decode and verify.

For each file: `encode` as a user would first try it; when it is refused with a message that
names an option (--variable, --band-dim), again with that option (the first variable it lists;
``--once`` stops after the first try).
An accepted file is decoded and verified against a bound of 0.1 % of its value range. Prints one
line per attempt: the outcome, the cube's shape, the seconds of each step, and the message.

Training is the smallest that runs (a few seconds a file on a CPU): the survey is about which
files are read and how, not about sizes; the bound holds whatever the network learnt.

    PYTHONPATH=$PWD /usr/bin/python3 bench/ncarg_survey.py [--train "--preset tiny ..."] [FILE ...]
"""
import argparse
import glob
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = "/usr/share/ncarg/data"
TRAIN = "--preset tiny --xy-hash-size 8 --t-hash-size 8 --epochs 1 --batch-size 64"


def cli(*args):
    t0 = time.perf_counter()
    p = subprocess.run([sys.executable, "-m", "pyqelm", *args], capture_output=True, text=True,
                       env=dict(os.environ, PYTHONPATH=ROOT))
    return p.returncode, p.stdout, p.stderr.strip(), time.perf_counter() - t0


def attempt(path, extra, train, work):
    from pyqelm.pipeline import SourceOptions, read_cube

    extra = dict(extra)
    given_bound = extra.pop("--max-error", None)
    opts = SourceOptions(variable=extra.get("--variable"), band_dim=extra.get("--band-dim"))
    flags = [a for k, v in extra.items() for a in (k, v)]
    try:
        cube, _ = read_cube(path, opts)
    except Exception:  # the command line says it in its own words
        rc, _, err, secs = cli("encode", path, os.path.join(work, "x.qelm"), *flags, *train, "--force", "-q")
        return {"outcome": "refused" if rc else "?", "message": err.splitlines()[-1] if err else "", "encode_s": secs}
    finite = cube[np.isfinite(cube)]
    span = float(finite.max() - finite.min()) if finite.size else 0.0
    bound = given_bound or float(f"{max(span * 1e-3, 1e-6):.3g}")
    out = os.path.join(work, "o.qelm")
    rc, text, err, enc_s = cli("encode", path, out, "--max-error", str(bound), *flags, *train, "--force", "-q")
    row = {"shape": "x".join(map(str, cube.shape)), "bound": bound, "encode_s": enc_s}
    if rc:
        return dict(row, outcome="refused", message=err.splitlines()[-1] if err else "")
    notes = [line[len("pyqelm: "):] for line in text.splitlines() if line.startswith("pyqelm: ")
             and "valid range" not in line and "reference backend" not in line and "training the" not in line]
    rect = out[:-len(".qelm")] + "-rectified.qelm"
    best = rect if os.path.exists(rect) else out
    store = os.path.join(work, "d.zarr")
    subprocess.run(["rm", "-rf", store])
    rc, _, err, dec_s = cli("decode", best, store)
    if rc:
        return dict(row, outcome="decode failed", message=err, decode_s=dec_s)
    rc, text, err, ver_s = cli("verify", path, store, "--max-error", str(bound), *flags)
    return dict(row, outcome="accepted" if rc == 0 else "VERIFY FAILED", decode_s=dec_s, verify_s=ver_s,
                message=(text.strip() or err).replace(path, "SOURCE").replace(store, "DECODED"),
                notes="; ".join(notes), bytes=os.path.getsize(best))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("files", nargs="*")
    ap.add_argument("--train", default=TRAIN, help=f"training options of every encode (default: {TRAIN})")
    ap.add_argument("--once", action="store_true", help="only the first attempt (for files that are no rasters)")
    a = ap.parse_args()
    files = a.files or sorted(glob.glob(f"{DATA}/cdf/*.nc") + glob.glob(f"{DATA}/cdf/*.cdf") + glob.glob(
        f"{DATA}/nug/*.nc"))
    train = shlex.split(a.train)
    for path in files:
        extra = {}
        with tempfile.TemporaryDirectory(prefix="pyqelm-survey-") as work:
            for _ in range(1 if a.once else 3):
                r = attempt(path, extra, train, work)
                shown = " ".join(f"{k} {v}" for k, v in extra.items())
                print(f"{os.path.relpath(path, DATA)} {shown}".strip() + " | " + " | ".join(
                    f"{k} {v:.1f}" if isinstance(v, float) and k.endswith("_s") else f"{k} {v}"
                    for k, v in r.items() if v not in ("", None)), flush=True)
                m = r.get("message", "")
                if r["outcome"] != "refused":
                    break
                if "--variable" in m and "--variable" not in extra:
                    found = re.search(r"\['([^']+)'", m)
                    if not found:
                        break
                    extra["--variable"] = found.group(1)
                elif "--band-dim" in m and "--band-dim" not in extra:
                    extra["--band-dim"] = re.search(r"--band-dim (\S+)", m).group(1)
                else:
                    break


if __name__ == "__main__":
    main()
