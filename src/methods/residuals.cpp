// compute_residuals, compute_quality_metrics and _finalize_metrics.
#include "methods/methods.h"

#include "models/network.h"
#include "residuals.h"
#include "training/step.h"

namespace qelm::shell {

namespace {

bool is_list_like(py::handle v) {
  return py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v) ||
         py::hasattr(v, "__array__");
}

std::vector<double> floats_of(py::handle seq) {
  std::vector<double> out;
  for (py::handle x : seq) out.push_back(py::float_(py::reinterpret_borrow<py::object>(x)).cast<double>());
  return out;
}

std::vector<double> tile(const std::vector<double>& v, int64_t times) {
  std::vector<double> out;
  for (int64_t i = 0; i < times; ++i) out.insert(out.end(), v.begin(), v.end());
  return out;
}

}  // namespace

EvalSetup eval_setup(py::object self) {
  EvalSetup s;
  py::object mi = self.attr("meta_info");
  s.n_bands = py::int_(mi["n_bands"]).cast<int64_t>();
  const auto [bh, bw] = config_block_size(self);
  s.block_factor = bh * bw;
  // Band ranges: one [min, max] for all bands or one pair per band.
  py::object dr = mi["data_range"];
  std::vector<double> dmins, dmaxs;
  if (py::len(dr) > 0 && (py::isinstance<py::list>(dr[py::int_(0)]) || py::isinstance<py::tuple>(dr[py::int_(0)]))) {
    for (py::handle pair : dr) {
      dmins.push_back(py::float_(pair[py::int_(0)]).cast<double>());
      dmaxs.push_back(py::float_(pair[py::int_(1)]).cast<double>());
    }
  } else {
    dmins.push_back(py::float_(dr[py::int_(0)]).cast<double>());
    dmaxs.push_back(py::float_(dr[py::int_(1)]).cast<double>());
  }
  if (dmins.size() == 1 && s.n_bands > 1) {
    dmins.assign(s.n_bands, dmins[0]);
    dmaxs.assign(s.n_bands, dmaxs[0]);
  }
  std::vector<double> scale(dmins.size());
  for (size_t i = 0; i < dmins.size(); ++i) scale[i] = dmaxs[i] - dmins[i];
  EvalInputs& in = s.in;
  in.dmin = tile(dmins, s.block_factor);
  in.scale = tile(scale, s.block_factor);
  in.n_bands = s.n_bands;
  in.use_log = truthy(dict_get(mi, "use_log", py::bool_(false)));
  in.T = static_cast<int64_t>(py::len(mi["timestamps"]));
  in.cells = py::int_(mi["height"]).cast<int64_t>() * py::int_(mi["width"]).cast<int64_t>();
  in.device = torch::Device(py_str(self.attr("device")));
  in.xyz = self.attr("xyz_cache").cast<torch::Tensor>();
  in.time_lut = self.attr("time_lut").cast<torch::Tensor>();
  py::object values = self.attr("cpu_values");
  if (!values.is_none()) {
    in.values = values.cast<torch::Tensor>();
    in.mask = self.attr("cpu_mask").cast<torch::Tensor>().reshape({-1});
  }
  if (s.block_factor > 1) {
    BlockLayout b;
    b.bh = bh;
    b.bw = bw;
    py::object shape = mi["original_shape"];
    b.H = py::int_(shape[py::int_(1)]).cast<int64_t>();
    b.W = py::int_(shape[py::int_(2)]).cast<int64_t>();
    py::object pm = attr_or(self, "_block_pixel_mask");
    if (!pm.is_none()) b.pixel_valid = pm.cast<torch::Tensor>().reshape({-1});
    in.blocks = b;
  }
  // During a save the passes run the network a reader rebuilds (on CPU, float32, no autocast).
  py::object decoder = attr_or(self, "_eval_network");
  const bool as_reader = !decoder.is_none();
  if (as_reader) in.device = torch::Device(torch::kCPU);
  s.net = std::make_shared<PyNetwork>(as_reader ? decoder : py::object(self.attr("model")));
  const bool amp = !as_reader && truthy(self.attr("use_amp"));
  auto net = s.net;
  in.forward = [net, amp](const torch::Tensor& coords) {
    training::AutocastGuard autocast(amp);
    return net->forward(coords).preds.to(torch::kFloat32);
  };
  return s;
}

