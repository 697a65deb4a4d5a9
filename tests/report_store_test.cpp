#include "store/report_store.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <gtest/gtest.h>

#include "query/query.hpp"
#include "store/store_builder.hpp"
#include "store/store_format.hpp"
#include "tests/support/builders.hpp"
#include "tests/support/compare.hpp"
#include "tests/support/random_case.hpp"
#include "tests/support/store_bytes.hpp"
#include "tests/support/temp_folder.hpp"

namespace zun_profile {
namespace {

using zun_package::CycleSample;
using zun_package::ProfileReport;
using zun_store::ReportStore;
using zun_store::StoreError;

// A report that reaches every field's extremes: every byte value in texts,
// empty texts, 2^32 - 1 everywhere a number goes, kinds past the four,
// tiles without samples at both ends, duplicate metadata names.
ProfileReport extreme_report() {
  ProfileReport report;
  report.clock_hz = UINT64_MAX;
  report.tiles.push_back(support::tile(UINT32_MAX, {}));
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  CycleSample sample = support::run(UINT32_MAX, 0, every_byte);
  sample.step.local_index = UINT32_MAX;
  sample.step.phase = UINT32_MAX;
  sample.step.epoch = UINT32_MAX;
  sample.step.kind = static_cast<zun_package::ProfileStepKind>(UINT32_MAX);
  sample.step.operation = std::string(1, '\0');
  sample.step.metadata = {{"", ""}, {every_byte, "\xff"}, {"", "x"}};
  CycleSample plain = support::run(0, UINT32_MAX, "");
  report.tiles.push_back(support::tile(0, {sample, plain, sample}));
  report.tiles.push_back(support::tile(7, {plain}));
  report.tiles.push_back(support::tile(0, {}));
  return report;
}

// Bytes the C library's heap holds (where it can tell; 0 elsewhere).
std::size_t heap_in_use() {
#if defined(__GLIBC__)
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

std::vector<std::byte> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

void write_file(const std::filesystem::path& path,
                const std::vector<std::byte>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// What opening `bytes` as a file called `name` throws; "" when it opens.
std::string open_error(const support::TempFolder& folder,
                       const std::vector<std::byte>& bytes,
                       const std::string& name = "r.zun") {
  write_file(folder / name, bytes);
  try {
    ReportStore::open(folder / name);
  } catch (const StoreError& error) {
    const std::string message = error.what();
    const std::string prefix = (folder / name).string() + ": ";
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size())
                                         : "(unnamed) " + message;
  }
  return "";
}

TEST(ReportStoreTest, GivesBackTheExactRecords) {
  support::TempFolder folder;
  std::vector<std::pair<std::string, ProfileReport>> cases;
  cases.emplace_back("empty", ProfileReport{});
  ProfileReport empty_tiles;
  empty_tiles.clock_hz = 3;
  empty_tiles.tiles.push_back(support::tile(4, {}));
  empty_tiles.tiles.push_back(support::tile(4, {}));
  cases.emplace_back("tiles without samples", empty_tiles);
  cases.emplace_back("extremes", extreme_report());
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    support::Entropy entropy(seed);
    cases.emplace_back("seed " + std::to_string(seed),
                       support::random_report(entropy));
  }
  for (const auto& [name, report] : cases) {
    const ReportStore memory = ReportStore::from_report(report);
    EXPECT_EQ(support::first_difference(memory.to_report(), report), "")
        << name << ", in memory";
    zun_store::write_store(report, folder / "r.zun");
    const ReportStore file = ReportStore::open(folder / "r.zun");
    EXPECT_EQ(support::first_difference(file.to_report(), report), "")
        << name << ", from a file";
    EXPECT_EQ(file.tile_count(), report.tiles.size()) << name;
    EXPECT_EQ(file.clock_hz(), report.clock_hz) << name;
    EXPECT_EQ(file.image_bytes(), memory.image_bytes()) << name;
    EXPECT_EQ(file.image_bytes(),
              std::filesystem::file_size(folder / "r.zun")) << name;
  }
}

// A store's file written an hour ago, so that a rewrite now shows in its
// modification time however coarse the file system's clock.
void write_aged(const ProfileReport& report,
                const std::filesystem::path& path) {
  zun_store::write_store(report, path);
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() -
                std::chrono::hours(1));
}

TEST(ReportStoreTest, NoticesTheFileChangingUnderIt) {
  support::TempFolder folder;
  support::Entropy entropy(7);
  const ProfileReport report = support::random_report(entropy);
  const auto path = folder / "r.zun";
  const std::string changed =
      path.string() + ": the file changed since it was opened; open it again";
  const auto refusal = [](const ReportStore& store) -> std::string {
    try {
      store.check_unchanged();
    } catch (const zun_store::StoreError& error) {
      return error.what();
    }
    return {};
  };

  // Copied over in place, the same size: the bytes under the map change.
  write_aged(report, path);
  {
    const ReportStore store = ReportStore::open(path);
    EXPECT_EQ(refusal(store), "");
    std::filesystem::copy_file(path, folder / "copy.zun");
    std::filesystem::copy_file(folder / "copy.zun", path,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(refusal(store), changed);
  }
  // Cut short in place.
  write_aged(report, path);
  {
    const ReportStore store = ReportStore::open(path);
    std::filesystem::resize_file(path, 10);
    EXPECT_EQ(refusal(store), changed);
  }
  // Replaced by a rename: the map still holds the old file, but the path
  // names another.
  write_aged(report, path);
  {
    const ReportStore store = ReportStore::open(path);
    zun_store::write_store(report, folder / "next.zun");
    std::filesystem::rename(folder / "next.zun", path);
    EXPECT_EQ(refusal(store), changed);
  }
  // Removed: the map keeps the bytes, and answers stay right.
  write_aged(report, path);
  {
    const ReportStore store = ReportStore::open(path);
    std::filesystem::remove(path);
    EXPECT_EQ(refusal(store), "");
    EXPECT_EQ(support::first_difference(store.to_report(), report), "");
  }
  EXPECT_EQ(refusal(ReportStore::from_report(report)), "");
}

TEST(ReportStoreTest, HoldsEachTextOnceInByteOrder) {
  ProfileReport report;
  CycleSample a = support::run(0, 1, "b");
  a.step.operation = "a";
  a.step.metadata = {{"b", "\xff"}, {"a", ""}};
  CycleSample b = support::run(1, 2, "a");
  b.step.operation = "b";
  report.tiles.push_back(support::tile(0, {a, b, a}));
  const ReportStore store = ReportStore::from_report(report);
  ASSERT_EQ(store.text_count(), 4u);  // "", "a", "b", "\xff"
  EXPECT_EQ(store.text(0), "");
  EXPECT_EQ(store.text(1), "a");
  EXPECT_EQ(store.text(3), "\xff");
  EXPECT_EQ(store.find_text("b"), std::optional<std::uint32_t>(2));
  EXPECT_EQ(store.find_text("c"), std::nullopt);
  EXPECT_EQ(store.kernels()[0], 2u);
  EXPECT_EQ(store.operations()[1], 2u);
  // Equal metadata lists are one list.
  EXPECT_EQ(store.metadata_lists()[0], store.metadata_lists()[2]);
  EXPECT_EQ(store.metadata_list_count(), 2u);
  EXPECT_EQ(store.metadata_list(store.metadata_lists()[0]).size(), 2u);
}

TEST(ReportStoreTest, RefusesDamagedFilesWithTheirFault) {
  support::TempFolder folder;
  support::Entropy entropy(5);
  ProfileReport report = support::random_report(entropy);
  report.tiles.push_back(support::tile(1, {support::run(0, 5, "kernel")}));
  const std::vector<std::byte> good = support::store_bytes(report, folder.path());
  ASSERT_EQ(open_error(folder, good), "");

  const std::size_t texts = support::section_offset(good, 0);
  const std::size_t samples = support::section_offset(good, 3);
  const std::size_t sample_count = ReportStore::from_report(report).sample_count();
  const std::size_t text_count = ReportStore::from_report(report).text_count();
  const std::size_t stride = (4 * sample_count + 63) / 64 * 64;
  const std::size_t samples_length = 9 * stride;

  std::vector<std::byte> json(20, std::byte{'{'});
  EXPECT_EQ(open_error(folder, {}), "not a report store");
  EXPECT_EQ(open_error(folder, json), "not a report store");

  std::vector<std::byte> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(samples + 64));
  EXPECT_EQ(open_error(folder, cut),
            "truncated: section 'samples' needs " +
                std::to_string(samples_length) + " bytes, 64 remain");
  cut.assign(good.begin(), good.begin() + 100);
  EXPECT_EQ(open_error(folder, cut),
            "truncated: the header needs 192 bytes, 100 remain");

  std::vector<std::byte> flipped = good;
  flipped[texts + 8 * text_count] ^= std::byte{1};  // a text's first byte
  EXPECT_EQ(open_error(folder, flipped), "checksum mismatch in section 'texts'");
  flipped = good;
  flipped[zun_store::format::HeaderField::kClockHz] ^= std::byte{0x40};
  EXPECT_EQ(open_error(folder, flipped), "checksum mismatch in the header");

  // Damage behind valid checksums: the checks that follow them.
  std::vector<std::byte> bad = good;
  const std::size_t kernel_at = samples + zun_store::format::kKernel * stride;
  const std::uint32_t past = 917;
  std::memcpy(bad.data() + kernel_at + 4 * (sample_count - 1), &past, 4);
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad),
            "kernel id 917 at sample " + std::to_string(sample_count - 1) +
                " is past the " + std::to_string(text_count) + " texts");
  bad = good;
  std::memset(bad.data() + texts + 8 * text_count, 'z', 2);  // order broken
  support::resum_store(bad);
  EXPECT_NE(open_error(folder, bad).find("not in strictly rising order"),
            std::string::npos);
  bad = good;  // the metadata section placed past the end of the file
  const std::uint64_t far = std::uint64_t{1} << 40;
  std::memcpy(bad.data() + zun_store::format::HeaderField::kTable +
                  zun_store::format::HeaderField::kEntrySize,
              &far, sizeof(far));
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad),
            "truncated: section 'metadata' starts at byte 1099511627776, "
            "past the file's " + std::to_string(good.size()) + " bytes");
  bad = good;
  bad[zun_store::format::HeaderField::kVersion] = std::byte{2};
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad),
            "store version 2 is not supported (this build reads version 1)");

  std::filesystem::create_directory(folder / "a folder");
  try {
    ReportStore::open(folder / "a folder");
    ADD_FAILURE() << "a folder opened";
  } catch (const StoreError& error) {
    EXPECT_NE(std::string(error.what()).find("not a regular file"),
              std::string::npos);
  }
  EXPECT_THROW(ReportStore::open(folder / "missing.zun"), StoreError);
}

