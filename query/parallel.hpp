#pragma once

// `query` cut into tasks that the caller runs on threads of its choosing:
// the library starts none. The pass is cut into consecutive tile ranges,
// each collected on its own; the ranges' groups are then joined and their
// runs sorted and swept as the single pass would, in shares of the groups.
// Unlike merging partial answers, nothing is swept twice, so the answer
// costs about the single pass's work on every report, spread over the
// tasks. The answer equals `query`'s in every field, doubles bit for bit.
#include <cstddef>
#include <functional>

#include "query/request.hpp"
#include "query/result.hpp"
#include "report/profile_report.hpp"
#include "store/report_store.hpp"

namespace zun_profile {

// Runs task(0), ..., task(count - 1), each once, on whatever threads it
// chooses (all on the calling thread will do), and returns once every one
// has returned. Tasks do not throw; they may run in any order and at once.
// An empty runner stands for one that runs them on the calling thread.
using TaskRunner = std::function<void(
    std::size_t count, const std::function<void(std::size_t)>& task)>;

// The answer of `request` over `store`, its work cut into tasks for
// `threads` threads and handed to `run` twice (the pass, then the sweep):
// a few tasks per thread, so that a thread slowed down (by the machine's
// other work, or by its first touches of memory) leaves its share to the
// others. `threads` of 0 or 1, or a store of one tile, is the single pass
// on the calling thread. Throws what `query` may (std::bad_alloc), having
// let every task end; std::logic_error when `run` returns with a task not
// run.
QueryReport query(const zun_store::ReportStore& store, const Query& request,
                  std::size_t threads, const TaskRunner& run);

// The same over in-memory records.
QueryReport query(const zun_package::ProfileReport& report,
                  const Query& request, std::size_t threads,
                  const TaskRunner& run);

}  // namespace zun_profile
