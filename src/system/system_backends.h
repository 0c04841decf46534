// The replaceable parts through which the system settings reach the machine, bundled so that
// the owner of the network settings can hold them and tests can swap in fakes.
#pragma once

#include "system/adapter_dns.h"
#include "system/command_runner.h"
#include "system/desktop_account.h"
#include "system/journal_storage.h"
#include "system/network_adapters.h"
#include "system/system_proxy.h"

namespace quillon {

struct SystemBackends {
  InternetOptionSetter* internetOptions = nullptr;
  InternetOptionGetter* currentInternetOptions = nullptr;
  // The dial-up, PPPoE and VPN connections whose proxy settings are changed with the LAN's;
  // null: none.
  ConnectionEntryLister* connectionEntries = nullptr;
  AdapterListSource* adapters = nullptr;
  AdapterDnsReader* adapterDns = nullptr;
  CommandRunner* commands = nullptr;
  // Where the record of changed settings is kept; null keeps it in memory only.
  JournalStorage* journal = nullptr;
  // Whose settings a change reaches; null: never compared.
  AccountSource* accounts = nullptr;
};

// The machine's real implementations, created on first use and alive until the process ends.
// Tests must not call the operations with these on Linux: they change the host's settings.
SystemBackends systemBackends();

}  // namespace quillon
