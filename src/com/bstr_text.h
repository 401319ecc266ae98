// Conversions between automation strings (BSTR, UTF-16) and the byte strings of the system's ANSI
// code page that the control's core and the wire carry.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace voxtrel::com {

// The bytes of text in the ANSI code page; a null BSTR is the empty text. Embedded zeros are kept.
std::string NarrowText(const wchar_t* text, size_t length);
std::string NarrowText(BSTR text);

// A new BSTR holding text read in the ANSI code page, owned by the caller; null when out of memory.
BSTR AllocWideText(const std::string& text);
std::wstring WideText(const std::string& text);

// Owns one BSTR.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const std::string& text) : s_(AllocWideText(text)) {}
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }

    BSTR Get() const { return s_; }
    BSTR* Put() {
        SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }
    BSTR Detach() {
        BSTR s = s_;
        s_ = nullptr;
        return s;
    }

  private:
    BSTR s_ = nullptr;
};

}  // namespace voxtrel::com
