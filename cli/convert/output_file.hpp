#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// Files written whole or not at all: under a temporary name beside their
// path, renamed into place when complete. A failure, an exception or an
// interrupt (Ctrl-C, SIGTERM, SIGHUP) leaves no temporary file and any
// earlier file at the path as it was.
namespace profile_query {

// While one lives, an interrupt removes `path` before the process ends by
// the signal as it would have. One at a time.
class RemoveOnInterrupt {
 public:
  explicit RemoveOnInterrupt(const std::filesystem::path& path);
  ~RemoveOnInterrupt();
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;
};

class OutputFile {
 public:
  // Creates the temporary file beside `path`; `name` is how messages call
  // the output. Throws InputError when it cannot be created.
  OutputFile(const std::filesystem::path& path, std::string name);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends `bytes`; throws InputError on a write failure.
  void write(std::string_view bytes);

  // Flushes, closes and renames the file into place; throws InputError on
  // failure, leaving nothing behind.
  void commit();

 private:
  [[noreturn]] void fail(const std::string& what);

  std::filesystem::path path_;
  std::filesystem::path partial_;
  std::string name_;
  std::FILE* file_ = nullptr;
  bool committed_ = false;
  RemoveOnInterrupt guard_;
};

// Whether `input` and `output` name one file (both exist and are the same).
bool same_file(const std::string& input, const std::string& output);

}  // namespace profile_query
