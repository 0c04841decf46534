// Where the UI engine finds the UI: the paths of its assets, ICU data and compiled application
// library, and how the UI is entered.
#pragma once

#include <string>
#include <vector>

namespace flutter {

struct UiProject {
  std::wstring assetsPath;                       // the "flutter_assets" folder
  std::wstring icuDataPath;                      // "icudtl.dat"
  std::wstring aotLibraryPath;                   // "app.so"
  std::string entrypoint;                        // UTF-8; empty for the default entrypoint
  std::vector<std::string> entrypointArguments;  // UTF-8, in order
};

}  // namespace flutter
