"""Settings that cannot fit are refused from the source's metadata, before its data is read:
memory of the network, a batch and the cube, the room of a block reshape, and the temporary
folder of a NetCDF copy."""
import shutil

import netCDF4
import numpy as np
import pytest

from pyqelm import netcdf, resources
from pyqelm.pipeline import EncodeOptions

GiB = resources.GiB


@pytest.mark.parametrize("opts,shape,words", [
    (dict(preset="xlarge", batch_size=1 << 24), (100, 1000, 1000, 1), "batch"),
    (dict(sizes={"decoder_hidden": 1 << 20}), (4, 64, 64, 1), "model"),
    (dict(), (100000, 2000, 2000, 4), "or --streaming"),  # a cube of 6 TB in memory
    (dict(streaming=True, batch_size=65536), (100000, 2000, 2000, 4), None),  # streamed: no cube held
    (dict(preset="tiny"), (4, 6, 8, 1), None),
])
def test_run_beyond_memory_is_refused_with_what_it_needs(opts, shape, words, monkeypatch):
    monkeypatch.setattr(resources, "physical_memory", lambda: 16 * GiB)
    needs = resources.estimate(EncodeOptions(**opts), shape)
    if words is None:
        assert resources.check(needs) is needs and needs.host < GiB
        return
    with pytest.raises(ValueError, match=words):
        resources.check(needs)


def test_block_reshape_needs_memory_or_a_temporary_folder_with_room(monkeypatch, tmp_path):
    monkeypatch.setattr(resources, "available_memory", lambda: 2 * GiB)
    monkeypatch.setenv("PYQELM_TMPDIR", str(tmp_path))
    opts = EncodeOptions(block_size=(2, 2))
    needs = resources.estimate(opts, (50, 1000, 1000, 2))  # 400 MB in, 400 MB out: no room beside 4 GiB
    assert not needs.block_in_memory
    monkeypatch.setattr(resources, "_free_disk", lambda folder: 100 << 20)
    with pytest.raises(ValueError, match="PYQELM_TMPDIR to a folder with room"):
        resources.check(needs)
    monkeypatch.setattr(resources, "_free_disk", lambda folder: 10 * GiB if folder == str(tmp_path) else 0)
    resources.check(needs)


def test_netcdf_copy_larger_than_the_temporary_folder_is_refused_before_copying(tmp_path, monkeypatch):
    path = str(tmp_path / "v.nc")
    with netCDF4.Dataset(path, "w") as ds:
        for name, n in (("time", 2), ("y", 30), ("x", 40)):
            ds.createDimension(name, n)
        ds.createVariable("time", "f8", ("time",)).units = "days since 2000-01-01"
        ds.createVariable("v", "f4", ("time", "y", "x"))[:] = np.zeros((2, 30, 40))
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    usage = shutil.disk_usage(scratch)
    monkeypatch.setattr(netcdf.shutil, "disk_usage", lambda p: usage._replace(free=1 << 20))
    with pytest.raises(ValueError, match="needs 0.0 GiB in the temporary folder .* set PYQELM_TMPDIR"):
        with netcdf.netcdf_as_zarr(path, tmpdir=str(scratch)):
            pass
    assert list(scratch.iterdir()) == []


def test_planned_batch_is_what_the_estimate_charges():
    """Without --batch-size the run trains at the planned batch; the estimate charges that one."""
    from pyqelm.stepplan import planned_batch

    for shape in ((12, 96, 192, 1), (100000, 2000, 2000, 4)):
        points = shape[0] * shape[1] * shape[2]
        for streaming in (False, True):
            planned = resources.estimate(EncodeOptions(streaming=streaming), shape)
            given = resources.estimate(EncodeOptions(streaming=streaming, batch_size=planned_batch(points)), shape)
            assert planned.batch == given.batch > 0
