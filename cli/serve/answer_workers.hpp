#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The threads that build the server's large answers. Queries, activity and
// timelines take tens of megabytes each while they are built; built on
// whichever of the HTTP server's many workers took the request, each of
// those would keep its last answer's memory for its own next one, a
// gigabyte in all. Built here, on a few threads that live as long as the
// server, the memory one answer freed serves the next, and the server holds
// at most a few answers' worth.
namespace profile_query {

class AnswerWorkers {
 public:
  explicit AnswerWorkers(std::size_t threads);
  ~AnswerWorkers();  // finishes the jobs given, then joins
  AnswerWorkers(const AnswerWorkers&) = delete;
  AnswerWorkers& operator=(const AnswerWorkers&) = delete;

  // Runs `job` on one of the threads, after those given before it, and
  // returns when it has run. `job` must not throw.
  void run(const std::function<void()>& job);

 private:
  struct Job {
    const std::function<void()>* work;
    bool done = false;
  };

  void serve();

  std::mutex mutex_;
  std::condition_variable wake_;  // a job came, or the end
  std::condition_variable done_;  // a job finished
  std::deque<Job*> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace profile_query
