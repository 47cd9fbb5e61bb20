"""Folder loaders on small GeoTIFF series written here with rasterio."""
import numpy as np
import pytest
import rasterio
from rasterio.transform import from_origin

from pyqelm.encoder.loaders import QELMDatasetLoader, date_from_filename

TRANSFORM = from_origin(100.0, 40.0, 0.25, 0.5)
NO_DATES = dict(valid_range=None, p99_removal=False, global_start_date=None, global_end_date=None)


def write_tif(path, bands, dtype="int16", nodata=None, transform=TRANSFORM, crs="EPSG:4326", descriptions=()):
    bands = np.asarray(bands, dtype=dtype).reshape(-1, *np.shape(bands)[-2:])
    with rasterio.open(path, "w", driver="GTiff", height=bands.shape[1], width=bands.shape[2], count=bands.shape[0],
                       dtype=dtype, transform=transform, crs=crs, nodata=nodata) as dst:
        dst.write(bands)
        for i, d in enumerate(descriptions, 1):
            dst.set_band_description(i, d)


def load(folder, dtype=np.float32, **kw):
    return QELMDatasetLoader(dtype=dtype).load_folder(**{**NO_DATES, "folder_path": str(folder), "expected_bands": 1, **kw})


def test_date_forms_in_file_names():
    # The first date wins; production stamps and impossible dates are not dates.
    want = {"GLASS01B01.V60.A2020060.h10v05.tif": "2020-02-29", "S2_20200105_20200110.tif": "2020-01-05",
            "x.A2019365.2021045123456.tif": "2019-12-31", "tile_12345678901.tif": "None", "x_20201345.tif": "None",
            "x_2020-01_05.tif": "None", "A2019366.tif": "None"}
    assert {name: str(date_from_filename(name)) for name in want} == want


def test_standard_folder_round_trip(tmp_path):
    data = np.random.default_rng(0).integers(0, 1000, size=(4, 2, 3, 4))
    for name, frame in zip(["p_20200105.tif", "p_2020-01-03.tif", "p_2020_01_04.tif", "A2020002_p.tif"], data):
        write_tif(tmp_path / name, frame, descriptions=["red", "nir"])
    (tmp_path / "notes.txt").write_text("not a raster")

    cube, mask, meta = load(tmp_path, expected_bands=2, scale_factor=0.5,
                            global_start_date="2020-01-01", global_end_date="2020-01-11")
    assert cube.dtype == np.float32 and cube.flags.c_contiguous
    assert mask.dtype == bool and mask.shape == (4, 3, 4) and not mask.any()
    np.testing.assert_array_equal(cube, data[[3, 1, 2, 0]].transpose(0, 2, 3, 1) * 0.5)  # in date order
    assert meta["timestamps"] == [f"2020-01-0{d}T00:00:00" for d in (2, 3, 4, 5)]
    np.testing.assert_allclose(meta["t_norms"], [0.1, 0.2, 0.3, 0.4])
    assert meta["trans_matrix"] == meta["transform"] == [0.25, 0.0, 100.0, 0.0, -0.5, 40.0]
    assert (meta["height"], meta["width"], meta["n_bands"], meta["dtype"], meta["src_dtype"]) == (3, 4, 2, "int16", "int16")
    assert (meta["band_names"], meta["band_scales"], meta["scale_factor"]) == (["red", "nir"], [0.5, 0.5], 0.5)
    assert rasterio.crs.CRS.from_wkt(meta["crs"]) == rasterio.crs.CRS.from_epsg(4326)
    # without global dates the series spans 0..1 itself
    np.testing.assert_allclose(load(tmp_path, expected_bands=2)[2]["t_norms"], [0, 1 / 3, 2 / 3, 1])


def test_no_data_rules(tmp_path):
    # Band 0 carries the nodata value (inside the valid range) at (0,0); band 1 at (0,1) is
    # outside the valid range; (1,1) sits exactly on the upper bound after scaling and stays.
    write_tif(tmp_path / "a_20200101.tif", [[[7, 10], [20, 30]], [[1, 5000], [3, 2500]]], nodata=7)
    write_tif(tmp_path / "a_20200102.tif", [[[np.nan, 1.0], [np.inf, -2.0]]] * 2, dtype="float32")

    cube, mask, meta = load(tmp_path, expected_bands=2, scale_factor=0.0001, valid_range=(0.0, 0.25))
    np.testing.assert_array_equal(mask, [[[True, True], [False, False]], [[True, False], [True, True]]])
    assert (cube[mask] == 0).all(), "no-data pixels hold 0 in every band"
    np.testing.assert_allclose([cube[0, 1, 1], cube[1, 0, 1]], [[0.003, 0.25], [0.0001, 0.0001]], rtol=1e-6)
    assert meta["missing_fill"] == 7 and meta["src_dtype"] == "float32"  # int16 and float32 rasters promote


def test_p99_removal_masks_outliers_per_band(tmp_path):
    bands = np.stack([np.arange(100).reshape(10, 10), np.ones((10, 10)), np.full((10, 10), 3)])  # band 2 constant: no cut
    bands[1, 5, 5] = 50  # above band 1's 99th percentile (1.49); band 0 there is 55 < 98.01
    write_tif(tmp_path / "x_20200101.tif", bands)
    cube, mask, _ = load(tmp_path, expected_bands=3, p99_removal=True)
    assert np.argwhere(mask).tolist() == [[0, 5, 5], [0, 9, 9]] and (cube[mask] == 0).all()  # band 0: 99 > 98.01