// Any damage, with or without valid checksums, is refused or gives a store
// whose answers are whole; never a crash (ASan and UBSan run this).
TEST(ReportStoreTest, SurvivesRandomDamage) {
  support::TempFolder folder;
  std::mt19937_64 random(11);
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    support::Entropy entropy(seed);
    const ProfileReport report = support::random_report(entropy);
    const std::vector<std::byte> good =
        support::store_bytes(report, folder.path());
    for (int round = 0; round < 40; ++round) {
      std::vector<std::byte> bytes = good;
      switch (random() % 3) {
        case 0:
          bytes.resize(static_cast<std::size_t>(random() % bytes.size()));
          break;
        default:
          for (std::uint64_t n = 1 + random() % 4; n > 0; --n) {
            bytes[static_cast<std::size_t>(random() % bytes.size())] ^=
                static_cast<std::byte>(1 + random() % 255);
          }
      }
      if (random() % 2 == 0) support::resum_store(bytes);
      try {
        const ReportStore store = ReportStore::from_bytes(bytes, "damaged");
        for (int by = 0; by < 6; ++by) {
          Query request = support::random_query(entropy, report);
          request.group_by = static_cast<GroupBy>(by);
          const QueryReport result = query(store, request);
          EXPECT_LE(result.matched_sample_count, result.sample_count);
        }
        store.to_report();
      } catch (const StoreError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("damaged: ", 0), 0u);
      }
    }
  }
}

