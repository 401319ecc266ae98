// Attribute list, element record and element stack of the XML scanner.
#include "xml/xml_element.h"

#include <algorithm>

namespace voxtrel {

AttrVector::AttrVector(uint32_t capacity) : capacity_(capacity == 0 ? 10 : capacity) {}

AttrVector::AttrVector(const AttrVector& other) : capacity_(other.capacity_) {
    for (uint32_t i = 0; i < other.count_; ++i)
        Add(other.At(i));
}

AttrVector& AttrVector::operator=(const AttrVector& other) {
    if (this != &other) {
        Clear();
        for (uint32_t i = 0; i < other.count_; ++i)
            Add(other.At(i));
    }
    return *this;
}

AttrVector::~AttrVector() = default;

void AttrVector::Add(std::unique_ptr<XMLAttribute> attribute) {
    if (!slots_ || count_ + 1 >= capacity_) {
        uint32_t grown = slots_ ? std::max(count_ + 1, capacity_ + 10) : capacity_;
        std::unique_ptr<std::unique_ptr<XMLAttribute>[]> bigger(
            new std::unique_ptr<XMLAttribute>[grown]);
        for (uint32_t i = 0; i < count_; ++i)
            bigger[i] = std::move(slots_[i]);
        slots_ = std::move(bigger);
        capacity_ = grown;
    }
    slots_[count_++] = std::move(attribute);
}

void AttrVector::Add(const XMLAttribute& attribute) {
    Add(std::make_unique<XMLAttribute>(attribute));
}

bool AttrVector::Contains(const CharBuffer& name) const {
    for (uint32_t i = 0; i < count_; ++i) {
        const CharBuffer& candidate = slots_[i]->name;
        if (candidate.Length() == name.Length() &&
            std::equal(candidate.Data(), candidate.Data() + candidate.Length(), name.Data())) {
            return true;
        }
    }
    return false;
}

bool AttrVector::Contains(const char* name) const {
    return Find(name) != nullptr;
}

const CharBuffer* AttrVector::Find(const char* name) const {
    for (uint32_t i = 0; i < count_; ++i) {
        if (slots_[i]->name.Equals(name)) return &slots_[i]->value;
    }
    return nullptr;
}

void AttrVector::Clear() {
    for (uint32_t i = 0; i < count_; ++i)
        slots_[i].reset();
    count_ = 0;
}

XMLElement* ElementStack::Push(const XMLElement& element) {
    if (count_ == capacity_) capacity_ += capacity_ / 4;
    if (count_ == slots_.size()) {
        // Documents of this protocol nest a few levels deep: room grows from a small start.
        if (slots_.empty()) slots_.reserve(8);
        slots_.push_back(element);
    } else {
        slots_[count_] = element;
    }
    return &slots_[count_++];
}

XMLElement* ElementStack::Pop() {
    if (count_ == 0) return nullptr;
    return &slots_[--count_];
}

}  // namespace voxtrel
