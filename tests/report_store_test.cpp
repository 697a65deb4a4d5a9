#include "store/report_store.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
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
using zun_store::StoreVersion;

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

// That `store` answers as `report` does, grouped each way of `groupings`,
// with `rows` sample rows.
void expect_answers_as_records(const ReportStore& store,
                               const ProfileReport& report,
                               std::initializer_list<GroupBy> groupings,
                               std::size_t rows) {
  for (const GroupBy by : groupings) {
    Query request;
    request.group_by = by;
    request.sample_limit = rows;
    EXPECT_EQ(support::first_difference(query(store, request),
                                        query(report, request)),
              "")
        << store.sample_count() << " samples, grouping " << static_cast<int>(by);
  }
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
    for (const StoreVersion version :
         {StoreVersion::v1, StoreVersion::v2, StoreVersion::smallest}) {
      const std::string as =
          name + ", version " + std::to_string(static_cast<int>(version));
      const ReportStore memory = ReportStore::from_report(report, version);
      EXPECT_EQ(support::first_difference(memory.to_report(), report), "")
          << as << ", in memory";
      zun_store::write_store(report, folder / "r.zun", version);
      const ReportStore file = ReportStore::open(folder / "r.zun");
      EXPECT_EQ(support::first_difference(file.to_report(), report), "")
          << as << ", from a file";
      EXPECT_EQ(file.version(), memory.version()) << as;
      EXPECT_EQ(file.tile_count(), report.tiles.size()) << as;
      EXPECT_EQ(file.clock_hz(), report.clock_hz) << as;
      EXPECT_EQ(file.image_bytes(), memory.image_bytes()) << as;
      EXPECT_EQ(file.image_bytes(),
                std::filesystem::file_size(folder / "r.zun")) << as;
      // Each tile's span, as a query measures it.
      for (std::size_t t = 0; t < report.tiles.size(); ++t) {
        ProfileReport alone;
        alone.tiles = {report.tiles[t]};
        EXPECT_EQ(file.tile_span(t), query(alone, Query{}).profile_span_cycles)
            << as << ", tile " << t;
      }
    }
    // The smaller layout is the one written when asked for the smallest.
    const std::size_t one = ReportStore::from_report(report, StoreVersion::v1).image_bytes();
    const std::size_t two = ReportStore::from_report(report, StoreVersion::v2).image_bytes();
    EXPECT_EQ(ReportStore::from_report(report).image_bytes(), std::min(one, two))
        << name;
  }
}

// A report of `samples` samples in tiles of `per_tile`, its steps repeating
// every `period` samples: steps held once, and tiles and blocks cut
// anywhere.
ProfileReport repeating_report(std::uint32_t samples, std::uint32_t per_tile,
                               std::uint32_t period) {
  ProfileReport report;
  report.clock_hz = 1000;
  std::uint32_t at = 4000000000u;  // the counter wraps within the report
  for (std::uint32_t s = 0; s < samples; ++s) {
    if (s % per_tile == 0) report.tiles.push_back(support::tile(s / per_tile % 5, {}));
    CycleSample sample = support::run(at, at + 3 + s % 7, s % 3 == 0 ? "k" : "j");
    sample.step.phase = s % period;
    sample.step.epoch = s % period / 4;
    sample.step.local_index = s % period;
    sample.step.operation = "op" + std::to_string(s % period);
    report.tiles.back().samples.push_back(sample);
    at += 11;
  }
  return report;
}

TEST(ReportStoreTest, VersionTwoHoldsEachStepOnceAndCutsBlocksAnywhere) {
  support::TempFolder folder;
  // Blocks hold 65536 samples: reports ending just before, at and after a
  // block's end, in tiles that cross blocks.
  for (const std::uint32_t samples : {65535u, 65536u, 65537u, 140000u}) {
    const ProfileReport report = repeating_report(samples, 9000, 120);
    zun_store::write_store(report, folder / "r.zun");
    const ReportStore store = ReportStore::open(folder / "r.zun");
    EXPECT_EQ(store.version(), 2u) << samples;
    EXPECT_EQ(store.step_count(), 120u) << samples;
    // About 12 bytes a sample, a third of version 1's 36.
    EXPECT_LT(store.image_bytes(), 12 * std::size_t{samples} + 16384) << samples;
    EXPECT_EQ(support::first_difference(store.to_report(), report), "")
        << samples;
    expect_answers_as_records(
        store, report, {GroupBy::Kernel, GroupBy::Tile, GroupBy::Phase}, 4);
  }
  // Steps that never repeat: version 1 is smaller, and the writer picks it.
  const ProfileReport unique = repeating_report(5000, 700, 5000);
  EXPECT_EQ(ReportStore::from_report(unique).version(), 1u);
  EXPECT_EQ(ReportStore::from_report(unique, StoreVersion::v2).version(), 2u);
}

