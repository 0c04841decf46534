#include "system/adapter_dns.h"

#include <utility>

#include "system/network_journal.h"

namespace quillon {
namespace {

// resolvectl reports no error number of its own; a failed run is reported as this code.
constexpr unsigned long kToolFailedCode = 1;

// `resolvectl dns NAME` prints "Link N (NAME): SERVER SERVER ..." with the servers set for that
// link alone, and nothing after the colon when it has none (the DHCP-like state `resolvectl
// revert` returns it to).
class ResolvectlDnsReader final : public AdapterDnsReader {
 public:
  explicit ResolvectlDnsReader(CommandOutputReader read) : read_(std::move(read)) {}

  bool readDnsServers(const NetworkAdapter& adapter, std::vector<std::string>* servers,
                      unsigned long* errorCode) override {
    servers->clear();
    std::string output;
    if (!read_({"resolvectl", "dns", adapter.friendlyName}, &output)) {
      *errorCode = kToolFailedCode;
      return false;
    }
    const std::string marker = " (" + adapter.friendlyName + "):";
    const std::size_t found = output.find(marker);
    if (output.rfind("Link ", 0) != 0 || found == std::string::npos) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    const std::size_t begin = found + marker.size();
    const std::size_t end = output.find('\n', begin);
    const std::string list =
        output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (!parseDnsServerList(list, servers)) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    return true;
  }

 private:
  const CommandOutputReader read_;
};

}  // namespace

std::unique_ptr<AdapterDnsReader> makeResolvectlDnsReader(CommandOutputReader read) {
  return std::make_unique<ResolvectlDnsReader>(std::move(read));
}

std::unique_ptr<AdapterDnsReader> makeSystemAdapterDnsReader() {
  return makeResolvectlDnsReader([](const CommandLine& command, std::string* output) {
    return readCommandOutput(command, output);
  });
}

}  // namespace quillon
