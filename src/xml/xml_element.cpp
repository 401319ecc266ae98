// Attribute list, element record and element stack of the XML scanner.
#include "xml/xml_element.h"

#include <algorithm>

namespace voxtrel {

bool AttrVector::Contains(const CharBuffer& name) const {
    for (const XMLAttribute& attribute : items_) {
        const CharBuffer& candidate = attribute.name;
        if (candidate.Length() == name.Length() &&
            std::equal(candidate.Data(), candidate.Data() + candidate.Length(), name.Data())) {
            return true;
        }
    }
    return false;
}

XMLElement& ElementStack::Top() {
    if (count_ == slots_.size()) {
        // Documents of this protocol nest a few levels deep: room grows from a small start.
        if (slots_.empty()) slots_.reserve(8);
        slots_.emplace_back();
    }
    return slots_[count_];
}

}  // namespace voxtrel
