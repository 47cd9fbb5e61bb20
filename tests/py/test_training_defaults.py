"""What the command line trains by default: a step plan fitted to the cube and the machine, the
bound loss when a bound is given, repeatable seeded runs, unreached hash entries stored as zero,
and residual settings that mean something."""
import io
from contextlib import redirect_stderr, redirect_stdout

import numpy as np
import pytest

from pyqelm import cli, stepplan
from conftest import tiny_compressor
from test_cli import nc_file  # noqa: F401  (the NetCDF fixture of the command-line tests)

SMALL_NET = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--backend", "reference",
             "--device", "cpu", "--precision", "float32", "-q"]


@pytest.mark.parametrize("n_valid, batch", [(100, 1024), (221184, 2048), (10 ** 6, 8192), (10 ** 9, 262144)])
def test_planned_batch_gives_about_a_hundred_steps_per_pass(n_valid, batch):
    assert stepplan.planned_batch(n_valid) == batch


@pytest.mark.parametrize("budget, step_s, n_valid, batch, steps", [
    (10.0, 0.01, 10 ** 6, 8192, 1000),       # the budget decides
    (10.0, 1e-5, 1000, 1024, 200),           # capped at MAX_EPOCHS passes of one step each
    (1.0, 0.1, 10 ** 6, 8192, 200),          # never fewer than MIN_STEPS
    (1.0, 0.1, 1000, 1024, 200),
])
def test_planned_steps_fit_the_budget_within_limits(budget, step_s, n_valid, batch, steps):
    assert stepplan.planned_steps(budget, step_s, n_valid, batch) == steps


def test_time_budget_scales_with_the_cube():
    assert stepplan.time_budget(10 ** 6) == pytest.approx(stepplan.SECONDS_PER_MILLION)
    assert stepplan.time_budget(221184) == pytest.approx(0.221184 * stepplan.SECONDS_PER_MILLION)
    assert stepplan.time_budget(10) == stepplan.MIN_BUDGET_S


def _vol(T=4, H=6, W=8):
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    vol = (10 * np.sin(x / 2.0) + 5 * np.cos(y / 3.0) + t)[..., None].astype(np.float32)
    nodata = np.zeros(vol.shape[:3], bool)
    nodata[:, :2, :2] = True
    return vol, nodata


def _weights(c):
    return np.concatenate([t.detach().numpy().ravel() for t in c.model.export_weight_components()[0]])


def test_fit_steps_seed_and_bound_loss_of_the_engine(capsys):
    runs = []
    for seed in (4, 4, 5):
        c = tiny_compressor(*_vol())  # fresh arrays: preparation takes them over
        assert c.fit(batch_size=32, steps=7, seed=seed)
        runs.append(_weights(c))
    out = capsys.readouterr().out
    assert "Total Steps: 7 uniform + 0 importance (Batch Size: 32, 1 complete pass(es)/epoch)" in out
    assert np.array_equal(runs[0], runs[1]) and not np.array_equal(runs[0], runs[2])

    c = tiny_compressor(*_vol())
    with pytest.raises(ValueError, match="give error_bound"):
        c.fit(steps=3, loss_type="BOUND")
    # The bound reaches the loss in normalised units: E over the band's range.
    lo, hi = c.meta_info["data_range"][0]
    assert c.fit(steps=3, loss_type="BOUND", error_bound=(hi - lo) / 8)
    assert "errors near and above E = [0.125]" in capsys.readouterr().out
    for bad in (0, -1, float("nan"), [1.0, 2.0]):
        with pytest.raises(ValueError):
            c.fit(steps=1, loss_type="BOUND", error_bound=bad)
    with pytest.raises(ValueError, match="seed"):
        c.fit(steps=1, seed=-1)


def test_unreached_hash_entries_are_stored_as_zero(tc, capsys):
    c = tiny_compressor(*_vol())
    c.fit(batch_size=32, steps=5)
    trained = _weights(c)
    raw, recipe = c._build_weights_bytes(16)
    line = next(x for x in capsys.readouterr().out.splitlines() if "no valid point reaches" in x)
    zeroed = int(line.split("stored as zero: ")[1].split(" of ")[0])
    assert zeroed > 0 and "phenology" in line
    from pyqelm.utils.compression import fast_decompress

    parts = tc.restore_weight_components(fast_decompress(raw), recipe)
    grids = np.concatenate([np.asarray(p).ravel() for p in parts[:-1]])
    assert np.count_nonzero(grids == 0) >= 2 * zeroed  # two features per entry
    assert np.array_equal(_weights(c), trained)  # the network itself keeps its weights


def _encode(path, out, *extra):
    text, err = io.StringIO(), io.StringIO()
    with redirect_stdout(text), redirect_stderr(err):
        rc = cli.main(["encode", path, str(out), "--force", *SMALL_NET, *extra])
    assert rc == 0, err.getvalue()
    return text.getvalue()


