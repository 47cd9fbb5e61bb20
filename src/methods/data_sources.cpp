// Loading a cube: folder of rasters, Zarr store in memory, Zarr store streamed.
#include "methods/methods.h"

namespace qelm::shell {

namespace {
py::object streaming_source_class() {
  // Imported on first use: a compressor that never reads Zarr does not need the source module.
  return py::module_::import("pyqelm.encoder.streaming_sources").attr("ZarrStreamingSource");
}

py::object make_source(py::object self, py::object zarr_path, py::object variable,
                       py::object scale_factor, py::object valid_range, py::object source_options) {
  // How to read an unusual file (a band dimension, dates for an undated time axis) is the
  // source's business; the keywords pass through unchanged.
  py::dict extra = source_options.is_none() ? py::dict() : py::dict(source_options);
  return streaming_source_class()(
      py::arg("zarr_path") = zarr_path, py::arg("variable") = variable,
      py::arg("global_start_date") = self.attr("global_start_date"),
      py::arg("global_end_date") = self.attr("global_end_date"), py::arg("scale_factor") = scale_factor,
      py::arg("valid_range") = valid_range, py::arg("dtype_np") = self.attr("dtype_np"), **extra);
}

void merge_meta(py::object self, py::object meta) {
  py::object mi = self.attr("meta_info");
  mi.attr("update")(meta);
  if (mi.contains("trans_matrix")) self.attr("trans_matrix") = mi["trans_matrix"];
}
}  // namespace

py::tuple unpack_exact(py::object value, size_t n) {
  py::object it;
  try {
    it = py::iter(value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    throw py::type_error("cannot unpack non-iterable " +
                         py::str(py::type::of(value).attr("__name__")).cast<std::string>() + " object");
  }
  py::list items;
  for (py::handle item : it) {
    if (items.size() == n) throw py::value_error(strf("too many values to unpack (expected %zu)", n));
    items.append(item);
  }
  if (items.size() < n)
    throw py::value_error(strf("not enough values to unpack (expected %zu, got %zu)", n, items.size()));
  return py::tuple(items);
}

py::tuple load_dataset_folder(py::object self, py::object folder_path, py::object mode,
                              py::object tile_name, py::object expected_bands, py::object scale_factor,
                              py::object valid_range, py::object p99_removal, py::object year_range) {
  py::object loader = self.attr("loader");
  py::object gsd = self.attr("global_start_date"), ged = self.attr("global_end_date");
  py::object result;
  if (py::str("higlass").equal(mode)) {
    print_line(">>> Using HiGLASS Loader Mode <<<");
    result = loader.attr("load_folder_HiGLASS")(
        py::arg("folder_path") = folder_path, py::arg("scale_factor") = scale_factor,
        py::arg("valid_range") = valid_range, py::arg("p99_removal") = p99_removal,
        py::arg("global_start_date") = gsd, py::arg("global_end_date") = ged);
  } else if (py::str("higlass_lai_fpar").equal(mode)) {
    if (tile_name.is_none())
      throw py::value_error("Mode 'higlass_lai_fpar' requires 'tile_name' to be specified.");
    print_line(">>> Using HiGLASS Pair Loader (LAI + FPAR) for Tile " + py_str(tile_name) + " <<<");
    result = loader.attr("load_folder_HiGLASS_LAI_FPAR")(
        py::arg("folder_path") = folder_path, py::arg("tile_name") = tile_name,
        py::arg("scale_factor") = scale_factor, py::arg("valid_range") = valid_range,
        py::arg("p99_removal") = p99_removal, py::arg("global_start_date") = gsd,
        py::arg("global_end_date") = ged, py::arg("year_range") = year_range);
  } else {
    result = loader.attr("load_folder")(
        py::arg("folder_path") = folder_path, py::arg("expected_bands") = expected_bands,
        py::arg("scale_factor") = scale_factor, py::arg("valid_range") = valid_range,
        py::arg("p99_removal") = p99_removal, py::arg("global_start_date") = gsd,
        py::arg("global_end_date") = ged);
  }
  py::tuple parts = unpack_exact(result, 3);
  self.attr("volume") = parts[0];
  self.attr("nodata_mask_vol") = parts[1];
  merge_meta(self, parts[2]);
  self.attr("meta_info")["scale_factor"] = scale_factor;
  return py::make_tuple(parts[0], parts[1]);
}

namespace {
void require_valid_range(py::handle valid_range) {
  if (valid_range.is_none())
    throw py::value_error(
        "load_dataset_zarr requires input_valid_range (used as both physical-unit clip and "
        "normalisation endpoints).");
}

// Reads every frame of `source` into memory, normalised to [0, 1] by `valid_range`.
void load_source_in_memory(py::object self, py::object source, py::object valid_range) {
  require_valid_range(valid_range);
  const int64_t T = source.attr("n_timesteps").cast<int64_t>();
  const int64_t H = source.attr("height").cast<int64_t>();
  const int64_t W = source.attr("width").cast<int64_t>();
  const int64_t C = source.attr("n_bands").cast<int64_t>();
  py::module_ np = py::module_::import("numpy");
  py::object dt = np.attr("dtype")(self.attr("dtype_np"));
  const double gb = static_cast<double>(T) * H * W * C * dt.attr("itemsize").cast<double>() / 1e9;
  print_line(strf("  Loading full volume into RAM: (%lld, %lld, %lld, %lld) %s ~%.1f GB, normalised to "
                  "[0, 1] by valid_range",
                  (long long)T, (long long)H, (long long)W, (long long)C,
                  py_str(dt.attr("name")).c_str(), gb));
  py::object cube = source.attr("read_timesteps")(np.attr("arange")(T, py::arg("dtype") = np.attr("int64")));
  py::object flat = np.attr("ascontiguousarray")(cube.attr("reshape")(T * H * W, C));
  py::module_ torch = py::module_::import("torch");
  self.attr("cpu_values") = torch.attr("from_numpy")(flat);
  // Every point counts (no-data travels as NaN and the losses skip it): one true value seen
  // through a zero stride stands for the whole cube, so the mask costs nothing per point.
  self.attr("cpu_mask") =
      torch.attr("ones")(1, py::arg("dtype") = torch.attr("bool")).attr("expand")(T * H * W);
  py::tuple vr = unpack_exact(valid_range, 2);
  const double vmin = py::float_(vr[0]).cast<double>(), vmax = py::float_(vr[1]).cast<double>();
  py::list ranges;
  for (int64_t c = 0; c < C; ++c) {
    py::list pair;
    pair.append(vmin);
    pair.append(vmax);
    ranges.append(pair);
  }
  self.attr("channel_ranges") = ranges;
  merge_meta(self, source.attr("build_meta_info")());
  py::object mi = self.attr("meta_info");
  mi["scale_factor"] = source.attr("scale_factor");
  mi["data_range"] = ranges;
  mi["use_log"] = false;
  self.attr("volume") = py::none();
  self.attr("nodata_mask_vol") = py::none();
}

void attach_streaming_source(py::object self, py::object source) {
  self.attr("streaming_source") = source;
  merge_meta(self, source.attr("build_meta_info")());
  self.attr("meta_info")["scale_factor"] = source.attr("scale_factor");
  print_line(strf("  Streaming source: %lld timesteps, %lld x %lld grid, %lld channel(s)",
                  (long long)source.attr("n_timesteps").cast<int64_t>(),
                  (long long)source.attr("height").cast<int64_t>(),
                  (long long)source.attr("width").cast<int64_t>(),
                  (long long)source.attr("n_bands").cast<int64_t>()));
  self.attr("volume") = py::none();
  self.attr("nodata_mask_vol") = py::none();
}
}  // namespace

void load_dataset_zarr(py::object self, py::object zarr_path, py::object variable,
                       py::object scale_factor, py::object valid_range, py::object source_options) {
  print_line(">>> Using Zarr In-Memory Loader (variable=" + py_repr(variable) + ") <<<");
  require_valid_range(valid_range);
  load_source_in_memory(self, make_source(self, zarr_path, variable, scale_factor, valid_range, source_options),
                        valid_range);
}

void load_dataset_zarr_streaming(py::object self, py::object zarr_path, py::object variable,
                                 py::object scale_factor, py::object valid_range, py::object source_options) {
  print_line(">>> Using Zarr Streaming Mode (variable=" + py_repr(variable) + ") <<<");
  attach_streaming_source(self,
                          make_source(self, zarr_path, variable, scale_factor, valid_range, source_options));
}

void load_dataset_source(py::object self, py::object source, py::object valid_range, bool streaming) {
  if (valid_range.is_none()) valid_range = source.attr("valid_range");
  py::object variable = attr_or(source, "variable");
  if (streaming) {
    print_line(">>> Using Zarr Streaming Mode (variable=" + py_repr(variable) + ") <<<");
    attach_streaming_source(self, source);
  } else {
    print_line(">>> Using Zarr In-Memory Loader (variable=" + py_repr(variable) + ") <<<");
    load_source_in_memory(self, source, valid_range);
  }
}

}  // namespace qelm::shell
