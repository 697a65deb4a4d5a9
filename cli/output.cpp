#include "cli/output.hpp"

#include <cstdio>
#include <iostream>

namespace profile_query {
namespace {

constexpr const char* kCannotWrite = "profile-query: cannot write the output\n";

}  // namespace

bool write_output(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
      std::fflush(stdout) == 0) {
    return true;
  }
  std::cerr << kCannotWrite;
  return false;
}

ExitStatus finish_parse(ExitStatus status) {
  // --help and --version wrote to std::cout.
  if (status == 0 && !std::cout.flush()) {
    std::cerr << kCannotWrite;
    return 1;
  }
  return status;
}

}  // namespace profile_query
