#include "frontend_core/reading/report_reader.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <simdjson.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/frontend_core/mutation.hpp"
#include "tests/support/random_case.hpp"
#include "tests/support/report_json.hpp"
#include "tests/support/synthetic_report.hpp"
#include "tests/support/temp_folder.hpp"

namespace profile_query {
namespace {

using zun_package::ProfileReport;

// Every field of two reports, in order.
void expect_same(const ProfileReport& actual, const ProfileReport& expected) {
  ASSERT_EQ(actual.clock_hz, expected.clock_hz);
  ASSERT_EQ(actual.tiles.size(), expected.tiles.size());
  for (std::size_t t = 0; t < actual.tiles.size(); ++t) {
    const auto& a = actual.tiles[t];
    const auto& e = expected.tiles[t];
    ASSERT_EQ(a.physical_tile, e.physical_tile) << "tile " << t;
    ASSERT_EQ(a.samples.size(), e.samples.size()) << "tile " << t;
    for (std::size_t s = 0; s < a.samples.size(); ++s) {
      const auto& as = a.samples[s];
      const auto& es = e.samples[s];
      ASSERT_EQ(as.start_cycle, es.start_cycle)
          << "tile " << t << " sample " << s;
      ASSERT_EQ(as.end_cycle, es.end_cycle) << "tile " << t << " sample " << s;
      ASSERT_EQ(as.step.local_index, es.step.local_index);
      ASSERT_EQ(as.step.phase, es.step.phase);
      ASSERT_EQ(as.step.epoch, es.step.epoch);
      ASSERT_EQ(as.step.operation, es.step.operation);
      ASSERT_EQ(as.step.kind, es.step.kind);
      ASSERT_EQ(as.step.kernel, es.step.kernel);
      ASSERT_EQ(as.step.metadata.size(), es.step.metadata.size());
      for (std::size_t m = 0; m < as.step.metadata.size(); ++m) {
        ASSERT_EQ(as.step.metadata[m].name, es.step.metadata[m].name);
        ASSERT_EQ(as.step.metadata[m].value, es.step.metadata[m].value);
      }
    }
  }
}

std::string error_of(const std::string& text) {
  try {
    parse_report(text, "in.json");
  } catch (const InputError& error) {
    return error.what();
  }
  return "no error";
}

// A whole, valid sample with one field replaced by `field` (or left out when
// `field` is empty), inside a report of one tile.
std::string with_sample(const std::string& sample) {
  return R"({"clock_hz": 1000, "tiles": [{"physical_tile": 4, "samples": [)" +
         sample + "]}]}";
}
const std::string kStep =
    R"({"local_index": 0, "phase": 1, "epoch": 0, "operation": "op", "kind": "compute",)"
    R"( "kernel": "k", "metadata": [{"name": "n", "value": "v"}]})";

TEST(ReportReader, WrittenReportsReadBackUnchanged) {
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    zun_profile::support::Entropy entropy(seed);
    ProfileReport report = zun_profile::support::random_report(entropy);
    // The file format has names for the four kinds only, and its texts
    // are UTF-8.
    for (auto& tile : report.tiles) {
      for (auto& sample : tile.samples) {
        if (static_cast<std::uint32_t>(sample.step.kind) > 3) {
          sample.step.kind = zun_package::ProfileStepKind::Idle;
        }
        for (char& byte : sample.step.operation) {
          if (static_cast<unsigned char>(byte) >= 0x80) byte = '?';
        }
      }
    }
    report.clock_hz = seed * 0x9E3779B97F4A7C15ull;  // up to 64 bits
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string json = zun_profile::support::report_json(report);
    expect_same(parse_report(json, "random"), report);
    // Read straight into a store, the same records come back.
    expect_same(parse_report_store(json, "random").to_report(), report);
  }
  const ProfileReport synthetic =
      zun_profile::support::synthetic_report({16, 300, 5});
  expect_same(
      parse_report(zun_profile::support::report_json(synthetic), "synthetic"),
      synthetic);
}

TEST(ReportReader, AcceptsAnyFieldOrderEscapesAndTheFullRanges) {
  const std::string text = R"(
    { "tiles": [
        { "samples": [
            { "step": { "metadata": [{"value": "", "name": "caf\u00e9 \ud83d\ude00"}],
                        "kernel": "", "kind": "idle", "operation": "a\n\"b\"\\c\/",
                        "epoch": 4294967295, "phase": 0, "local_index": 7 },
              "end_cycle": 0, "start_cycle": 4294967295 } ],
          "physical_tile": 4294967295 },
        { "physical_tile": 0, "samples": [] } ],
      "clock_hz": 18446744073709551615 }  )";
  const ProfileReport report = parse_report(text, "in.json");
  // A tile's number after its samples, the clock after the tiles: a store
  // read straight from the text takes them as the records do.
  expect_same(parse_report_store(text, "in.json").to_report(), report);
  EXPECT_EQ(report.clock_hz, 18446744073709551615ull);
  ASSERT_EQ(report.tiles.size(), 2u);
  EXPECT_EQ(report.tiles[0].physical_tile, 4294967295u);
  EXPECT_TRUE(report.tiles[1].samples.empty());
  ASSERT_EQ(report.tiles[0].samples.size(), 1u);
  const auto& sample = report.tiles[0].samples[0];
  EXPECT_EQ(sample.start_cycle, 4294967295u);
  EXPECT_EQ(sample.end_cycle, 0u);
  EXPECT_EQ(sample.step.local_index, 7u);
  EXPECT_EQ(sample.step.epoch, 4294967295u);
  EXPECT_EQ(sample.step.kind, zun_package::ProfileStepKind::Idle);
  EXPECT_EQ(sample.step.operation, "a\n\"b\"\\c/");
  EXPECT_EQ(sample.step.kernel, "");
  ASSERT_EQ(sample.step.metadata.size(), 1u);
  EXPECT_EQ(sample.step.metadata[0].name, "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(sample.step.metadata[0].value, "");

  // All four kind names, and a report without tiles.
  const char* kinds[] = {"exchange", "compute", "synchronization", "idle"};
  for (std::uint32_t k = 0; k < 4; ++k) {
    std::string step = kStep;
    step.replace(step.find("compute"), 7, kinds[k]);
    const ProfileReport one = parse_report(
        with_sample(R"({"start_cycle": 1, "end_cycle": 2, "step": )" + step +
                    "}"),
        "in.json");
    EXPECT_EQ(one.tiles[0].samples[0].step.kind,
              static_cast<zun_package::ProfileStepKind>(k));
  }
  EXPECT_TRUE(
      parse_report(R"({"clock_hz":0,"tiles":[]})", "in.json").tiles.empty());
}

TEST(ReportReader, NamesThePathOfAMissingOrMistypedField) {
  const std::string sample_prefix = R"({"start_cycle": 1, "end_cycle": )";
  const std::string path = "in.json: tiles[0].samples[0].";
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {sample_prefix + "-4, \"step\": " + kStep + "}",
       path + "end_cycle: expected an unsigned 32-bit integer, found -4"},
      {sample_prefix + "4294967296, \"step\": " + kStep + "}",
       path +
           "end_cycle: expected an unsigned 32-bit integer, found 4294967296"},
      {sample_prefix + "2.5, \"step\": " + kStep + "}",
       path + "end_cycle: expected an unsigned 32-bit integer, found 2.5"},
      {sample_prefix + "\"7\", \"step\": " + kStep + "}",
       path + "end_cycle: expected an unsigned 32-bit integer, found a string"},
      {sample_prefix + "null, \"step\": " + kStep + "}",
       path + "end_cycle: expected an unsigned 32-bit integer, found null"},
      {R"({"start_cycle": 1, "step": )" + kStep + "}",
       path + "end_cycle: missing field"},
      {sample_prefix + "2, \"step\": " + kStep + ", \"end\": 3}",
       path.substr(0, path.size() - 1) + ": unknown field \"end\""},
      {sample_prefix + "2, \"end_cycle\": 3, \"step\": " + kStep + "}",
       path + "end_cycle: the field appears twice"},
      {sample_prefix + "2, \"step\": []}",
       path + "step: expected an object, found an array"},
      {sample_prefix + "2, \"step\": {\"kind\": true}}",
       path + "step.kind: expected a string, found a boolean"},
      {sample_prefix + "2, \"step\": {\"kind\": \"busy\\n\"}}",
       path + "step.kind: unknown kind \"busy\\x0a\" (expected \"exchange\", "
              "\"compute\", "
              "\"synchronization\" or \"idle\")"},
      {sample_prefix + R"(2, "step": {"metadata": [{"name": "a"}]}})",
       path + "step.metadata[0].value: missing field"},
      {sample_prefix + R"(2, "step": {"metadata": {}}})",
       path + "step.metadata: expected an array, found an object"},
      {"7", "in.json: tiles[0].samples[0]: expected an object, found 7"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(with_sample(c.text)), c.message) << c.text;
  }
  EXPECT_EQ(error_of("[]"),
            "in.json: the document: expected an object, found an array");
  EXPECT_EQ(error_of(R"({"tiles": []})"), "in.json: clock_hz: missing field");
  EXPECT_EQ(error_of(R"({"clock_hz": -1, "tiles": []})"),
            "in.json: clock_hz: expected an unsigned 64-bit integer, found -1");
  EXPECT_EQ(
      error_of(R"({"clock_hz": 1, "tiles": [{"physical_tile": 4294967296}]})"),
      "in.json: tiles[0].physical_tile: expected an unsigned 32-bit integer, "
      "found "
      "4294967296");
  EXPECT_EQ(error_of(R"({"clock_hz": 1, "tiles": [{}, {"samples": []}]})"),
            "in.json: tiles[0].physical_tile: missing field");
}