def test_higlass_single_band_products(tmp_path):
    for doy, value in ((17, 3), (1, 1), (9, 2)):
        write_tif(tmp_path / f"GLASS01B01.V60.A2020{doy:03d}.h10v05.2021045.tif", np.full((2, 2), value), "uint8", 255)
    write_tif(tmp_path / "overview_20200101.tif", np.zeros((5, 5)))  # no A-date: not a product
    cube, mask, meta = QELMDatasetLoader().load_folder_HiGLASS(folder_path=str(tmp_path), scale_factor=0.1, **NO_DATES)
    np.testing.assert_allclose(cube, np.full((3, 2, 2, 1), 0.1) * np.arange(1, 4).reshape(3, 1, 1, 1), rtol=1e-6)
    assert not mask.any() and (meta["timestamps"][0], meta["n_bands"], meta["dtype"]) == ("2020-01-01T00:00:00", 1, "uint8")

    write_tif(tmp_path / "GLASS01B01.V60.A2020025.h10v05.tif", np.zeros((2, 2, 2)), "uint8")
    with pytest.raises(ValueError, match="A2020025.*2 band"):
        QELMDatasetLoader().load_folder_HiGLASS(folder_path=str(tmp_path))


def test_higlass_lai_fpar_pairing(tmp_path):
    for kind, tile, year, doys, base in (("LAI", "h10v05", 2020, (1, 9, 17), 0), ("FPAR", "h10v05", 2020, (1, 17, 25), 100),
                                         ("LAI", "h10v05", 2021, (1,), 6), ("FPAR", "h10v05", 2021, (1,), 7),
                                         # another tile's FPAR must not complete 2020-009
                                         ("LAI", "h11v05", 2020, (9,), 90), ("FPAR", "h11v05", 2020, (9,), 90)):
        for doy in doys:
            write_tif(tmp_path / f"GLASS_{kind}.A{year}{doy:03d}.{tile}.tif", np.full((2, 3), base + doy), nodata=-1)

    pairs = QELMDatasetLoader().load_folder_HiGLASS_LAI_FPAR
    kw = dict(NO_DATES, folder_path=str(tmp_path), tile_name="h10v05", scale_factor=[0.1, 0.01])
    cube, mask, meta = pairs(year_range=None, **kw)
    assert meta["timestamps"] == ["2020-01-01T00:00:00", "2020-01-17T00:00:00", "2021-01-01T00:00:00"]
    np.testing.assert_allclose(cube[:, 0, 0], [[0.1, 1.01], [1.7, 1.17], [0.7, 0.08]], rtol=1e-6)
    assert cube.shape == (3, 2, 3, 2) and not mask.any() and meta["band_names"] == ["LAI", "FPAR"]
    cube, _, meta = pairs(year_range=(2020, 2020), **kw)
    assert len(meta["timestamps"]) == 2 and cube.shape[0] == 2 and meta["band_scales"] == [0.1, 0.01]

    for tile, years, words in (("h99v99", None, "h99v99"), ("h10v05", (2022, 2023), "both LAI and FPAR"),
                               ("h10v05", (2021, 2019), r"year_range must be \(first year, last year\), got \(2021, 2019\)")):
        with pytest.raises(ValueError, match=words):
            pairs(**{**kw, "tile_name": tile, "year_range": years})


@pytest.mark.parametrize("second,shape,kw,words", [
    ("b_latest.tif", (3, 4), {}, "b_latest.tif"), ("b_2020-01-01.tif", (3, 4), {}, "two rasters for 2020-01-01"),
    ("b_20200102.tif", (3, 5), {}, "b_20200102.tif is 3 x 5"), ("b_20200102.tif", (2, 3, 4), {}, "b_20200102.tif has 2 band"),
    ("b_20200102.tif", (3, 4), dict(transform=from_origin(100.5, 40, .25, .5)), "b_20200102.tif has transform"),
    ("b_20200102.tif", (3, 4), dict(crs="EPSG:3857"), "b_20200102.tif has CRS"),
])
def test_inconsistent_folder_names_the_file(tmp_path, second, shape, kw, words):
    write_tif(tmp_path / "a_20200101.tif", np.zeros((3, 4)))
    write_tif(tmp_path / second, np.zeros(shape), **kw)
    with pytest.raises(ValueError, match=words):
        load(tmp_path)


def test_folder_and_argument_errors(tmp_path):
    (tmp_path / "empty").mkdir()
    write_tif(tmp_path / "a_20200101.tif", np.arange(12).reshape(3, 4))
    write_tif(tmp_path / "b_20200102.tif", np.full((3, 4), 70000.0), dtype="float32")
    for folder, kw, words in ((tmp_path / "missing", {}, "not found"), (tmp_path / "empty", {}, "no raster files"),
                              (tmp_path, dict(dtype=np.float16), "overflow float16"),
                              (tmp_path, dict(scale_factor=[1, 2]), "scale_factor has 2 entries")):
        with pytest.raises(ValueError, match=words):
            load(folder, **kw)
    # A valid range that excludes the large values makes the same folder loadable in float16.
    cube, mask, _ = load(tmp_path, dtype=np.float16, valid_range=(0, 1000), scale_factor=0.5)
    assert cube.dtype == np.float16 and mask[1].all() and not mask[0].any()
    np.testing.assert_array_equal(cube[..., 0], [np.arange(12).reshape(3, 4) * 0.5, np.zeros((3, 4))])
