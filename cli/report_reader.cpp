#include "cli/report_reader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <simdjson.h>

#include "cli/field_path.hpp"
#include "cli/json_syntax.hpp"

namespace profile_query {
namespace {

namespace ondemand = simdjson::ondemand;
using ondemand::json_type;

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// A text from the input, fit for a one-line message: control bytes escaped,
// cut after 60 bytes.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kShown) out += "...";
  out += '"';
  return out;
}

// Thrown inside the walk when the text itself is not JSON; turned into a
// message with the place of the first offending byte.
struct Malformed {
  simdjson::error_code code;
};

void check(simdjson::error_code code) {
  if (code != simdjson::SUCCESS) throw Malformed{code};
}

// Walks the document in one pass, straight into the records, checking every
// field. Every value is read (unknown fields are refused, not skipped), so
// the parser sees and validates the whole text.
class Reader {
 public:
  explicit Reader(std::string_view source) : source_(source) {}

  zun_package::ProfileReport read(ondemand::document& document) {
    zun_package::ProfileReport report;
    json_type type{};
    check(document.type().get(type));
    if (type != json_type::object) {
      ondemand::value root;
      check(document.get_value().get(root));
      invalid("expected an object, found " + describe(root));
    }
    ondemand::object object;
    check(document.get_object().get(object));
    static constexpr std::array<std::string_view, 2> kFields = {"clock_hz",
                                                                "tiles"};
    read_fields(object, kFields, [&](std::size_t field, ondemand::value value) {
      if (field == 0) {
        report.clock_hz =
            unsigned_number(value, kMax64, "an unsigned 64-bit integer");
      } else {
        read_array(value, [&](ondemand::value tile) {
          read_tile(tile, report.tiles.emplace_back());
        });
      }
    });
    // Anything after the report object is not part of one JSON value.
    const char* rest = nullptr;
    if (document.current_location().get(rest) == simdjson::SUCCESS) {
      throw Malformed{simdjson::TRAILING_CONTENT};
    }
    return report;
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
        return std::string(
            token.substr(0, token.find_last_not_of(" \t\r\n") + 1));
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
      if (found == names.end()) invalid("unknown field " + quoted(key));
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
      invalid("unknown kind " + quoted(name) +
              " (expected \"exchange\", \"compute\", \"synchronization\" or "
              "\"idle\")");
    }
    return static_cast<zun_package::ProfileStepKind>(found - kNames.begin());
  }

  void read_tile(ondemand::value value, zun_package::TileProfile& tile) {
    static constexpr std::array<std::string_view, 2> kFields = {"physical_tile",
                                                                "samples"};
    read_object(value, kFields, [&](std::size_t field, ondemand::value item) {
      if (field == 0) {
        tile.physical_tile = unsigned32(item);
      } else {
        read_array(item, [&](ondemand::value sample) {
          read_sample(sample, tile.samples.emplace_back());
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

  std::string_view source_;
  FieldPath path_;
};

[[noreturn]] void malformed(std::string_view text, std::string_view source,
                            simdjson::error_code code) {
  std::string message(source);
  if (const std::optional<SyntaxError> error = find_syntax_error(text)) {
    const TextPosition where = position_of(text, error->offset);
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

}  // namespace

std::string source_name(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

std::string read_input(const std::string& path) {
  const bool from_stdin = path == "-";
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* file = stdin;
  if (!from_stdin) {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned)
      throw InputError("cannot open " + path + ": " + std::strerror(errno));
    file = owned.get();
  }

  // Read into one buffer sized from the file when it has a size, growing
  // geometrically otherwise, with room left for the parser's padding.
  std::string text;
  std::error_code size_error;
  const std::uintmax_t size =
      from_stdin ? 0 : std::filesystem::file_size(path, size_error);
  std::size_t used = 0;
  // One byte more than the size, so that the end is seen without growing;
  // the padding is reserved at once so that it costs no second copy.
  const std::size_t expected = size_error || size == 0
                                   ? std::size_t{1} << 16
                                   : static_cast<std::size_t>(size) + 1;
  text.reserve(expected + simdjson::SIMDJSON_PADDING);
  text.resize(expected);
  while (true) {
    if (used == text.size()) text.resize(text.size() * 2);
    const std::size_t got =
        std::fread(text.data() + used, 1, text.size() - used, file);
    used += got;
    if (got == 0 || used < text.size()) {
      if (std::ferror(file) != 0) {
        throw InputError("cannot read " + source_name(path) + ": " +
                         std::strerror(errno));
      }
      if (std::feof(file) != 0) break;
    }
  }
  if (text.size() < used + simdjson::SIMDJSON_PADDING) {
    text.resize(used + simdjson::SIMDJSON_PADDING);
  }
  text.resize(used);  // keeps the capacity, and so the padding
  return text;
}

zun_package::ProfileReport parse_report(const std::string& text,
                                        std::string_view source) {
  if (text.size() > simdjson::SIMDJSON_MAXSIZE_BYTES) {
    throw InputError(std::string(source) +
                     ": the report is larger than the 4 GiB that can be read");
  }
  std::optional<simdjson::padded_string> copy;
  simdjson::padded_string_view view;
  if (text.capacity() >= text.size() + simdjson::SIMDJSON_PADDING) {
    view =
        simdjson::padded_string_view(text.data(), text.size(), text.capacity());
  } else {
    copy.emplace(text);
    view = *copy;
  }
  try {
    ondemand::parser parser;
    ondemand::document document;
    check(parser.iterate(view).get(document));
    return Reader(source).read(document);
  } catch (const Malformed& error) {
    if (error.code == simdjson::MEMALLOC) throw std::bad_alloc();
    malformed(text, source, error.code);
  }
}

}  // namespace profile_query
