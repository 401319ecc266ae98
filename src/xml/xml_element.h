// Start tags as the XML scanner reports them: attributes, their list, the element record and the
// stack of open elements.
#pragma once

#include <cstdint>
#include <memory>
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
    explicit AttrVector(uint32_t capacity = 10);
    AttrVector(const AttrVector& other);
    AttrVector& operator=(const AttrVector& other);
    AttrVector(AttrVector&& other) noexcept = default;
    AttrVector& operator=(AttrVector&& other) noexcept = default;
    virtual ~AttrVector();

    void Add(std::unique_ptr<XMLAttribute> attribute);
    void Add(const XMLAttribute& attribute);
    // Exact, case-sensitive search by name.
    bool Contains(const CharBuffer& name) const;
    bool Contains(const char* name) const;
    // The value of the first attribute of that name, or null.
    const CharBuffer* Find(const char* name) const;
    void Clear();

    uint32_t Count() const { return count_; }
    uint32_t Capacity() const { return capacity_; }
    const XMLAttribute& At(uint32_t index) const { return *slots_[index]; }

  private:
    uint32_t count_ = 0;
    uint32_t capacity_;
    // Allocated on the first Add: most tags in this protocol carry no attribute.
    std::unique_ptr<std::unique_ptr<XMLAttribute>[]> slots_;
};

struct XMLElement {
    CharBuffer name;
    AttrVector attributes;
    bool isRoot = false;   // no element was open when it started
    bool isEmpty = false;  // written as an empty-element tag "/>"
};

// The open elements; its count is the nesting depth. Popped elements stay in their slot until the
// slot is reused, so a popped pointer is valid until the next Push. Slots are refilled in place,
// keeping their buffers, so a reader that is reused stops allocating once it has seen its depth.
class ElementStack {
  public:
    static constexpr uint32_t kInitialCapacity = 32;

    ElementStack() = default;
    ElementStack(const ElementStack&) = delete;
    ElementStack& operator=(const ElementStack&) = delete;

    XMLElement* Push(const XMLElement& element);
    XMLElement* Pop();
    const XMLElement* Top() const { return count_ == 0 ? nullptr : &slots_[count_ - 1]; }
    uint32_t Count() const { return count_; }
    uint32_t Capacity() const { return capacity_; }
    void Reset() { count_ = 0; }

  private:
    uint32_t count_ = 0;
    uint32_t capacity_ = kInitialCapacity;
    // Slots are constructed as the depth first reaches them; capacity_ is what is reserved.
    std::vector<XMLElement> slots_;
};

}  // namespace voxtrel
