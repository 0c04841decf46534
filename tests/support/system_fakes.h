// Stand-ins for the parts through which the system settings reach the machine, shared by the
// system and channel tests: one fake per part. Each records what it was asked; the internet
// options and adapter DNS fakes also keep the "machine's" current settings, so that a test can
// check that a reset put back exactly what was there. Given a timeline, the fakes note every
// change and journal update in it, in order.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "system/adapter_dns.h"
#include "system/command_runner.h"
#include "system/journal_storage.h"
#include "system/network_adapters.h"
#include "system/network_journal.h"
#include "system/network_record.h"
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

// The default connection's settings: applying options changes `settings`, querying reads it.
class FakeInternetOptions : public InternetOptionSetter, public InternetOptionGetter {
 public:
  bool applyToDefaultConnection(const std::vector<ConnectionOption>& options,
                                unsigned long* errorCode) override {
    calls.push_back("apply");
    applied.push_back(options);
    if (timeline != nullptr) timeline->push_back("apply");
    if (failApplies) {
      *errorCode = failCode;
      return false;
    }
    for (const ConnectionOption& option : options) {
      switch (option.option) {
        case kOptionFlags:
          settings.flags = option.flags;
          break;
        case kOptionAutoConfigUrl:
          settings.autoConfigUrl = option.text;
          break;
        case kOptionProxyServer:
          settings.proxyServer = option.text;
          break;
        case kOptionProxyBypass:
          settings.proxyBypass = option.text;
          break;
      }
    }
    return true;
  }
  void refresh() override { calls.push_back("refresh"); }

  bool queryDefaultConnection(ProxySettings* current, unsigned long* errorCode) override {
    ++queries;
    if (failQueries) {
      *errorCode = failCode;
      return false;
    }
    *current = settings;
    return true;
  }

  ProxySettings settings;          // what is in force
  std::vector<std::string> calls;  // "apply" and "refresh" in call order
  std::vector<std::vector<ConnectionOption>> applied;
  int queries = 0;
  bool failApplies = false;
  bool failQueries = false;
  unsigned long failCode = 5;
  Timeline* timeline = nullptr;
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
  bool remove(unsigned long*) override {
    if (timeline != nullptr) timeline->push_back("journal remove");
    contents.reset();
    ++removes;
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
    return SystemBackends{&options, &options, &adapters, &adapterDns, &commands, &journal};
  }
  Timeline timeline;
  FakeInternetOptions options;
  FakeAdapterSource adapters;
  FakeAdapterDns adapterDns;
  FakeCommandRunner commands;
  FakeJournal journal;
};

// The fakes with a record and the application state's two flags, for driving the PAC and DNS
// operations directly.
struct RecordedSystem : FakeSystem {
  bool setDns(const std::string& server) {
    return setSystemDns(dnsChanged, server, backends(), record);
  }
  bool resetDns() { return resetSystemDns(dnsChanged, backends(), record); }
  bool setPac(const std::string& url) { return setSystemPac(pacApplied, url, backends(), record); }
  bool resetPac() { return resetSystemPac(backends(), record); }

  NetworkRecord record{&journal};
  bool dnsChanged = false;
  bool pacApplied = false;
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
