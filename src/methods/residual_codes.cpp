#include "methods/residual_codes.h"

#include <pybind11/numpy.h>

#include <limits>

namespace qelm::shell {

namespace rc = residual_codec;

namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

std::string shape_text(const py::array& a) { return py_str(py::tuple(a.attr("shape"))); }

// Holds a bytes object (other buffers are copied once) and views its contents.
struct BlobArg {
  py::bytes owner;
  std::string_view view;
  explicit BlobArg(py::handle obj) {
    if (py::isinstance<py::str>(obj)) throw py::type_error("expected bytes, got str");
    owner = py::isinstance<py::bytes>(obj) ? py::reinterpret_borrow<py::bytes>(obj)
                                           : py::bytes(py::module_::import("builtins").attr("bytes")(obj));
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(owner.ptr(), &p, &n) != 0) throw py::error_already_set();
    view = std::string_view(p, static_cast<size_t>(n));
  }
};

rc::Options make_options(int64_t key_interval, py::object layouts) {
  if (key_interval < 1 || key_interval > std::numeric_limits<uint32_t>::max())
    throw py::value_error("key_interval must be between 1 and 2**32 - 1, got " + std::to_string(key_interval));
  rc::Options o;
  o.key_interval = static_cast<uint32_t>(key_interval);
  if (!layouts.is_none()) {
    if (py::isinstance<py::str>(layouts)) throw py::type_error("layouts must be a sequence of layout names");
    o.layouts = (1u << rc::kZero) | (1u << rc::kRaw);
    for (auto l : layouts) {
      const std::string name = py_str(l);
      int found = -1;
      for (int i = 0; i < rc::kLayoutCount; ++i)
        if (name == rc::layout_name(static_cast<uint8_t>(i))) found = i;
      if (found < 0) throw py::value_error("unknown residual code layout '" + name + "'");
      o.layouts |= 1u << found;
    }
  }
  return o;
}

// An integer array whose values all fit int32, as a C-contiguous int32 array; anything else is
// refused rather than cast, since a wrapped or truncated code would break the bound.
py::array_t<int32_t> int32_codes(py::object codes, int64_t ndim) {
  py::array a = numpy().attr("asarray")(codes);
  const std::string kind = py::str(a.dtype().attr("kind"));
  if (kind != "i" && kind != "u")
    throw py::value_error("residual codes must be integers, got dtype " + py_str(a.dtype()));
  if (a.ndim() != ndim)
    throw py::value_error("residual codes must have shape (T, H, W, C), got " + shape_text(a));
  if (!a.dtype().equal(py::dtype::of<int32_t>()) && a.size() > 0) {
    const py::int_ lo = a.attr("min")(), hi = a.attr("max")();
    if (lo.cast<double>() < std::numeric_limits<int32_t>::min() ||
        hi.cast<double>() > std::numeric_limits<int32_t>::max())
      throw py::value_error("residual codes must fit int32, got values from " + py_str(lo) + " to " + py_str(hi));
  }
  return numpy().attr("ascontiguousarray")(a, py::arg("dtype") = "int32");
}

// The validity of T frames of (H, W, C): None or (1 or T, H, W[, C]) of bools or integers.
struct Validity {
  py::array keep;
  rc::MaskView view;
};

Validity validity(py::object valid, int64_t T, int64_t H, int64_t W, int64_t C) {
  Validity v;
  if (valid.is_none()) return v;
  py::array a = numpy().attr("asarray")(valid);
  const std::string kind = py::str(a.dtype().attr("kind"));
  if (kind != "b" && kind != "i" && kind != "u")
    throw py::value_error("valid must be a boolean array, got dtype " + py_str(a.dtype()));
  const bool ok = (a.ndim() == 3 || a.ndim() == 4) && (a.shape(0) == 1 || a.shape(0) == T) && a.shape(1) == H &&
                  a.shape(2) == W && (a.ndim() == 3 || a.shape(3) == C);
  if (!ok)
    throw py::value_error("valid has shape " + shape_text(a) + ", expected (1 or " + std::to_string(T) + ", " +
                          std::to_string(H) + ", " + std::to_string(W) + ") or with " + std::to_string(C) +
                          " bands last");
  v.keep = numpy().attr("ascontiguousarray")(a.attr("__ne__")(0), py::arg("dtype") = "bool");
  v.view.valid = static_cast<const uint8_t*>(v.keep.data());
  v.view.frames = a.shape(0);
  v.view.per_band = a.ndim() == 4;
  return v;
}

std::vector<int64_t> shape4(py::object shape) {
  std::vector<int64_t> s;
  for (auto d : shape) s.push_back(py::module_::import("operator").attr("index")(d).cast<int64_t>());
  if (s.size() != 4) throw py::value_error("shape must be (T, H, W, C), got " + py_repr(shape));
  for (int64_t d : s)
    if (d < 0) throw py::value_error("shape must not be negative, got " + py_repr(shape));
  return s;
}

}  // namespace

