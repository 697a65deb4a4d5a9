#pragma once

#include <cstddef>
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
};

}  // namespace zun_store
