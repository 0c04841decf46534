#include "system/journal_storage.h"

namespace quillon {

bool retryWhileHeld(const std::function<bool(unsigned long* errorCode)>& operation,
                    const std::function<bool(unsigned long errorCode)>& held,
                    const std::function<void(std::chrono::milliseconds)>& wait,
                    unsigned long* errorCode) {
  for (const int delay : kHeldFileRetryDelaysMs) {
    if (operation(errorCode)) return true;
    if (!held(*errorCode)) return false;
    wait(std::chrono::milliseconds(delay));
  }
  return operation(errorCode);
}

}  // namespace quillon
