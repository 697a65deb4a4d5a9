#include "store/store_builder.hpp"

#include <cstring>

#include "store/assembler.hpp"
#include "store/image.hpp"

namespace zun_store {
namespace {

// Fills a block of the exact size the store takes.
class BlockSink final : public ByteSink {
 public:
  BlockSink(std::byte* block, std::size_t size) : block_(block), size_(size) {}
  void write(std::span<const std::byte> bytes) override {
    // The layout's sizes and the bytes written agree by construction; a
    // fault there must stop here, not write past the block.
    if (bytes.size() > size_ - at_) {
      throw StoreError("in-memory store: more bytes than its layout has room for");
    }
    if (!bytes.empty()) std::memcpy(block_ + at_, bytes.data(), bytes.size());
    at_ += bytes.size();
  }
  void rewrite_header(std::span<const std::byte> header) override {
    std::memcpy(block_, header.data(), header.size());
  }

 private:
  std::byte* block_;
  std::size_t size_;
  std::size_t at_ = 0;
};

constexpr const char* kMemoryName = "in-memory store";

}  // namespace

class StoreBuilder::Impl {
 public:
  explicit Impl(std::uint64_t clock_hz) : assembler(clock_hz, {}, kMemoryName) {}
  Assembler assembler;
};

StoreBuilder::StoreBuilder(std::uint64_t clock_hz)
    : impl_(std::make_unique<Impl>(clock_hz)) {}
StoreBuilder::~StoreBuilder() = default;
StoreBuilder::StoreBuilder(StoreBuilder&&) noexcept = default;
StoreBuilder& StoreBuilder::operator=(StoreBuilder&&) noexcept = default;

void StoreBuilder::set_clock_hz(std::uint64_t clock_hz) noexcept {
  impl_->assembler.set_clock_hz(clock_hz);
}

void StoreBuilder::begin_tile(std::uint32_t physical_tile) {
  impl_->assembler.begin_tile(physical_tile);
}

void StoreBuilder::set_tile_physical(std::uint32_t physical_tile) {
  impl_->assembler.set_tile_physical(physical_tile);
}

void StoreBuilder::add_sample(const zun_package::CycleSample& sample) {
  impl_->assembler.add_sample(sample);
}

void StoreBuilder::add_tile(const zun_package::TileProfile& tile) {
  impl_->assembler.begin_tile(tile.physical_tile);
  for (const zun_package::CycleSample& sample : tile.samples) {
    impl_->assembler.add_sample(sample);
  }
}

ReportStore StoreBuilder::finish(StoreVersion wanted) {
  Assembler& assembler = impl_->assembler;
  const std::uint32_t version = assembler.version_for(wanted);
  std::unique_ptr<ReportStore::Image> image =
      ReportStore::Image::allocate(assembler.image_size(version));
  BlockSink sink(image->writable(), image->bytes().size());
  assembler.write(sink, version);
  impl_ = std::make_unique<Impl>(0);
  return ReportStore(std::move(image), kMemoryName);
}

ReportStore ReportStore::from_report(const zun_package::ProfileReport& report,
                                     StoreVersion version) {
  StoreBuilder builder(report.clock_hz);
  for (const zun_package::TileProfile& tile : report.tiles) {
    builder.add_tile(tile);
  }
  return builder.finish(version);
}

}  // namespace zun_store
