#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "platform_tasks.h"

namespace standin {
namespace {

class PosixTasks;

// One process-wide queue: natively there is no message loop to tie a queue to a thread, so the
// caller of runQueuedPlatformTasks runs every engine's work.
struct SharedQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::pair<const PosixTasks*, std::function<void()>>> tasks;  // guarded by mutex
};

SharedQueue& sharedQueue() {
  static SharedQueue* queue = new SharedQueue;  // never destroyed: engines may outlive statics
  return *queue;
}

class PosixTasks final : public PlatformTasks {
 public:
  ~PosixTasks() override { close(); }

  void post(std::function<void()> task) override {
    SharedQueue& queue = sharedQueue();
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      if (closed_) return;
      queue.tasks.emplace_back(this, std::move(task));
    }
    queue.wake.notify_all();
  }

  void close() override {
    SharedQueue& queue = sharedQueue();
    std::deque<std::pair<const PosixTasks*, std::function<void()>>> dropped;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      closed_ = true;
      for (auto it = queue.tasks.begin(); it != queue.tasks.end();) {
        if (it->first == this) {
          dropped.push_back(std::move(*it));
          it = queue.tasks.erase(it);
        } else {
          ++it;
        }
      }
    }
    // The dropped tasks are destroyed here, outside the lock: their captures may post again.
  }

 private:
  bool closed_ = false;  // guarded by the shared queue's mutex
};

}  // namespace

std::shared_ptr<PlatformTasks> PlatformTasks::create() { return std::make_shared<PosixTasks>(); }

int runQueuedPlatformTasks(int timeoutMs) {
  SharedQueue& queue = sharedQueue();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      if (ran == 0) {
        queue.wake.wait_until(lock, deadline, [&] { return !queue.tasks.empty(); });
      }
      if (queue.tasks.empty()) return ran;
      task = std::move(queue.tasks.front().second);
      queue.tasks.pop_front();
    }
    task();
    ++ran;
  }
}

}  // namespace standin
