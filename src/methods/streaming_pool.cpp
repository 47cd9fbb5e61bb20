// The streaming pool's Python side: its state lives in compressor attributes (so it outlives a
// training run), its frames come from the attached streaming source and its random numbers
// from NumPy's global generator. The pool logic itself is in training/pool.h; this file only
// answers its PoolHost questions, taking the GIL for each.
#include "methods/methods.h"

#include "models/network.h"
#include "training/importance.h"
#include "training/pool.h"

namespace qelm::shell {

namespace {

constexpr const char* kPoolData = "_streaming_pool_data";
constexpr const char* kPoolTimes = "_streaming_pool_time_indices";
constexpr const char* kPoolUses = "_streaming_pool_uses";

int64_t int_attr(py::handle self, const char* name, int64_t dflt) {
  py::object v = attr_or(self, name, py::int_(dflt));
  return py::module_::import("operator").attr("index")(v).cast<int64_t>();
}

torch::Tensor as_tensor(py::handle v) {
  if (THPVariable_Check(v.ptr())) return v.cast<torch::Tensor>();
  py::object np = py::module_::import("numpy");
  py::object arr = np.attr("asarray")(v);
  // from_numpy shares the memory; a read-only array (or one in a foreign byte order) is copied
  // first, which also spares the library's warning about writing to read-only memory.
  if (!arr.attr("flags").attr("writeable").cast<bool>() || !arr.attr("dtype").attr("isnative").cast<bool>())
    arr = np.attr("array")(arr, py::arg("dtype") = arr.attr("dtype").attr("newbyteorder")("="));
  return py::module_::import("torch").attr("from_numpy")(np.attr("ascontiguousarray")(arr)).cast<torch::Tensor>();
}

py::object to_numpy(const torch::Tensor& t) { return py::cast(t.contiguous()).attr("numpy")(); }

}  // namespace

// Errors raised on the Python side either propagate as they are (a method called from
// Python) or, on the producer thread, become plain C++ errors carrying str(e), the text that
// "Producer Thread Error: ..." shows.
class PyPoolHost : public training::PoolHost {
 public:
  PyPoolHost(py::object self, bool plain_errors) : self_(std::move(self)), plain_errors_(plain_errors) {}
  ~PyPoolHost() override {
    py::gil_scoped_acquire gil;
    self_ = py::object();
  }

  training::PoolSettings settings() override {
    return call([&] {
      training::PoolSettings s;
      s.chunks_in_pool = int_attr(self_, "_streaming_chunks_in_pool", s.chunks_in_pool);
      s.chunk_size = int_attr(self_, "_streaming_chunk_size", s.chunk_size);
      s.refresh_every = int_attr(self_, "_streaming_pool_refresh_every", s.refresh_every);
      return s;
    });
  }

  int64_t n_timesteps() override {
    return call([&] { return source().attr("n_timesteps").cast<int64_t>(); });
  }

  torch::Tensor read_frames(const torch::Tensor& time_indices) override {
    return call([&] { return as_tensor(source().attr("read_timesteps")(to_numpy(time_indices))); });
  }

  torch::Tensor choose_distinct(int64_t n, int64_t k) override {
    return call([&] {
      py::object random = py::module_::import("numpy").attr("random");
      return as_tensor(random.attr("choice")(n, py::arg("size") = k, py::arg("replace") = false));
    });
  }

  torch::Tensor draw_integers(int64_t high, int64_t count) override {
    return call([&] {
      py::object random = py::module_::import("numpy").attr("random");
      return as_tensor(random.attr("randint")(0, high, py::arg("size") = count)).to(torch::kLong);
    });
  }

  std::optional<training::StreamingPool> pool() override {
    return call([&]() -> std::optional<training::StreamingPool> {
      py::object data = attr_or(self_, kPoolData);
      py::object times = attr_or(self_, kPoolTimes);
      // Without its frame indices a pool cannot tell the time of its points: reload it.
      if (data.is_none() || times.is_none()) return std::nullopt;
      training::StreamingPool p;
      p.data = as_tensor(data);
      p.time_indices = as_tensor(times).reshape({-1}).to(torch::kLong);
      p.uses = int_attr(self_, kPoolUses, 0);
      return p;
    });
  }