TEST(ReportReader, PlacesMalformedJsonByLineColumnAndByte) {
  EXPECT_EQ(error_of("{\"clock_hz\": 1,\n \"tiles\": [}"),
            "in.json:2:12: malformed JSON: expected a value (byte 27)");
  EXPECT_EQ(error_of(R"({"clock_hz": 1, "tiles": []} x)"),
            "in.json:1:30: malformed JSON: unexpected content after the JSON "
            "value (byte 29)");
  EXPECT_EQ(
      error_of(""),
      "in.json:1:1: malformed JSON: the input holds no JSON value (byte 0)");
  EXPECT_EQ(
      error_of("{\"clock_hz\": 1e400}"),
      "in.json:1:14: malformed JSON: the number is out of range (byte 13)");
  EXPECT_EQ(error_of("{\"a\": \"\xFF\"}"),
            "in.json:1:8: malformed JSON: invalid UTF-8 (byte 7)");
  EXPECT_EQ(error_of("{\"a\": \"x\ty\"}"),
            "in.json:1:9: malformed JSON: a control character must be escaped "
            "in a string "
            "(byte 8)");
  EXPECT_EQ(error_of("{\"a\": \"abc"),
            "in.json:1:7: malformed JSON: the string is never closed (byte 6)");
  EXPECT_EQ(error_of("{\"clock_hz\": 01}"),
            "in.json:1:14: malformed JSON: a number may not have a leading "
            "zero (byte 13)");
}

