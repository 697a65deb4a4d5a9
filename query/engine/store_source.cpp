#include "query/engine/store_source.hpp"

#include <string>

namespace zun_profile::detail {

namespace {

// Per metadata list of `store`, whether it meets every filter of
// `request`.
std::vector<std::uint8_t> lists_met(const zun_store::ReportStore& store,
                                    const Query& request) {
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
  std::vector<std::uint8_t> met(store.metadata_list_count());
  for (std::size_t l = 0; l < met.size(); ++l) {
    const auto list = store.metadata_list(static_cast<std::uint32_t>(l));
    bool all = true;
    for (const Wanted& filter : wanted) {
      bool found = false;
      if (filter.name && (filter.any_value || filter.value)) {
        for (const zun_store::MetadataRef& entry : list) {
          if (entry.name == *filter.name &&
              (filter.any_value || entry.value == *filter.value)) {
            found = true;
            break;
          }
        }
      }
      if (!found) {
        all = false;
        break;
      }
    }
    met[l] = all ? 1 : 0;
  }
  return met;
}

}  // namespace

StoreFilter::StoreFilter(const zun_store::ReportStore& store,
                         const Query& request)
    : request_(&request) {
  const bool by_kernel = request.kernel.has_value();
  const bool by_operation = request.operation_contains.has_value();
  const bool by_metadata = !request.metadata.empty();
  const bool by_phase = !request.phases.empty();
  if (!request.kind && !by_kernel && !by_operation && !by_metadata &&
      !by_phase) {
    return;
  }
  std::optional<std::uint32_t> kind;
  if (request.kind) kind = static_cast<std::uint32_t>(*request.kind);
  std::uint64_t kernel = store.text_count();  // no id equals that
  if (by_kernel) {
    if (const auto found = store.find_text(*request.kernel)) kernel = *found;
  }
  std::vector<std::uint8_t> operation_met;  // per text id
  if (by_operation) {
    operation_met.resize(store.text_count());
    for (std::size_t t = 0; t < store.text_count(); ++t) {
      operation_met[t] =
          store.text(static_cast<std::uint32_t>(t))
                  .find(*request.operation_contains) != std::string_view::npos
              ? 1
              : 0;
    }
  }
  std::vector<std::uint8_t> list_met;  // per metadata list id
  if (by_metadata) list_met = lists_met(store, request);

  const std::uint32_t* kinds = store.step_kinds();
  const std::uint32_t* kernels = store.step_kernels();
  const std::uint32_t* operations = store.step_operations();
  const std::uint32_t* lists = store.step_metadata_lists();
  const std::uint32_t* phases = store.step_phases();
  step_met_.resize(store.step_count());
  for (std::size_t d = 0; d < step_met_.size(); ++d) {
    step_met_[d] =
        (!kind || kinds[d] == *kind) && (!by_kernel || kernels[d] == kernel) &&
                (!by_operation || operation_met[operations[d]] != 0) &&
                (!by_phase || request.phases.contains(phases[d])) &&
                (!by_metadata || list_met[lists[d]] != 0)
            ? 1
            : 0;
  }
}

void StoreSteps::fill(SampleRef sample, SampleRecord& row) const {
  const std::uint32_t d =
      store_.samples(static_cast<std::size_t>(sample), 1).steps[0];
  row.phase = store_.step_phases()[d];
  row.epoch = store_.step_epochs()[d];
  row.kind = kind_name(
      static_cast<zun_package::ProfileStepKind>(store_.step_kinds()[d]));
  row.operation = std::string(store_.text(store_.step_operations()[d]));
  row.kernel = std::string(store_.text(store_.step_kernels()[d]));
  const auto list = store_.metadata_list(store_.step_metadata_lists()[d]);
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
  return StoreTextIdentity(store, store.step_kernels(), empty ? *empty : kNoText,
                           kNoKernelLabel, {}, false);
}

StoreTextIdentity operation_identity(const zun_store::ReportStore& store) {
  return StoreTextIdentity(store, store.step_operations(), kNoText, {}, {}, false);
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
  StoreTextIdentity identity(store, store.step_metadata_lists(), missing,
                             kMissingLabel, key, true);
  identity.remap(std::move(values));
  return identity;
}

}  // namespace zun_profile::detail