py::object finalize_metrics_py(py::object self, py::object m_sse, py::object m_sae, py::object m_max,
                               py::object m_n, int64_t n_bands, py::object source) {
  MetricSums s;
  s.sse = m_sse.cast<torch::Tensor>();
  s.sae = m_sae.cast<torch::Tensor>();
  s.max = m_max.cast<torch::Tensor>();
  if (py::isinstance(m_n, py::module_::import("torch").attr("Tensor")))
    s.n = m_n.cast<torch::Tensor>();
  else
    s.n = torch::full({n_bands}, py::float_(m_n).cast<double>(), torch::TensorOptions().dtype(torch::kFloat64));
  const auto bands = finalize_metrics(s);
  if (!bands) return py::none();
  py::dict rec;
  rec["unit"] = "physical";
  rec["source"] = source;
  int64_t total = 0;
  py::list per_band;
  for (const auto& b : *bands) {
    py::dict d;
    d["rmse"] = b.rmse;
    d["mae"] = b.mae;
    d["max"] = b.max;
    d["n_valid"] = b.n_valid;
    per_band.append(d);
    total += b.n_valid;
  }
  rec["n_valid"] = total;
  rec["bands"] = per_band;
  return rec;
}

namespace {
py::object record_of(py::object self, const MetricSums& s, int64_t n_bands, const std::string& source) {
  return self.attr("_finalize_metrics")(s.sse, s.sae, s.max, s.n, n_bands, source);
}
}  // namespace

py::tuple compute_residuals(py::object self, py::object threshold, int64_t batch_size, py::object quantize) {
  print_line("Computing Physical Residuals (Threshold=" + py_str(threshold) + ", Quantize=" + py_str(quantize) +
             ")...");
  self.attr("model").attr("eval")();
  if (self.attr("cpu_values").is_none())
    throw py::value_error("compute_residuals needs the cube in memory (cpu_values); a streaming source is "
                          "scanned only during training");
  if (batch_size <= 0) throw py::value_error("batch_size must be a positive number of points");
  EvalSetup s = eval_setup(self);
  std::vector<double> thr;
  if (is_list_like(threshold)) {
    thr = floats_of(threshold);
    if (thr.size() == 1 && s.n_bands > 1) thr.assign(s.n_bands, thr[0]);
  } else {
    thr.assign(s.n_bands, py::float_(threshold).cast<double>());
  }
  for (double t : thr)
    if (!(t >= 0)) throw py::value_error("residual threshold must be a non-negative number, got " + py_str(threshold));
  thr = tile(thr, s.block_factor);
  print_line(strf(" -> Total Pixels to scan: %lld", (long long)(s.in.T * s.in.cells)));
  PyReporter rep;
  ResidualTrack track;
  {
    py::gil_scoped_release nogil;
    track = compute_residual_track(s.in, thr, batch_size, rep);
  }
  self.attr("_quality_metrics_base") = record_of(self, track.model, s.n_bands, "model");
  self.attr("_quality_metrics_resid") = record_of(self, track.residual, s.n_bands, "residual");
  return py::make_tuple(py::cast(track.idx).attr("numpy")(), py::cast(track.val).attr("numpy")());
}

py::object compute_quality_metrics(py::object self, int64_t n_frames, int64_t batch_size) {
  if (n_frames < 0) throw py::value_error(strf("n_frames must be non-negative, got %lld", (long long)n_frames));
  if (attr_or(self, "model").is_none()) return py::none();
  if (batch_size <= 0) throw py::value_error("batch_size must be a positive number of points");
  EvalSetup s = eval_setup(self);
  const std::vector<int64_t> frames = sample_frames(s.in.T, n_frames);
  std::vector<int64_t> eval_frames = frames;
  if (!s.in.values.defined()) {
    // Streamed training holds no cube: read the sampled frames from the source, already
    // normalised like the training targets, and score those.
    py::object source = self.attr("streaming_source");
    if (source.is_none() || frames.empty()) return py::none();
    py::module_ np = py::module_::import("numpy");
    py::object idx = np.attr("asarray")(py::cast(frames), py::arg("dtype") = np.attr("int64"));
    py::object cube = source.attr("read_timesteps")(idx);
    py::object flat = np.attr("ascontiguousarray")(cube.attr("reshape")(py::int_(-1), py::int_(s.n_bands)));
    s.in.values = py::module_::import("torch").attr("from_numpy")(flat).cast<torch::Tensor>();
    s.in.mask = torch::ones({s.in.values.size(0)}, torch::TensorOptions().dtype(torch::kBool));
    s.in.time_lut = s.in.time_lut.to(torch::kCPU).index_select(0, torch::tensor(frames));
    s.in.T = static_cast<int64_t>(frames.size());
    for (size_t i = 0; i < eval_frames.size(); ++i) eval_frames[i] = static_cast<int64_t>(i);
  }
  MetricSums sums;
  {
    py::gil_scoped_release nogil;
    sums = sampled_metrics(s.in, eval_frames, batch_size);
  }
  return record_of(self, sums, s.n_bands, strf("sampled(%zuf)", frames.size()));
}

}  // namespace qelm::shell