// The reader walks the text once and lazily; it must still accept only
// whole, well-formed JSON, and refuse everything else with one line.
TEST(ReportReader, RefusesEveryMutationThatBreaksTheJson) {
  zun_profile::support::Entropy entropy(11);
  zun_package::ProfileReport report =
      zun_profile::support::random_report(entropy);
  report.tiles.resize(2);
  for (auto& tile : report.tiles) {
    if (tile.samples.size() > 2) tile.samples.resize(2);
    for (auto& sample : tile.samples)
      sample.step.kind = zun_package::ProfileStepKind::Compute;
  }
  const std::string original = zun_profile::support::report_json(report);
  ASSERT_NO_THROW(parse_report(original, "in.json"));

  std::mt19937_64 random(3);
  simdjson::dom::parser parser;
  std::size_t refused = 0;
  for (int round = 0; round < 5000; ++round) {
    std::string text = original;
    testing::mutate(text, random);
    try {
      parse_report(text, "in.json");
      ASSERT_EQ(parser.parse(text).error(), simdjson::SUCCESS)
          << "accepted: " << text;
    } catch (const InputError& error) {
      const std::string message = error.what();
      ++refused;
      ASSERT_EQ(message.rfind("in.json", 0), 0u) << message;
      ASSERT_EQ(message.find('\n'), std::string::npos) << message;
    }
  }
  EXPECT_GT(refused, 2500u);  // most single edits break the report
}

