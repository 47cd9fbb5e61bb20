"""Folder loaders on small GeoTIFF series written here with rasterio."""
import numpy as np
import pytest
import rasterio
from rasterio.transform import from_origin

from pyqelm.encoder.loaders import QELMDatasetLoader, date_from_filename

TRANSFORM = from_origin(100.0, 40.0, 0.25, 0.5)


def write_tif(path, bands, dtype="int16", nodata=None, transform=TRANSFORM, crs="EPSG:4326",
              descriptions=None):
    bands = np.asarray(bands, dtype=dtype)
    if bands.ndim == 2:
        bands = bands[None]
    with rasterio.open(path, "w", driver="GTiff", height=bands.shape[1], width=bands.shape[2],
                       count=bands.shape[0], dtype=dtype, transform=transform, crs=crs,
                       nodata=nodata) as dst:
        dst.write(bands)
        if descriptions:
            for i, d in enumerate(descriptions, 1):
                dst.set_band_description(i, d)
    return path


def load(folder, **kw):
    args = dict(folder_path=str(folder), expected_bands=1, scale_factor=1.0, valid_range=None,
                p99_removal=False, global_start_date=None, global_end_date=None)
    args.update(kw)
    return QELMDatasetLoader(dtype=args.pop("dtype", np.float32)).load_folder(**args)


def test_date_forms_in_file_names():
    assert str(date_from_filename("ndvi_20200105.tif")) == "2020-01-05"
    assert str(date_from_filename("ndvi_2020-01-05_v2.tif")) == "2020-01-05"
    assert str(date_from_filename("ndvi_2020_01_05.tif")) == "2020-01-05"
    assert str(date_from_filename("GLASS01B01.V60.A2020060.h10v05.tif")) == "2020-02-29"
    # The first date wins; production stamps and impossible dates are not dates.
    assert str(date_from_filename("S2_20200105_20200110.tif")) == "2020-01-05"
    assert str(date_from_filename("x.A2019365.2021045123456.tif")) == "2019-12-31"
    assert date_from_filename("tile_12345678901.tif") is None
    assert date_from_filename("x_20201345.tif") is None
    assert date_from_filename("x_2020-01_05.tif") is None  # mixed separators
    assert date_from_filename("A2019366.tif") is None  # 2019 has 365 days
    assert date_from_filename("x_20200105.tif", doy_only=True) is None


def test_standard_folder_round_trip(tmp_path):
    rng = np.random.default_rng(0)
    names = ["p_20200105.tif", "p_2020-01-03.tif", "p_2020_01_04.tif", "A2020002_p.tif"]
    data = {}
    for name in names:
        arr = rng.integers(0, 1000, size=(2, 3, 4)).astype(np.int16)
        data[date_from_filename(name)] = arr
        write_tif(tmp_path / name, arr, descriptions=["red", "nir"])
    (tmp_path / "notes.txt").write_text("not a raster")

    cube, mask, meta = load(tmp_path, expected_bands=2, scale_factor=0.5,
                            global_start_date="2020-01-01", global_end_date="2020-01-11")
    assert cube.shape == (4, 3, 4, 2) and cube.dtype == np.float32 and cube.flags.c_contiguous
    assert mask.shape == (4, 3, 4) and mask.dtype == bool and not mask.any()
    for t, d in enumerate(sorted(data)):
        np.testing.assert_array_equal(cube[t], data[d].transpose(1, 2, 0) * 0.5)
    assert meta["timestamps"] == ["2020-01-02T00:00:00", "2020-01-03T00:00:00",
                                  "2020-01-04T00:00:00", "2020-01-05T00:00:00"]
    np.testing.assert_allclose(meta["t_norms"], [0.1, 0.2, 0.3, 0.4])
    assert meta["trans_matrix"] == [0.25, 0.0, 100.0, 0.0, -0.5, 40.0]
    assert meta["transform"] == meta["trans_matrix"]
    assert (meta["height"], meta["width"], meta["n_bands"]) == (3, 4, 2)
    assert meta["dtype"] == meta["src_dtype"] == "int16"
    assert meta["band_names"] == ["red", "nir"] and meta["band_scales"] == [0.5, 0.5]
    assert meta["scale_factor"] == 0.5
    assert rasterio.crs.CRS.from_wkt(meta["crs"]) == rasterio.crs.CRS.from_epsg(4326)

    # Without global dates the series spans 0..1 itself; float16 cubes are supported.
    cube16, _, meta16 = load(tmp_path, expected_bands=2, dtype=np.float16)
    assert cube16.dtype == np.float16
    np.testing.assert_allclose(meta16["t_norms"], [0, 1 / 3, 2 / 3, 1])
    np.testing.assert_allclose(cube16.astype(np.float32), cube * 2, rtol=1e-3)


