// Building IDispatch arguments.
#include "com/dispatch_args.h"

#include "com/bstr_text.h"

namespace voxtrel::com {

DispatchArgs::~DispatchArgs() {
    for (VARIANT& v : values_)
        VariantClear(&v);
}

VARIANT& DispatchArgs::Add(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    values_.insert(values_.begin(), v);
    return values_.front();
}

DispatchArgs& DispatchArgs::Text(const std::string& text) {
    BSTR value = AllocWideText(text);
    if (!value) failed_ = true;
    try {
        Add(VT_BSTR).bstrVal = value;
    } catch (...) {
        SysFreeString(value);
        throw;
    }
    return *this;
}

DispatchArgs& DispatchArgs::Short(int16_t value) {
    Add(VT_I2).iVal = value;
    return *this;
}

DispatchArgs& DispatchArgs::Long(int32_t value) {
    Add(VT_I4).lVal = value;
    return *this;
}

DispatchArgs& DispatchArgs::Bool(bool value) {
    Add(VT_BOOL).boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
}

DISPPARAMS DispatchArgs::Params() {
    return DISPPARAMS{values_.empty() ? nullptr : values_.data(), nullptr,
                      static_cast<UINT>(values_.size()), 0};
}

}  // namespace voxtrel::com
