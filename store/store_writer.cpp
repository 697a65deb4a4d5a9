#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "store/assembler.hpp"
#include "store/report_store.hpp"

namespace zun_store {
namespace {

// Writes the store to a file through the C library's buffer.
class FileSink final : public ByteSink {
 public:
  FileSink(std::FILE* file, const std::string& name)
      : file_(file), name_(name) {}
  void write(std::span<const std::byte> bytes) override {
    if (!bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
      fail();
    }
  }
  void rewrite_header(std::span<const std::byte> header) override {
    if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) fail();
    write(header);
    if (std::fflush(file_) != 0) fail();
  }

 private:
  [[noreturn]] void fail() const {
    throw StoreError(name_ + ": cannot write: " + std::strerror(errno));
  }
  std::FILE* file_;
  const std::string& name_;
};

std::filesystem::path partial_beside(const std::filesystem::path& path) {
  std::random_device random;
  std::filesystem::path partial = path;
  partial += ".partial-" + std::to_string(random());
  return partial;
}

std::filesystem::path folder_of(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

class StoreWriter::Impl {
 public:
  Impl(const std::filesystem::path& path, std::uint64_t clock_hz,
       StoreVersion version)
      : version_(version),
        path_(path),
        partial_(partial_beside(path)),
        assembler_(clock_hz, folder_of(path), path.string()) {
    file_ = std::fopen(partial_.c_str(), "wbx");
    if (file_ == nullptr) {
      throw StoreError(path.string() + ": cannot write there: " +
                       std::strerror(errno));
    }
  }

  ~Impl() {
    if (file_ != nullptr) std::fclose(file_);
    if (!finished_) {
      std::error_code ignored;
      std::filesystem::remove(partial_, ignored);
    }
  }

  void add_tile(const zun_package::TileProfile& tile) {
    if (finished_) fail("a tile was added after finish()");
    assembler_.begin_tile(tile.physical_tile);
    for (const zun_package::CycleSample& sample : tile.samples) {
      assembler_.add_sample(sample);
    }
  }

  void finish() {
    if (finished_) fail("finish() was called twice");
    FileSink sink(file_, assembler_.name());
    assembler_.write(sink, assembler_.version_for(version_));
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
      fail(std::string("cannot write: ") + std::strerror(errno));
    }
    std::error_code error;
    std::filesystem::rename(partial_, path_, error);
    if (error) fail("cannot rename " + partial_.string() + ": " +
                    error.message());
    finished_ = true;
  }

  const std::filesystem::path& partial() const noexcept { return partial_; }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw StoreError(path_.string() + ": " + what);
  }

  StoreVersion version_;
  std::filesystem::path path_;
  std::filesystem::path partial_;
  Assembler assembler_;
  std::FILE* file_ = nullptr;
  bool finished_ = false;
};

StoreWriter::StoreWriter(const std::filesystem::path& path,
                         std::uint64_t clock_hz, StoreVersion version)
    : impl_(std::make_unique<Impl>(path, clock_hz, version)) {}
StoreWriter::~StoreWriter() = default;

void StoreWriter::add_tile(const zun_package::TileProfile& tile) {
  impl_->add_tile(tile);
}

void StoreWriter::finish() { impl_->finish(); }

const std::filesystem::path& StoreWriter::partial_path() const noexcept {
  return impl_->partial();
}

void write_store(const zun_package::ProfileReport& report,
                 const std::filesystem::path& path, StoreVersion version) {
  StoreWriter writer(path, report.clock_hz, version);
  for (const zun_package::TileProfile& tile : report.tiles) {
    writer.add_tile(tile);
  }
  writer.finish();
}

}  // namespace zun_store
