"""Fixtures shared by the Python tests. Area-specific fixtures live in their own test files."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import pyqelm  # noqa: E402  (sets the process environment before the tensor library loads)


@pytest.fixture(scope="session")
def tc():
    """The compressor extension module."""
    from pyqelm.encoder import tcnn_compressor

    return tcnn_compressor


@pytest.fixture
def ref_compressor(tc):
    """A float32 compressor on the pure-PyTorch reference backend (CPU)."""

    def make(train_dtype="float32", **kwargs):
        return tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype=train_dtype, **kwargs)

    return make