def test_no_data_rules(tmp_path):
    # Band 0 carries the nodata value (inside the valid range) at (0,0); band 1 at (0,1) is
    # outside the valid range; (1,1) sits exactly on the upper bound after scaling and stays.
    b0 = np.array([[7, 10], [20, 30]], dtype=np.int16)
    b1 = np.array([[1, 5000], [3, 2500]], dtype=np.int16)
    write_tif(tmp_path / "a_20200101.tif", np.stack([b0, b1]), nodata=7)
    f0 = np.array([[np.nan, 1.0], [np.inf, -2.0]], dtype=np.float32)
    write_tif(tmp_path / "a_20200102.tif", np.stack([f0, f0]), dtype="float32")

    cube, mask, meta = load(tmp_path, expected_bands=2, scale_factor=0.0001,
                            valid_range=(0.0, 0.25))
    expected_mask = np.array([[[True, True], [False, False]],
                              [[True, False], [True, True]]])
    np.testing.assert_array_equal(mask, expected_mask)
    assert (cube[mask] == 0).all(), "no-data pixels hold 0 in every band"
    np.testing.assert_allclose(cube[0, 1, 1], [0.003, 0.25], rtol=1e-6)
    np.testing.assert_allclose(cube[1, 0, 1], [0.0001, 0.0001], rtol=1e-6)
    assert meta["missing_fill"] == 7
    assert meta["src_dtype"] == "float32"  # int16 and float32 rasters promote


def test_p99_removal_masks_outliers_per_band(tmp_path):
    b0 = np.arange(100, dtype=np.int16).reshape(10, 10)
    b1 = np.ones((10, 10), dtype=np.int16)
    b1[5, 5] = 50  # above band 1's 99th percentile (1.49); band 0 there is 55 < 98.01
    b2 = np.full((10, 10), 3, dtype=np.int16)  # constant: its percentile is no outlier cut
    write_tif(tmp_path / "x_20200101.tif", np.stack([b0, b1, b2]))
    cube, mask, _ = load(tmp_path, expected_bands=3, p99_removal=True)
    expected = np.zeros((1, 10, 10), dtype=bool)
    expected[0, 9, 9] = True  # 99 > 98.01
    expected[0, 5, 5] = True
    np.testing.assert_array_equal(mask, expected)
    assert (cube[0, 9, 9] == 0).all() and (cube[0, 5, 5] == 0).all()
    _, mask_off, _ = load(tmp_path, expected_bands=3, p99_removal=False)
    assert not mask_off.any()


def test_higlass_single_band_products(tmp_path):
    for doy, value in ((17, 3), (1, 1), (9, 2)):
        write_tif(tmp_path / f"GLASS01B01.V60.A2020{doy:03d}.h10v05.2021045.tif",
                  np.full((2, 2), value), dtype="uint8", nodata=255)
    write_tif(tmp_path / "overview_20200101.tif", np.zeros((5, 5)))  # no A-date: not a product
    cube, mask, meta = QELMDatasetLoader().load_folder_HiGLASS(
        folder_path=str(tmp_path), scale_factor=0.1, valid_range=None, p99_removal=False,
        global_start_date=None, global_end_date=None)
    assert cube.shape == (3, 2, 2, 1)
    np.testing.assert_allclose(cube[:, 0, 0, 0], [0.1, 0.2, 0.3], rtol=1e-6)
    assert meta["timestamps"][0] == "2020-01-01T00:00:00" and meta["n_bands"] == 1
    assert meta["dtype"] == "uint8" and not mask.any()

    write_tif(tmp_path / "GLASS01B01.V60.A2020025.h10v05.tif", np.zeros((2, 2, 2)), "uint8")
    with pytest.raises(ValueError, match="A2020025.*2 band"):
        QELMDatasetLoader().load_folder_HiGLASS(folder_path=str(tmp_path))


