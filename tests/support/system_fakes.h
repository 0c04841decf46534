// Stand-ins for the parts through which the system settings reach the machine, shared by the
// system and channel tests: one fake per part. Each records what it was asked; the internet
// options and adapter DNS fakes also keep the "machine's" current settings, so that a test can
// check that a reset put back exactly what was there. Given a timeline, the fakes note every
// change and journal update in it, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "system/adapter_dns.h"
#include "system/command_runner.h"
#include "system/desktop_account.h"
#include "system/journal_storage.h"
#include "system/network_adapters.h"
#include "system/network_journal.h"
#include "system/network_record.h"
#include "system/network_settings.h"
#include "system/system_backends.h"
#include "system/system_dns.h"
#include "system/system_proxy.h"

namespace quillon::testing {

// What the fakes did, in order: "apply", "run <command>", "journal write", "journal remove".
using Timeline = std::vector<std::string>;

// A command line as one text: the Windows text itself, or the words joined by spaces.
inline std::string commandText(const std::string& command) { return command; }
inline std::string commandText(const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

class FakeCommandRunner : public CommandRunner {
 public:
  bool runCommand(const CommandLine& command) override {
    commands.push_back(command);
    if (timeline != nullptr) timeline->push_back("run " + commandText(command));
    const bool fails =
        failCommands || (!failCommandsWith.empty() &&
                         commandText(command).find(failCommandsWith) != std::string::npos);
    return !fails;
  }
  std::vector<CommandLine> commands;
  bool failCommands = false;     // every command fails
  std::string failCommandsWith;  // commands holding this text fail
  Timeline* timeline = nullptr;
};

class FakeAdapterSource : public AdapterListSource {
 public:
  AdapterList listAdapters() override {
    ++reads;
    return list;
  }
  void setAdapters(std::vector<NetworkAdapter> adapters) {
    list.status = AdapterListStatus::kOk;
    list.adapters = std::move(adapters);
  }
  AdapterList list;
  int reads = 0;
};

// The connections' settings: applying options changes them, querying reads them. `settings` is
// the LAN connection's, `connections` the phone-book entries' (an entry never set reads as a
// direct connection). With `flagsUi`, the LAN connection's flags read through kOptionFlagsUi
// differ from those read through kOptionFlags, as WinINet's do after an automatic detection
// that found nothing; applying kOptionFlags sets both again.
class FakeInternetOptions : public InternetOptionSetter, public InternetOptionGetter {
 public:
  bool applyToConnection(const std::string& connection,
                         const std::vector<ConnectionOption>& options,
                         unsigned long* errorCode) override {
    calls.push_back(connection.empty() ? "apply" : "apply " + connection);
    applied.push_back(options);
    appliedTo.push_back(connection);
    if (timeline != nullptr) timeline->push_back(calls.back());
    if (failApplies || failConnections.count(connection) != 0) {
      *errorCode = failCode;
      return false;
    }
    ProxySettings& target = connection.empty() ? settings : connections[connection];
    for (const ConnectionOption& option : options) {
      switch (option.option) {
        case kOptionFlags:
          target.flags = option.flags;
          if (connection.empty()) flagsUi.reset();
          break;
        case kOptionAutoConfigUrl:
          target.autoConfigUrl = option.text;
          break;
        case kOptionProxyServer:
          target.proxyServer = option.text;
          break;
        case kOptionProxyBypass:
          target.proxyBypass = option.text;
          break;
      }
    }
    return true;
  }
  void refresh() override { calls.push_back("refresh"); }

  bool queryConnection(const std::string& connection, std::uint32_t flagsOption,
                       ProxySettings* current, unsigned long* errorCode) override {
    ++queries;
    queriedFlags.push_back(flagsOption);
    if (failQueries || (flagsOption == kOptionFlagsUi && refuseFlagsUi) ||
        failConnections.count(connection) != 0) {
      *errorCode = flagsOption == kOptionFlagsUi && refuseFlagsUi ? kInvalidOptionCode : failCode;
      return false;
    }
    *current = connection.empty() ? settings : connections[connection];
    if (connection.empty() && flagsOption == kOptionFlagsUi && flagsUi) current->flags = *flagsUi;
    return true;
  }

  static constexpr unsigned long kInvalidOptionCode = 12009;  // ERROR_INTERNET_INVALID_OPTION
  ProxySettings settings;                                     // the LAN connection's
  std::map<std::string, ProxySettings> connections;           // the phone-book entries'
  std::optional<std::uint32_t> flagsUi;  // the LAN's flags as the dialog shows them
  bool refuseFlagsUi = false;            // as a system before Windows 7 does
  std::vector<std::string> calls;        // "apply" (LAN), "apply NAME" and "refresh" in call order
  std::vector<std::vector<ConnectionOption>> applied;
  std::vector<std::string> appliedTo;       // the connection of each applied list
  std::vector<std::uint32_t> queriedFlags;  // the flags option of each query
  int queries = 0;
  bool failApplies = false;
  bool failQueries = false;
  std::set<std::string> failConnections;  // connections whose applies and queries fail
  unsigned long failCode = 5;
  Timeline* timeline = nullptr;
};

// The phone book's entries.
class FakeConnectionEntries : public ConnectionEntryLister {
 public:
  bool listEntries(std::vector<std::string>* listed, unsigned long* errorCode) override {
    if (failCode != 0) {
      *errorCode = failCode;
      return false;
    }
    *listed = names;
    return true;
  }
  std::vector<std::string> names;
  unsigned long failCode = 0;  // non-zero: listing fails with it
};

// The process's and the desktop's accounts; absent ones cannot be told.
class FakeAccounts : public AccountSource {
 public:
  bool processAccount(Account* account) override { return give(process, account); }
  bool desktopAccount(Account* account) override { return give(desktop, account); }
  std::optional<Account> process;
  std::optional<Account> desktop;

 private:
  static bool give(const std::optional<Account>& known, Account* account) {
    if (known) *account = *known;
    return known.has_value();
  }
};

// Each adapter's own DNS servers by name (absent: DHCP); `unreadable` names cannot be read.
class FakeAdapterDns : public AdapterDnsReader {
 public:
  bool readDnsServers(const NetworkAdapter& adapter, std::vector<std::string>* current,
                      unsigned long* errorCode) override {
    reads.push_back(adapter.friendlyName);
    if (unreadable.count(adapter.friendlyName) != 0) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    const auto found = servers.find(adapter.friendlyName);
    *current = found == servers.end() ? std::vector<std::string>() : found->second;
    return true;
  }
  std::map<std::string, std::vector<std::string>> servers;
  std::set<std::string> unreadable;
  std::vector<std::string> reads;
};

// The journal file: absent while `contents` is empty.
class FakeJournal : public JournalStorage {
 public:
  JournalReadStatus read(std::string* text, unsigned long* errorCode) override {
    if (failReads) {
      *errorCode = failCode;
      return JournalReadStatus::kFailed;
    }
    if (!contents) return JournalReadStatus::kAbsent;
    if (contents->size() > kMaxJournalBytes) return JournalReadStatus::kTooLarge;
    *text = *contents;
    return JournalReadStatus::kRead;
  }
  bool write(const std::string& text, unsigned long* errorCode) override {
    if (timeline != nullptr) timeline->push_back("journal write");
    if (failWrites) {
      *errorCode = failCode;
      return false;
    }
    contents = text;
    ++writes;
    return true;
  }
  bool remove(unsigned long* errorCode) override {
    if (timeline != nullptr) timeline->push_back("journal remove");
    if (failRemoves) {
      *errorCode = failCode;
      return false;
    }
    contents.reset();
    ++removes;
    return true;
  }
  bool overwriteInPlace(const std::string& text, unsigned long* errorCode) override {
    if (timeline != nullptr) timeline->push_back("journal overwrite");
    if (!contents) {
      *errorCode = 2;
      return false;
    }
    contents = text;
    return true;
  }
  bool setAside(unsigned long*) override {
    rejected = contents;
    contents.reset();
    return true;
  }
  // What the journal holds, decoded; nothing when there is none or it does not decode.
  std::optional<RecordedSettings> decoded() const {
    RecordedSettings settings;
    std::string problem;
    if (!contents || !decodeJournal(*contents, &settings, &problem)) return std::nullopt;
    return settings;
  }
  std::optional<std::string> contents;
  std::optional<std::string> rejected;  // what was set aside
  int writes = 0;
  int removes = 0;
  bool failReads = false;
  bool failWrites = false;
  bool failRemoves = false;
  unsigned long failCode = 5;
  Timeline* timeline = nullptr;
};

// The fakes wired together as the application state's backends.
struct FakeSystem {
  FakeSystem() {
    options.timeline = &timeline;
    commands.timeline = &timeline;
    journal.timeline = &timeline;
  }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;
  SystemBackends backends() {
    return SystemBackends{&options,    &options,  &entries, &adapters,
                          &adapterDns, &commands, &journal, &accounts};
  }
  Timeline timeline;
  FakeInternetOptions options;
  FakeConnectionEntries entries;
  FakeAccounts accounts;
  FakeAdapterSource adapters;
  FakeAdapterDns adapterDns;
  FakeCommandRunner commands;
  FakeJournal journal;
};

// The fakes with their owner, for driving the PAC and DNS operations directly.
struct RecordedSystem : FakeSystem {
  bool setDns(const std::string& server) { return network.applyDns(server); }
  bool resetDns() { return network.resetDns(); }
  bool setPac(const std::string& url) { return network.applyPac(url); }
  bool resetPac() { return network.resetPac(); }
  const NetworkRecord& record() const { return network.record(); }

  NetworkSettings network{backends()};
};

// One row of a table of texts: the input and whether it is accepted.
struct TextVerdict {
  const char* text;
  bool accepted;
};

inline NetworkAdapter adapter(std::string name, std::string description, unsigned long type,
                              bool up = true, bool hasAddress = true) {
  NetworkAdapter a;
  a.friendlyName = std::move(name);
  a.description = std::move(description);
  a.interfaceType = type;
  a.up = up;
  a.hasUnicastAddress = hasAddress;
  return a;
}

}  // namespace quillon::testing