TEST(StoreWriterTest, LeavesNothingBehindUnlessFinished) {
  support::TempFolder folder;
  const ProfileReport report = extreme_report();
  {
    zun_store::StoreWriter writer(folder / "r.zun", 5);
    writer.add_tile(report.tiles[1]);
    EXPECT_TRUE(std::filesystem::exists(writer.partial_path()));
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));

  // A finished writer replaces a file at its path; one abandoned leaves it.
  write_file(folder / "r.zun", std::vector<std::byte>(3, std::byte{7}));
  {
    zun_store::StoreWriter writer(folder / "r.zun", 5);
    writer.add_tile(report.tiles[1]);
  }
  EXPECT_EQ(read_file(folder / "r.zun").size(), 3u);
  {
    zun_store::StoreWriter writer(folder / "r.zun", 5);
    for (const auto& tile : report.tiles) writer.add_tile(tile);
    writer.finish();
    EXPECT_THROW(writer.finish(), StoreError);
  }
  const ReportStore store = ReportStore::open(folder / "r.zun");
  EXPECT_EQ(store.clock_hz(), 5u);
  EXPECT_EQ(store.sample_count(), 4u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);

  EXPECT_THROW(zun_store::StoreWriter(folder / "no folder" / "r.zun", 0),
               StoreError);
  zun_store::StoreBuilder builder;
  EXPECT_THROW(builder.add_sample(support::run(0, 1)), StoreError);
}

