// Start tags as the XML scanner reports them: attributes, their list, the element record and the
// stack of open elements.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/char_buffer.h"

namespace voxtrel {

struct XMLAttribute {
    CharBuffer name;
    CharBuffer value;
};

// The attributes of one start tag, in document order.
class AttrVector {
  public:
    void Add(XMLAttribute&& attribute) { items_.push_back(std::move(attribute)); }
    // Exact, case-sensitive search by name.
    bool Contains(const CharBuffer& name) const;
    void Clear() { items_.clear(); }

    uint32_t Count() const { return static_cast<uint32_t>(items_.size()); }
    const XMLAttribute& At(uint32_t index) const { return items_[index]; }

  private:
    std::vector<XMLAttribute> items_;
};

struct XMLElement {
    // The name where it lies in the document: valid while the document is loaded, and for a
    // private copy until the next one is loaded.
    std::string_view name;
    AttrVector attributes;
    bool isRoot = false;   // no element was open when it started
    bool isEmpty = false;  // written as an empty-element tag "/>"
};

// The open elements, at most maxOpen; the count is the nesting depth. The scanner fills the slot
// above the top in place and pushes it once the tag is complete, so a tag is never copied. Popped
// elements stay in their slot until it is filled again, so a popped pointer is valid until the
// next Top. The slots are the stack's own: a reader that is reused never allocates for them.
template <uint32_t maxOpen>
class ElementStack {
  public:
    ElementStack() = default;
    ElementStack(const ElementStack&) = delete;
    ElementStack& operator=(const ElementStack&) = delete;

    // The slot the next Push makes the innermost open element; the caller pushes only while
    // fewer than maxOpen are open, or pops again at once.
    XMLElement& Top() { return slots_[count_]; }
    XMLElement* Push() { return &slots_[count_++]; }
    XMLElement* Pop() { return count_ == 0 ? nullptr : &slots_[--count_]; }
    uint32_t Count() const { return count_; }
    void Reset() { count_ = 0; }

  private:
    uint32_t count_ = 0;
    // One more than maxOpen: an empty-element tag inside the innermost passes through it.
    std::array<XMLElement, maxOpen + 1> slots_;
};

}  // namespace voxtrel
