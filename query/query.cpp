#include "query/query.hpp"

#include "query/engine.hpp"

namespace zun_profile {

QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request) {
  detail::NoSink sink;
  return detail::with_identity(request, [&](auto identity) {
    return detail::execute(report, request, identity, sink);
  });
}

}  // namespace zun_profile
