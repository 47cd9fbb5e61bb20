"""Module import, training-mode resolution, the constructor and the reference backend."""
import os
import subprocess
import sys
import types

import numpy as np
import pytest
import torch

MISSING_TCNN = ("train_mode='tcnn_cuda' requires tiny-cuda-nn's torch bindings importable as 'tinycudann'. "
                "Build/install tiny-cuda-nn for your CUDA/PyTorch environment first.")


@pytest.fixture
def fake_tcnn(monkeypatch):
    monkeypatch.setitem(sys.modules, "tinycudann", types.ModuleType("tinycudann"))


def test_failing_sibling_import_propagates(tmp_path):
    # A package copy whose loader module is broken: importing the engine must fail with that error.
    script = f"""
import sys, types
sys.path.insert(0, {os.getcwd()!r})
import pyqelm.encoder
broken = types.ModuleType("pyqelm.encoder.loaders")
def __getattr__(name):
    raise RuntimeError("loader module is broken")
broken.__getattr__ = __getattr__
sys.modules["pyqelm.encoder.loaders"] = broken
try:
    from pyqelm.encoder import tcnn_compressor
except RuntimeError as e:
    print("RAISED", e)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=os.getcwd())
    assert "RAISED loader module is broken" in out.stdout, out.stderr


class TestTrainModeResolution:
    @pytest.mark.parametrize("mode", [None, "", "TCNN", "Tcnn_Cuda", "tcnn_cuda", "tcnn"])
    def test_accepted_spellings_reach_the_cuda_check(self, tc, fake_tcnn, mode):
        with pytest.raises(RuntimeError, match=r"^train_mode='tcnn_cuda' requires torch\.cuda\.is_available\(\)\.$"):
            tc._resolve_train_mode(mode)

    @pytest.mark.parametrize("mode", ["tcnn_cpu", "torch", "cuda", 3])
    def test_other_modes_rejected(self, tc, fake_tcnn, mode):
        with pytest.raises(ValueError, match=r"^tcnn compressor only supports train_mode='tcnn_cuda'$"):
            tc._resolve_train_mode(mode)

    def test_missing_tinycudann(self, tc, monkeypatch):
        monkeypatch.setitem(sys.modules, "tinycudann", None)  # import raises ImportError
        assert tc._has_tinycudann() is False
        with pytest.raises(ImportError) as e:
            tc._resolve_train_mode("tcnn")
        assert str(e.value) == MISSING_TCNN

    @pytest.mark.parametrize("exc,result", [(ImportError, False), (OSError, False), (KeyboardInterrupt, None)])
    def test_tinycudann_probe(self, tc, monkeypatch, exc, result):
        class Finder:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == "tinycudann":
                    raise exc("probe")
                return None

        monkeypatch.delitem(sys.modules, "tinycudann", raising=False)
        monkeypatch.setattr(sys, "meta_path", [Finder] + sys.meta_path)
        if result is None:  # only ordinary exceptions mean "not installed"
            with pytest.raises(exc):
                tc._has_tinycudann()
        else:
            assert tc._has_tinycudann() is result

    def test_success_path_with_cuda_reported(self, tc, fake_tcnn, monkeypatch):
        monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
        assert tc._resolve_train_mode("TCNN") == "tcnn_cuda"


class TestConstructor:
    def test_errors_come_before_any_output(self, tc, fake_tcnn, capsys):
        with pytest.raises(RuntimeError):
            tc.QELMCompressor()
        with pytest.raises(ValueError):
            tc.QELMCompressor(train_mode="torch")
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("dtype,amp,np_t,torch_t,bpp,name", [
        ("auto", True, np.float16, torch.float16, 2, "float16"),
        ("float16", True, np.float16, torch.float16, 2, "float16"),
        ("float32", False, np.float32, torch.float32, 4, "float32"),
        ("bfloat16", True, np.float16, torch.float16, 2, "bfloat16"),
    ])
    def test_precision_and_exactly_two_lines(self, tc, fake_tcnn, monkeypatch, capsys, dtype, amp, np_t, torch_t, bpp, name):
        monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
        c = tc.QELMCompressor(dtype, "2000-01-01", None, "Tcnn")
        banner = "Using Float32 (High Precision) Mode." if not amp else "Using Float16 (Mixed Precision) Mode."
        assert capsys.readouterr().out.splitlines() == [banner, "Training mode: tcnn_cuda"]
        assert (c.train_mode, c.train_backend, c.device) == ("tcnn_cuda", "tcnn", "cuda")
        assert (c.use_amp, c.dtype_np, c.dtype_torch, c.bytes_per_pixel, c.train_dtype_str) == (amp, np_t, torch_t, bpp, name)
        assert c.global_start_date == "2000-01-01" and c.global_end_date is None
        assert c.meta_info == {} and c.loader.dtype == np_t
        for attr in ("model", "time_lut", "xyz_cache", "cpu_values", "cpu_mask", "streaming_source"):
            assert getattr(c, attr) is None
        for later in ("volume", "config", "channel_ranges", "trans_matrix", "_block_mmap_path"):
            assert not hasattr(c, later)
        c._streaming_chunk_size = 12  # callers tune the pool through new attributes
        assert c._streaming_chunk_size == 12

class TestReferenceBackend:
    def test_cpu_compressor(self, tc, capsys):
        c = tc.QELMCompressor._with_reference_backend(train_dtype="float32", global_end_date="2021-01-01")
        assert isinstance(c, tc.QELMCompressor)
        assert capsys.readouterr().out.splitlines() == ["Using Float32 (High Precision) Mode.", "Training mode: torch_cpu"]
        assert (c.train_mode, c.train_backend, c.device, c.global_end_date) == ("torch_cpu", "torch", "cpu", "2021-01-01")

    def test_cuda_device_still_needs_cuda(self, tc, capsys, monkeypatch):
        monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
        with pytest.raises(RuntimeError, match=r"^train_mode='torch_cuda' requires torch\.cuda\.is_available\(\)\.$"):
            tc.QELMCompressor._with_reference_backend(device="cuda")
        with pytest.raises(RuntimeError):
            tc.QELMCompressor._with_reference_backend(device="not-a-device")
        assert capsys.readouterr().out == ""
