// Work queued for the UI platform thread, one queue per engine. Natively the platform thread is
// whichever thread calls standin::runPlatformTasks; on Windows it is the thread that created the
// queue, whose message loop dispatches the queue's hidden message window.
#ifndef QUILLON_ENGINE_PLATFORM_TASKS_H_
#define QUILLON_ENGINE_PLATFORM_TASKS_H_

#include <functional>
#include <memory>

namespace standin {

class PlatformTasks {
 public:
  // Call on the platform thread. Null when the queue cannot be set up.
  static std::shared_ptr<PlatformTasks> create();

  virtual ~PlatformTasks() = default;
  // Any thread. Tasks run in the order posted; a task posted after close() is dropped.
  virtual void post(std::function<void()> task) = 0;
  // Platform thread. Drops the queued tasks and refuses later ones.
  virtual void close() = 0;
};

// Runs queued tasks on the calling thread; see standin::runPlatformTasks.
int runQueuedPlatformTasks(int timeoutMs);

}  // namespace standin

#endif  // QUILLON_ENGINE_PLATFORM_TASKS_H_
