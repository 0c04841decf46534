#include "proxy/worker_pool.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "log/app_log.h"

namespace quillon {

namespace {

// Enough parked threads for a burst of short connections at high concurrency; each costs a
// few pages of stack while parked.
constexpr size_t kDefaultMaxParked = 128;
constexpr auto kDefaultParkedTime = std::chrono::seconds(60);

}  // namespace

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable workAvailable;
  std::condition_variable parkedLeft;
  // Guarded by mutex: jobs handed to parked threads and not yet taken, the parked threads,
  // all threads, the limits, and a generation that tells parked threads to re-check them.
  std::deque<PoolJob> queue;
  size_t parked = 0;
  size_t threads = 0;
  size_t maxParked = kDefaultMaxParked;
  std::chrono::milliseconds parkedTime = kDefaultParkedTime;
  unsigned limitsGeneration = 0;
};

WorkerPool::WorkerPool() : state_(new State) {}

WorkerPool& WorkerPool::instance() {
  static WorkerPool* pool = new WorkerPool;
  return *pool;
}

bool WorkerPool::run(PoolJob job, ProxyThread kind, std::string& error) {
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    // Every queued job is promised to one parked thread; only a thread with no promise yet can
    // take a new one, so a job never waits for a running job to finish.
    if (state_->queue.size() < state_->parked) {
      state_->queue.push_back(std::move(job));
      // Woken after the unlock, so that the parked thread does not wake only to wait for the
      // mutex. The state is never freed, so the notify is safe outside the lock.
      lock.unlock();
      state_->workAvailable.notify_one();
      return true;
    }
    ++state_->threads;
  }
  std::thread thread;
  auto body = [this, first = std::move(job)]() mutable { workerLoop(std::move(first)); };
  if (!launchThread(kind, thread, error, std::move(body))) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->threads;
    return false;
  }
  thread.detach();
  return true;
}

void WorkerPool::workerLoop(PoolJob first) {
  PoolJob job = std::move(first);
  for (;;) {
    {
      // The job, and everything it holds, is released when it ends, not when the thread takes
      // its next job: what a job owns (its client's count among them) ends with it.
      PoolJob current = std::move(job);
      try {
        current();
      } catch (const std::exception& e) {
        logError("工作线程异常: ", e.what());
      } catch (...) {
        logError("工作线程异常");
      }
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->parked >= state_->maxParked) break;
    ++state_->parked;
    bool gotWork = false;
    for (;;) {
      const unsigned generation = state_->limitsGeneration;
      gotWork = state_->workAvailable.wait_for(lock, state_->parkedTime, [&] {
        return !state_->queue.empty() || generation != state_->limitsGeneration;
      });
      if (!state_->queue.empty()) break;
      if (!gotWork || state_->parked > state_->maxParked) break;
    }
    --state_->parked;
    state_->parkedLeft.notify_all();
    if (state_->queue.empty()) break;
    job = std::move(state_->queue.front());
    state_->queue.pop_front();
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->threads;
}

size_t WorkerPool::parkedCount() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->parked;
}

size_t WorkerPool::threadCount() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->threads;
}

WorkerPool::ParkingLimits WorkerPool::setParkingLimits(ParkingLimits limits) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const ParkingLimits previous{state_->maxParked, state_->parkedTime};
  state_->maxParked = limits.maxParked;
  state_->parkedTime = limits.parkedTime;
  ++state_->limitsGeneration;
  state_->workAvailable.notify_all();
  // Threads parked beyond the new limit leave before this returns.
  state_->parkedLeft.wait(lock, [this] { return state_->parked <= state_->maxParked; });
  return previous;
}

}  // namespace quillon
