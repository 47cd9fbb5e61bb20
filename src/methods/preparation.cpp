// prepare_training_data_optimized, _apply_block_reshape and the coordinate cache.
#include "methods/methods.h"

#include "preparation.h"

namespace qelm::shell {

namespace {

constexpr double GiB = 1073741824.0;

py::module_ np() { return py::module_::import("numpy"); }
py::module_ torch_mod() { return py::module_::import("torch"); }

std::pair<int64_t, int64_t> block_pair(py::object block_size) {
  const int64_t bh = py::int_(block_size[py::int_(0)]).cast<int64_t>();
  const int64_t bw = py::int_(block_size[py::int_(1)]).cast<int64_t>();
  return {bh, bw};
}

py::list ranges_to_list(const std::vector<BandRange>& ranges) {
  py::list out;
  for (const auto& r : ranges) {
    py::list pair;
    pair.append(r[0]);
    pair.append(r[1]);
    out.append(pair);
  }
  return out;
}

Affine affine_from(py::object t) {
  Affine a;
  a.a = py::float_(t[py::int_(0)]).cast<double>();
  a.c = py::float_(t[py::int_(2)]).cast<double>();
  a.e = py::float_(t[py::int_(4)]).cast<double>();
  a.f = py::float_(t[py::int_(5)]).cast<double>();
  return a;
}

py::dict params_dict(const CoordinateCache& cc, int mode, int64_t H, int64_t W) {
  py::dict d;
  if (mode == 3) {
    py::dict p;
    p["H"] = H;
    p["W"] = W;
    d["pixel_norm_params"] = p;
  } else if (mode == 2) {
    py::dict p;
    p["lon_min"] = cc.planar->lon_min;
    p["lon_span"] = cc.planar->lon_span;
    p["lat_min"] = cc.planar->lat_min;
    p["lat_span"] = cc.planar->lat_span;
    d["local_planar_params"] = p;
  } else if (mode == 1) {
    py::dict p;
    p["x_min"] = cc.local_xyz->x_min;
    p["x_span"] = cc.local_xyz->x_span;
    p["y_min"] = cc.local_xyz->y_min;
    p["y_span"] = cc.local_xyz->y_span;
    p["z_min"] = cc.local_xyz->z_min;
    p["z_span"] = cc.local_xyz->z_span;
    d["local_xyz_params"] = p;
  } else {
    d["local_xyz_params"] = py::none();
  }
  return d;
}

int checked_norm_mode(py::object norm_mode) {
  bool ok = false;
  double v = 0;
  if (!py::isinstance<py::bool_>(norm_mode) &&
      (py::isinstance<py::int_>(norm_mode) || py::isinstance<py::float_>(norm_mode))) {
    v = norm_mode.cast<double>();
    ok = is_known_norm_mode(v);
  }
  if (!ok)
    throw py::value_error("norm_mode must be 0 (global 3D), 1 (local 3D), 2 (2D planar) or 3 (pixel "
                          "coordinates), got " + py_repr(norm_mode));
  return static_cast<int>(v);
}

// A host tensor over a NumPy array's memory (or a tensor passed in directly).
py::object as_host_tensor(py::object array) {
  if (py::isinstance(array, torch_mod().attr("Tensor"))) return array.attr("contiguous")();
  return torch_mod().attr("from_numpy")(array);
}

void raw_cube_route(py::object self, bool use_log, bool force_zero) {
  py::object mi = self.attr("meta_info");
  print_line(std::string("[Optimized] Step 1: Converting to Tensor (Force Zero Training: ") +
             py_bool(force_zero) + ")...");
  py::object volume = self.attr("volume");
  if (!py::isinstance(volume, torch_mod().attr("Tensor")) &&
      !volume.attr("flags")["C_CONTIGUOUS"].cast<bool>()) {
    volume = np().attr("ascontiguousarray")(volume);
    self.attr("volume") = volume;
  }
  py::tuple shape = py::tuple(volume.attr("shape"));
  if (shape.size() != 4)
    throw py::value_error(strf("volume must have four dimensions (T, H, W, C), got %zu", shape.size()));
  const int64_t T = shape[0].cast<int64_t>(), H = shape[1].cast<int64_t>();
  const int64_t W = shape[2].cast<int64_t>(), C = shape[3].cast<int64_t>();
  const int64_t N = T * H * W;
  py::object values_obj = as_host_tensor(volume).attr("view")(N, C);

  py::object nodata_arr = self.attr("nodata_mask_vol");
  py::object nodata_obj;
  if (py::isinstance(nodata_arr, torch_mod().attr("Tensor"))) {
    nodata_obj = nodata_arr.attr("reshape")(-1).attr("to")(torch_mod().attr("bool")).attr("contiguous")();
  } else {
    py::object flat = np().attr("ascontiguousarray")(nodata_arr).attr("reshape")(-1);
    py::object bool_dtype = np().attr("dtype")("bool");
    if (!py::object(flat.attr("dtype")).equal(bool_dtype)) flat = flat.attr("astype")(np().attr("bool_"));
    nodata_obj = torch_mod().attr("from_numpy")(flat);
  }
  torch::Tensor values = values_obj.cast<torch::Tensor>();
  torch::Tensor nodata = nodata_obj.cast<torch::Tensor>();
  if (nodata.numel() != N)
    throw py::value_error(strf("nodata_mask_vol has %lld entries, the volume has %lld pixels (T*H*W)",
                               (long long)nodata.numel(), (long long)N));
  {
    py::gil_scoped_release nogil;
    zero_nodata_rows(values, nodata);
  }
  torch::Tensor mask;
  if (force_zero) {
    print_line(" -> [Option] Enabled: NoData pixels are treated as 0.0 and INCLUDED in training.");
    mask = torch::ones({N}, torch::TensorOptions().dtype(torch::kBool));
  } else {
    print_line(" -> [Option] Disabled: NoData pixels are MASKED OUT (ignored during training).");
    {
      py::gil_scoped_release nogil;
      negate_mask_inplace(nodata);
    }
    mask = nodata;
  }
  self.attr("cpu_values") = values_obj;
  self.attr("cpu_mask") = force_zero ? py::cast(mask) : nodata_obj;
  self.attr("volume") = py::none();
  self.attr("nodata_mask_vol") = py::none();
  volume = py::none();
  nodata_arr = py::none();
  collect_garbage();
  print_line(" -> Numpy volume released.");

  print_line("[Optimized] Step 2: Normalization (Channel-wise & Chunked)...");
  if (use_log) {
    py::gil_scoped_release nogil;
    log1p_inplace(values);
  }
  mi["use_log"] = use_log;
  print_line(strf(" -> Computing Min/Max per channel (C=%lld, ChunkSize=%lld)...", (long long)C,
                  (long long)kRangeChunkRows));
  std::vector<BandRange> ranges;
  {
    py::gil_scoped_release nogil;
    ranges = band_ranges(values, mask, kRangeChunkRows);
  }
  for (size_t c = 0; c < ranges.size(); ++c) print_line(band_range_line(static_cast<int64_t>(c), ranges[c]));
  {
    py::gil_scoped_release nogil;
    normalize_bands_inplace(values, ranges, mask, !force_zero);
  }
  py::list channel_ranges = ranges_to_list(ranges);
  self.attr("channel_ranges") = channel_ranges;
  mi["data_range"] = channel_ranges;
}

void streaming_route(py::object self, bool use_log) {
  if (use_log) throw NotImplementedError("use_log is not yet supported in streaming mode.");
  py::object mi = self.attr("meta_info");
  self.attr("cpu_values") = py::none();
  self.attr("cpu_mask") = py::none();
  mi["use_log"] = false;
  py::object source = self.attr("streaming_source");
  py::object vr = source.attr("valid_range");
  if (vr.is_none())
    throw py::value_error(
        "Streaming mode requires input_valid_range to be specified in the config (it serves as the "
        "normalisation range when the full volume is not available).");
  py::tuple pair = unpack_exact(vr, 2);
  const BandRange r{py::float_(pair[0]).cast<double>(), py::float_(pair[1]).cast<double>()};
  const int64_t C = source.attr("n_bands").cast<int64_t>();
  py::list ranges = ranges_to_list(std::vector<BandRange>(static_cast<size_t>(std::max<int64_t>(C, 0)), r));
  self.attr("channel_ranges") = ranges;
  mi["data_range"] = ranges;
  for (int64_t i = 0; i < C; ++i) print_line(band_range_line(i, r, true));
}

void prenormalised_route(py::object self, bool use_log) {
  if (use_log) throw NotImplementedError("use_log is not yet supported in zarr in-memory mode.");
  print_line("[Optimized] Step 1+2 skipped (pre-normalised zarr volume).");
  int64_t i = 0;
  for (py::handle entry : self.attr("channel_ranges")) {
    py::tuple pair = unpack_exact(py::reinterpret_borrow<py::object>(entry), 2);
    print_line(band_range_line(i++, {py::float_(pair[0]).cast<double>(), py::float_(pair[1]).cast<double>()}, true));
  }
}

}  // namespace

py::tuple coordinate_cache_py(py::object norm_mode, int64_t height, int64_t width, py::object trans_matrix) {
  const int mode = checked_norm_mode(norm_mode);
  std::optional<Affine> t;
  if (mode != 3) {
    if (trans_matrix.is_none())
      throw py::value_error(strf("coordinate mode %d needs the grid's affine transform", mode));
    t = affine_from(trans_matrix);
  }
  CoordinateCache cc;
  {
    py::gil_scoped_release nogil;
    cc = coordinate_cache(mode, height, width, t ? &*t : nullptr);
  }
  return py::make_tuple(cc.xyz, params_dict(cc, mode, height, width));
}

void prepare_training_data_optimized(py::object self, py::object use_log_obj, py::object norm_mode,
                                     py::object force_zero_obj, py::object block_size) {
  const int mode = checked_norm_mode(norm_mode);
  const bool use_log = truthy(use_log_obj), force_zero = truthy(force_zero_obj);
  py::object mi = self.attr("meta_info");
  mi["norm_mode"] = norm_mode;
  const auto [bh, bw] = block_pair(block_size);
  if (bh <= 0 || bw <= 0)
    throw py::value_error(strf("block_size must hold two positive integers, got [%lld, %lld]",
                               (long long)bh, (long long)bw));
  const bool blocked = !(bh == 1 && bw == 1);
  const bool streaming = !self.attr("streaming_source").is_none();
  if (blocked && streaming)
    throw NotImplementedError("block prediction (block_size != (1,1)) is not yet supported in streaming mode.");

  if (streaming) {
    streaming_route(self, use_log);
  } else if (!attr_or(self, "cpu_values").is_none() && attr_or(self, "volume").is_none()) {
    prenormalised_route(self, use_log);
  } else {
    raw_cube_route(self, use_log, force_zero);
  }

  if (blocked && !self.attr("cpu_values").is_none())
    self.attr("_apply_block_reshape")(py::make_tuple(bh, bw));
  py::list bs;
  bs.append(bh);
  bs.append(bw);
  mi["block_size"] = bs;
  if (!mi.contains("original_shape")) {
    py::list shape;
    shape.append(mi.contains("timestamps") ? py::len(mi["timestamps"]) : 0);
    shape.append(dict_get(mi, "height", py::int_(0)));
    shape.append(dict_get(mi, "width", py::int_(0)));
    shape.append(dict_get(mi, "n_bands", py::int_(1)));
    mi["original_shape"] = shape;
  }

  // Time table and spatial coordinate cache.
  py::module_ torch = torch_mod();
  self.attr("time_lut") = torch.attr("tensor")(mi["t_norms"], py::arg("dtype") = torch.attr("float32"),
                                               py::arg("device") = self.attr("device"));
  print_line("[Optimized] Step 3: Pre-computing Spatial Coordinates Cache (Mode=" + py_str(norm_mode) + ")...");
  const int64_t H = py::int_(mi["height"]).cast<int64_t>();
  const int64_t W = py::int_(mi["width"]).cast<int64_t>();
  std::optional<Affine> t;
  if (mode != 3) t = affine_from(self.attr("trans_matrix"));
  CoordinateCache cc;
  {
    py::gil_scoped_release nogil;
    cc = coordinate_cache(mode, H, W, t ? &*t : nullptr);
  }
  print_line(cc.mode_line);
  self.attr("xyz_cache") = cc.xyz;
  for (auto item : params_dict(cc, mode, H, W)) mi[item.first] = item.second;
  collect_garbage();
  print_line(" -> Spatial Cache Created: Shape " + torch_size_repr(cc.xyz.sizes()));
  print_line("Ready for Training.");
}

std::vector<std::string> block_tmp_candidates() {
  std::vector<std::string> dirs;
  py::object env = py::module_::import("os").attr("environ");
  py::object custom = env.attr("get")("PYQELM_TMPDIR", "");
  if (truthy(custom)) dirs.push_back(py_str(custom));
  dirs.push_back(py_str(py::module_::import("tempfile").attr("gettempdir")()));
  py::module_ os = py::module_::import("os");
  if (py_str(os.attr("name")) == "nt") {
    for (char d = 'D'; d <= 'J'; ++d) {
      const std::string root = std::string(1, d) + ":\\";
      if (os.attr("path").attr("isdir")(root).cast<bool>()) dirs.push_back(root);
    }
  }
  return dirs;
}

void apply_block_reshape(py::object self, py::object block_size) {
  py::tuple bs = unpack_exact(block_size, 2);
  const int64_t bh = py::int_(bs[0]).cast<int64_t>(), bw = py::int_(bs[1]).cast<int64_t>();
  py::object mi = self.attr("meta_info");
  const int64_t T = mi.contains("timestamps") ? static_cast<int64_t>(py::len(mi["timestamps"])) : 0;
  const int64_t H = py::int_(mi["height"]).cast<int64_t>();
  const int64_t W = py::int_(mi["width"]).cast<int64_t>();
  const int64_t C = py::int_(mi["n_bands"]).cast<int64_t>();
  const BlockGeometry g = block_geometry(T, H, W, C, bh, bw);
  auto as_list = [](std::initializer_list<int64_t> v) {
    py::list l;
    for (auto x : v) l.append(x);
    return l;
  };
  mi["original_shape"] = as_list({T, H, W, C});
  mi["padded_shape"] = as_list({T, g.H_pad, g.W_pad, C});
  mi["height"] = g.H_blk;
  mi["width"] = g.W_blk;
  print_line(block_header_line(g));

  torch::Tensor values = self.attr("cpu_values").cast<torch::Tensor>();
  const double in_bytes = static_cast<double>(values.numel()) * 4;
  if (values.scalar_type() == torch::kFloat32 && in_bytes / GiB > 8) {
    print_line(strf("[block reshape] downcasting cpu_values float32 -> float16 (%.1f GB -> %.1f GB) to fit RAM",
                    in_bytes / GiB, in_bytes / GiB / 2));
    self.attr("cpu_values") = py::none();
    {
      py::gil_scoped_release nogil;
      values = values.to(torch::kFloat16);
    }
    self.attr("cpu_values") = values;
    collect_garbage();
  }
  const int elem = values.scalar_type() == torch::kFloat16 ? 2 : 4;
  std::optional<double> avail;
  try {
    py::object a = module_attr("_available_memory_bytes")();
    if (!a.is_none()) avail = a.cast<double>();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  const BlockMemoryPlan plan = plan_block_memory(g, values.numel(), elem, avail);
  print_line(block_memory_line(plan));

  const std::vector<int64_t> out_shape{T, g.H_blk * g.W_blk, g.block_values()};
  torch::Tensor out;
  if (plan.memmap) {
    std::string chosen;
    for (const std::string& dir : block_tmp_candidates()) {
      const auto free_b = free_disk_bytes(dir);
      if (!free_b) continue;
      const bool ok = *free_b >= plan.need_bytes;
      print_line(strf("[block reshape]   candidate %s free = %.1f GB%s", dir.c_str(), *free_b / GiB,
                      ok ? " [OK]" : " [too small]"));
      if (ok) {
        chosen = dir;
        break;
      }
    }
    if (chosen.empty())
      throw std::runtime_error(strf("No tmp dir found with %.1f GB free. Set PYQELM_TMPDIR=<path> to point at a "
                                    "drive with space.",
                                    plan.need_bytes / GiB));
    py::module_ os = py::module_::import("os");
    const std::string path = py_str(os.attr("path").attr("join")(
        chosen, strf("qelm_blk_%lld_%lld.dat", (long long)os.attr("getpid")().cast<int64_t>(),
                     (long long)py::module_::import("builtins").attr("id")(self).cast<int64_t>())));
    self.attr("_block_mmap_path") = path;
    print_line("[block reshape] memmap path: " + path);
    out = create_mapped_tensor(path, out_shape, values.scalar_type());
    py::module_::import("atexit").attr("register")(module_attr("_remove_file_quietly"), path);
  } else {
    out = torch::empty(out_shape, values.options());
  }
  {
    py::gil_scoped_release nogil;
    block_reshape_values(values, out, g);
  }
  collect_garbage();
  if (plan.memmap) flush_mapping(out);
  values = torch::Tensor();
  self.attr("cpu_values") = out.view({T * g.H_blk * g.W_blk, g.block_values()});

  torch::Tensor mask = self.attr("cpu_mask").cast<torch::Tensor>();
  torch::Tensor blocks;
  {
    py::gil_scoped_release nogil;
    blocks = block_reshape_mask(mask, g);
  }
  // The block mask only says whether any pixel of a block holds data; the pixel mask is what a
  // reader needs to blank no-data pixels inside valid blocks, and what the residual pass skips.
  self.attr("_block_pixel_mask") = mask;
  mask = torch::Tensor();
  self.attr("cpu_mask") = blocks;
  collect_garbage();
  const int64_t valid = count_true(blocks);
  print_line(strf("[block reshape] cpu_values %s, cpu_mask %s, valid blocks %lld/%lld",
                  py_tuple_repr(out.view({T * g.H_blk * g.W_blk, g.block_values()}).sizes()).c_str(),
                  py_tuple_repr(blocks.sizes()).c_str(), (long long)valid, (long long)blocks.numel()));
}

py::object available_memory_py() {
  const auto b = available_memory_bytes();
  return b ? py::object(py::int_(*b)) : py::object(py::none());
}

void remove_file_quietly(const std::string& path) {
  try {
    py::module_::import("os").attr("remove")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
  }
}

}  // namespace qelm::shell