TEST(ReportReader, ReadsFilesAndSaysWhyOneCannotBeRead) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("zun_reader_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::string path = (directory / "report.json").string();
  const std::string text = R"({"clock_hz": 5, "tiles": []})";
  std::ofstream(path) << text;

  const std::string read = read_input(path);
  EXPECT_EQ(read, text);
  EXPECT_EQ(parse_report(read, path).clock_hz, 5u);

  const std::string missing = (directory / "missing.json").string();
  try {
    read_input(missing);
    ADD_FAILURE() << "a missing file was read";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot open " + missing + ": No such file or directory");
  }
  try {
    read_input(directory.string());
    ADD_FAILURE() << "a directory was read";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot read " + directory.string() + ": Is a directory");
  }
  EXPECT_EQ(source_name("-"), "standard input");
  EXPECT_EQ(source_name(path), path);
  EXPECT_EQ(source_name("a\x1b[31mb\n.json"), "a\\x1b[31mb\\x0a.json");
  std::filesystem::remove_all(directory);
}

std::string read_error(const std::string& path, std::size_t limit) {
  try {
    read_input(path, nullptr, limit);
  } catch (const InputError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ReportReader, StopsAtTheSizeLimit) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("zun_limit_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::string path = (directory / "report.json").string();
  std::ofstream(path) << std::string(1000, ' ');

  // A file up to the limit is read; one byte over is refused.
  EXPECT_EQ(read_input(path, nullptr, 1000).size(), 1000u);
  EXPECT_EQ(
      read_error(path, 999),
      path + ": the report is larger than the 999 bytes that can be read");
  // A device without size or end is refused once the limit is passed, which
  // the bounded buffer makes quick.
  EXPECT_EQ(read_error("/dev/zero", 100000),
            "/dev/zero: the report is larger than the 100000 bytes that can "
            "be read");
  // A file past 4 GiB is refused by its size, before any of it is read; a
  // sparse one costs no disk.
  const std::string huge = (directory / "huge.json").string();
  std::filesystem::resize_file((std::ofstream(huge), huge),
                               std::uintmax_t{5} << 30);
  EXPECT_EQ(read_error(huge, kMaxReportBytes),
            huge + ": the report is larger than the 4 GiB that can be read");
  std::filesystem::remove_all(directory);
}

TEST(ReportReader, ALoneScalarIsNoReport) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"5", "in.json: the document: expected an object, found a number"},
      {" -2.5e3 ", "in.json: the document: expected an object, found a number"},
      {"true", "in.json: the document: expected an object, found a boolean"},
      {"null", "in.json: the document: expected an object, found null"},
      {R"("x")", "in.json: the document: expected an object, found a string"},
      {"[1]", "in.json: the document: expected an object, found an array"},
      {"5 6",
       "in.json:1:3: malformed JSON: unexpected content after the "
       "JSON value (byte 2)"},
      {"nul", "in.json:1:1: malformed JSON: expected a value (byte 0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.error) << c.text;
}

