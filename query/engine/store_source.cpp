#include "query/engine/store_source.hpp"

#include <string>

namespace zun_profile::detail {

StoreFilter::StoreFilter(const zun_store::ReportStore& store,
                         const Query& request)
    : store_(&store), request_(&request) {
  if (request.kind) kind_ = static_cast<std::uint32_t>(*request.kind);
  if (request.kernel) {
    filter_kernel_ = true;
    const auto found = store.find_text(*request.kernel);
    kernel_ = found ? *found : store.text_count();  // no id equals that
  }
  if (request.operation_contains) {
    filter_operation_ = true;
    operation_met_.resize(store.text_count());
    for (std::size_t t = 0; t < store.text_count(); ++t) {
      operation_met_[t] =
          store.text(static_cast<std::uint32_t>(t))
                  .find(*request.operation_contains) != std::string_view::npos
              ? 1
              : 0;
    }
  }
  if (!request.metadata.empty()) {
    filter_metadata_ = true;
    // Each filter as the text ids it accepts: a name absent from the store
    // is met by no list.
    struct Wanted {
      std::optional<std::uint32_t> name;
      bool any_value;
      std::optional<std::uint32_t> value;
    };
    std::vector<Wanted> wanted;
    for (const MetadataFilter& filter : request.metadata) {
      wanted.push_back({store.find_text(filter.name), !filter.value,
                        filter.value ? store.find_text(*filter.value)
                                     : std::nullopt});
    }
    list_met_.resize(store.metadata_list_count());
    for (std::size_t l = 0; l < list_met_.size(); ++l) {
      const auto list = store.metadata_list(static_cast<std::uint32_t>(l));
      bool all = true;
      for (const Wanted& filter : wanted) {
        bool met = false;
        if (filter.name && (filter.any_value || filter.value)) {
          for (const zun_store::MetadataRef& entry : list) {
            if (entry.name == *filter.name &&
                (filter.any_value || entry.value == *filter.value)) {
              met = true;
              break;
            }
          }
        }
        if (!met) {
          all = false;
          break;
        }
      }
      list_met_[l] = all ? 1 : 0;
    }
  }
}

void StoreSteps::fill(SampleRef sample, SampleRecord& row) const {
  const auto s = static_cast<std::size_t>(sample);
  row.phase = store_.phases()[s];
  row.epoch = store_.epochs()[s];
  row.kind = kind_name(
      static_cast<zun_package::ProfileStepKind>(store_.kinds()[s]));
  row.operation = std::string(store_.text(store_.operations()[s]));
  row.kernel = std::string(store_.text(store_.kernels()[s]));
  const auto list = store_.metadata_list(store_.metadata_lists()[s]);
  row.metadata.reserve(list.size());
  for (const zun_store::MetadataRef& entry : list) {
    row.metadata.push_back(MetadataEntry{std::string(store_.text(entry.name)),
                                         std::string(store_.text(entry.value))});
  }
}

namespace {

// An id no text has.
constexpr std::uint64_t kNoText = UINT64_MAX;

}  // namespace

StoreTextIdentity kernel_identity(const zun_store::ReportStore& store) {
  const auto empty = store.find_text("");
  return StoreTextIdentity(store, store.kernels(), empty ? *empty : kNoText,
                           kNoKernelLabel, {}, false);
}

StoreTextIdentity operation_identity(const zun_store::ReportStore& store) {
  return StoreTextIdentity(store, store.operations(), kNoText, {}, {}, false);
}

StoreTextIdentity metadata_identity(const zun_store::ReportStore& store,
                                    std::string_view key) {
  // Each list's value for `key`: its first entry of that name, or the
  // missing mark, one past the texts.
  const std::uint32_t missing = static_cast<std::uint32_t>(
      std::min<std::size_t>(store.text_count(), UINT32_MAX));
  auto values = std::make_shared<std::vector<std::uint32_t>>(
      store.metadata_list_count(), missing);
  if (const auto name = store.find_text(key)) {
    for (std::size_t l = 0; l < values->size(); ++l) {
      for (const zun_store::MetadataRef& entry :
           store.metadata_list(static_cast<std::uint32_t>(l))) {
        if (entry.name == *name) {
          (*values)[l] = entry.value;
          break;
        }
      }
    }
  }
  StoreTextIdentity identity(store, store.metadata_lists(), missing,
                             kMissingLabel, key, true);
  identity.remap(std::move(values));
  return identity;
}

}  // namespace zun_profile::detail
