// BSTR and ANSI byte string conversions, done the way the Windows API converts by default: unmapped
// characters become the code page's default character.
#include "com/bstr_text.h"

#include <climits>

namespace voxtrel::com {

std::string NarrowText(const wchar_t* text, size_t length) {
    if (text == nullptr || length == 0 || length > INT_MAX) return {};
    const int wideLength = static_cast<int>(length);
    int n = WideCharToMultiByte(CP_ACP, 0, text, wideLength, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, wideLength, out.data(), n, nullptr, nullptr);
    return out;
}

std::string NarrowText(BSTR text) {
    return NarrowText(text, text ? SysStringLen(text) : 0);
}

std::wstring WideText(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int narrowLength = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), narrowLength, out.data(), n);
    return out;
}

BSTR AllocWideText(const std::string& text) {
    std::wstring wide = WideText(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace voxtrel::com
