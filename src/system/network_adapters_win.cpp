#include "system/network_adapters.h"

// winsock2.h first: iphlpapi.h needs its types.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <new>

#include "log/wide_text.h"

namespace quillon {

namespace {

// An adapter text in the ANSI code page, as it is logged and passed to netsh; `exact` tells
// whether every character had its own bytes there.
std::string ansiText(const wchar_t* text, bool* exact) {
  std::string out;
  narrowFromUtf16(text == nullptr ? L"" : text, CodePage::kAnsi, out, exact);
  return out;
}

class IpHelperAdapterSource final : public AdapterListSource {
 public:
  AdapterList listAdapters() override {
    AdapterList list;
    // The first call only learns the size; the second reads the list. A list that grew in
    // between fails the second call and is reported, not retried.
    ULONG size = 0;
    GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size);
    // ULONGLONG elements keep the records' 8-byte alignment; at least one, so that an empty
    // answer still gives a buffer to pass.
    const std::size_t elements = size / sizeof(ULONGLONG) + 1;
    std::unique_ptr<ULONGLONG[]> buffer(new (std::nothrow) ULONGLONG[elements]);
    if (!buffer) {
      list.status = AdapterListStatus::kOutOfMemory;
      return list;
    }
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
    const ULONG result = GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size);
    if (result != NO_ERROR) {
      list.status = AdapterListStatus::kFailed;
      list.errorCode = result;
      return list;
    }
    for (const IP_ADAPTER_ADDRESSES* entry = first; entry != nullptr; entry = entry->Next) {
      NetworkAdapter adapter;
      adapter.friendlyName = ansiText(entry->FriendlyName, &adapter.friendlyNameExact);
      bool descriptionExact = true;
      adapter.description = ansiText(entry->Description, &descriptionExact);
      if (entry->AdapterName != nullptr) adapter.adapterId = entry->AdapterName;
      adapter.interfaceType = entry->IfType;
      adapter.up = entry->OperStatus == IfOperStatusUp;
      adapter.hasUnicastAddress = entry->FirstUnicastAddress != nullptr;
      list.adapters.push_back(std::move(adapter));
    }
    list.status = AdapterListStatus::kOk;
    return list;
  }
};

}  // namespace

std::unique_ptr<AdapterListSource> makeSystemAdapterListSource() {
  return std::make_unique<IpHelperAdapterSource>();
}

}  // namespace quillon
