#include "bridge/flutter_view_controller.h"

#include "log/app_log.h"

namespace flutter {

FlutterViewController::FlutterViewController(int width, int height, const UiProject& project)
    : engine_(std::make_shared<FlutterEngine>(project)) {
  controller_ = FlutterDesktopViewControllerCreate(width, height, engine_->handOverEngine());
  if (controller_ == nullptr) {
    quillon::logError("Failed to create view controller.");
    return;
  }
  view_ = std::make_unique<FlutterView>(FlutterDesktopViewControllerGetView(controller_));
}

FlutterViewController::~FlutterViewController() {
  if (controller_ != nullptr) FlutterDesktopViewControllerDestroy(controller_);
  controller_ = nullptr;
  view_.reset();
  engine_.reset();
}

void FlutterViewController::forceRedraw() {
  if (controller_ != nullptr) FlutterDesktopViewControllerForceRedraw(controller_);
}

std::optional<LRESULT> FlutterViewController::handleTopLevelWindowProc(HWND window, UINT message,
                                                                       WPARAM wparam,
                                                                       LPARAM lparam) {
  if (controller_ == nullptr) return std::nullopt;
  LRESULT result = 0;
  if (!FlutterDesktopViewControllerHandleTopLevelWindowProc(controller_, window, message, wparam,
                                                            lparam, &result)) {
    return std::nullopt;
  }
  return result;
}

}  // namespace flutter
