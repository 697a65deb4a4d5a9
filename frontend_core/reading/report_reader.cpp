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

#include "frontend_core/reading/field_path.hpp"
#include "frontend_core/reading/json_syntax.hpp"
#include "frontend_core/message_text.hpp"
#include "frontend_core/reading/progress.hpp"
#include "store/store_builder.hpp"

namespace profile_query {
namespace {

namespace ondemand = simdjson::ondemand;
using ondemand::json_type;

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Thrown inside the walk when the text itself is not JSON; turned into a
// message with the place of the first offending byte.
struct Malformed {
  simdjson::error_code code;
};

void check(simdjson::error_code code) {
  if (code != simdjson::SUCCESS) throw Malformed{code};
}

// Gives the memory of a text's pages back to the system once the parser has
// passed them: the walk only moves forward, so they are never read again,
// except by a message about malformed JSON, which then reads the file anew.
// This keeps the peak near the parser's index plus the records instead of
// adding the whole text to them.
class PrefixRelease {
 public:
  explicit PrefixRelease(std::string& text) : text_(text) {}

  // The walk has reached `offset`; pages well behind it may go.
  void passed(std::size_t offset) {
    // Stay a little behind, and give back in large steps: few system calls.
    constexpr std::size_t kLag = std::size_t{1} << 20;
    constexpr std::size_t kStep = std::size_t{16} << 20;
    if (offset < kLag) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto base = reinterpret_cast<std::uintptr_t>(text_.data());
    const std::uintptr_t from = (base + released_ + page - 1) / page * page;
    const std::uintptr_t to = (base + offset - kLag) / page * page;
    if (to < from + kStep) return;
    if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED) ==
        0) {
      released_ = to - base;
    }
  }

  // Whether any of the text is gone.
  bool released() const noexcept { return released_ > 0; }

 private:
  std::string& text_;
  std::size_t released_ = 0;
};

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

// Walks the document in one pass, straight into `Target`, checking every
// field. Every value is read (unknown fields are refused, not skipped), so
// the parser sees and validates the whole text.
template <typename Target>
class Reader {
 public:
  // `passed`, if given, hears how far into the text the walk has come.
  Reader(std::string_view source, ProgressMeter* progress,
         PrefixRelease* passed = nullptr)
      : source_(source), progress_(progress), passed_(passed) {}

  void read(ondemand::document& document, std::string_view text,
            Target& target) {
    document_ = &document;
    text_ = text.data();
    json_type type{};
    check(document.type().get(type));
    if (type == json_type::array) invalid("expected an object, found an array");
    if (type != json_type::object) {
      // A lone scalar is valid JSON but no report; a text that only starts
      // like one is malformed, and that is the message it deserves.
      if (find_syntax_error(text)) throw Malformed{simdjson::TAPE_ERROR};
      invalid(std::string("expected an object, found ") +
              (type == json_type::number    ? "a number"
               : type == json_type::string  ? "a string"
               : type == json_type::boolean ? "a boolean"
                                            : "null"));
    }
    ondemand::object object;
    check(document.get_object().get(object));
    static constexpr std::array<std::string_view, 2> kFields = {"clock_hz",
                                                                "tiles"};
    read_fields(object, kFields, [&](std::size_t field, ondemand::value value) {
      if (field == 0) {
        target.clock(
            unsigned_number(value, kMax64, "an unsigned 64-bit integer"));
      } else {
        read_array(value, [&](ondemand::value tile) {
          target.begin_tile();
          read_tile(tile, target);
        });
      }
    });
    // Anything after the report object is not part of one JSON value.
    const char* rest = nullptr;
    if (document.current_location().get(rest) == simdjson::SUCCESS) {
      throw Malformed{simdjson::TRAILING_CONTENT};
    }
  }

 private:
  [[noreturn]] void invalid(const std::string& what) const {
    throw InputError(std::string(source_) + ": " + path_.str() + ": " + what);
  }

