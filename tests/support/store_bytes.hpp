#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "report/profile_report.hpp"
#include "store/report_store.hpp"

// Store files as bytes, for tests that damage them.
namespace zun_profile::support {

// The bytes of the store file of `report` in `version`, written through
// `folder`.
std::vector<std::byte> store_bytes(
    const zun_package::ProfileReport& report,
    const std::filesystem::path& folder,
    zun_store::StoreVersion version = zun_store::StoreVersion::v1);

// Recomputes every checksum the section table can reach (of a version 2
// store, each block's too), then the header's, so that a damaged store
// passes its checksums and meets the checks behind them. Leaves bytes too
// short for a header as they are.
void resum_store(std::vector<std::byte>& bytes);

// The file offset of section `section` as the header gives it: 0 texts,
// 1 metadata, 2 tiles, then 3 samples (version 1) or 3 steps, 4 blocks and
// 5 samples (version 2).
std::size_t section_offset(const std::vector<std::byte>& bytes,
                           std::size_t section);

}  // namespace zun_profile::support
