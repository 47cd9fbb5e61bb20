"""Fixtures shared by the Python tests. Area-specific fixtures live in their own test files.

The tests run against whichever ``pyqelm`` the interpreter imports: the installed package (`make
test`, which sets PYQELM_TEST_INSTALLED=1 and refuses the checkout) or a checkout put on the path
by the developer (``PYTHONPATH=$PWD``). Child interpreters must import the same copy: give them
``IMPORT_ROOT`` as their path, never the repository; repository files (README, fuzz/, bench/) are
found under ``ROOT``.
"""
import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import pyqelm  # noqa: E402  (sets the process environment before the tensor library loads)

IMPORT_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(pyqelm.__file__)))
INSTALLED = os.path.realpath(IMPORT_ROOT) != os.path.realpath(ROOT)

if os.environ.get("PYQELM_TEST_INSTALLED") == "1" and not INSTALLED:
    raise pytest.UsageError(f"PYQELM_TEST_INSTALLED=1 but pyqelm was imported from the checkout ({IMPORT_ROOT}), "
                            "not an installed package: run the tests with PYTHONSAFEPATH=1 (see the Makefile)")


def pytest_report_header(config):
    return f"pyqelm {pyqelm.__version__} from {IMPORT_ROOT} ({'installed' if INSTALLED else 'checkout'})"


@pytest.fixture(scope="session")
def tc():
    """The compressor extension module."""
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


def reference_compressor(train_dtype="float32", **kwargs):
    """A compressor on the pure-PyTorch reference backend (CPU), float32 unless asked otherwise."""
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor.QELMCompressor._with_reference_backend(device="cpu", train_dtype=train_dtype, **kwargs)


@pytest.fixture
def ref_compressor(tc):
    """``reference_compressor`` as a fixture."""
    return reference_compressor


def tiny_compressor(vol, nodata, model=None, make=reference_compressor):
    """``make()``'s compressor holding a one-band ``vol`` (frames, rows, columns, 1) on daily
    stamps, prepared for training, with ``model`` or a tiny hash-grid network seeded alike."""
    import torch
    from pyqelm.utils.date_utils import normalize_time

    c = make()
    c.volume, c.nodata_mask_vol = vol, nodata
    stamps = [f"2021-01-{d + 1:02d}" for d in range(vol.shape[0])]
    c.meta_info.update(height=vol.shape[1], width=vol.shape[2], n_bands=1, timestamps=stamps,
                       t_norms=normalize_time(stamps))
    c.prepare_training_data_optimized()
    torch.manual_seed(0)
    if model is None:
        c.build_qelm_model(8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)
    else:
        c.model = model
    return c


def v2_store(path, data, chunks=(1, 2, 5), fill_value=None, dims=("time", "y", "x"), attrs=None):
    """A Zarr v2 group at ``path`` holding ``data`` as variable "v" with a daily time axis."""
    import numpy as np
    import zarr

    g = zarr.open_group(str(path), mode="w")
    a = g.create_dataset("v", shape=data.shape, chunks=chunks, dtype=data.dtype, fill_value=fill_value)
    a[...] = data
    a.attrs.update({"_ARRAY_DIMENSIONS": list(dims), **(attrs or {})})
    t = g.create_dataset("time", data=np.arange(data.shape[0] if dims[0] == "time" else 1), dtype="i8")
    t.attrs.update({"_ARRAY_DIMENSIONS": ["time"], "units": "days since 2020-01-01"})
    return str(path)
