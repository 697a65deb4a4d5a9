#include "store/image.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#if __has_include(<sys/mman.h>)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZUN_STORE_MMAP 1
#else
#include <fstream>
#endif

namespace zun_store {
namespace {

constexpr std::align_val_t kBlockAlignment{64};

#ifdef ZUN_STORE_MMAP
// What tells a file from another, and one state of it from the next: its
// device and inode, its size, and the times of its last write and change.
std::array<std::int64_t, 7> file_state(const struct stat& status) {
  return {static_cast<std::int64_t>(status.st_dev),
          static_cast<std::int64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec),
          static_cast<std::int64_t>(status.st_mtim.tv_nsec),
          static_cast<std::int64_t>(status.st_ctim.tv_sec),
          static_cast<std::int64_t>(status.st_ctim.tv_nsec)};
}

// The version field of the store file `fd` is open on, or 0 when it has
// none (it is shorter, or not a store: opening says which).
std::uint32_t version_of(int fd) {
  unsigned char head[12] = {};
  if (::pread(fd, head, sizeof(head), 0) != static_cast<ssize_t>(sizeof(head))) {
    return 0;
  }
  std::uint32_t version = 0;
  std::memcpy(&version, head + 8, sizeof(version));
  return version;
}
#endif

}  // namespace

void ReportStore::Image::Free::operator()(std::byte* block) const noexcept {
  ::operator delete[](block, kBlockAlignment);
}

std::unique_ptr<ReportStore::Image> ReportStore::Image::allocate(
    std::size_t size) {
  std::unique_ptr<Image> image(new Image());
  // At least one byte, so that an empty image still has an address.
  auto* block =
      static_cast<std::byte*>(::operator new[](size + 1, kBlockAlignment));
  std::memset(block, 0, size + 1);
  image->owned_.reset(block);
  image->data_ = block;
  image->size_ = size;
  return image;
}

#ifdef ZUN_STORE_MMAP

std::unique_ptr<ReportStore::Image> ReportStore::Image::map(
    const std::filesystem::path& path, const std::string& name) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw StoreError(name + ": cannot open: " + std::strerror(errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw StoreError(name + ": cannot read: " + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    throw StoreError(name + ": not a regular file");
  }
  std::unique_ptr<Image> image(new Image());
  image->path_ = path;
  image->name_ = name;
  image->state_ = file_state(status);
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size == 0) {
    image->data_ = reinterpret_cast<const std::byte*>("");
    return image;
  }
  // A version 1 store is populated up front: opening checks every page at
  // once anyway, and one call maps them faster than a fault per page
  // would. A version 2 store's pages are read when a query needs them.
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  if (version_of(fd) == 1) flags |= MAP_POPULATE;
#endif
  void* mapping = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
  if (mapping == MAP_FAILED) {
    throw StoreError(name + ": cannot map: " + std::strerror(errno));
  }
  image->mapping_ = mapping;
  image->data_ = static_cast<const std::byte*>(mapping);
  image->size_ = size;
  return image;
}

ReportStore::Image::~Image() {
  if (mapping_ != nullptr) ::munmap(mapping_, size_);
}

void ReportStore::Image::check_unchanged() const {
  if (name_.empty()) return;
  struct stat status {};
  if (::stat(path_.c_str(), &status) != 0) return;
  if (file_state(status) != state_) {
    throw StoreError(name_ +
                     ": the file changed since it was opened; open it again");
  }
}

#else

// Without mmap the file is read into a block of memory instead.
std::unique_ptr<ReportStore::Image> ReportStore::Image::map(
    const std::filesystem::path& path, const std::string& name) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw StoreError(name + ": cannot open: not a regular file");
  }
  const auto size =
      static_cast<std::size_t>(std::filesystem::file_size(path, error));
  if (error) throw StoreError(name + ": cannot read: " + error.message());
  std::unique_ptr<Image> image = allocate(size);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(image->writable()),
          static_cast<std::streamsize>(size));
  if (!in) throw StoreError(name + ": cannot read");
  return image;
}

ReportStore::Image::~Image() = default;

// The file was read whole into memory: nothing can change under it.
void ReportStore::Image::check_unchanged() const {}

#endif

}  // namespace zun_store
