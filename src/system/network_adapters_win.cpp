#include "system/network_adapters.h"

// winsock2.h first: iphlpapi.h needs its types.
#include <winsock2.h>

#include <iphlpapi.h>
#include <windows.h>

#include <new>

namespace quillon {

std::string adapterTextToAnsi(const wchar_t* text, bool* exact) {
  *exact = true;
  if (text == nullptr || *text == L'\0') return {};
  // With UTF-8 as the ANSI code page every valid text converts exactly, and the call refuses
  // the best-fit flag and the default-character output there.
  const UINT codePage = GetACP();
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(codePage, flags, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) {
    *exact = false;
    return {};
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(codePage, flags, text, -1, out.data(), size, nullptr, usedDefaultOut) !=
      size) {
    *exact = false;
    return {};
  }
  out.resize(static_cast<std::size_t>(size) - 1);  // the terminator
  if (usedDefault) *exact = false;
  return out;
}

namespace {

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
      adapter.friendlyName = adapterTextToAnsi(entry->FriendlyName, &adapter.friendlyNameExact);
      bool descriptionExact = true;
      adapter.description = adapterTextToAnsi(entry->Description, &descriptionExact);
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