  // What a value is, for a message; reading it also checks that it is
  // well-formed JSON.
  std::string describe(ondemand::value value) {
    json_type type{};
    check(value.type().get(type));
    switch (type) {
      case json_type::array:
        return "an array";
      case json_type::object:
        return "an object";
      case json_type::string: {
        std::string_view text;
        check(value.get_string().get(text));
        return "a string";
      }
      case json_type::boolean: {
        bool flag = false;
        check(value.get_bool().get(flag));
        return "a boolean";
      }
      case json_type::null: {
        bool null = false;
        check(value.is_null().get(null));
        if (!null) throw Malformed{simdjson::N_ATOM_ERROR};
        return "null";
      }
      case json_type::number: {
        double number = 0.0;
        check(value.get_double().get(number));
        const std::string_view token = value.raw_json_token();
        return shown(token.substr(0, token.find_last_not_of(" \t\r\n") + 1));
      }
    }
    return "a value";
  }

  // Calls handle(index of the name in `names`, value) for each field of
  // `object`; refuses unknown, repeated and missing fields.
  template <std::size_t N, typename Handle>
  void read_fields(ondemand::object& object,
                   const std::array<std::string_view, N>& names,
                   Handle&& handle) {
    static_assert(N <= 32);
    std::uint32_t seen = 0;
    for (auto result : object) {
      ondemand::field field;
      check(std::move(result).get(field));
      std::string_view key;
      check(field.unescaped_key().get(key));
      const auto found = std::find(names.begin(), names.end(), key);
      if (found == names.end()) invalid("unknown field " + quoted_text(key));
      const auto index = static_cast<std::size_t>(found - names.begin());
      const std::uint32_t bit = 1u << index;
      const PathScope scope(path_, names[index]);
      if ((seen & bit) != 0) invalid("the field appears twice");
      seen |= bit;
      handle(index, field.value());
    }
    for (std::size_t index = 0; index < N; ++index) {
      if ((seen & (1u << index)) == 0) {
        const PathScope scope(path_, names[index]);
        invalid("missing field");
      }
    }
  }

  template <std::size_t N, typename Handle>
  void read_object(ondemand::value value,
                   const std::array<std::string_view, N>& names,
                   Handle&& handle) {
    ondemand::object object;
    const simdjson::error_code code = value.get_object().get(object);
    if (code == simdjson::INCORRECT_TYPE)
      invalid("expected an object, found " + describe(value));
    check(code);
    read_fields(object, names, std::forward<Handle>(handle));
  }

  template <typename Handle>
  void read_array(ondemand::value value, Handle&& handle) {
    ondemand::array array;
    const simdjson::error_code code = value.get_array().get(array);
    if (code == simdjson::INCORRECT_TYPE)
      invalid("expected an array, found " + describe(value));
    check(code);
    std::size_t index = 0;
    for (auto result : array) {
      ondemand::value item;
      check(std::move(result).get(item));
      const PathScope scope(path_, index++);
      handle(item);
    }
  }

  std::uint64_t unsigned_number(ondemand::value value, std::uint64_t max,
                                const char* expected) {
    std::uint64_t number = 0;
    const simdjson::error_code code = value.get_uint64().get(number);
    if (code == simdjson::SUCCESS && number <= max) return number;
    if (code != simdjson::SUCCESS && code != simdjson::INCORRECT_TYPE &&
        code != simdjson::NUMBER_OUT_OF_RANGE) {
      throw Malformed{code};
    }
    invalid(std::string("expected ") + expected + ", found " + describe(value));
  }

  std::uint32_t unsigned32(ondemand::value value) {
    return static_cast<std::uint32_t>(
        unsigned_number(value, kMax32, "an unsigned 32-bit integer"));
  }

  std::string_view text(ondemand::value value) {
    std::string_view result;
    const simdjson::error_code code = value.get_string().get(result);
    if (code == simdjson::INCORRECT_TYPE)
      invalid("expected a string, found " + describe(value));
    check(code);
    return result;
  }

