#pragma once

// Handing a pass's tasks to a caller's TaskRunner. Internal: not installed.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <vector>

#include "query/parallel.hpp"

namespace zun_profile::detail {

// Hands `count` tasks to `run`, each wrapped so that what it throws is kept
// and thrown here once all have ended (the first, by task number).
template <typename Task>
void run_tasks(const TaskRunner& run, std::size_t count, Task&& task) {
  if (count == 0) return;
  std::vector<std::exception_ptr> failures(count);
  std::vector<std::uint8_t> done(count, 0);
  const std::function<void(std::size_t)> wrapped = [&](std::size_t i) {
    if (i >= count || done[i] != 0) return;
    try {
      task(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
    done[i] = 1;
  };
  if (run) {
    run(count, wrapped);
  } else {  // no runner: the calling thread runs them
    for (std::size_t i = 0; i < count; ++i) wrapped(i);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (failures[i]) std::rethrow_exception(failures[i]);
  }
  for (const std::uint8_t ran : done) {
    if (ran == 0) {
      throw std::logic_error(
          "query: the task runner returned before running every task");
    }
  }
}

}  // namespace zun_profile::detail
