// Putting right, at start-up, the network settings a run that was killed or crashed left
// changed: what its journal says they were is put back before anything else happens.
#pragma once

#include "system/system_backends.h"

namespace quillon {

enum class NetworkRecovery {
  kNothingToDo,  // no journal
  kRestored,     // everything in the journal was put back and the journal removed
  kFailed,       // the journal could not be read or was refused, or something stayed changed
};

// Reads the journal of `system` (NetworkRecord::loadJournal) and, when it holds settings, logs
// "发现未恢复的系统网络设置，正在恢复", puts back the proxy settings and then each adapter's
// DNS with the reset lines, and logs "系统网络设置已恢复" when all of it worked. A step that
// fails logs its failure line instead and the others are still tried; whatever could not be put
// back stays in the journal for the next start. Platform thread, before the window exists.
NetworkRecovery restoreLeftoverNetworkSettings(const SystemBackends& system);

}  // namespace quillon
