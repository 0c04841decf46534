#include "system/system_backends.h"

namespace quillon {

SystemBackends systemBackends() {
  // Objects shared by every caller; never destroyed, so they stay usable from destructors that
  // run late at process exit.
  static CommandRunner* const runner = makeSystemCommandRunner().release();
  static AdapterListSource* const adapters = makeSystemAdapterListSource().release();
  static AdapterDnsReader* const adapterDns = makeSystemAdapterDnsReader().release();
  static InternetOptionSetter* const options = makeSystemInternetOptionSetter(*runner).release();
  static InternetOptionGetter* const current = makeSystemInternetOptionGetter().release();
  static ConnectionEntryLister* const entries = makeSystemConnectionEntryLister().release();
  static JournalStorage* const journal = makeSystemJournalStorage().release();
  static AccountSource* const accounts = makeSystemAccountSource().release();
  return SystemBackends{options, current, entries, adapters, adapterDns, runner, journal, accounts};
}

}  // namespace quillon
