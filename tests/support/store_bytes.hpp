#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "report/profile_report.hpp"

// Store files as bytes, for tests that damage them.
namespace zun_profile::support {

// The bytes of the store file of `report`, written through `folder`.
std::vector<std::byte> store_bytes(const zun_package::ProfileReport& report,
                                   const std::filesystem::path& folder);

// Recomputes every section checksum the section table can reach, then the
// header's, so that a damaged store passes its checksums and meets the
// checks behind them. Leaves bytes too short for a header as they are.
void resum_store(std::vector<std::byte>& bytes);

// The file offset of section `section` (0 texts, 1 metadata, 2 tiles,
// 3 samples) as the header gives it.
std::size_t section_offset(const std::vector<std::byte>& bytes,
                           std::size_t section);

}  // namespace zun_profile::support