py::bytes encode_residual_codes(py::object codes, py::object valid, int64_t key_interval, py::object layouts) {
  const rc::Options opt = make_options(key_interval, layouts);
  const py::array_t<int32_t> a = int32_codes(codes, 4);
  const int64_t T = a.shape(0), H = a.shape(1), W = a.shape(2), C = a.shape(3);
  const Validity v = validity(valid, T, H, W, C);
  std::string out;
  {
    py::gil_scoped_release nogil;
    out = rc::encode(a.data(), T, H, W, C, v.view, opt);
  }
  return py::bytes(out.data(), out.size());
}

py::object decode_residual_codes(py::object blob, py::object valid, py::object shape, int64_t t0, py::object t1,
                                 bool verify, py::object valid_from) {
  BlobArg b(blob);
  const std::vector<int64_t> s = shape4(shape);
  const int64_t T = s[0], H = s[1], W = s[2], C = s[3];
  const int64_t end = t1.is_none() ? T : py::module_::import("operator").attr("index")(t1).cast<int64_t>();
  // A window of frames [first, first + F) of validity instead of the whole series: a reader of a
  // long series with changing no-data passes the frames from t0's key frame on, not all T.
  const bool window = !valid_from.is_none();
  const int64_t first = window ? py::module_::import("operator").attr("index")(valid_from).cast<int64_t>() : 0;
  int64_t frames_given = T;
  if (window) {
    if (valid.is_none()) throw py::value_error("valid_from needs the validity of those frames");
    frames_given = py::len(valid);
    if (first < 0 || frames_given < 1 || first + frames_given > T)
      throw py::value_error("valid_from " + std::to_string(first) + " with " + std::to_string(frames_given) +
                            " frames of validity lies outside [0, " + std::to_string(T) + ")");
  }
  const Validity v = validity(valid, frames_given, H, W, C);
  std::optional<rc::CodeReader> reader;
  {
    py::gil_scoped_release nogil;
    reader.emplace(b.view, T, H, W, C, verify);
  }
  if (t0 < 0 || end < t0 || end > T)
    throw py::value_error("frames [" + std::to_string(t0) + ", " + std::to_string(end) + ") are outside [0, " +
                          std::to_string(T) + ")");
  // Sized by the caller's shape, which the header has just matched.
  py::array_t<int32_t> out(std::vector<py::ssize_t>{end - t0, H, W, C});
  int32_t* dst = out.mutable_data();
  {
    py::gil_scoped_release nogil;
    reader->decode(t0, end, [&](int64_t t) {
      if (window && v.view.frames > 1 && (t < first || t >= first + frames_given))
        throw std::invalid_argument("residual codes: the validity of frame " + std::to_string(t) +
                                    " is needed but was not given (valid_from " + std::to_string(first) + ")");
      return v.view.frame(window && v.view.frames > 1 ? t - first : t, H, W, C);
    }, dst);
  }
  return std::move(out);
}

py::dict describe_residual_codes(py::object blob) {
  BlobArg b(blob);
  rc::Description d;
  {
    py::gil_scoped_release nogil;
    d = rc::describe(b.view);
  }
  py::list frames;
  for (const auto& f : d.frames) {
    py::dict fd;
    fd["offset"] = f.offset;
    fd["bytes"] = f.length;
    fd["key"] = f.key;
    py::list names;
    for (uint8_t l : f.layouts) names.append(rc::layout_name(l));
    fd["layouts"] = names;
    frames.append(fd);
  }
  py::dict counts;
  for (int i = 0; i < rc::kLayoutCount; ++i)
    if (d.layout_counts[i]) counts[rc::layout_name(static_cast<uint8_t>(i))] = d.layout_counts[i];
  py::dict out;
  out["version"] = static_cast<int>(rc::kVersion);
  out["shape"] = py::make_tuple(d.T, d.H, d.W, d.C);
  out["key_interval"] = d.key_interval;
  out["header_bytes"] = d.header_bytes;
  out["total_bytes"] = b.view.size();
  out["layout_counts"] = counts;
  out["frames"] = frames;
  return out;
}

ResidualCodeWriter::ResidualCodeWriter(int64_t H, int64_t W, int64_t C, int64_t key_interval, py::object layouts)
    : H_(H), W_(W), C_(C), writer_(H, W, C, make_options(key_interval, layouts)) {}

void ResidualCodeWriter::add(py::object codes, py::object valid) {
  const py::array_t<int32_t> a = int32_codes(codes, 4);
  if (a.shape(1) != H_ || a.shape(2) != W_ || a.shape(3) != C_)
    throw py::value_error("frames of shape (" + std::to_string(H_) + ", " + std::to_string(W_) + ", " +
                          std::to_string(C_) + ") expected, got " + shape_text(a));
  const int64_t B = a.shape(0);
  const Validity v = validity(valid, B, H_, W_, C_);
  py::gil_scoped_release nogil;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int64_t t = 0; t < B; ++t) writer_.add_frame(a.data() + t * H_ * W_ * C_, v.view.frame(t, H_, W_, C_));
}

py::bytes ResidualCodeWriter::finish() const {
  std::string out;
  {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(mutex_);
    out = writer_.finish();
  }
  return py::bytes(out.data(), out.size());
}

}  // namespace qelm::shell