// Tiles that run one program, but for a single field of a single step: the
// writer, which expects each tile to repeat the steps it has seen, holds
// each variant as a step of its own and gives every record back.
TEST(ReportStoreTest, VersionTwoTellsApartStepsThatDifferInOneField) {
  ProfileReport report;
  std::vector<CycleSample> program;
  for (std::uint32_t s = 0; s < 6; ++s) {
    CycleSample sample = support::run(10 * s, 10 * s + 4, "kernel_a");
    sample.step.phase = s;
    sample.step.local_index = s;
    sample.step.operation = "op/" + std::to_string(s);
    sample.step.metadata = {{"layer", "1"}, {"block", std::to_string(s)}};
    program.push_back(sample);
  }
  using Change = void (*)(zun_package::ProfileStep&);
  const std::vector<Change> changes = {
      [](zun_package::ProfileStep&) {},  // the program as it is, twice
      [](zun_package::ProfileStep&) {},
      [](zun_package::ProfileStep& step) { step.kernel = "kernel_b"; },
      [](zun_package::ProfileStep& step) { step.kernel = ""; },
      [](zun_package::ProfileStep& step) { step.operation += "x"; },
      [](zun_package::ProfileStep& step) { step.metadata[0].value = "2"; },
      [](zun_package::ProfileStep& step) { step.metadata[1].name = "blocks"; },
      [](zun_package::ProfileStep& step) { step.metadata.pop_back(); },
      [](zun_package::ProfileStep& step) { step.metadata.push_back({"a", ""}); },
      [](zun_package::ProfileStep& step) { ++step.phase; },
      [](zun_package::ProfileStep& step) { ++step.epoch; },
      [](zun_package::ProfileStep& step) { ++step.local_index; },
      [](zun_package::ProfileStep& step) {
        step.kind = zun_package::ProfileStepKind::Compute;
      },
  };
  for (std::size_t c = 0; c < changes.size(); ++c) {
    // A tile as the program runs, then one that changes a step of its own
    // (the first and the last included) where the writer expects the
    // program's.
    for (const bool change : {false, true}) {
      report.tiles.push_back(support::tile(
          static_cast<std::uint32_t>(report.tiles.size()), program));
      if (change) changes[c](report.tiles.back().samples[c % program.size()].step);
    }
  }
  const ReportStore store = ReportStore::from_report(report, StoreVersion::v2);
  EXPECT_EQ(store.step_count(), program.size() + changes.size() - 2);
  EXPECT_EQ(support::first_difference(store.to_report(), report), "");
  expect_answers_as_records(store, report,
                            {GroupBy::Kernel, GroupBy::Operation,
                             GroupBy::Phase, GroupBy::Metadata},
                            3);
}

