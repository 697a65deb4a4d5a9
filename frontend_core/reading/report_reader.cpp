#include "frontend_core/reading/report_reader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include "frontend_core/message_text.hpp"
#include "frontend_core/reading/field_path.hpp"
#include "frontend_core/reading/json_syntax.hpp"
#include "frontend_core/reading/progress.hpp"
#include "frontend_core/reading/report_walk.hpp"
#include "store/store_builder.hpp"

namespace profile_query {
namespace {

using namespace detail;

// Where the walk puts what it reads: the records of a whole report.
class RecordTarget {
 public:
  void clock(std::uint64_t clock_hz) { report_.clock_hz = clock_hz; }
  void begin_tile() { report_.tiles.emplace_back(); }
  void tile_physical(std::uint32_t physical) {
    report_.tiles.back().physical_tile = physical;
  }
  zun_package::CycleSample& next_sample() {
    return report_.tiles.back().samples.emplace_back();
  }
  void commit_sample() {}
  zun_package::ProfileReport take() { return std::move(report_); }

 private:
  zun_package::ProfileReport report_;
};

// Or a store, one sample at a time: a tile's physical number may come after
// its samples, and the clock after the tiles.
class StoreTarget {
 public:
  void clock(std::uint64_t clock_hz) { builder_.set_clock_hz(clock_hz); }
  void begin_tile() { builder_.begin_tile(0); }
  void tile_physical(std::uint32_t physical) {
    builder_.set_tile_physical(physical);
  }
  // One sample reused: its texts keep their room, so reading costs no
  // allocation once warm. Every field is required, so each is overwritten;
  // the metadata list alone is read by appending.
  zun_package::CycleSample& next_sample() {
    sample_.step.metadata.clear();
    return sample_;
  }
  void commit_sample() { builder_.add_sample(sample_); }
  zun_store::ReportStore take() { return builder_.finish(); }

 private:
  zun_store::StoreBuilder builder_;
  zun_package::CycleSample sample_;
};

// Describes malformed JSON: where, from `text` when it is at hand, and
// what.
[[noreturn]] void malformed(const std::string* text, std::string_view source,
                            simdjson::error_code code) {
  std::string message(source);
  std::optional<SyntaxError> error;
  if (text != nullptr) error = find_syntax_error(*text);
  if (error) {
    const TextPosition where = position_of(*text, error->offset);
    message += ':' + std::to_string(where.line) + ':' +
               std::to_string(where.column) +
               ": malformed JSON: " + error->message + " (byte " +
               std::to_string(error->offset) + ")";
  } else {
    message += ": malformed JSON: ";
    message += simdjson::error_message(code);
  }
  throw InputError(message);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

static_assert(kMaxReportBytes == simdjson::SIMDJSON_MAXSIZE_BYTES,
              "the reader's limit is the parser's");

// A pipe's or device's first buffer; it doubles as needed.
constexpr std::size_t kFirstBuffer = std::size_t{1} << 16;
// Bytes read at a time, so that progress moves on a big file.
constexpr std::size_t kChunk = std::size_t{8} << 20;

// "4 GiB" for whole gibibytes (the usual limit), else the exact bytes.
std::string size_text(std::size_t bytes) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  const std::uint64_t whole = std::uint64_t{bytes} + 1;
  if (whole % kGiB == 0) return std::to_string(whole / kGiB) + " GiB";
  return std::to_string(bytes) + " bytes";
}

[[noreturn]] void too_large(std::string_view source, std::size_t limit) {
  throw InputError(std::string(source) + ": the report is larger than the " +
                   size_text(limit) + " that can be read");
}

}  // namespace

std::string source_name(const std::string& path) {
  return path == "-" ? std::string("standard input") : escape_control(path);
}

std::string read_input(const std::string& path, ProgressMeter* progress,
                       std::size_t limit) {
  const bool from_stdin = path == "-";
  const std::string name = source_name(path);
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* file = stdin;
  if (!from_stdin) {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned)
      throw InputError("cannot open " + name + ": " + std::strerror(errno));
    file = owned.get();
  }

  // A regular file says its size: refuse one too large before reading, and
  // read the others into one buffer of that size. Anything else (a pipe, a
  // device) grows its buffer geometrically, but never past the limit.
  std::error_code size_error;
  const std::uintmax_t size =
      from_stdin ? 0 : std::filesystem::file_size(path, size_error);
  if (!size_error && size > limit) too_large(name, limit);
  const std::size_t most = limit == std::numeric_limits<std::size_t>::max()
                               ? limit
                               : limit + 1;  // one more shows the excess
  // One byte more than the size, so that the end is seen without growing;
  // the padding is reserved at once so that it costs no second copy.
  std::size_t capacity = size_error || size == 0
                             ? std::min(kFirstBuffer, most)
                             : static_cast<std::size_t>(size) + 1;
  capacity = std::min(capacity, most);
  std::string text;
  text.reserve(capacity + simdjson::SIMDJSON_PADDING);
  text.resize(capacity);
  if (progress != nullptr) progress->start("reading", size_error ? 0 : size);

  std::size_t used = 0;
  while (true) {
    if (used == text.size()) {
      if (used >= most) too_large(name, limit);
      text.resize(std::min(most, used <= most / 2 ? 2 * used : most));
    }
    const std::size_t chunk = std::min(text.size() - used, kChunk);
    const std::size_t got = std::fread(text.data() + used, 1, chunk, file);
    used += got;
    if (progress != nullptr) progress->update(used);
    if (got < chunk) {
      if (std::ferror(file) != 0) {
        throw InputError("cannot read " + name + ": " + std::strerror(errno));
      }
      if (std::feof(file) != 0) break;
    }
  }
  if (used > limit) too_large(name, limit);
  if (progress != nullptr) progress->complete();
  if (text.size() < used + simdjson::SIMDJSON_PADDING) {
    text.resize(used + simdjson::SIMDJSON_PADDING);
  }
  text.resize(used);  // keeps the capacity, and so the padding
  return text;
}

