"""How long the command line trains: batch size and step count fitted to the cube and the machine.

The engine's own accounting (``fit(epochs, batch_size)``) is kept for library callers; the
command line plans a run instead, unless ``--epochs`` is given:

* the batch: about ``PASS_STEPS`` steps per pass over the valid points (a power of two between
  ``MIN_BATCH`` and ``MAX_BATCH``), so a small cube still gets many optimizer steps and a large
  one batches big enough to keep a device busy;
* the time budget: ``SECONDS_PER_MILLION`` seconds of training per 10^6 values of the cube
  (frames x rows x columns x bands), at least ``MIN_BUDGET_S``;
* the steps: the budget times the machine's step rate, measured by timing a few training steps
  of this network on this cube, and at most ``MAX_EPOCHS`` passes over the valid points (more
  brings little), at least ``MIN_STEPS``.

A measured rate differs from run to run, so with a seed (a run meant to repeat exactly) the
steps come from a nominal rate instead: ``NOMINAL_POINTS_PER_S`` network points per second
through the decoder and the grids, scaled by the network's cost per point.
"""
import math
import time
from dataclasses import dataclass
from typing import Optional

PASS_STEPS = 100
MIN_BATCH, MAX_BATCH = 1 << 10, 1 << 18
SECONDS_PER_MILLION = 25.0
MIN_BUDGET_S = 3.0
MAX_EPOCHS = 200
MIN_STEPS = 200
# Units of ``point_cost`` per second of a training step: measured with the reference backend
# on one core of this project's CPU machine (tiny and small presets, batches 2048 and 8192:
# 1.7e8 to 2.2e8).
NOMINAL_POINTS_PER_S = 2.0e8
PROBE_STEPS = (3, 23)


@dataclass
class TrainingPlan:
    batch_size: int
    epochs: int
    steps: Optional[int] = None  # None: the engine's accounting from epochs
    budget_s: Optional[float] = None
    step_s: Optional[float] = None  # seconds per step, measured or nominal
    measured: bool = False

    def describe(self):
        if self.steps is None:
            return f"{self.epochs} epoch(s) of batch {self.batch_size:,} (the engine's step accounting)"
        how = ""
        if self.step_s:
            how = (f"; {1 / self.step_s:.0f} steps/s {'measured' if self.measured else 'nominal (seeded run)'}"
                   + (f", budget {self.budget_s:.1f} s" if self.budget_s else ""))
        return f"{self.steps:,} steps of batch {self.batch_size:,}{how}"


def planned_batch(n_valid):
    """About PASS_STEPS steps per pass, as a power of two within [MIN_BATCH, MAX_BATCH]."""
    target = max(1, n_valid) / PASS_STEPS
    return int(min(MAX_BATCH, max(MIN_BATCH, 2 ** round(math.log2(max(target, 1))))))


def time_budget(n_values):
    """Training seconds for a cube of ``n_values`` values."""
    return max(MIN_BUDGET_S, SECONDS_PER_MILLION * n_values / 1e6)


def planned_steps(budget_s, step_s, n_valid, batch):
    """Steps that fit the budget at ``step_s`` seconds each, within [MIN_STEPS, MAX_EPOCHS passes]."""
    cap = MAX_EPOCHS * max(1, math.ceil(n_valid / batch))
    fit = int(budget_s / step_s) if step_s > 0 else cap
    return int(max(min(MIN_STEPS, cap), min(cap, fit)))


def point_cost(arch):
    """Work of one point of a training step, in grid-corner reads: 2^D corners x features x
    levels per grid, plus the decoder's multiply-adds over 64 (a matrix product does far more
    per byte than a table gather), times 3 for forward and backward."""
    from pyqelm.models._architecture import grid_settings, mlp_layout

    S = arch["spatial_dims"]
    cost = 0.0
    for prefix, dims in (("xy", S), ("t", S + 1), ("code", S), ("t1d", 1)):
        g = grid_settings(arch, prefix)
        if g is None or (prefix == "t" and (arch["disable_temporal"] or arch["temporal_mode"] != "hash3d")):
            continue
        cost += (2 ** dims) * g["features_per_level"] * g["n_levels"]
    macs = sum(r * c for r, c in mlp_layout(arch["decoder_n_input_dims"], arch["n_decoder_outputs"],
                                            arch["decoder_hidden"], arch["n_hidden_layers"]))
    return 3.0 * (cost + macs / 64.0)


def nominal_step_seconds(arch, batch):
    return batch * point_cost(arch) / NOMINAL_POINTS_PER_S


_COUNT_SLICE = 1 << 20


def count_valid(c):
    """Valid training points of a prepared compressor (every point with a streaming source)."""
    mask = getattr(c, "cpu_mask", None)
    if mask is not None:
        flat = mask.reshape(-1)
        if flat.numel() and flat.stride(0) == 0:  # one value standing for every point
            return flat.numel() if bool(flat[0]) else 0
        # A slice at a time: a sum over booleans widens them to 8-byte integers first.
        return sum(int(flat[i:i + _COUNT_SLICE].sum()) for i in range(0, flat.numel(), _COUNT_SLICE))
    mi = c.meta_info
    return len(mi.get("timestamps") or [1]) * int(mi["height"]) * int(mi["width"])


def measure_step_seconds(c, batch, fit_kwargs, probe=PROBE_STEPS):
    """Seconds per training step of ``c``'s network at ``batch``: two short runs, differenced so
    that the set-up of a run cancels out. The network's weights are put back afterwards."""
    import torch

    saved = {k: v.detach().clone() for k, v in c.model.state_dict().items()}
    try:
        elapsed = []
        for n in probe:
            t0 = time.perf_counter()
            c.fit(epochs=1, batch_size=batch, steps=n, **fit_kwargs)
            elapsed.append(time.perf_counter() - t0)
    finally:
        with torch.no_grad():
            c.model.load_state_dict(saved)
    return max(1e-6, (elapsed[1] - elapsed[0]) / (probe[1] - probe[0]))


def plan_training(c, epochs=None, batch_size=None, steps=None, budget_s=None, seeded=False, fit_kwargs=None,
                  quiet=None):
    """The run's TrainingPlan. ``epochs`` given: the engine's own accounting (with ``batch_size``
    or the planned batch). Otherwise the planned steps (``steps`` fixes them). ``quiet`` is a
    context manager factory that silences the probe runs."""
    import contextlib

    n_valid = count_valid(c)
    batch = int(batch_size) if batch_size else planned_batch(n_valid)
    if epochs is not None and steps is None:
        return TrainingPlan(batch_size=batch, epochs=int(epochs))
    if steps is not None:
        return TrainingPlan(batch_size=batch, epochs=int(epochs or 1), steps=int(steps))
    mi = c.meta_info
    n_values = n_valid * int(mi.get("n_bands") or 1)
    budget = float(budget_s) if budget_s else time_budget(n_values)
    if seeded:
        step_s, measured = nominal_step_seconds(c.model.config_params, batch), False
    else:
        with (quiet() if quiet else contextlib.nullcontext()):
            step_s = measure_step_seconds(c, batch, fit_kwargs or {})
        measured = True
    return TrainingPlan(batch_size=batch, epochs=1, steps=planned_steps(budget, step_s, n_valid, batch),
                        budget_s=budget, step_s=step_s, measured=measured)
