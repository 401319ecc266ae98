// Written forms and reading of the eight XML-RPC value kinds.
#include "xmlrpc/xmlrpc_value.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <tuple>
#include <utility>

namespace voxtrel {

using namespace std::string_view_literals;

namespace {

// Views keep the lengths at hand for the writers; each still ends with its literal's zero.
constexpr std::string_view kTypeNames[] = {"int",    "boolean", "double", "dateTime.iso8601",
                                           "string", "base64",  "array",  "struct"};

// The slot of a fixed run around a value; the longest, a dateTime's end tags and a param's, takes
// 39 bytes.
using FrameRun = TextRun<48>;

// The fixed text around a value in one place, per type code.
struct PlaceFrames {
    FrameRun open[std::size(kTypeNames)];
    FrameRun close[std::size(kTypeNames)];
};

constexpr PlaceFrames MakeFrames(std::string_view before, std::string_view after) {
    PlaceFrames frames;
    for (int32_t type = kXmlRpcInt; type <= kXmlRpcStruct; ++type) {
        std::string_view name = kTypeNames[type];
        bool array = type == kXmlRpcArray;
        frames.open[type] = {before, "<value><", name, ">", array ? "<data>\r\n" : ""};
        std::string_view inside = array ? "</data>" : type == kXmlRpcStruct ? "\r\n" : "";
        frames.close[type] = {inside, "</", name, "></value>\r\n", after};
    }
    return frames;
}

// Indexed by ValuePlace.
constexpr PlaceFrames kPlaceFrames[] = {
    MakeFrames("", ""),
    MakeFrames("<param>\r\n", "</param>\r\n"),
    MakeFrames("</name>\r\n", "</member>"),
};

// Reads a scalar's text, when there is one, and consumes the type element's end tag.
template <typename Convert>
bool ReadScalar(XMLNavigator& navigator, Convert convert) {
    std::string_view text;
    if (navigator.ReadText(text)) convert(text);
    navigator.SkipElement();
    return true;
}

// Reads a member's or element's content one level below its container. The child comes from
// OpenValue, so its type code names its class.
bool ReadChild(XmlRpcValue& child, XMLNavigator& navigator, uint32_t depth) {
    switch (child.valueType) {
        case kXmlRpcArray:
            return static_cast<XmlRpcValueArray&>(child).ReadNested(navigator, depth + 1);
        case kXmlRpcStruct:
            return static_cast<XmlRpcValueStruct&>(child).ReadNested(navigator, depth + 1);
        default:
            return child.Read(navigator);
    }
}

}  // namespace

const char* XmlRpcTypeName(int32_t valueType) {
    return valueType >= 0 && valueType <= 7 ? kTypeNames[valueType].data() : nullptr;
}

int32_t TextToInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsXmlSpace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t{INT_MAX} + 1) break;
    }
    if (negative) return magnitude > int64_t{INT_MAX} ? INT_MIN : static_cast<int32_t>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int32_t>(magnitude);
}

double TextToDouble(const char* text) {
    return std::strtod(text, nullptr);
}

// The runs of one value's type code in its place.
struct ValueFraming {
    const FrameRun& open;
    const FrameRun& close;
};

bool XmlRpcValue::Write(std::string& out) const {
    return XmlRpcWriter::Into(out, [this](XmlRpcWriter& writer) { return Write(writer); });
}

bool XmlRpcValue::Write(XmlRpcWriter& writer, ValuePlace place) const {
    if (valueType < kXmlRpcInt || valueType > kXmlRpcStruct) return false;
    const PlaceFrames& frames = kPlaceFrames[static_cast<size_t>(place)];
    return WriteFramed(writer, {frames.open[valueType], frames.close[valueType]});
}

// A bare value has no content: its type element stays empty.
bool XmlRpcValue::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open, framing.close);
    return true;
}

bool XmlRpcValue::Read(XMLNavigator& navigator) {
    navigator.SkipElement();
    return true;
}

bool XmlRpcValueInt::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open, value, framing.close);
    return true;
}

bool XmlRpcValueInt::Read(XMLNavigator& navigator) {
    return ReadScalar(navigator, [this](std::string_view text) { value = TextToInt(text); });
}

bool XmlRpcValueBool::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open, value ? "1"sv : "0"sv, framing.close);
    return true;
}

bool XmlRpcValueBool::Read(XMLNavigator& navigator) {
    return ReadScalar(navigator, [this](std::string_view text) { value = TextToInt(text) != 0; });
}

bool XmlRpcValueDouble::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open, value, framing.close);
    return true;
}

bool XmlRpcValueDouble::Read(XMLNavigator& navigator) {
    // The conversion wants a terminating zero, which a view of the document lacks.
    return ReadScalar(navigator, [this, &navigator](std::string_view text) {
        CharBuffer& copy = navigator.ScratchText();
        copy.Assign(text.data(), static_cast<uint32_t>(text.size()));
        value = TextToDouble(copy.CStr());
    });
}

bool XmlRpcValueString::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open, value, framing.close);
    return true;
}

