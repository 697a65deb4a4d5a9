#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <simdjson.h>
#include <span>
#include <string>
#include <string_view>

#include "frontend_core/reading/field_path.hpp"
#include "frontend_core/reading/progress.hpp"
#include "frontend_core/reading/report_reader.hpp"

// The walk of a JSON report (internal to the report reader): one forward
// pass over the parser's document, every field checked and handed to a
// target, the records of a report or a store being built.
namespace profile_query::detail {

namespace ondemand = simdjson::ondemand;
using ondemand::json_type;

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Thrown inside the walk when the text itself is not JSON; turned into a
// message with the place of the first offending byte.
struct Malformed {
  simdjson::error_code code;
};

inline void check(simdjson::error_code code) {
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

}  // namespace profile_query::detail
