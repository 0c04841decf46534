#include "fake_monitor_dpi.h"

#include "bridge/engine_api.h"

namespace {
UINT fakeDpi = 96;
}

namespace quillon::testing {
void setFakeMonitorDpi(UINT dpi) { fakeDpi = dpi; }
}  // namespace quillon::testing

extern "C" UINT FlutterDesktopGetDpiForMonitor(HMONITOR) { return fakeDpi; }
