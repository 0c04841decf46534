// Conversions between UTF-16, the text of the wide Windows calls, and the narrow texts of the
// program: UTF-8 (the log, the UI's texts, recorded settings) and the system ANSI code page
// (what narrow Windows calls and command-line tools take). Windows only; any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

enum class CodePage { kAnsi, kUtf8 };

// `text` converted from UTF-16 into `page`. With kUtf8, ill-formed UTF-16 (an unpaired
// surrogate) fails the conversion rather than being replaced. With kAnsi, a character that the
// code page lacks becomes its default character and `exact` (when given) is set to false; no
// best-fit look-alike is ever substituted, so a converted text never holds a quote or a percent
// sign that the original did not. When the ANSI code page is UTF-8 itself, kAnsi behaves as
// kUtf8. False when the conversion fails (then `out` is empty and `exact` false).
bool narrowFromUtf16(std::wstring_view text, CodePage page, std::string& out,
                     bool* exact = nullptr);

// `text` converted into UTF-16 from `page`. With kUtf8 a byte sequence that is not UTF-8 fails
// the conversion; with kAnsi every byte converts. False when the conversion fails (then `out`
// is empty).
bool utf16FromNarrow(std::string_view text, CodePage page, std::wstring& out);

// A null-terminated UTF-16 text as UTF-8; the empty text when it is null, empty or ill-formed.
std::string utf8FromUtf16(const wchar_t* text);

}  // namespace quillon