def test_higlass_lai_fpar_pairing(tmp_path):
    def product(kind, tile, year, doy, value):
        write_tif(tmp_path / f"GLASS_{kind}.A{year}{doy:03d}.{tile}.tif",
                  np.full((2, 3), value), dtype="int16", nodata=-1)

    for doy in (1, 9, 17):
        product("LAI", "h10v05", 2020, doy, doy)
    for doy in (1, 17, 25):
        product("FPAR", "h10v05", 2020, doy, 100 + doy)
    product("LAI", "h10v05", 2021, 1, 7)
    product("FPAR", "h10v05", 2021, 1, 8)
    product("LAI", "h11v05", 2020, 9, 99)   # another tile's FPAR must not complete 2020-009
    product("FPAR", "h11v05", 2020, 9, 99)

    loader = QELMDatasetLoader()
    kw = dict(folder_path=str(tmp_path), tile_name="h10v05", scale_factor=[0.1, 0.01],
              valid_range=None, p99_removal=False, global_start_date=None,
              global_end_date=None)
    cube, mask, meta = loader.load_folder_HiGLASS_LAI_FPAR(year_range=None, **kw)
    assert meta["timestamps"] == ["2020-01-01T00:00:00", "2020-01-17T00:00:00",
                                  "2021-01-01T00:00:00"]
    assert meta["band_names"] == ["LAI", "FPAR"] and meta["band_scales"] == [0.1, 0.01]
    np.testing.assert_allclose(cube[:, 0, 0], [[0.1, 1.01], [1.7, 1.17], [0.7, 0.08]],
                               rtol=1e-6)
    assert cube.shape == (3, 2, 3, 2) and not mask.any()

    cube, _, meta = loader.load_folder_HiGLASS_LAI_FPAR(year_range=(2020, 2020), **kw)
    assert len(meta["timestamps"]) == 2 and cube.shape[0] == 2

    with pytest.raises(ValueError, match="h99v99"):
        loader.load_folder_HiGLASS_LAI_FPAR(**{**kw, "tile_name": "h99v99"})
    with pytest.raises(ValueError, match="both LAI and FPAR"):
        loader.load_folder_HiGLASS_LAI_FPAR(year_range=(2022, 2023), **kw)
    with pytest.raises(ValueError, match=r"year_range must be \(first year, last year\), got \(2021, 2019\)"):
        loader.load_folder_HiGLASS_LAI_FPAR(year_range=(2021, 2019), **kw)


def test_folder_errors_name_the_problem(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(ValueError, match="no raster files"):
        load(empty)
    with pytest.raises(ValueError, match="not found"):
        load(tmp_path / "missing")

    def fresh(name):
        d = tmp_path / name
        d.mkdir()
        write_tif(d / "a_20200101.tif", np.zeros((3, 4)))
        return d

    d = fresh("nodate")
    write_tif(d / "b_latest.tif", np.zeros((3, 4)))
    with pytest.raises(ValueError, match="b_latest.tif"):
        load(d)
    d = fresh("size")
    write_tif(d / "b_20200102.tif", np.zeros((3, 5)))
    with pytest.raises(ValueError, match="b_20200102.tif is 3 x 5"):
        load(d)
    d = fresh("bands")
    write_tif(d / "b_20200102.tif", np.zeros((2, 3, 4)))
    with pytest.raises(ValueError, match="b_20200102.tif has 2 band"):
        load(d)
    d = fresh("transform")
    write_tif(d / "b_20200102.tif", np.zeros((3, 4)), transform=from_origin(100.5, 40, .25, .5))
    with pytest.raises(ValueError, match="b_20200102.tif has transform"):
        load(d)
    d = fresh("crs")
    write_tif(d / "b_20200102.tif", np.zeros((3, 4)), crs="EPSG:3857")
    with pytest.raises(ValueError, match="b_20200102.tif has CRS"):
        load(d)
    d = fresh("dup")
    write_tif(d / "b_2020-01-01.tif", np.zeros((3, 4)))
    with pytest.raises(ValueError, match="two rasters for 2020-01-01"):
        load(d)
    d = fresh("overflow")
    write_tif(d / "b_20200102.tif", np.full((3, 4), 70000.0), dtype="float32")
    with pytest.raises(ValueError, match="overflow float16"):
        load(d, dtype=np.float16)
    # A valid range that excludes the large values makes the same folder loadable.
    cube, mask, _ = load(d, dtype=np.float16, valid_range=(0, 1000))
    assert mask[1].all() and np.isfinite(cube).all()
    with pytest.raises(ValueError, match="valid_range"):
        load(d, valid_range=(5, 1))
    with pytest.raises(ValueError, match="scale_factor has 2 entries"):
        load(d, scale_factor=[1, 2])