TEST(ReportReader, EchoedNumbersAreCut) {
  const std::string digits(1'000'000, '9');
  const std::string error =
      error_of(R"({"clock_hz": 1, "tiles": [{"physical_tile": 1.)" + digits +
               R"(, "samples": []}]})");
  EXPECT_EQ(error,
            "in.json: tiles[0].physical_tile: expected an unsigned "
            "32-bit integer, found 1." +
                std::string(58, '9') + "...");
}

}  // namespace
}  // namespace profile_query

namespace profile_query {
namespace {

// load_report gives back the text's pages behind the parser. A big file
// reads back whole; one malformed near its end, past the pages given back,
// is still placed exactly, as parse_report places it with the text whole.
TEST(ReportReader, LoadReportGivesBackPagesAndStillPlacesFaults) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("zun_load_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::string path = (directory / "big.json").string();
  const ProfileReport report = zun_profile::support::synthetic_report(
      {.tiles = 8, .samples_per_tile = 12000, .seed = 9});
  std::string text = zun_profile::support::report_json(report);
  ASSERT_GT(text.size(), std::size_t{20} << 20);  // past the first release
  std::ofstream(path, std::ios::binary) << text;
  expect_same(load_report(path), report);

  const std::size_t colon = text.rfind("\"end_cycle\":") + 11;
  text[colon] = ';';
  std::ofstream(path, std::ios::binary) << text;
  std::string expected = error_of(text);
  expected.replace(0, std::string("in.json").size(), path);
  ASSERT_NE(expected.find(": malformed JSON: "), std::string::npos);
  try {
    load_report(path);
    ADD_FAILURE() << "malformed JSON was read";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), expected);
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace profile_query

namespace profile_query {
namespace {

// The error load_store throws for `path`, or "" when it loads.
std::string load_error(const std::string& path) {
  try {
    load_store(path);
  } catch (const InputError& error) {
    return error.what();
  }
  return "";
}

// Stores and JSON reports alike, told by their bytes whatever their names,
// from a file or from a pipe that can be read only once; a damaged store is
// refused with its fault, naming the input.
TEST(LoadStore, TellsStoresFromJsonByTheirBytes) {
  zun_profile::support::TempFolder folder;
  const ProfileReport report =
      zun_profile::support::synthetic_report({6, 50, 2});
  const std::string json = zun_profile::support::report_json(report);
  std::ofstream(folder / "store.json") << "";
  zun_store::write_store(report, folder / "store.json");  // a store named .json
  std::ofstream(folder / "report.zun") << json;          // JSON named .zun
  for (const char* name : {"store.json", "report.zun"}) {
    const std::string path = (folder / name).string();
    expect_same(load_store(path).to_report(), report);
    // The same bytes through a pipe.
    const std::string fifo = (folder / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread feed([&] {
      std::ifstream in(path, std::ios::binary);
      std::ofstream(fifo, std::ios::binary) << in.rdbuf();
    });
    const zun_store::ReportStore piped = load_store(fifo);
    feed.join();
    std::filesystem::remove(fifo);
    expect_same(piped.to_report(), report);
  }

  std::vector<char> bytes(
      (std::istreambuf_iterator<char>(
          *std::make_unique<std::ifstream>(folder / "store.json",
                                           std::ios::binary))),
      std::istreambuf_iterator<char>());
  // A header of either version: 192 bytes (version 1) or 320 (version 2).
  const std::string header = bytes.at(8) == 2 ? "320" : "192";
  bytes.resize(150);
  std::ofstream(folder / "cut.zun", std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::string cut = (folder / "cut.zun").string();
  EXPECT_EQ(load_error(cut), cut + ": truncated: the header needs " + header +
                                 " bytes, 150 remain");

  // A moved-from store is empty.
  zun_store::ReportStore moved = load_store((folder / "store.json").string());
  const zun_store::ReportStore into = std::move(moved);
  EXPECT_EQ(into.sample_count(), 300u);
  EXPECT_EQ(moved.sample_count(), 0u);  // NOLINT: checked on purpose
  EXPECT_EQ(moved.tile_count(), 0u);
}

}  // namespace
}  // namespace profile_query