  void store_pool(const training::StreamingPool& p) override {
    call([&] {
      self_.attr(kPoolData) = to_numpy(p.data);
      self_.attr(kPoolTimes) = to_numpy(p.time_indices);
      self_.attr(kPoolUses) = py::int_(p.uses);
      return 0;
    });
  }

  void store_uses(int64_t uses) override {
    call([&] {
      self_.attr(kPoolUses) = py::int_(uses);
      return 0;
    });
  }

  void release_pool_data() override {
    call([&] {
      if (has_attr(self_, kPoolData)) self_.attr(kPoolData) = py::none();
      return 0;
    });
  }

 private:
  py::object source() {
    py::object s = attr_or(self_, "streaming_source");
    if (s.is_none())
      throw py::value_error("the streaming pool needs a streaming source: call load_dataset_zarr_streaming first");
    return s;
  }

  template <typename F>
  auto call(F&& f) -> decltype(f()) {
    py::gil_scoped_acquire gil;
    if (!plain_errors_) return f();
    try {
      return f();
    } catch (py::error_already_set& e) {
      throw std::runtime_error(py_str(e.value()));
    }
  }

  py::object self_;
  bool plain_errors_;
};

namespace {

// The coordinate cache and the host time table, as the samplers read them.
std::pair<torch::Tensor, torch::Tensor> host_coordinates(py::object self) {
  py::object xyz = attr_or(self, "xyz_cache");
  py::object lut = attr_or(self, "time_lut");
  if (xyz.is_none() || lut.is_none())
    throw py::value_error("the streaming pool needs xyz_cache and time_lut: call prepare_training_data_optimized first");
  return {as_tensor(xyz).to(torch::kFloat), as_tensor(lut).to(torch::kCPU, torch::kFloat)};
}

}  // namespace

void refresh_streaming_pool(py::object self) {
  PyPoolHost host(self, /*plain_errors=*/false);
  py::gil_scoped_release nogil;
  training::refresh_pool(host);
}

py::tuple prepare_super_batch_streaming(py::object self, int64_t size) {
  auto [xyz, lut] = host_coordinates(self);
  PyPoolHost host(self, /*plain_errors=*/false);
  std::optional<training::SuperBatch> batch;
  {
    py::gil_scoped_release nogil;
    batch = training::draw_from_pool(host, xyz, lut, size);
  }
  if (!batch) return py::make_tuple(py::none(), py::none());
  return py::make_tuple(batch->coords, batch->targets);
}

std::unique_ptr<training::SuperBatchSampler> streaming_pool_sampler(py::object self,
                                                                     const training::CubeTensors& host_cube) {
  py::gil_scoped_acquire gil;
  return std::make_unique<training::PoolSampler>(std::make_shared<PyPoolHost>(self, /*plain_errors=*/true),
                                                 host_cube.xyz, host_cube.time_lut);
}

torch::Tensor importance_weights_py(py::object self, torch::Tensor valid_pos, torch::Tensor values,
                                    torch::Tensor xyz, torch::Tensor time_lut, int64_t spatial_size,
                                    int64_t batch, double alpha) {
  py::object model = attr_or(self, "model");
  if (model.is_none()) throw py::value_error("_importance_weights needs a model: call build_qelm_model first");
  if (spatial_size <= 0) throw py::value_error("spatial_size must be positive");
  const bool use_amp = truthy(attr_or(self, "use_amp", py::bool_(false)));
  PyNetwork net(model);
  training::CubeTensors cube;
  cube.values = values;
  cube.xyz = xyz;
  cube.time_lut = time_lut;
  cube.spatial_size = spatial_size;
  py::gil_scoped_release nogil;
  return training::importance_weights(net, use_amp, valid_pos.to(torch::kLong), cube, batch, alpha);
}

}  // namespace qelm::shell
