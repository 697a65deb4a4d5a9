// libFuzzer target over store bytes: whatever the bytes, checking them
// either refuses them with a StoreError or gives a store that every query
// and the records' round trip can read whole. The first byte picks the
// input's form: raw bytes, or a valid store (of either version) of a
// decoded report damaged at decoded places, with or without its checksums made right again (so that
// the checks behind them are reached).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "query/activity.hpp"
#include "query/query.hpp"
#include "store/report_store.hpp"
#include "tests/support/random_case.hpp"
#include "tests/support/store_bytes.hpp"

namespace {

void read_whole(std::span<const std::byte> bytes,
                zun_profile::support::Entropy& entropy) {
  try {
    const auto store = zun_store::ReportStore::from_bytes(bytes, "input");
    const zun_package::ProfileReport records = store.to_report();
    for (int by = 0; by < 6; ++by) {
      zun_profile::Query request =
          zun_profile::support::random_query(entropy, records);
      request.group_by = static_cast<zun_profile::GroupBy>(by);
      const auto result = zun_profile::query(store, request);
      if (result.matched_sample_count > result.sample_count) std::abort();
    }
    zun_profile::activity(store, {}, 7);
  } catch (const zun_store::StoreError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t form = data[0] % 3;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  zun_profile::support::Entropy entropy(rest);
  if (form == 0) {
    read_whole(std::as_bytes(rest), entropy);
    return 0;
  }
  const zun_package::ProfileReport report =
      zun_profile::support::random_report(entropy);
  // Either layout: version 1 checks at opening, version 2 block by block
  // as queries read.
  const auto good = zun_store::ReportStore::from_report(
      report, entropy.chance(2) ? zun_store::StoreVersion::v2
                                : zun_store::StoreVersion::v1);
  std::vector<std::byte> bytes(good.bytes().begin(), good.bytes().end());
  for (std::uint64_t n = entropy.below(5); n > 0 && !bytes.empty(); --n) {
    if (entropy.chance(6)) {
      bytes.resize(static_cast<std::size_t>(entropy.below(bytes.size())));
    } else {
      bytes[static_cast<std::size_t>(entropy.below(bytes.size()))] ^=
          static_cast<std::byte>(1 + entropy.below(255));
    }
  }
  if (form == 2) zun_profile::support::resum_store(bytes);
  read_whole(bytes, entropy);
  return 0;
}
