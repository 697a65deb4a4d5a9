#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// The path of the JSON value being read, such as tiles[3].samples[17].step,
// kept as a small stack so that reading costs no allocation; it is written
// out only for a message.
namespace profile_query {

class FieldPath {
 public:
  static constexpr std::size_t kMaxDepth = 8;

  // Enters field `name`; the text must outlive the entry (a literal).
  void push(std::string_view name) { push_segment({name, 0, false}); }
  // Enters element `index` of an array.
  void push(std::size_t index) { push_segment({{}, index, true}); }
  void pop() { --depth_; }

  // The path as text; "the document" at the top.
  std::string str() const {
    if (depth_ == 0) return "the document";
    std::string text;
    const std::size_t kept = depth_ < kMaxDepth ? depth_ : kMaxDepth;
    for (std::size_t i = 0; i < kept; ++i) {
      const Segment& segment = segments_[i];
      if (segment.is_index) {
        text += '[';
        text += std::to_string(segment.index);
        text += ']';
      } else {
        if (!text.empty()) text += '.';
        text += segment.name;
      }
    }
    return text;
  }

 private:
  struct Segment {
    std::string_view name;
    std::size_t index = 0;
    bool is_index = false;
  };

  // The deepest path of the report format has eight segments
  // (tiles[i].samples[j].step.metadata[k].name); deeper ones are not kept.
  void push_segment(Segment segment) {
    if (depth_ < kMaxDepth) segments_[depth_] = segment;
    ++depth_;
  }

  std::array<Segment, kMaxDepth> segments_{};
  std::size_t depth_ = 0;
};

// Keeps one segment on the path for the lifetime of a scope.
class PathScope {
 public:
  template <typename Segment>
  PathScope(FieldPath& path, Segment segment) : path_(path) {
    path_.push(segment);
  }
  ~PathScope() { path_.pop(); }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;

 private:
  FieldPath& path_;
};

}  // namespace profile_query
