#include "query/query.hpp"

#include <utility>

#include "query/engine/engine.hpp"
#include "query/engine/record_source.hpp"
#include "query/engine/step_path.hpp"
#include "query/engine/store_source.hpp"
#include "query/engine/tile_batches.hpp"

namespace zun_profile {

// The internals this file's public calls are assembled from.
using namespace detail;
namespace {

template <typename Source>
QueryReport query_source(const Source& source, const Query& request) {
  detail::NoSink sink;
  const bool by_batches = detail::takes_tile_batches(source, request);
  return detail::with_identity(source, request, [&](auto identity) {
    if (by_batches) {
      return detail::query_by_tile_batches(
          source, request, identity, 1,
          [](std::size_t, const auto& task) { task(0); });
    }
    return detail::execute(source, request, std::move(identity), sink);
  });
}

}  // namespace

QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request) {
  return query_source(detail::RecordSource(report), request);
}

QueryReport query(const zun_store::ReportStore& store, const Query& request) {
  const detail::StoreSource source(store);
  if (detail::takes_step_path(source, request)) {
    auto answer = detail::with_identity(source, request, [&](auto identity) {
      return detail::query_by_steps(
          source, request, identity, 1,
          [](std::size_t parts, const auto& task) {
            for (std::size_t p = 0; p < parts; ++p) task(p);
          });
    });
    if (answer) return std::move(*answer);
  }
  return query_source(source, request);
}

}  // namespace zun_profile