namespace {

// Parses `text`, whose buffer holds at least `readable` bytes (the parser
// reads ahead past the end). Malformed JSON is described from `full_text()`,
// which is `text` unless the release gave some of it back.
template <typename Target, typename FullText>
auto parse_text(std::string_view text, std::size_t readable,
                std::string_view source, ProgressMeter* progress,
                PrefixRelease* release, FullText&& full_text) {
  if (text.size() > kMaxReportBytes) too_large(source, kMaxReportBytes);
  std::optional<simdjson::padded_string> copy;
  simdjson::padded_string_view view;
  if (readable >= text.size() + simdjson::SIMDJSON_PADDING) {
    view = simdjson::padded_string_view(text.data(), text.size(), readable);
  } else {
    copy.emplace(text);
    view = *copy;
  }
  try {
    ondemand::parser parser;
    ondemand::document document;
    check(parser.iterate(view).get(document));
    if (progress != nullptr) progress->start("parsing", text.size());
    Target target;
    Reader<Target>(source, progress, release).read(document, view, target);
    if (progress != nullptr) progress->complete();
    return target.take();
  } catch (const Malformed& error) {
    if (error.code == simdjson::MEMALLOC) throw std::bad_alloc();
    malformed(full_text(), source, error.code);
  }
}

}  // namespace

zun_package::ProfileReport parse_report(const std::string& text,
                                        std::string_view source,
                                        ProgressMeter* progress) {
  return parse_text<RecordTarget>(text, text.capacity(), source, progress,
                                  nullptr, [&] { return &text; });
}

zun_store::ReportStore parse_report_store(const std::string& text,
                                          std::string_view source,
                                          ProgressMeter* progress) {
  return parse_text<StoreTarget>(text, text.capacity(), source, progress,
                                 nullptr, [&] { return &text; });
}

namespace {

// Reads and parses the JSON report at `path` into `Target`, giving the
// text's pages back as the walk passes them.
template <typename Target>
auto load_json(const std::string& path, ProgressMeter* progress,
               std::string text) {
  const std::string source = source_name(path);
  // Standard input cannot be read twice: its text stays whole.
  std::optional<PrefixRelease> release;
  if (path != "-") release.emplace(text);
  std::string reread;
  return parse_text<Target>(
      text, text.capacity(), source, progress, release ? &*release : nullptr,
      [&]() -> const std::string* {
                      if (!release || !release->released()) return &text;
                      try {
                        reread = read_input(path);
                      } catch (const InputError&) {
                        return nullptr;  // gone since: no place to give
                      }
                      // Changed since: its places would mislead.
                      return reread.size() == text.size() ? &reread : nullptr;
                    });
}

}  // namespace

zun_package::ProfileReport load_report(const std::string& path,
                                       ProgressMeter* progress) {
  return load_json<RecordTarget>(path, progress, read_input(path, progress));
}

namespace {

// A store's own message, with the input named as every message names it.
[[noreturn]] void store_failed(const std::string& path,
                               const zun_store::StoreError& error) {
  std::string what = error.what();
  const std::string given = path + ": ";
  if (what.rfind(given, 0) == 0) what.erase(0, given.size());
  throw InputError(source_name(path) + ": " + what);
}

// load_store, whose store may throw StoreError: a damaged store file, or a
// report past a store's limits.
zun_store::ReportStore load_store_or_throw(const std::string& path,
                                           ProgressMeter* progress) {
  // A regular file is told by its first bytes, then mapped or read; any
  // other input (standard input, a pipe such as <(...)) can be read only
  // once, so it is read whole and told by the bytes read.
  std::error_code not_regular;
  if (path != "-" && std::filesystem::is_regular_file(path, not_regular)) {
    char head[8] = {};
    std::size_t got = 0;
    {
      std::unique_ptr<std::FILE, FileCloser> file(
          std::fopen(path.c_str(), "rb"));
      if (!file) {
        throw InputError("cannot open " + source_name(path) + ": " +
                         std::strerror(errno));
      }
      got = std::fread(head, 1, sizeof(head), file.get());
    }
    if (zun_store::ReportStore::is_store({head, got})) {
      return zun_store::ReportStore::open(path);
    }
    return load_json<StoreTarget>(path, progress, read_input(path, progress));
  }
  std::string text = read_input(path, progress);
  if (zun_store::ReportStore::is_store(text)) {
    return zun_store::ReportStore::from_bytes(
        std::as_bytes(std::span(text.data(), text.size())), path);
  }
  return load_json<StoreTarget>(path, progress, std::move(text));
}

}  // namespace

zun_store::ReportStore load_store(const std::string& path,
                                  ProgressMeter* progress) {
  try {
    return load_store_or_throw(path, progress);
  } catch (const zun_store::StoreError& error) {
    store_failed(path, error);
  }
}

zun_store::ReportStore load_store_showing_progress(const std::string& path) {
  ProgressMeter progress(std::cerr, source_name(path), stderr_is_terminal());
  return load_store(path, &progress);
}

zun_package::ProfileReport load_report_showing_progress(
    const std::string& path) {
  ProgressMeter progress(std::cerr, source_name(path), stderr_is_terminal());
  return load_report(path, &progress);
}

}  // namespace profile_query
