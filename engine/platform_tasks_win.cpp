#include <windows.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <utility>

#include "module_win.h"
#include "platform_tasks.h"

namespace standin {
namespace {

constexpr UINT kRunTasksMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"StandinPlatformTasks";

// Tasks run by the current thread's message loop; runQueuedPlatformTasks counts them.
thread_local int tasksRunOnThisThread = 0;

class WinTasks final : public PlatformTasks, public std::enable_shared_from_this<WinTasks> {
 public:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kRunTasksMessage) {
      auto* tasks = reinterpret_cast<WinTasks*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      // Held while running: a task may destroy the engine, and with it this queue.
      if (tasks != nullptr) tasks->shared_from_this()->runQueued();
      return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  bool open() {
    static std::once_flag registered;
    std::call_once(registered, [] {
      WNDCLASSW windowClass{};
      windowClass.lpfnWndProc = &WinTasks::windowProc;
      windowClass.hInstance = thisModule();
      windowClass.lpszClassName = kWindowClass;
      RegisterClassW(&windowClass);
    });
    window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              thisModule(), nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return true;
  }

  ~WinTasks() override { close(); }

  void post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ == nullptr) return;
    bool wasEmpty = tasks_.empty();
    tasks_.push_back(std::move(task));
    // One wake-up message drains everything queued until then.
    if (wasEmpty) PostMessageW(window_, kRunTasksMessage, 0, 0);
  }

  void close() override {
    HWND window;
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window = window_;
      window_ = nullptr;
      dropped.swap(tasks_);
    }
    if (window != nullptr) {
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      DestroyWindow(window);
    }
  }

 private:
  // Runs one task at a time so a task that closes the queue stops the rest. A task posted while
  // this runs finds the queue empty or not: either way it runs in this loop or on its own
  // wake-up message, never neither.
  void runQueued() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (window_ == nullptr || tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
      ++tasksRunOnThisThread;
    }
  }

  std::mutex mutex_;
  HWND window_ = nullptr;                    // guarded by mutex_; null once closed
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
};

}  // namespace

std::shared_ptr<PlatformTasks> PlatformTasks::create() {
  auto tasks = std::make_shared<WinTasks>();
  if (!tasks->open()) return nullptr;
  return tasks;
}

int runQueuedPlatformTasks(int timeoutMs) {
  int before = tasksRunOnThisThread;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // Leave the quit for the caller's own message loop.
        PostQuitMessage(static_cast<int>(message.wParam));
        return tasksRunOnThisThread - before;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (tasksRunOnThisThread != before) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  return tasksRunOnThisThread - before;
}

}  // namespace standin
