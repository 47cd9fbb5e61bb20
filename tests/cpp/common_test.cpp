#include <gtest/gtest.h>

#include "common.h"

namespace qelm {

TEST(PyFormat, ReprsMatchPython) {
  for (const auto& [value, text] : std::vector<std::pair<double, std::string>>{
           {0.01, "0.01"}, {1e-05, "1e-05"}, {0.0001, "0.0001"}, {100.0, "100.0"}, {-2.5, "-2.5"},
           {0.1 + 0.2, "0.30000000000000004"}, {1e16, "1e+16"}, {123456789012345.0, "123456789012345.0"},
           {1.5e-7, "1.5e-07"}, {0.0, "0.0"}})
    EXPECT_EQ(py_float_repr(value), text);
  EXPECT_EQ(py_tuple_repr({4147200}), "(4147200,)");
}

}  // namespace qelm
