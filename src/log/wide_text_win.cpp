#include "log/wide_text.h"

#include <windows.h>

#include <climits>

namespace quillon {

namespace {

UINT codePageOf(CodePage page) {
  if (page == CodePage::kUtf8) return CP_UTF8;
  // The ANSI code page can be UTF-8 itself (the "Beta: Use Unicode UTF-8" system setting); the
  // conversion flags below differ for it.
  return GetACP();
}

}  // namespace

bool narrowFromUtf16(std::wstring_view text, CodePage page, std::string& out, bool* exact) {
  out.clear();
  if (exact != nullptr) *exact = false;
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  if (text.empty()) {
    if (exact != nullptr) *exact = true;
    return true;
  }
  const UINT codePage = codePageOf(page);
  const bool utf8 = codePage == CP_UTF8;
  // WideCharToMultiByte refuses WC_NO_BEST_FIT_CHARS and the default-character output for
  // UTF-8, and refuses WC_ERR_INVALID_CHARS for every other code page ("WideCharToMultiByte
  // function", Remarks).
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  out.assign(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(codePage, flags, text.data(), length, out.data(), size, nullptr,
                          usedDefaultOut) != size) {
    out.clear();
    return false;
  }
  if (exact != nullptr) *exact = !usedDefault;
  return true;
}

bool utf16FromNarrow(std::string_view text, CodePage page, std::wstring& out) {
  out.clear();
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  if (text.empty()) return true;
  const UINT codePage = codePageOf(page);
  const DWORD flags = page == CodePage::kUtf8 ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (size <= 0) return false;
  out.assign(static_cast<size_t>(size), L'\0');
  if (MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), size) != size) {
    out.clear();
    return false;
  }
  return true;
}

std::string utf8FromUtf16(const wchar_t* text) {
  std::string out;
  if (text == nullptr || !narrowFromUtf16(text, CodePage::kUtf8, out)) return "";
  return out;
}

}  // namespace quillon
