// XML-RPC values: eight kinds, each writing its own exact XML text and reading itself from a
// navigator. Structs and arrays own their children, so one value is a whole tree.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/xml_navigator.h"

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

// Fixed text in a slot of a fixed width, joined from its parts at compile time. Copying the whole
// slot is a copy of known size, which the compiler does in a few moves instead of a call.
template <size_t Width>
struct TextRun {
    constexpr TextRun() = default;
    constexpr TextRun(std::initializer_list<std::string_view> parts) {
        // A run longer than its slot writes past text: not a constant expression, so a table
        // holding one does not compile.
        for (std::string_view part : parts) {
            for (char c : part)
                text[size++] = c;
        }
    }

    char text[Width] = {};
    size_t size = 0;
};

// Gathers written text in a buffer of its own and appends it to a string a buffer-full at a
// time: a document is dozens of short pieces, and appending each to the string costs a call and a
// capacity check, where a copy into the buffer is a few moves. The rest is appended when the
// writer goes out of scope.
class XmlRpcWriter {
  public:
    explicit XmlRpcWriter(std::string& out) : out_(out) {}
    ~XmlRpcWriter() { Flush(); }
    XmlRpcWriter(const XmlRpcWriter&) = delete;
    XmlRpcWriter& operator=(const XmlRpcWriter&) = delete;

    // Writes the pieces in order: texts, runs, int32_t and double values (fixed notation with six
    // decimals, as "%f" writes it). The room for all of them is checked once and the position
    // kept in a register meanwhile: a byte written through a char pointer may alias the
    // writer's own position, so each piece written alone would store and reload it.
    template <typename... Pieces>
    void Put(const Pieces&... pieces) {
        const size_t longest = (Longest(pieces) + ...);
        if (longest > Room()) {
            Flush();
            if (longest > kBufferSize) return (PutAlone(pieces), ...);
        }
        char* cursor = cursor_;
        ((cursor = Copy(cursor, pieces)), ...);
        cursor_ = cursor;
    }
    // Appends what the buffer holds to the string.
    void Flush();

  private:
    static constexpr size_t kBufferSize = 1024;
    static constexpr size_t kLongestInt = 11;      // "-2147483648"
    static constexpr size_t kLongestDouble = 328;  // DBL_MAX takes 316 characters

    size_t Room() const { return static_cast<size_t>(buffer_ + kBufferSize - cursor_); }

    static size_t Longest(std::string_view text) { return text.size(); }
    template <size_t Width>
    static constexpr size_t Longest(const TextRun<Width>&) {
        static_assert(Width <= kBufferSize);
        return Width;
    }
    static constexpr size_t Longest(int32_t) { return kLongestInt; }
    static constexpr size_t Longest(double) { return kLongestDouble; }

    // One piece of a group longer than the buffer; a text longer than the buffer goes to the
    // string directly.
    void PutAlone(std::string_view text);
    template <size_t Width>
    void PutAlone(const TextRun<Width>& run) {
        Put(run);
    }
    void PutAlone(int32_t value) { Put(value); }
    void PutAlone(double value) { Put(value); }

    [[gnu::always_inline]] static char* Copy(char* to, std::string_view text) {
        CopyText(to, text.data(), text.size());
        return to + text.size();
    }
    // Copies the whole slot; the bytes past the run's text are overwritten by what follows.
    template <size_t Width>
    static char* Copy(char* to, const TextRun<Width>& run) {
        std::memcpy(to, run.text, Width);
        return to + run.size;
    }
    static char* Copy(char* to, int32_t value) {
        return std::to_chars(to, to + kLongestInt, value).ptr;
    }
    static char* Copy(char* to, double value);

    // The texts between the fixed runs (names, ids, addresses) are mostly short: two overlapping
    // copies of a fixed size each save the call into the C library's copy.
    [[gnu::always_inline]] static void CopyText(char* to, const char* from, size_t size) {
        if (size > 32) {
            std::memcpy(to, from, size);
        } else if (size >= 16) {
            CopyEnds<16>(to, from, size);
        } else if (size >= 8) {
            CopyEnds<8>(to, from, size);
        } else if (size >= 4) {
            CopyEnds<4>(to, from, size);
        } else if (size >= 2) {
            CopyEnds<2>(to, from, size);
        } else if (size == 1) {
            *to = *from;
        }
    }
    // Copies size bytes, Piece to 2 * Piece of them, as the first and the last Piece bytes.
    template <size_t Piece>
    static void CopyEnds(char* to, const char* from, size_t size) {
        std::memcpy(to, from, Piece);
        std::memcpy(to + size - Piece, from + size - Piece, Piece);
    }

    std::string& out_;
    char* cursor_ = buffer_;
    char buffer_[kBufferSize];
};

// Where a value stands in a document, which decides the fixed text written around it.
enum class ValuePlace : uint8_t {
    kAlone,   // a value by itself or an array's element
    kParam,   // a method's param: inside "param" tags
    kMember,  // a struct member's value: inside "member" tags, after the member's name
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
    // The same through a writer, with the fixed text of the place around it; a member's value
    // comes with its member's name.
    bool Write(XmlRpcWriter& writer, ValuePlace place = ValuePlace::kAlone,
               std::string_view memberName = {}) const;
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
std::unique_ptr<XmlRpcValue> CreateValue(const char* typeName);
std::unique_ptr<XmlRpcValue> CreateValue(const CharBuffer& typeName);
// Reads a "value" start tag and its type element's start tag; the caller then calls Read.
std::unique_ptr<XmlRpcValue> OpenValue(XMLNavigator& navigator);

// The C library's atoi and atof conversions of a received text, made total: leading white space
// and a sign are accepted, reading stops at the first other byte, no number reads as 0, and an
// int that does not fit is held at the nearest bound.
int32_t TextToInt(const char* text);
double TextToDouble(const char* text);

}  // namespace voxtrel
