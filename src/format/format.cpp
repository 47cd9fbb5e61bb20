#include "format/format.h"

namespace qelm::format {

namespace {
py::object from(const char* module, const char* name) {
  return py::module_::import((std::string("pyqelm.format.") + module).c_str()).attr(name);
}

py::list span_list(int64_t n) {
  py::list l;
  l.append(0);
  l.append(n);
  return l;
}
}  // namespace

py::object band_info(py::object name, double scale_factor, double add_offset, py::object valid_range) {
  return from("meta", "BandInfo")(py::arg("name") = name, py::arg("scale_factor") = scale_factor,
                                  py::arg("add_offset") = add_offset, py::arg("valid_range") = valid_range);
}

py::object band_info_from_dict(py::handle d) { return from("meta", "BandInfo").attr("from_dict")(d); }

py::object time_info(py::object values, py::object calendar, py::object global_start, py::object global_end) {
  return from("meta", "TimeInfo")(py::arg("values") = values, py::arg("calendar") = calendar,
                                  py::arg("global_start") = global_start, py::arg("global_end") = global_end);
}

py::object meta(py::kwargs kwargs) { return from("meta", "Meta")(**kwargs); }

py::object coerce_affine(py::handle value) { return from("affine", "coerce_affine")(value); }

py::object quantization_info_from_dict(py::handle d) {
  return from("chunk_io", "QuantizationInfo").attr("from_dict")(d);
}

py::object residual_info_from_dict(py::handle d) { return from("chunk_io", "ResidualInfo").attr("from_dict")(d); }

py::object train_time_range(const std::string& start, const std::string& end, int64_t n_frames) {
  return from("chunk_io", "TrainTimeRange")(py::arg("start") = start, py::arg("end") = end,
                                            py::arg("n_frames") = n_frames);
}

py::object chunk_meta(py::kwargs kwargs) { return from("chunk_io", "ChunkMeta")(**kwargs); }

py::bytes write_chunk_bytes(py::handle chunk_meta, py::handle weights, py::handle mask, py::handle residuals) {
  return from("chunk_io", "write_chunk_bytes")(chunk_meta, weights, mask, residuals);
}

std::string encode_chunk_filename() {
  py::list zeros, axes;
  for (int i = 0; i < 3; ++i) zeros.append(0);
  for (const char* a : {"time", "y", "x"}) axes.append(a);
  return from("chunk_io", "encode_chunk_filename")(zeros, axes).cast<std::string>();
}

py::object one_chunk_manifest(int64_t T, int64_t H, int64_t W, const std::string& member, int64_t size_bytes) {
  py::object axis = from("manifest", "AxisChunking");
  py::dict grid, bounds;
  const std::pair<const char*, int64_t> dims[] = {{"time", T}, {"y", H}, {"x", W}};
  for (const auto& [name, n] : dims) {
    grid[name] = axis(py::arg("n") = 1, py::arg("regular") = true, py::arg("size") = n);
    bounds[name] = span_list(n);
  }
  py::list id;
  for (int i = 0; i < 3; ++i) id.append(0);
  py::list chunks;
  chunks.append(from("manifest", "ChunkEntry")(py::arg("id") = id, py::arg("bounds") = bounds,
                                               py::arg("file") = member, py::arg("size_bytes") = size_bytes));
  return from("manifest", "Manifest")(py::arg("chunk_grid") = grid, py::arg("chunks") = chunks);
}

void write_container(py::handle path, py::handle meta, py::handle manifest, const std::string& member,
                     py::handle chunk_blob) {
  py::list members;
  members.append(py::make_tuple(member, chunk_blob));
  from("container", "write_container")(path, meta, manifest, members);
}

void write_bytes_atomic(py::handle path, py::handle data) { from("container", "write_bytes_atomic")(path, data); }

}  // namespace qelm::format
