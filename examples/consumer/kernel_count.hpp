#pragma once

#include <cstddef>

// How many kernels ran in a small built-in report. Lives in a shared library
// that links zun::profile, as a user's plugin or wrapper library would.
std::size_t kernel_count();
