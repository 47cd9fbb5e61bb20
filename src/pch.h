// Precompiled header of the core: the tensor library's headers dominate compile time.
#pragma once
#include <torch/torch.h>
#include <ATen/Parallel.h>
#include <ATen/autocast_mode.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
