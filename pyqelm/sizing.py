"""A network sized to the cube and the bound: short trial fits of a few sizes, scored by the bytes
of the bounded file they would give, the winner trained on.

The bounded file holds the network (its weights, quantized to 8 or 16 bits) and, for every valid
value, a correction code q = rint((v - p) / s) with a step s just under 2E, coded losslessly by
``pyqelm.residual_codec``. A bigger network predicts better, so fewer codes are non-zero and the
codes cost less, but its weights cost more; which wins depends on the cube (its size, how smooth
it is) and on E. So the command line does not guess: each candidate (``CANDIDATES``, smallest
first) trains for an equal share of ``TRIAL_SHARE`` of the run's time budget, and is scored at
8 bits (the leader also at 16) by

    bytes = container of the network alone + residual_codec.encode(codes)

with the network decoded exactly as a reader decodes it (quantized weights, the decoder's own
arithmetic). The smallest total wins (8 or 16-bit weights with it); its trained weights are kept
and trained on for what is left of the budget once the trials and their scores are done (at
least ``FINAL_SHARE`` of it).

The score is made on the whole cube, so sizing is used for cubes up to ``MAX_SCORED_VALUES``
values read whole; larger or streamed sources keep the fixed default preset.
"""
import contextlib
import os
import shutil
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

from pyqelm.presets import preset_sizes

# Sizes tried, smallest first, about four times apart in parameters: the tiny preset (5,312),
# tiny with finer levels in 2^13-entry tables (21,760), and the small preset (77,520).
CANDIDATES = (
    ("tiny", preset_sizes("tiny")),
    ("compact", dict(preset_sizes("tiny"), xy_hash_size=13, xy_n_levels=8, t_hash_size=13, t_n_levels=5)),
    ("small", preset_sizes("small")),
)
BITS = (8, 16)
TRIAL_SHARE = 0.4  # of the run's training budget, shared equally by the candidates
FINAL_SHARE = 0.5  # the least share of the budget the winner trains on, whatever the trials took
MAX_SCORED_VALUES = 1 << 23
# The code step as a fraction of 2E: a hair under it, so that a value corrected by its code
# stays within E after float32 rounding (the bound layer fixes the exact margin per band).
STEP_SHARE = 1.0 - 2.0 ** -16


@dataclass
class Trial:
    name: str
    steps: int
    train_s: float = 0.0  # wall seconds of the trial fit
    score_s: float = 0.0  # wall seconds of its scoring
    network_bytes: dict = field(default_factory=dict)  # bits -> bytes of the network-only container
    code_bytes: dict = field(default_factory=dict)  # bits -> bytes of the coded corrections
    nonzero: dict = field(default_factory=dict)  # bits -> valid values with a non-zero code

    def total(self, bits):
        return self.network_bytes[bits] + self.code_bytes[bits]

    def best_bits(self):
        return min(self.network_bytes, key=lambda b: (self.total(b), b))


@dataclass
class Choice:
    name: str
    sizes: dict
    bits: int
    trials: list
    state: dict = None  # the winner's trained weights
    seconds: float = 0.0  # wall time of the trial fits and their scores

    def describe(self):
        return f"{self.name} network, {self.bits}-bit weights"

    def remaining_budget(self, budget_s, seeded=False):
        """Training seconds left for the winner: the budget less what the trials took, and never
        less than ``FINAL_SHARE`` of it. A seeded run counts the trials at their planned share,
        not the clock: its file must not depend on how busy the machine was."""
        spent = TRIAL_SHARE * float(budget_s) if seeded else self.seconds
        return max(FINAL_SHARE * float(budget_s), float(budget_s) - spent)

    def table(self):
        lines = ["candidate  bits  steps  network B  codes B  non-zero codes  total B  fit s  score s"]
        for t in self.trials:
            for b in sorted(t.network_bytes):
                mark = "  <-" if (t.name, b) == (self.name, self.bits) else ""
                lines.append(f"{t.name:<9}  {b:>4}  {t.steps:>5}  {t.network_bytes[b]:>9,}  {t.code_bytes[b]:>7,}  "
                             f"{t.nonzero[b]:>14,}  {t.total(b):>7,}  {t.train_s:>5.1f}  {t.score_s:>7.1f}{mark}")
        return "\n".join(lines)