// Past the samples a writer holds in memory, the columns go to spools and
// come back in order; the answer is the records'.
TEST(StoreWriterTest, SpoolsLongReportsAndReadsThemBack) {
  support::TempFolder folder;
  ProfileReport report;
  report.clock_hz = 1000;
  const char* kernels[] = {"compute", "exchange", "sync"};
  std::uint32_t at = 0;
  for (std::uint32_t t = 0; t < 300; ++t) {
    zun_package::TileProfile tile;
    tile.physical_tile = t % 97;
    for (std::uint32_t s = 0; s < 4000; ++s) {
      CycleSample sample = support::run(at, at + s % 50, kernels[s % 3]);
      sample.step.phase = s / 100;
      sample.step.operation = "op" + std::to_string((t * 4000 + s) % 5000);
      at += 60;
      tile.samples.push_back(sample);
    }
    report.tiles.push_back(std::move(tile));
  }
  // The writer's memory stays bounded: held in memory, its columns would
  // have grown to 2^21 values each (75 MB); spooled, they stop at 2^20.
  std::size_t most = 0;
  {
    const std::size_t before = heap_in_use();
    zun_store::StoreWriter writer(folder / "r.zun", report.clock_hz);
    for (const auto& tile : report.tiles) {
      writer.add_tile(tile);
      most = std::max(most, heap_in_use() - before);
    }
    writer.finish();
  }
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(most, std::size_t{48} << 20);
#endif
  const ReportStore store = ReportStore::open(folder / "r.zun");
  ASSERT_EQ(store.sample_count(), 1200000u);
  for (const GroupBy by : {GroupBy::Kernel, GroupBy::Operation, GroupBy::Tile}) {
    Query request;
    request.group_by = by;
    request.sample_limit = 3;
    EXPECT_EQ(support::first_difference(query(store, request),
                                        query(report, request)),
              "")
        << static_cast<int>(by);
  }
  EXPECT_EQ(support::first_difference(store.to_report(), report), "");
}

}  // namespace
}  // namespace zun_profile
