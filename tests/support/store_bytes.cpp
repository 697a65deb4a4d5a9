#include "tests/support/store_bytes.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "store/checksum.hpp"
#include "store/report_store.hpp"
#include "store/store_format.hpp"

namespace zun_profile::support {
namespace {

using Field = zun_store::format::HeaderField;

std::uint64_t load(const std::vector<std::byte>& bytes, std::size_t at) {
  std::uint64_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

}  // namespace

std::vector<std::byte> store_bytes(const zun_package::ProfileReport& report,
                                   const std::filesystem::path& folder,
                                   zun_store::StoreVersion version) {
  const std::filesystem::path path = folder / "bytes.zun";
  zun_store::write_store(report, path, version);
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  std::vector<std::byte> bytes(chars.size());
  std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

namespace {

bool second_version(const std::vector<std::byte>& bytes) {
  return bytes.size() >= 12 &&
         std::to_integer<int>(bytes[Field::kVersion]) == 2;
}

// Each block's checksum of a version 2 store, as its columns now are.
void resum_blocks(std::vector<std::byte>& bytes) {
  namespace v2 = zun_store::format::v2;
  const std::uint64_t samples = load(bytes, Field::kSampleCount);
  const std::uint64_t per_block = load(bytes, v2::HeaderField::kBlockSamples);
  const std::uint64_t blocks_at = section_offset(bytes, v2::kBlocks);
  const std::uint64_t columns_at = section_offset(bytes, v2::kSamples);
  if (per_block == 0 || samples > bytes.size()) return;
  const std::uint64_t stride = (4 * samples + 63) / 64 * 64;
  if (columns_at > bytes.size() ||
      3 * stride > bytes.size() - columns_at) {
    return;
  }
  for (std::uint64_t first = 0, b = 0; first < samples;
       first += per_block, ++b) {
    const std::uint64_t entry = blocks_at + b * v2::kBlockEntrySize;
    if (entry > bytes.size() || bytes.size() - entry < 8) return;
    const std::uint64_t count = std::min(per_block, samples - first);
    zun_store::Checksum sum;
    for (std::uint64_t c = 0; c < 3; ++c) {
      sum.add(std::span(bytes).subspan(
          static_cast<std::size_t>(columns_at + c * stride + 4 * first),
          static_cast<std::size_t>(4 * count)));
    }
    const std::uint64_t value = sum.value();
    std::memcpy(bytes.data() + entry, &value, sizeof(value));
  }
}

}  // namespace

std::size_t section_offset(const std::vector<std::byte>& bytes,
                           std::size_t section) {
  const std::size_t table = second_version(bytes)
                                ? zun_store::format::v2::HeaderField::kTable
                                : Field::kTable;
  return static_cast<std::size_t>(load(bytes, table + section * Field::kEntrySize));
}

void resum_store(std::vector<std::byte>& bytes) {
  namespace v2 = zun_store::format::v2;
  const bool second = second_version(bytes);
  const std::size_t header = second ? v2::kHeaderSize : zun_store::format::kHeaderSize;
  if (bytes.size() < header) return;
  if (second) resum_blocks(bytes);
  const std::size_t table = second ? v2::HeaderField::kTable : Field::kTable;
  const std::size_t sections =
      second ? v2::kSectionCount : zun_store::format::kSectionCount;
  for (std::size_t s = 0; s < sections; ++s) {
    if (second && s == v2::kSamples) continue;  // checked by its blocks
    const std::size_t entry = table + s * Field::kEntrySize;
    const std::uint64_t offset = load(bytes, entry);
    const std::uint64_t length = load(bytes, entry + 8);
    if (offset > bytes.size() || length > bytes.size() - offset) continue;
    const std::uint64_t sum = zun_store::checksum(
        std::span(bytes).subspan(static_cast<std::size_t>(offset),
                                 static_cast<std::size_t>(length)));
    std::memcpy(bytes.data() + entry + 16, &sum, sizeof(sum));
  }
  const std::size_t summed =
      second ? v2::HeaderField::kHeaderChecksum : Field::kHeaderChecksum;
  const std::uint64_t sum = zun_store::checksum(std::span(bytes).first(summed));
  std::memcpy(bytes.data() + summed, &sum, sizeof(sum));
}

}  // namespace zun_profile::support