bool XmlRpcValueString::Read(XMLNavigator& navigator) {
    return ReadScalar(navigator, [this](std::string_view text) { value.assign(text); });
}

bool XmlRpcValueStruct::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open);
    for (const Member& member : members) {
        writer.Put("\r\n<member>\r\n<name>"sv, member.first);
        if (!member.second->Write(writer, ValuePlace::kMember)) return false;
    }
    writer.Put(framing.close);
    return true;
}

bool XmlRpcValueStruct::Read(XMLNavigator& navigator) {
    return ReadNested(navigator, 0);
}

bool XmlRpcValueStruct::ReadNested(XMLNavigator& navigator, uint32_t depth) {
    if (depth >= kMaxValueDepth) {
        navigator.SetLimitExceeded();
        return false;
    }
    while (ExpectElement(navigator, "member")) {
        if (!ExpectElement(navigator, "name")) {
            ClearMembers();
            return false;
        }
        // A view of the document, which stays until the next one is opened.
        std::string_view name;
        navigator.ReadText(name);
        navigator.SkipElement();
        std::unique_ptr<XmlRpcValue> value = OpenValue(navigator);
        if (!value || !ReadChild(*value, navigator, depth)) {
            ClearMembers();
            return false;
        }
        // A struct received has a handful of members: one allocation holds them.
        if (members.empty()) members.reserve(kUsualMembers);
        members.emplace_back(std::piecewise_construct, std::forward_as_tuple(name),
                             std::forward_as_tuple(std::move(value)));
        navigator.SkipElement();
        navigator.SkipElement();
    }
    return true;
}

XmlRpcValue* XmlRpcValueStruct::GetMember(const char* name) const {
    for (const Member& member : members) {
        if (EqualsIgnoreCase(member.first, name)) return member.second.get();
    }
    return nullptr;
}

void XmlRpcValueStruct::SetMember(const char* name, std::unique_ptr<XmlRpcValue> value) {
    for (Member& member : members) {
        if (EqualsIgnoreCase(member.first, name)) {
            member.second = std::move(value);
            return;
        }
    }
    members.emplace_back(name, std::move(value));
}

bool XmlRpcValueArray::WriteFramed(XmlRpcWriter& writer, const ValueFraming& framing) const {
    writer.Put(framing.open);
    for (const auto& element : elements) {
        if (!element->Write(writer)) return false;
    }
    writer.Put(framing.close);
    return true;
}

bool XmlRpcValueArray::Read(XMLNavigator& navigator) {
    return ReadNested(navigator, 0);
}

bool XmlRpcValueArray::ReadNested(XMLNavigator& navigator, uint32_t depth) {
    if (depth >= kMaxValueDepth) {
        navigator.SetLimitExceeded();
        return false;
    }
    if (!ExpectElement(navigator, "data")) return false;
    while (std::unique_ptr<XmlRpcValue> element = OpenValue(navigator)) {
        if (!ReadChild(*element, navigator, depth)) {
            ClearElements();
            return false;
        }
        elements.push_back(std::move(element));
        navigator.SkipElement();
    }
    return XmlRpcValue::Read(navigator);
}

std::unique_ptr<XmlRpcValue> CreateValue(std::string_view typeName) {
    // By length and first letter: at most two names compare.
    switch (typeName.size()) {
        case 2:
            if (EqualsIgnoreCase(typeName, "i4")) return std::make_unique<XmlRpcValueInt>();
            break;
        case 3:
            if (EqualsIgnoreCase(typeName, "int")) return std::make_unique<XmlRpcValueInt>();
            break;
        case 5:
            if (EqualsIgnoreCase(typeName, "array")) return std::make_unique<XmlRpcValueArray>();
            break;
        case 6:
            switch (FoldAscii(typeName[0])) {
                case 's':
                    if (EqualsIgnoreCase(typeName, "string")) {
                        return std::make_unique<XmlRpcValueString>();
                    }
                    if (EqualsIgnoreCase(typeName, "struct")) {
                        return std::make_unique<XmlRpcValueStruct>();
                    }
                    break;
                case 'd':
                    if (EqualsIgnoreCase(typeName, "double")) {
                        return std::make_unique<XmlRpcValueDouble>();
                    }
                    break;
                case 'b':
                    if (EqualsIgnoreCase(typeName, "base64")) {
                        return std::make_unique<XmlRpcValueBase64>();
                    }
                    break;
                default:
                    break;
            }
            break;
        case 7:
            if (EqualsIgnoreCase(typeName, "boolean")) return std::make_unique<XmlRpcValueBool>();
            break;
        case 16:
            if (EqualsIgnoreCase(typeName, "dateTime.iso8601")) {
                return std::make_unique<XmlRpcValueDateTime>();
            }
            break;
        default:
            break;
    }
    return nullptr;
}

std::unique_ptr<XmlRpcValue> OpenValue(XMLNavigator& navigator) {
    if (!ExpectElement(navigator, "value")) return nullptr;
    const XMLElement* type = navigator.NextElement();
    return type != nullptr ? CreateValue(type->name) : nullptr;
}

}  // namespace voxtrel
