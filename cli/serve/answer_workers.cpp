#include "cli/serve/answer_workers.hpp"

#include <pthread.h>
#include <signal.h>

namespace profile_query {

AnswerWorkers::AnswerWorkers(std::size_t threads) {
  // Started with every signal blocked, which they keep: the server's
  // signals are for the thread that waits for them.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this] { serve(); });
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

AnswerWorkers::~AnswerWorkers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void AnswerWorkers::run(const std::function<void()>& job) {
  Job mine{&job};
  std::unique_lock lock(mutex_);
  jobs_.push_back(&mine);
  wake_.notify_one();
  done_.wait(lock, [&] { return mine.done; });
}

void AnswerWorkers::serve() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left to do
    Job* job = jobs_.front();
    jobs_.pop_front();
    lock.unlock();
    (*job->work)();
    lock.lock();
    job->done = true;
    done_.notify_all();
  }
}

}  // namespace profile_query
