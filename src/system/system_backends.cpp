#include "system/system_backends.h"

namespace quillon {

SystemBackends systemBackends() {
  // Stateless objects shared by every caller; never destroyed, so they stay usable from
  // destructors that run late at process exit.
  static CommandRunner* const runner = makeSystemCommandRunner().release();
  static AdapterListSource* const adapters = makeSystemAdapterListSource().release();
  static InternetOptionSetter* const options = makeSystemInternetOptionSetter(*runner).release();
  return SystemBackends{options, adapters, runner};
}

}  // namespace quillon
