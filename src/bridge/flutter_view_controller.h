// Runs a UI engine in a view of a given size. Windows only; platform thread only.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>

#include "bridge/engine_api.h"
#include "bridge/flutter_engine.h"
#include "bridge/flutter_view.h"
#include "bridge/ui_project.h"

namespace flutter {

class FlutterViewController {
 public:
  // Starts an engine from `project` and hands it to a new view of `width` x `height` physical
  // pixels. On failure it logs "Failed to create view controller." and has no view.
  FlutterViewController(int width, int height, const UiProject& project);
  // Destroys the view controller, which ends the engine it runs.
  virtual ~FlutterViewController();
  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  FlutterEngine* engine() const { return engine_.get(); }
  // Null when creation failed.
  FlutterView* view() const { return view_.get(); }

  void forceRedraw();

  // Offers a top-level window message to the engine and its plug-ins; the result when one of
  // them handled it.
  std::optional<LRESULT> handleTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam);

 private:
  FlutterDesktopViewControllerRef controller_ = nullptr;
  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterView> view_;
};

}  // namespace flutter
