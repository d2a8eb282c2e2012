/// @file
/// @brief Conversions between the wide texts of keyward (error texts, captions, identifiers,
/// labels, file names) and 8-bit text. This is the one place where keyward converts.
#pragma once

#include <keyward/export.h>

#include <string>

/// The keyward library's own names.
namespace keyward {

/// Wide to 8-bit text with the wide-to-multibyte conversion of the current locale; when that
/// conversion fails, each character's low byte is taken instead. A null text gives "".
KEYWARD_API std::string Narrow(const wchar_t* text);
/// As Narrow(const wchar_t*).
KEYWARD_API std::string Narrow(const std::wstring& text);

/// 8-bit to wide text with the multibyte-to-wide conversion of the current locale; when that
/// conversion fails, each byte becomes one character. A null text gives L"".
KEYWARD_API std::wstring Widen(const char* text);
/// As Widen(const char*).
KEYWARD_API std::wstring Widen(const std::string& text);

}  // namespace keyward
