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

}  // namespace voxtrel