def test_seeded_default_encodes_are_byte_identical(nc_file, tmp_path):  # noqa: F811
    files = []
    for k, seed in enumerate(("3", "3", "4")):
        text = _encode(nc_file, tmp_path / f"s{k}.qelm", "--max-error", "0.05", "--seed", seed)
        assert "nominal (seeded run)" in text and "loss BOUND" in text, text
        files.append((tmp_path / f"s{k}.qelm").read_bytes())
    assert files[0] == files[1] and files[0] != files[2]
    # The winner's share of the budget: a seeded run's does not follow the clock of the trials.
    from pyqelm.sizing import Choice

    quick, slow = (Choice(name="tiny", sizes={}, bits=8, trials=[], seconds=s) for s in (0.5, 2.5))
    assert quick.remaining_budget(10, seeded=True) == slow.remaining_budget(10, seeded=True)
    assert quick.remaining_budget(10) > slow.remaining_budget(10)


def test_default_encode_plans_by_measured_rate_and_refuses_residual_dtypes(nc_file, tmp_path):  # noqa: F811
    text = _encode(nc_file, tmp_path / "p.qelm", "--time-budget", "1")
    assert "steps/s measured, budget 1.0 s; loss MSE" in text, text
    err = io.StringIO()
    with redirect_stdout(io.StringIO()), redirect_stderr(err):
        rc = cli.main(["encode", nc_file, str(tmp_path / "q.qelm"), "--max-error", "0.1", "--residual-dtype", "int8",
                       "--steps", "1", *SMALL_NET])
    assert rc == cli.EXIT_FAILURE and "--residual-dtype is not used" in err.getvalue()
    with redirect_stdout(io.StringIO()), redirect_stderr(err):
        rc = cli.main(["encode", nc_file, str(tmp_path / "r.qelm"), "--loss", "BOUND", "--steps", "1", *SMALL_NET])
    assert rc == cli.EXIT_FAILURE and "give --max-error" in err.getvalue()


# ---- a network sized to the cube and the bound ----------------------------------------------------

@pytest.mark.parametrize("offset, nonzero", [(0.0, 0), (0.9, 0), (1.5, "all"), (5.0, "all")])
def test_correction_codes_count_the_values_a_prediction_misses(offset, nonzero):
    """Codes at a step just under 2E: a prediction within E needs none; one beyond it needs a code
    at every valid value, and the coded bytes grow with the misfit."""
    from pyqelm import sizing

    cube, _ = _vol(T=3, H=8, W=8)
    cube = cube.astype(np.float32)
    cube[0, 0, 0, 0] = np.nan
    bound = 0.5
    size, nz = sizing.correction_bytes(cube, cube + offset * bound, bound)
    assert nz == (int(np.isfinite(cube).sum()) if nonzero == "all" else 0)
    big, _ = sizing.correction_bytes(cube, cube + (offset + 7) * bound, bound)
    assert size <= big


def test_default_encode_sizes_the_network_and_options_override(nc_file, tmp_path):  # noqa: F811
    engine = ["--backend", "reference", "--device", "cpu", "--precision", "float32", "--time-budget", "1",
              "--seed", "2"]
    text = _encode_plain(nc_file, tmp_path / "a.qelm", "--max-error", "0.2", *engine)
    line = next(x for x in text.splitlines() if "network sized to the cube and the bound" in x)
    from pyqelm import sizing

    names = [n for n, _ in sizing.CANDIDATES]
    assert any(f"{n} network" in line for n in names), line
    rows = [x.split() for x in text.splitlines() if x.split()[:1] and x.split()[0] in names]
    totals = {(r[0], r[1]): int(r[6].replace(",", "")) for r in rows}
    # Every candidate at 8 bits; the leader, and only it, also at 16; the chosen row is the smallest.
    leader = min(names, key=lambda n: totals[(n, "8")])
    assert sorted(totals) == sorted([(n, "8") for n in names] + [(leader, "16")])
    chosen = next(r for r in rows if r[-1] == "<-")
    assert chosen[0] == leader and totals[(chosen[0], chosen[1])] == min(totals.values())
    # Named sizes or bits override the choice; without a bound there is nothing to size for.
    for extra, sized in ((["--max-error", "0.2", "--preset", "tiny"], False),
                         (["--max-error", "0.2", "--xy-hash-size", "8"], False),
                         ([], False)):
        text = _encode_plain(nc_file, tmp_path / "b.qelm", *extra, *engine, "--steps", "5")
        assert ("network sized" in text) == sized, text
    text = _encode_plain(nc_file, tmp_path / "c.qelm", "--max-error", "0.2", "--quantization-bits", "8", *engine)
    assert [x.split()[1] for x in text.splitlines() if x.split()[:1] and x.split()[0] in names] == ["8"] * len(names)


def _encode_plain(path, out, *extra):
    text, err = io.StringIO(), io.StringIO()
    with redirect_stdout(text), redirect_stderr(err):
        rc = cli.main(["encode", path, str(out), "--force", *extra])
    assert rc == 0, err.getvalue()
    return text.getvalue()
