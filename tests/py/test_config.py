"""Module import, training-mode resolution, the constructor and the reference backend."""
import os
import subprocess
import sys
import types

import numpy as np
import pytest
import torch

from conftest import IMPORT_ROOT


MISSING_TCNN = ("train_mode='tcnn_cuda' requires tiny-cuda-nn's torch bindings importable as 'tinycudann'. "
                "Build/install tiny-cuda-nn for your CUDA/PyTorch environment first.")
NEEDS_CUDA = r"^train_mode='tcnn_cuda' requires torch\.cuda\.is_available\(\)\.$"


def test_failing_sibling_import_propagates():
    # A broken loader module must surface as its own error, not be swallowed by the engine's import.
    script = (f"import sys, types; sys.path.insert(0, {IMPORT_ROOT!r}); import pyqelm.encoder\n"
              "class Broken(types.ModuleType):\n    def __getattr__(self, name): raise RuntimeError('loader module is broken')\n"
              "sys.modules['pyqelm.encoder.loaders'] = Broken('loaders'); from pyqelm.encoder import tcnn_compressor\n")
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=os.getcwd())
    assert res.returncode == 1 and res.stderr.splitlines()[-1] == "RuntimeError: loader module is broken", res.stderr


@pytest.mark.parametrize("mode,exc,message", [
    *[(m, RuntimeError, NEEDS_CUDA) for m in (None, "", "TCNN", "Tcnn_Cuda", "tcnn_cuda", "tcnn")],
    *[(m, ValueError, r"^tcnn compressor only supports train_mode='tcnn_cuda'$") for m in ("tcnn_cpu", "torch", "cuda", 3)],
])
def test_constructor_refuses_modes_before_any_output(tc, monkeypatch, capsys, mode, exc, message):
    monkeypatch.setitem(sys.modules, "tinycudann", types.ModuleType("tinycudann"))  # installed, but no CUDA
    with pytest.raises(exc, match=message):
        tc.QELMCompressor(train_mode=mode)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("failure", [ImportError, OSError, KeyboardInterrupt])
def test_tinycudann_probe(tc, monkeypatch, capsys, failure):
    def find_spec(name, *args):
        if name == "tinycudann":
            raise failure("probe")

    monkeypatch.delitem(sys.modules, "tinycudann", raising=False)
    monkeypatch.setattr(sys, "meta_path", [types.SimpleNamespace(find_spec=find_spec)] + sys.meta_path)
    # only ordinary exceptions mean "not installed": an interrupt must get through
    with pytest.raises(KeyboardInterrupt if failure is KeyboardInterrupt else ImportError) as e:
        tc.QELMCompressor(train_mode="tcnn")
    assert failure is KeyboardInterrupt or (tc._has_tinycudann() is False and str(e.value) == MISSING_TCNN)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("dtype,amp,np_t,torch_t,bpp,name", [
    ("auto", True, np.float16, torch.float16, 2, "float16"),
    ("float32", False, np.float32, torch.float32, 4, "float32"),
    ("bfloat16", True, np.float16, torch.float16, 2, "bfloat16"),
])
def test_constructor_precision_and_exactly_two_lines(tc, monkeypatch, capsys, dtype, amp, np_t, torch_t, bpp, name):
    monkeypatch.setitem(sys.modules, "tinycudann", types.ModuleType("tinycudann"))
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    c = tc.QELMCompressor(dtype, "2000-01-01", None, "Tcnn")
    banner = "Using Float32 (High Precision) Mode." if not amp else "Using Float16 (Mixed Precision) Mode."
    assert capsys.readouterr().out.splitlines() == [banner, "Training mode: tcnn_cuda"]
    assert (type(c), c.train_mode, c.train_backend, c.device) == (tc.QELMCompressor, "tcnn_cuda", "tcnn", "cuda")
    assert (c.use_amp, c.dtype_np, c.dtype_torch, c.bytes_per_pixel, c.train_dtype_str) == (amp, np_t, torch_t, bpp, name)
    assert (c.global_start_date, c.global_end_date, c.meta_info, c.loader.dtype) == ("2000-01-01", None, {}, np_t)
    assert all(getattr(c, a) is None for a in ("model", "time_lut", "xyz_cache", "cpu_values", "cpu_mask", "streaming_source"))
    assert not any(hasattr(c, a) for a in ("volume", "config", "channel_ranges", "trans_matrix", "_block_mmap_path"))
    c._streaming_chunk_size = 12  # callers tune the pool through new attributes: no slots


def test_reference_backend(tc, capsys, monkeypatch):
    c = tc.QELMCompressor._with_reference_backend(train_dtype="float32", global_end_date="2021-01-01")
    assert capsys.readouterr().out.splitlines() == ["Using Float32 (High Precision) Mode.", "Training mode: torch_cpu"]
    assert (c.train_mode, c.train_backend, c.device, c.global_end_date) == ("torch_cpu", "torch", "cpu", "2021-01-01")
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    for device, words in (("cuda", NEEDS_CUDA.replace("tcnn", "torch")), ("not-a-device", "")):
        with pytest.raises(RuntimeError, match=words):
            tc.QELMCompressor._with_reference_backend(device=device)
    assert capsys.readouterr().out == ""
