#include "query/order/ordering.hpp"

namespace zun_profile::detail {
namespace {

std::strong_ordering primary(SortBy sort_by, const GroupSummary& left,
                             const GroupSummary& right) noexcept {
  // "Larger first" compares right against left.
  switch (sort_by) {
    case SortBy::PhaseCycles:
      return right.phase_cycles <=> left.phase_cycles;
    case SortBy::WorkCycles:
      return right.work_cycles <=> left.work_cycles;
    case SortBy::MaximumCycles:
      return right.maximum_cycles <=> left.maximum_cycles;
    case SortBy::Samples:
      return right.sample_count <=> left.sample_count;
    case SortBy::Name:
      return left.name <=> right.name;
  }
  return std::strong_ordering::equal;
}

}  // namespace

std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right) noexcept {
  if (const auto order = primary(sort_by, left, right); order != 0) {
    return order;
  }
  if (const auto order = left.first_offset <=> right.first_offset; order != 0) {
    return order;
  }
  return left.name <=> right.name;
}

}  // namespace zun_profile::detail
