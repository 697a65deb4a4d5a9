// Writes a program-shaped run as a store, tile by tile with StoreWriter:
// every tile runs the same steps epoch after epoch, each with its own
// durations, gaps and counter start (tests/support/program_run.hpp). The
// defaults are a real run's size: 1472 tiles x 512 steps x 132 epochs, about
// 10^8 samples and 68,000 distinct steps. Prints what it wrote and how fast.
#include "tests/support/program_run.hpp"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "store/report_store.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zun_program_run OUT.zun [--tiles N] [--steps N] [--epochs N]\n"
    "                       [--jitter F] [--skip F] [--seed N]\n"
    "  --tiles N   tiles, each running the whole program (default 1472)\n"
    "  --steps N   steps of the program, run once an epoch (default 512)\n"
    "  --epochs N  times the program runs (default 132)\n"
    "  --jitter F  how far each tile's durations stray, 0 to 1 (default 0.1)\n"
    "  --skip F    chance that a tile skips a step, 0 to below 1 (default 0)\n"
    "  --seed N    the same seed writes the same run (default 1)\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr,
               "zun_program_run: %s\n"
               "usage: zun_program_run OUT.zun [--tiles N] [--steps N] "
               "[--epochs N] [--jitter F] [--skip F] [--seed N] (--help: "
               "what each means)\n",
               message.c_str());
  return 2;
}

bool parse_count(std::string_view text, std::uint64_t& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

bool parse_fraction(std::string_view text, double& value) {
  if (text.empty()) return false;
  const std::string copy(text);
  char* stop = nullptr;
  value = std::strtod(copy.c_str(), &stop);
  return stop == copy.c_str() + copy.size() && value == value;  // not NaN
}

}  // namespace

int main(int argc, char** argv) {
  zun_profile::support::ProgramShape shape;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!arg.starts_with("-")) {
      if (!out.empty())
        return usage_error("one output path only: " + out + " and " +
                           std::string(arg));
      out = arg;
      continue;
    }
    if (i + 1 == argc) {
      return usage_error(std::string(arg) + " needs a value");
    }
    const std::string_view value = argv[++i];
    std::uint64_t count = 0;
    double fraction = 0.0;
    const std::string bad =
        std::string(arg) + ": not a valid value: '" + std::string(value) + "'";
    if (arg == "--tiles" || arg == "--steps" || arg == "--epochs") {
      if (!parse_count(value, count) || count == 0) {
        return usage_error(bad + " (a whole number above 0)");
      }
      if (count > (std::uint64_t{1} << 32)) {
        return usage_error(bad + " (at most 2^32)");
      }
      const auto n = static_cast<std::size_t>(count);
      if (arg == "--tiles") shape.tiles = n;
      if (arg == "--steps") shape.steps_per_epoch = n;
      if (arg == "--epochs") shape.epochs = n;
    } else if (arg == "--seed") {
      if (!parse_count(value, count)) {
        return usage_error(bad + " (a whole number)");
      }
      shape.seed = count;
    } else if (arg == "--jitter") {
      if (!parse_fraction(value, fraction) || fraction < 0.0 ||
          fraction > 1.0) {
        return usage_error(bad + " (a fraction from 0 to 1)");
      }
      shape.jitter = fraction;
    } else if (arg == "--skip") {
      if (!parse_fraction(value, fraction) || fraction < 0.0 ||
          fraction >= 1.0) {
        return usage_error(bad + " (a chance from 0 to below 1)");
      }
      shape.skip = fraction;
    } else {
      return usage_error("unknown option " + std::string(arg));
    }
  }
  if (out.empty()) return usage_error("no output path");
  if (std::uint64_t{shape.steps_per_epoch} * shape.epochs >
      (std::uint64_t{1} << 32)) {
    return usage_error("--steps x --epochs: at most 2^32 samples a tile");
  }

  const auto start = std::chrono::steady_clock::now();
  zun_profile::support::ProgramWritten written;
  try {
    written = zun_profile::support::write_program_store(shape, out);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zun_program_run: %s\n", error.what());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  const auto bytes = std::filesystem::file_size(out);
  const double samples =
      static_cast<double>(written.samples > 0 ? written.samples : 1);
  std::printf(
      "%s: %zu tiles x %zu steps x %zu epochs, jitter %g, skip %g, seed %llu\n"
      "samples written  %zu\n"
      "distinct steps   %zu\n"
      "file bytes       %llu\n"
      "bytes a sample   %.2f\n"
      "seconds          %.3f\n"
      "ns a sample      %.1f\n"
      "writer seconds   %.3f (the rest makes the records)\n"
      "writer ns a sample %.1f\n",
      out.c_str(), shape.tiles, shape.steps_per_epoch, shape.epochs,
      shape.jitter, shape.skip, static_cast<unsigned long long>(shape.seed),
      written.samples, written.distinct_steps,
      static_cast<unsigned long long>(bytes),
      static_cast<double>(bytes) / samples, seconds, seconds / samples * 1e9,
      written.writer_seconds, written.writer_seconds / samples * 1e9);
  return 0;
}
