// Calls into the shared library that carries the engine.
#include <cstdio>

#include "kernel_count.hpp"

int main() {
  std::printf("kernels, through a shared library: %zu\n", kernel_count());
  return kernel_count() == 2 ? 0 : 1;
}
