// libFuzzer target for partial answers as bytes. The input's first part
// decodes into a report and a request, whose partial is written to bytes;
// the rest edits those bytes (each edit a position and a byte), and the
// checksum is made right again so that the decoder's own checks are what
// stands between the damage and the merge. Whatever decodes must merge and
// finish without fault; whatever does not must be std::invalid_argument.
// The whole input is also decoded as it is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <vector>

#include "query/partial.hpp"
#include "store/checksum.hpp"
#include "tests/support/random_case.hpp"

namespace {

void decode_and_use(std::span<const std::byte> bytes,
                    const zun_profile::Query& request) {
  try {
    zun_profile::QueryPartial partial =
        zun_profile::partial_from_bytes(bytes);
    zun_profile::QueryPartial twice = partial;
    zun_profile::merge(partial, std::move(twice));
    (void)zun_profile::to_bytes(partial);
    (void)zun_profile::finish(std::move(partial), request);
  } catch (const std::invalid_argument&) {
    // refused, as damaged bytes must be
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto raw = std::as_bytes(std::span(data, size));
  decode_and_use(raw, zun_profile::Query{});

  const std::size_t split = size / 2;
  zun_profile::support::Entropy entropy(std::span(data, split));
  const zun_package::ProfileReport report =
      zun_profile::support::random_report(entropy);
  const zun_profile::Query request =
      zun_profile::support::random_query(entropy, report);
  const auto store = zun_store::ReportStore::from_report(report);
  std::vector<std::byte> bytes = zun_profile::to_bytes(zun_profile::partial_query(
      store, request, 0, store.tile_count()));
  constexpr std::size_t kHeader = 28;  // magic, version, length, checksum
  for (std::size_t at = split; at + 3 <= size; at += 3) {
    const std::size_t position =
        (std::size_t{data[at]} << 8 | data[at + 1]) % (bytes.size() + 1);
    if (position == bytes.size()) {
      if (!bytes.empty()) bytes.resize(data[at + 2] % bytes.size());  // cut
    } else {
      bytes[position] = static_cast<std::byte>(data[at + 2]);
    }
  }
  if (bytes.size() >= kHeader) {
    zun_store::Checksum sum;
    sum.add(std::span(bytes).subspan(kHeader));
    const std::uint64_t value = sum.value();
    for (std::size_t i = 0; i < 8; ++i) {
      bytes[20 + i] = static_cast<std::byte>(value >> (8 * i));
    }
  }
  decode_and_use(bytes, request);
  return 0;
}