  zun_package::ProfileStepKind kind(ondemand::value value) {
    static constexpr std::array<std::string_view, 4> kNames = {
        "exchange", "compute", "synchronization", "idle"};
    const std::string_view name = text(value);
    const auto found = std::find(kNames.begin(), kNames.end(), name);
    if (found == kNames.end()) {
      invalid("unknown kind " + quoted_text(name) +
              " (expected \"exchange\", \"compute\", \"synchronization\" or "
              "\"idle\")");
    }
    return static_cast<zun_package::ProfileStepKind>(found - kNames.begin());
  }

  void read_tile(ondemand::value value, Target& target) {
    static constexpr std::array<std::string_view, 2> kFields = {"physical_tile",
                                                                "samples"};
    read_object(value, kFields, [&](std::size_t field, ondemand::value item) {
      if (field == 0) {
        target.tile_physical(unsigned32(item));
      } else {
        read_array(item, [&](ondemand::value sample) {
          read_sample(sample, target.next_sample());
          target.commit_sample();
          if (++samples_read_ % kProgressEvery == 0) report_progress();
        });
      }
    });
  }

  void read_sample(ondemand::value value, zun_package::CycleSample& sample) {
    static constexpr std::array<std::string_view, 3> kFields = {
        "start_cycle", "end_cycle", "step"};
    read_object(value, kFields, [&](std::size_t field, ondemand::value item) {
      switch (field) {
        case 0:
          sample.start_cycle = unsigned32(item);
          break;
        case 1:
          sample.end_cycle = unsigned32(item);
          break;
        default:
          read_step(item, sample.step);
          break;
      }
    });
  }

  void read_step(ondemand::value value, zun_package::ProfileStep& step) {
    static constexpr std::array<std::string_view, 7> kFields = {
        "local_index", "phase",  "epoch",   "operation",
        "kind",        "kernel", "metadata"};
    read_object(value, kFields, [&](std::size_t field, ondemand::value item) {
      switch (field) {
        case 0:
          step.local_index = unsigned32(item);
          break;
        case 1:
          step.phase = unsigned32(item);
          break;
        case 2:
          step.epoch = unsigned32(item);
          break;
        case 3:
          step.operation = text(item);
          break;
        case 4:
          step.kind = kind(item);
          break;
        case 5:
          step.kernel = text(item);
          break;
        default:
          read_array(item, [&](ondemand::value entry) {
            read_metadata(entry, step.metadata.emplace_back());
          });
          break;
      }
    });
  }

  void read_metadata(ondemand::value value,
                     zun_package::ProfileMetadata& entry) {
    static constexpr std::array<std::string_view, 2> kFields = {"name",
                                                                "value"};
    read_object(value, kFields, [&](std::size_t field, ondemand::value item) {
      (field == 0 ? entry.name : entry.value) = text(item);
    });
  }

  // Tells the meter and the prefix release how far into the text the walk
  // has come.
  void report_progress() {
    if (progress_ == nullptr && passed_ == nullptr) return;
    const char* at = nullptr;
    if (document_->current_location().get(at) == simdjson::SUCCESS) {
      const auto offset = static_cast<std::size_t>(at - text_);
      if (progress_ != nullptr) progress_->update(offset);
      if (passed_ != nullptr) passed_->passed(offset);
    }
  }

  // Samples between two progress reports: rare enough to cost nothing.
  static constexpr std::size_t kProgressEvery = 4096;

  std::string_view source_;
  FieldPath path_;
  ProgressMeter* progress_;
  PrefixRelease* passed_;
  ondemand::document* document_ = nullptr;
  const char* text_ = nullptr;
  std::size_t samples_read_ = 0;
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
  if (progress != nullptr) progress->finish();
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
    if (progress != nullptr) progress->finish();
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
