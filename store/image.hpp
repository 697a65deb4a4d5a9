#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "store/report_store.hpp"

// The bytes behind a ReportStore: a read-only mapping of a file, or a block
// in memory that a builder filled. Internal: not installed.
namespace zun_store {

class ReportStore::Image {
 public:
  // Maps the file at `path` read-only. Throws StoreError, naming `name`,
  // when it cannot be opened, is no regular file or cannot be mapped.
  static std::unique_ptr<Image> map(const std::filesystem::path& path,
                                    const std::string& name);

  // A zeroed block of `size` bytes, 64-aligned, to be filled through
  // writable() before the image is read.
  static std::unique_ptr<Image> allocate(std::size_t size);

  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  std::span<const std::byte> bytes() const noexcept { return {data_, size_}; }

  // Throws StoreError when the file mapped is no longer the one at its path
  // as it was when mapped: another file renamed there, or this one
  // rewritten (its size or times changed). A removed file is no change:
  // the mapping keeps its bytes. Images in memory never change.
  void check_unchanged() const;
  std::byte* writable() noexcept { return owned_.get(); }

 private:
  Image() = default;

  struct Free {
    void operator()(std::byte* block) const noexcept;
  };

  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<std::byte[], Free> owned_;  // a block in memory, if any
  void* mapping_ = nullptr;                   // a mapped file, if any

  // The mapped file's path, name and state when mapped (see FileState in
  // image.cpp); empty for an image in memory.
  std::filesystem::path path_;
  std::string name_;
  std::array<std::int64_t, 7> state_{};
};

}  // namespace zun_store