def code_step(bound):
    return 2.0 * float(bound) * STEP_SHARE


def correction_bytes(cube, predicted, bound, steps=None):
    """(bytes, non-zero codes) of the corrections that bring ``predicted`` within ``bound`` of
    ``cube`` (both (T, H, W, C), NaN where there is no data), coded as the bounded file codes them:
    at ``steps`` per band (the bound layer's, ``pyqelm.bound.step_margins``) or just under 2E."""
    from pyqelm import residual_codec

    valid = np.isfinite(cube) & np.isfinite(predicted)
    res = np.where(valid, cube.astype(np.float64) - predicted.astype(np.float64), 0.0)
    step = code_step(bound) if steps is None else np.asarray(steps, dtype=np.float64).reshape(-1)
    codes = np.rint(res / step)
    limit = float(np.iinfo(np.int32).max)
    codes = np.clip(codes, -limit, limit).astype(np.int32)
    blob = residual_codec.encode(codes, valid)
    return len(blob), int(np.count_nonzero(codes))


def score(c, cube, bound, bits=BITS, save_kwargs=None, steps=None):
    """{bits: (network bytes, code bytes, non-zero codes)} of compressor ``c`` as it stands."""
    from pyqelm.decode import decode_container

    out = {}
    folder = tempfile.mkdtemp(prefix="pyqelm-size-")
    try:
        for b in bits:
            path = os.path.join(folder, f"trial{b}.qelm")
            c.save_qelm(path, quantization_bit=b, save_residuals=False, **(save_kwargs or {}))
            net = os.path.getsize(path)
            predicted, _ = decode_container(path)
            codes, nonzero = correction_bytes(cube, predicted, bound, steps)
            out[b] = (net, codes, nonzero)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return out


def sizable(n_values, streaming):
    return not streaming and n_values <= MAX_SCORED_VALUES


def choose_network(c, cube, bound, build, train, budget_s, candidates=CANDIDATES, bits=BITS, save_kwargs=None,
                   quiet=None, steps=None):
    """Trial-fit each candidate and return the Choice with the smallest bounded file.

    ``build(sizes)`` builds the network of ``sizes`` on ``c``; ``train(budget_s)`` trains it
    for about that many seconds and returns the steps it ran. The winner's weights are in
    ``Choice.state`` (the caller rebuilds it and loads them)."""
    import torch

    t0 = time.perf_counter()
    trial_s = max(0.0, float(budget_s)) * TRIAL_SHARE / max(1, len(candidates))
    bits = sorted(bits)
    trials, states = [], {}

    def measure(t, which):
        t1 = time.perf_counter()
        with (quiet() if quiet else contextlib.nullcontext()):
            for b, (net, codes, nz) in score(c, cube, bound, which, save_kwargs, steps).items():
                t.network_bytes[b], t.code_bytes[b], t.nonzero[b] = net, codes, nz
        t.score_s += time.perf_counter() - t1

    # Candidates are compared at the fewest bits; the weights' precision changes the codes by
    # far less than it changes the weights (under 1 % of the codes against half the weights, on
    # real fields), so only the leader is scored at the other widths.
    for name, sizes in candidates:
        build(sizes)
        t1 = time.perf_counter()
        t = Trial(name=name, steps=train(trial_s))
        t.train_s = time.perf_counter() - t1
        measure(t, bits[:1])
        trials.append(t)
        states[name] = {k: v.detach().clone() for k, v in c.model.state_dict().items()}
    best = min(trials, key=lambda t: t.total(bits[0]))
    sizes = dict(next(s for n, s in candidates if n == best.name))
    build(sizes)
    with torch.no_grad():
        c.model.load_state_dict(states[best.name])
    if len(bits) > 1:
        measure(best, bits[1:])
    choice = Choice(name=best.name, sizes=sizes, bits=best.best_bits(), trials=trials, state=states[best.name],
                    seconds=time.perf_counter() - t0)
    return choice
