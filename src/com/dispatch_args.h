// The arguments of one IDispatch::Invoke, built in parameter order and handed over as DISPPARAMS
// wants them (last parameter first). Owns its values.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace voxtrel::com {

class DispatchArgs {
  public:
    DispatchArgs() = default;
    ~DispatchArgs();
    DispatchArgs(const DispatchArgs&) = delete;
    DispatchArgs& operator=(const DispatchArgs&) = delete;

    // Text in the ANSI code page, as a BSTR. Growing the list may throw std::bad_alloc.
    DispatchArgs& Text(const std::string& text);
    DispatchArgs& Short(int16_t value);
    DispatchArgs& Long(int32_t value);
    DispatchArgs& Bool(bool value);

    // Valid while this object lives and gets no more arguments.
    DISPPARAMS Params();
    // A text could not be allocated (it stands as an empty one).
    bool Failed() const { return failed_; }

  private:
    VARIANT& Add(VARTYPE type);

    std::vector<VARIANT> values_;  // last parameter first
    bool failed_ = false;
};

}  // namespace voxtrel::com