// Version 2 opens on its header and tables; a damaged block is found the
// first time a query reads it, named with its samples, and the rest of the
// store still answers.
TEST(ReportStoreTest, VersionTwoFindsDamagedBlocksWhenFirstRead) {
  namespace v2 = zun_store::format::v2;
  support::TempFolder folder;
  const ProfileReport report = repeating_report(140000, 20000, 120);
  const std::vector<std::byte> good =
      support::store_bytes(report, folder.path(), StoreVersion::v2);
  ASSERT_EQ(open_error(folder, good), "");
  const std::size_t samples_at = support::section_offset(good, v2::kSamples);
  const std::size_t stride = (4 * 140000 + 63) / 64 * 64;
  const auto refusal = [&](const std::vector<std::byte>& bytes,
                           const Query& request) -> std::string {
    write_file(folder / "r.zun", bytes);
    try {
      const ReportStore store = ReportStore::open(folder / "r.zun");
      query(store, request);
    } catch (const StoreError& error) {
      return std::string(error.what()).substr((folder / "r.zun").string().size() + 2);
    }
    return "";
  };
  Query first_tile;  // samples 0-19999: block 0 alone
  first_tile.tiles = {0};

  // A start cycle of block 2 damaged: opening and block 0 pass.
  std::vector<std::byte> bad = good;
  bad[samples_at + v2::kStartCycle * stride + 4 * 135000] ^= std::byte{4};
  EXPECT_EQ(open_error(folder, bad), "");
  EXPECT_EQ(refusal(bad, first_tile), "");
  EXPECT_EQ(refusal(bad, Query{}),
            "checksum mismatch in block 2 of section 'samples' (samples "
            "131072-139999)");

  // A step id past the table, its block's checksum made right again.
  bad = good;
  const std::uint32_t past = 120;
  std::memcpy(bad.data() + samples_at + v2::kStep * stride + 4 * 70000, &past, 4);
  support::resum_store(bad);
  EXPECT_EQ(refusal(bad, Query{}),
            "step id 120 at sample 70000 is past the 120 steps");
  // A block entry whose range of step ids is not its block's.
  bad = good;
  const std::size_t blocks_at = support::section_offset(good, v2::kBlocks);
  const std::uint32_t least = 5;
  std::memcpy(bad.data() + blocks_at + 2 * v2::kBlockEntrySize + 8, &least, 4);
  support::resum_store(bad);
  EXPECT_EQ(refusal(bad, Query{}),
            "block 2 of section 'samples' (samples 131072-139999) is "
            "damaged: its step ids are not the range its entry records");

  // The step table is checked at opening.
  bad = good;
  const std::size_t steps_at = support::section_offset(good, v2::kSteps);
  const std::size_t step_stride = (4 * 120 + 63) / 64 * 64;
  const std::uint32_t far_text = 917;
  std::memcpy(bad.data() + steps_at + v2::kKernel * step_stride + 4 * 5, &far_text, 4);
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad).rfind("kernel id 917 at step 5 is past", 0), 0u);
  bad = good;
  bad[steps_at + 3] ^= std::byte{1};
  EXPECT_EQ(open_error(folder, bad), "checksum mismatch in section 'steps'");

  // The header's own fields, and its padding past the checksum.
  bad = good;
  bad[300] ^= std::byte{1};
  EXPECT_EQ(open_error(folder, bad),
            "damaged header: byte 300 of its padding is not zero");
  bad = good;
  const std::uint64_t odd_blocks = 1000;
  std::memcpy(bad.data() + v2::HeaderField::kBlockSamples, &odd_blocks, 8);
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad), "damaged header: blocks of 1000 samples");
  std::vector<std::byte> cut(good.begin(),
                             good.begin() + static_cast<std::ptrdiff_t>(samples_at + 64));
  EXPECT_EQ(open_error(folder, cut),
            "truncated: section 'samples' needs " + std::to_string(3 * stride) +
                " bytes, 64 remain");
  cut.assign(good.begin(), good.begin() + 200);
  EXPECT_EQ(open_error(folder, cut),
            "truncated: the header needs 320 bytes, 200 remain");
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
  for (const StoreVersion version : {StoreVersion::v1, StoreVersion::v2}) {
    const ReportStore store = ReportStore::from_report(report, version);
    ASSERT_EQ(store.text_count(), 4u);  // "", "a", "b", "\xff"
    EXPECT_EQ(store.text(0), "");
    EXPECT_EQ(store.text(1), "a");
    EXPECT_EQ(store.text(3), "\xff");
    EXPECT_EQ(store.find_text("b"), std::optional<std::uint32_t>(2));
    EXPECT_EQ(store.find_text("c"), std::nullopt);
    const std::uint32_t* steps = store.all_samples().steps;
    EXPECT_EQ(store.step_kernels()[steps[0]], 2u);
    EXPECT_EQ(store.step_operations()[steps[1]], 2u);
    // Equal metadata lists are one list; version 2 holds equal steps once.
    const std::uint32_t* lists = store.step_metadata_lists();
    EXPECT_EQ(lists[steps[0]], lists[steps[2]]);
    EXPECT_EQ(store.metadata_list_count(), 2u);
    EXPECT_EQ(store.metadata_list(lists[steps[0]]).size(), 2u);
    EXPECT_EQ(store.step_count(), version == StoreVersion::v1 ? 3u : 2u);
    EXPECT_EQ(steps[0] == steps[2], version == StoreVersion::v2);
  }
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
  bad[zun_store::format::HeaderField::kVersion] = std::byte{3};
  support::resum_store(bad);
  EXPECT_EQ(open_error(folder, bad),
            "store version 3 is not supported (this build reads versions 1 "
            "and 2)");

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
    const std::vector<std::byte> good = support::store_bytes(
        report, folder.path(),
        seed % 2 == 0 ? StoreVersion::v2 : StoreVersion::v1);
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
  expect_answers_as_records(
      store, report, {GroupBy::Kernel, GroupBy::Operation, GroupBy::Tile}, 3);
  EXPECT_EQ(support::first_difference(store.to_report(), report), "");
}

}  // namespace
}  // namespace zun_profile
