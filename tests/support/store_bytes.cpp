#include "tests/support/store_bytes.hpp"

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
                                   const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "bytes.zun";
  zun_store::write_store(report, path);
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  std::vector<std::byte> bytes(chars.size());
  std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

std::size_t section_offset(const std::vector<std::byte>& bytes,
                           std::size_t section) {
  return static_cast<std::size_t>(
      load(bytes, Field::kTable + section * Field::kEntrySize));
}

void resum_store(std::vector<std::byte>& bytes) {
  if (bytes.size() < zun_store::format::kHeaderSize) return;
  for (std::size_t s = 0; s < zun_store::format::kSectionCount; ++s) {
    const std::size_t entry = Field::kTable + s * Field::kEntrySize;
    const std::uint64_t offset = load(bytes, entry);
    const std::uint64_t length = load(bytes, entry + 8);
    if (offset > bytes.size() || length > bytes.size() - offset) continue;
    const std::uint64_t sum = zun_store::checksum(
        std::span(bytes).subspan(static_cast<std::size_t>(offset),
                                 static_cast<std::size_t>(length)));
    std::memcpy(bytes.data() + entry + 16, &sum, sizeof(sum));
  }
  const std::uint64_t sum =
      zun_store::checksum(std::span(bytes).first(Field::kHeaderChecksum));
  std::memcpy(bytes.data() + Field::kHeaderChecksum, &sum, sizeof(sum));
}

}  // namespace zun_profile::support
