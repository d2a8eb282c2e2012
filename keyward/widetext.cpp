#include <keyward/widetext.h>

#include <cwchar>

namespace keyward {

std::string Narrow(const wchar_t* text) {
    if (text == nullptr) {
        return {};
    }
    // Plain ASCII reads the same in every locale's multibyte form; key identifiers, labels and
    // most file names are, and the locale's conversion costs more than the rest of a dump line.
    std::string out;
    const wchar_t* p = text;
    for (; *p != L'\0' && static_cast<unsigned>(*p) < 0x80; ++p) {
        out.push_back(static_cast<char>(*p));
    }
    if (*p == L'\0') {
        return out;
    }
    out.clear();
    std::mbstate_t state{};
    const wchar_t* source = text;
    const size_t needed = std::wcsrtombs(nullptr, &source, 0, &state);
    if (needed != static_cast<size_t>(-1)) {
        out.resize(needed);
        state = std::mbstate_t{};
        source = text;
        std::wcsrtombs(out.data(), &source, needed, &state);
        return out;
    }
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        out.push_back(static_cast<char>(static_cast<unsigned>(*p) & 0xFFu));
    }
    return out;
}

std::string Narrow(const std::wstring& text) {
    return Narrow(text.c_str());
}

std::wstring Widen(const char* text) {
    if (text == nullptr) {
        return {};
    }
    std::mbstate_t state{};
    const char* source = text;
    const size_t needed = std::mbsrtowcs(nullptr, &source, 0, &state);
    std::wstring out;
    if (needed != static_cast<size_t>(-1)) {
        out.resize(needed);
        state = std::mbstate_t{};
        source = text;
        std::mbsrtowcs(out.data(), &source, needed, &state);
        return out;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
    return out;
}

std::wstring Widen(const std::string& text) {
    return Widen(text.c_str());
}

}  // namespace keyward
