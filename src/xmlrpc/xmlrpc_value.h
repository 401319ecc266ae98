// XML-RPC values: eight kinds, each writing its own exact XML text and reading itself from a
// navigator. Structs and arrays own their children, so one value is a whole tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/xml_navigator.h"
#include "xmlrpc/xmlrpc_writer.h"

namespace voxtrel {

enum XmlRpcValueType : int32_t {
    kXmlRpcInt = 0,
    kXmlRpcBool = 1,
    kXmlRpcDouble = 2,
    kXmlRpcDateTime = 3,
    kXmlRpcString = 4,
    kXmlRpcBase64 = 5,
    kXmlRpcArray = 6,
    kXmlRpcStruct = 7,
};

// The written element name of a type code; null outside 0 to 7.
const char* XmlRpcTypeName(int32_t valueType);

// Where a value stands in a document, which decides the fixed text written around it.
enum class ValuePlace : uint8_t {
    kAlone,   // a value by itself or an array's element
    kParam,   // a method's param: inside "param" tags
    kMember,  // a struct member's value, after the member's name: the name's end tag before it,
              // the member's end tag after it
};

// The fixed text around one value in its place, resolved from the value's type code.
struct ValueFraming;

class XmlRpcValue {
  public:
    explicit XmlRpcValue(int32_t type) : valueType(type) {}
    virtual ~XmlRpcValue() = default;
    XmlRpcValue(const XmlRpcValue&) = delete;
    XmlRpcValue& operator=(const XmlRpcValue&) = delete;

    // Appends the value's XML text to out; false for a type code outside 0 to 7 (here or in a
    // child), with what was written before the failure left in out.
    bool Write(std::string& out) const;
    // The same through a writer, with the fixed text of the place around it.
    bool Write(XmlRpcWriter& writer, ValuePlace place = ValuePlace::kAlone) const;
    // Writes the value inside its framing; Write resolves the framing from a valid type code.
    // False when a child does not write.
    virtual bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const;
    // Reads the content after OpenValue, through the type element's end tag.
    virtual bool Read(XMLNavigator& navigator);

    int32_t valueType;
};

class XmlRpcValueInt : public XmlRpcValue {
  public:
    explicit XmlRpcValueInt(int32_t v = 0) : XmlRpcValue(kXmlRpcInt), value(v) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    int32_t value;
};

class XmlRpcValueBool : public XmlRpcValue {
  public:
    explicit XmlRpcValueBool(bool v = false) : XmlRpcValue(kXmlRpcBool), value(v) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    bool value;
};

class XmlRpcValueDouble : public XmlRpcValue {
  public:
    explicit XmlRpcValueDouble(double v = 0.0) : XmlRpcValue(kXmlRpcDouble), value(v) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    double value;
};

class XmlRpcValueString : public XmlRpcValue {
  public:
    explicit XmlRpcValueString(std::string v = std::string())
        : XmlRpcValue(kXmlRpcString), value(std::move(v)) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    std::string value;

  protected:
    XmlRpcValueString(int32_t type, std::string v) : XmlRpcValue(type), value(std::move(v)) {}
};

// A string under another type name; the text is carried as it stands, never parsed as a date.
class XmlRpcValueDateTime : public XmlRpcValueString {
  public:
    explicit XmlRpcValueDateTime(std::string v = std::string())
        : XmlRpcValueString(kXmlRpcDateTime, std::move(v)) {}
    std::string& textRef = value;
};

// A string under another type name; the text is carried encoded, never decoded.
class XmlRpcValueBase64 : public XmlRpcValueString {
  public:
    explicit XmlRpcValueBase64(std::string v = std::string())
        : XmlRpcValueString(kXmlRpcBase64, std::move(v)) {}
    std::string& textRef = value;
};

// Structs and arrays nest at most this many levels deep when read (the outermost is level 1):
// the reading recurses once per level, and empty-element tags let a document nest values without
// nesting elements, so the scanner's element bound alone does not keep the recursion short. Written
// out, each level takes three elements; 16 levels and a message's own five stay inside the
// scanner's 64, so whatever reads also reads again once written. The protocol itself nests two.
inline constexpr uint32_t kMaxValueDepth = 16;

class XmlRpcValueStruct : public XmlRpcValue {
  public:
    using Member = std::pair<std::string, std::unique_ptr<XmlRpcValue>>;

    XmlRpcValueStruct() : XmlRpcValue(kXmlRpcStruct) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    // Read for a struct that is nested in depth containers; false beyond kMaxValueDepth.
    bool ReadNested(XMLNavigator& navigator, uint32_t depth);

    // The first member whose name equals name, ASCII letter case ignored; the struct keeps it.
    XmlRpcValue* GetMember(const char* name) const;
    // Replaces the value of the first member of an equal name (keeping the stored spelling), or
    // appends (name, value).
    void SetMember(const char* name, std::unique_ptr<XmlRpcValue> value);
    void ClearMembers() { members.clear(); }

    // The room a struct being read makes for members at its first.
    static constexpr size_t kUsualMembers = 4;

    std::vector<Member> members;
};

class XmlRpcValueArray : public XmlRpcValue {
  public:
    XmlRpcValueArray() : XmlRpcValue(kXmlRpcArray) {}
    bool WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const override;
    bool Read(XMLNavigator& navigator) override;
    // Read for an array that is nested in depth containers; false beyond kMaxValueDepth.
    bool ReadNested(XMLNavigator& navigator, uint32_t depth);

    void Append(std::unique_ptr<XmlRpcValue> element) { elements.push_back(std::move(element)); }
    void ClearElements() { elements.clear(); }

    std::vector<std::unique_ptr<XmlRpcValue>> elements;
};

// A new, empty value for a type name (letter case ignored, "i4" included), or null.
std::unique_ptr<XmlRpcValue> CreateValue(std::string_view typeName);
// Reads a "value" start tag and its type element's start tag; the caller then calls Read.
std::unique_ptr<XmlRpcValue> OpenValue(XMLNavigator& navigator);

// The C library's atoi and atof conversions of a received text, made total: leading white space
// and a sign are accepted, reading stops at the first other byte, no number reads as 0, and an
// int that does not fit is held at the nearest bound.
int32_t TextToInt(std::string_view text);
double TextToDouble(const char* text);

}  // namespace voxtrel
