// A test stand-in for the engine library's monitor DPI query, so that window tests can place
// a window as if its monitor had any DPI.
#pragma once

#include <windows.h>

namespace quillon::testing {

// The DPI every monitor reports from now on (96 at first).
void setFakeMonitorDpi(UINT dpi);

}  // namespace quillon::testing
