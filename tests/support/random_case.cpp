#include "tests/support/random_case.hpp"

#include <array>
#include <sstream>
#include <string_view>
#include <utility>

namespace zun_profile::support {
namespace {

constexpr std::array<std::string_view, 5> kKernels = {"", "(no kernel)", "add",
                                                      "Add", "gemm"};
constexpr std::array<std::string_view, 5> kOperations = {
    "", "op", "matmul", "fused_add_op", "(missing)"};
constexpr std::array<std::string_view, 4> kNames = {"block", "", "Block",
                                                    "tag"};
constexpr std::array<std::string_view, 4> kValues = {"0", "1", "", "(missing)"};

template <std::size_t N>
std::string pick(Entropy& e, const std::array<std::string_view, N>& from) {
  return std::string(from[e.below(N)]);
}

// Counter values clustered near 0 and near 2^32, so that starts, ends and
// time bases wrap.
std::uint32_t counter(Entropy& e) {
  const std::uint32_t near = static_cast<std::uint32_t>(e.below(64));
  switch (e.below(3)) {
    case 0:
      return near;
    case 1:
      return static_cast<std::uint32_t>(0u - 1u - near);
    default:
      return static_cast<std::uint32_t>(e.below(1ull << 32));
  }
}

}  // namespace

std::uint64_t Entropy::below(std::uint64_t bound) {
  if (bound == 0) return 0;
  if (!from_bytes_) return random_() % bound;
  std::uint64_t value = 0;
  for (std::uint64_t reach = 1; reach < bound && reach != 0; reach <<= 8) {
    if (bytes_.empty()) break;
    value = (value << 8) | bytes_.front();
    bytes_ = bytes_.subspan(1);
    if (reach > (UINT64_MAX >> 8)) break;
  }
  return value % bound;
}

zun_package::ProfileReport random_report(Entropy& e) {
  zun_package::ProfileReport report;
  const std::uint64_t clocks[] = {0,          1,          3,         1000,
                                  1000000000, 1500000000, UINT64_MAX};
  report.clock_hz = clocks[e.below(std::size(clocks))];
  // Most reports are a few short tiles; some are one long tile, where each
  // list's runs arrive already in order.
  const bool one_long_tile = e.chance(8);
  const std::size_t tiles = one_long_tile ? 1 : e.below(7);
  const std::size_t kernels = 1 + e.below(3);  // how many names this report
  // Phases and epochs: a few small numbers, one per sample, or spread over
  // all 32 bits, so that no 64-bit sort key holds them.
  const std::uint64_t phase_spread = e.below(3);
  for (std::size_t t = 0; t < tiles; ++t) {
    zun_package::TileProfile tile;
    tile.physical_tile = static_cast<std::uint32_t>(e.below(4));  // repeats
    const std::size_t samples = one_long_tile ? 20 + e.below(60) : e.below(13);
    std::uint32_t at = counter(e);
    for (std::size_t i = 0; i < samples; ++i) {
      zun_package::CycleSample sample;
      zun_package::ProfileStep& step = sample.step;
      step.local_index = static_cast<std::uint32_t>(i);
      switch (phase_spread) {
        case 0:
          step.phase = static_cast<std::uint32_t>(e.below(3));
          step.epoch = static_cast<std::uint32_t>(e.below(2));
          break;
        case 1:
          step.phase = static_cast<std::uint32_t>(i);
          step.epoch = static_cast<std::uint32_t>(e.below(2));
          break;
        default:
          step.phase = static_cast<std::uint32_t>(
              e.chance(3) ? e.below(2) : e.below(1ull << 32));
          step.epoch =
              static_cast<std::uint32_t>(e.chance(3) ? 0 : e.below(1ull << 32));
      }
      // Now and then a kind value far outside the four.
      step.kind = static_cast<zun_package::ProfileStepKind>(
          e.chance(24) ? e.below(1ull << 32) : e.below(5));
      step.kernel =
          std::string(kKernels[e.below(kernels + 1) % kKernels.size()]);
      step.operation = pick(e, kOperations);
      if (e.chance(16)) {  // any bytes, NUL and 0xFF included
        step.operation.clear();
        for (std::uint64_t n = e.below(6); n > 0; --n) {
          step.operation.push_back(static_cast<char>(e.below(256)));
        }
      }
      const std::size_t entries = e.below(4);
      for (std::size_t m = 0; m < entries; ++m) {
        step.metadata.push_back({pick(e, kNames), pick(e, kValues)});
      }
      // Mostly in time order, back to back or with a gap; sometimes
      // anywhere, zero-length or reversed.
      switch (e.below(6)) {
        case 0:
          sample.start_cycle = counter(e);
          break;
        case 1:
          sample.start_cycle = at - static_cast<std::uint32_t>(e.below(50));
          break;
        default:
          sample.start_cycle = at + static_cast<std::uint32_t>(e.below(20));
      }
      switch (e.below(8)) {
        case 0:
          sample.end_cycle = sample.start_cycle;
          break;
        case 1:
          sample.end_cycle = counter(e);
          break;
        case 2:
          sample.end_cycle = sample.start_cycle - 1u;  // lasts 2^32 - 1
          break;
        default:
          sample.end_cycle =
              sample.start_cycle + static_cast<std::uint32_t>(e.below(40));
      }
      at = sample.end_cycle;
      tile.samples.push_back(std::move(sample));
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

Query random_query(Entropy& e, const zun_package::ProfileReport& report) {
  Query q;
  q.group_by = static_cast<GroupBy>(e.below(6));
  q.sort_by = static_cast<SortBy>(e.below(5));
  if (e.chance(5)) q.kind = static_cast<StepKind>(e.below(5));
  if (e.chance(6)) q.kernel = pick(e, kKernels);
  if (e.chance(6)) q.operation_contains = pick(e, kOperations).substr(0, 3);
  if (e.chance(6)) {
    for (std::uint64_t n = e.below(3); n > 0; --n) {
      q.tiles.insert(static_cast<std::uint32_t>(e.below(5)));
    }
  }
  if (e.chance(6)) {
    for (std::uint64_t n = e.below(3); n > 0; --n) {
      q.phases.insert(static_cast<std::uint32_t>(e.below(4)));
    }
  }
  if (e.chance(4)) {
    for (std::uint64_t n = 1 + e.below(2); n > 0; --n) {
      MetadataFilter filter;
      filter.name = pick(e, kNames);
      if (e.chance(2)) filter.value = pick(e, kValues);
      q.metadata.push_back(filter);
    }
  }
  if (e.chance(2)) q.metadata_key = pick(e, kNames);
  if (e.chance(4)) {
    // A boundary of some sample's run interval, or an extreme.
    std::uint64_t at = e.below(100);
    if (!report.tiles.empty() && e.chance(2)) {
      const auto& tile = report.tiles[e.below(report.tiles.size())];
      if (!tile.samples.empty()) {
        const auto& s = tile.samples[e.below(tile.samples.size())];
        const std::uint64_t offset = static_cast<std::uint32_t>(
            s.start_cycle - tile.samples.front().start_cycle);
        at = offset +
             (e.chance(2)
                  ? static_cast<std::uint32_t>(s.end_cycle - s.start_cycle)
                  : 0) -
             (e.chance(3) && offset > 0 ? 1 : 0);
      }
    }
    if (e.chance(10)) at = UINT64_MAX;
    q.at_offset = at;
  }
  if (e.chance(4)) {
    // Ends at sample boundaries, a cycle either side, or extremes; now and
    // then an empty or reversed window.
    auto boundary = [&]() -> std::uint64_t {
      std::uint64_t at = e.below(100);
      if (!report.tiles.empty() && e.chance(2)) {
        const auto& tile = report.tiles[e.below(report.tiles.size())];
        if (!tile.samples.empty()) {
          const auto& s = tile.samples[e.below(tile.samples.size())];
          at = static_cast<std::uint32_t>(s.start_cycle -
                                          tile.samples.front().start_cycle);
          if (e.chance(2)) {
            at += static_cast<std::uint32_t>(s.end_cycle - s.start_cycle);
          }
          if (e.chance(3)) at += 1;
          if (e.chance(3) && at > 0) at -= 1;
        }
      }
      if (e.chance(12)) at = UINT64_MAX;
      return at;
    };
    TimeWindow window{boundary(), boundary()};
    if (window.to < window.from && !e.chance(8)) {
      std::swap(window.from, window.to);
    }
    if (e.chance(6)) window.from = 0;
    q.window = window;
  }
  const std::size_t limits[] = {0, 1, 2, 3, 1000, SIZE_MAX};
  if (e.chance(3)) q.limit = limits[e.below(std::size(limits))];
  if (e.chance(2)) q.sample_limit = limits[e.below(std::size(limits))];
  return q;
}

std::string describe(const zun_package::ProfileReport& report, const Query& q) {
  std::ostringstream out;
  out << "report clock_hz=" << report.clock_hz << "\n";
  for (const auto& tile : report.tiles) {
    out << "  tile " << tile.physical_tile << ":";
    for (const auto& s : tile.samples) {
      out << " [" << s.start_cycle << ".." << s.end_cycle << " p"
          << s.step.phase << "/" << s.step.epoch << " k"
          << static_cast<std::uint32_t>(s.step.kind) << " '" << s.step.kernel
          << "' '" << s.step.operation << "'";
      for (const auto& m : s.step.metadata) {
        out << " " << m.name << "=" << m.value;
      }
      out << "]";
    }
    out << "\n";
  }
  out << "query group_by=" << static_cast<int>(q.group_by)
      << " sort_by=" << static_cast<int>(q.sort_by);
  if (q.kind) out << " kind=" << static_cast<int>(*q.kind);
  if (q.kernel) out << " kernel='" << *q.kernel << "'";
  if (q.operation_contains)
    out << " operation~'" << *q.operation_contains << "'";
  for (auto t : q.tiles) out << " tile=" << t;
  for (auto p : q.phases) out << " phase=" << p;
  for (const auto& f : q.metadata) {
    out << " meta=" << f.name << (f.value ? "=" + *f.value : "");
  }
  if (q.metadata_key) out << " key='" << *q.metadata_key << "'";
  if (q.at_offset) out << " at=" << *q.at_offset;
  if (q.window) out << " window=" << q.window->from << ".." << q.window->to;
  if (q.limit) out << " limit=" << *q.limit;
  out << " sample_limit=" << q.sample_limit << "\n";
  return out.str();
}

}  // namespace zun_profile::support
