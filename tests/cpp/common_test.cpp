#include <gtest/gtest.h>

#include "common.h"
#include "config.h"

namespace qelm {

TEST(PyFormat, FloatReprMatchesPython) {
  EXPECT_EQ(py_float_repr(0.01), "0.01");
  EXPECT_EQ(py_float_repr(1e-05), "1e-05");
  EXPECT_EQ(py_float_repr(0.0001), "0.0001");
  EXPECT_EQ(py_float_repr(100.0), "100.0");
  EXPECT_EQ(py_float_repr(-2.5), "-2.5");
  EXPECT_EQ(py_float_repr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(py_float_repr(1e16), "1e+16");
  EXPECT_EQ(py_float_repr(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(py_float_repr(1.5e-7), "1.5e-07");
  EXPECT_EQ(py_float_repr(0.0), "0.0");
}

TEST(PyFormat, FixedForms) {
  EXPECT_EQ(py_fmt_e(0.0004, 2), "4.00e-04");
  EXPECT_EQ(py_fmt_pct(0.5, 2), "50.00%");
  EXPECT_EQ(py_fmt_g(32767.0 / (0.5 + 1e-9), 4), "6.553e+04");
  EXPECT_EQ(torch_size_repr({1038240, 2}), "torch.Size([1038240, 2])");
  EXPECT_EQ(py_tuple_repr({4147200, 12}), "(4147200, 12)");
  EXPECT_EQ(py_tuple_repr({4147200}), "(4147200,)");
}

TEST(Config, TrainModeAliasAndPrecision) {
  EXPECT_EQ(canonical_train_mode("tcnn"), "tcnn_cuda");
  EXPECT_EQ(canonical_train_mode("tcnn_cpu"), "tcnn_cpu");
  EXPECT_TRUE(is_supported_train_mode("tcnn_cuda"));
  EXPECT_FALSE(is_supported_train_mode("torch"));
  EXPECT_EQ(split_train_mode("torch_cuda:1"), std::make_pair(std::string("torch"), std::string("cuda:1")));
  EXPECT_THROW(split_train_mode("torch"), std::invalid_argument);
  EXPECT_EQ(precision_for(true).bytes_per_pixel, 4);
  EXPECT_FALSE(precision_for(true).use_amp);
  EXPECT_EQ(precision_for(false).dtype, at::kHalf);
}

}  // namespace qelm
