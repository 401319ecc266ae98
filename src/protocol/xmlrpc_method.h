// Protocol messages: the base classes of every request and answer, the table of the 16 method
// names, the exact written form of a document and the document-level reading rules.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "xml/xml_navigator.h"
#include "xmlrpc/xmlrpc_value.h"

namespace voxtrel {

class CallServiceNotifications;

enum MethodType : uint32_t {
    kCreateCall = 0,
    kCloseCall = 1,
    kTransferCall = 2,
    kJoinCalls = 3,
    kUnjoinCalls = 4,
    kCallStateChanged = 5,
    kPlayMessage = 6,
    kMessagePlayed = 7,
    kEnableDtmfDetection = 8,
    kDtmfDigitDetected = 9,
    kIncomingCallHandling = 10,
    kProcess = 11,
    kAuthenticate = 12,
    kSubscribe = 13,
    kUnsubscribe = 14,
    kMailArrived = 15,
};
constexpr uint32_t kMethodCount = 16;

// The bytes that end every message.
inline constexpr std::string_view kMessageTerminator = "\r\n\r\n";

// The full method name of a type code, or null outside 0 to 15.
const char* MethodName(uint32_t methodType);
// The same as a view; empty outside 0 to 15.
std::string_view MethodNameView(uint32_t methodType);

// Ids travel as decimal text: no sign, no leading zeros, "0" for zero.
std::string FormatId(uint64_t id);
// Every character counts as a decimal digit, unvalidated: the value is the sum of (code - '0')
// times ten to the power of its position from the end, in unsigned 64-bit arithmetic.
uint64_t ParseId(std::string_view text);

class XmlRpcMethod {
  public:
    virtual ~XmlRpcMethod() = default;
    XmlRpcMethod(const XmlRpcMethod&) = delete;
    XmlRpcMethod& operator=(const XmlRpcMethod&) = delete;

    // Appends the XML declaration line. Write never clears out; callers pass an empty string.
    virtual bool Write(std::string& out) const;
    virtual void Dispatch(CallServiceNotifications& session) = 0;

    // The id held in idParam, or 0 without one.
    uint64_t GetId() const;

    uint32_t isRequest;
    uint32_t methodType;
    std::unique_ptr<XmlRpcValueString> idParam;

  protected:
    XmlRpcMethod(uint32_t request, uint32_t type) : isRequest(request), methodType(type) {}
};

class XmlRpcResponseMethod;

class XmlRpcRequestMethod : public XmlRpcMethod {
  public:
    explicit XmlRpcRequestMethod(uint32_t type) : XmlRpcMethod(1, type) {}

    // Appends the declaration, the methodCall start line and the methodName line.
    bool Write(std::string& out) const override;
    // The answer object for this request: the plain answer unless the class has its own, or a
    // fault answer; either carries this request's type code.
    virtual std::unique_ptr<XmlRpcResponseMethod> CreateResponse(bool fault) const;
    virtual bool ReadParams(XMLNavigator& navigator) = 0;

    // Reads a methodResponse document as the answer to this request: the class's answer first,
    // then a fault; null when neither reads. MessageReader reads it the same way.
    std::unique_ptr<XmlRpcResponseMethod> ParseResponse(std::string_view text) const;

  protected:
    // The whole document with the present params in order; a null entry is an absent optional
    // param. False, with the text so far left in out, when a value does not write.
    bool WriteRequest(std::string& out, std::initializer_list<const XmlRpcValue*> params) const;
};

class XmlRpcResponseMethod : public XmlRpcMethod {
  public:
    explicit XmlRpcResponseMethod(uint32_t type) : XmlRpcMethod(0, type) {}

    // The plain answer: idParam as the single param.
    bool Write(std::string& out) const override;
    void Dispatch(CallServiceNotifications&) override {}
    // Reads what follows the "params" start tag: the first param, a string, into idParam.
    virtual bool ReadParams(XMLNavigator& navigator);
    // Sets idParam to the id's decimal text.
    virtual bool SetId(uint64_t id);
    // Reads what follows the "fault" start tag; the plain answer has none to read.
    virtual bool ReadFault(XMLNavigator& navigator);

    // Reads a whole methodResponse document into this object.
    bool ReadDocument(std::string_view text);

  protected:
    bool WriteResponse(std::string& out, std::initializer_list<const XmlRpcValue*> params) const;
};

// The request object for a method name (letter case ignored), empty; null for an unknown name.
std::unique_ptr<XmlRpcRequestMethod> CreateRequest(std::string_view methodName);
// Reads a methodCall document into a new request; null when it is not one this side knows.
std::unique_ptr<XmlRpcRequestMethod> ParseRequest(std::string_view text);

// Reads received messages one after another, each where it lies, keeping its buffers from one
// to the next: one per reading thread. The root element, read once, tells a request from an
// answer; a document of another root is neither.
class MessageReader {
  public:
    enum class Root { kOther, kMethodCall, kMethodResponse };

    // Starts on text and reads its root; text must stay unchanged until the reading is done.
    Root Open(std::string_view text);
    // After a methodCall root: the request, as ParseRequest reads it.
    std::unique_ptr<XmlRpcRequestMethod> ReadRequest();
    // After a methodResponse root: the answer to request, as its ParseResponse reads it.
    std::unique_ptr<XmlRpcResponseMethod> ReadResponse(const XmlRpcRequestMethod& request);
    // After a methodResponse root: the rest of the document into answer, as its ReadDocument
    // reads it.
    bool ReadAnswer(XmlRpcResponseMethod& answer);

  private:
    // Reads the part that follows the root: false unless it is "params" or "fault".
    bool OpenPart(bool& params);
    bool ReadPart(XmlRpcResponseMethod& answer, bool params);

    XMLNavigator navigator_;
    std::string_view text_;
    Root root_ = Root::kOther;
};

// Param reading shared by the message classes.
enum class ParamStatus {
    kRead,       // the param's value had the expected type and was read
    kMissing,    // no "param" start tag came next
    kNoValue,    // a param without a typed value: bare text, an unknown type such as nil, no value
    kUnreadable  // a param whose value is of another type or does not read
};

// Reads the next "param" with a value of the expected type into value, consuming the value and
// param end tags. A value of another type is read past and deleted.
ParamStatus ReadParam(XMLNavigator& navigator, int32_t expectedType,
                      std::unique_ptr<XmlRpcValue>& value);

// True when a further start tag follows: the params of a request must end there.
bool HasMoreElements(XMLNavigator& navigator);

// Typed forms: true only when the param is there and of that type.
template <typename Value>
bool ReadRequiredParam(XMLNavigator& navigator, int32_t expectedType,
                       std::unique_ptr<Value>& field) {
    std::unique_ptr<XmlRpcValue> value;
    if (ReadParam(navigator, expectedType, value) != ParamStatus::kRead) return false;
    field.reset(static_cast<Value*>(value.release()));
    return true;
}

// An optional last param: when present with the expected type it is stored; another type, or a
// value that does not read, is read past to the param's end and discarded. False only when no
// end of the params follows.
template <typename Value>
bool ReadOptionalLastParam(XMLNavigator& navigator, int32_t expectedType,
                           std::unique_ptr<Value>& field) {
    const uint32_t outside = navigator.OpenElements();
    std::unique_ptr<XmlRpcValue> value;
    ParamStatus status = ReadParam(navigator, expectedType, value);
    if (status == ParamStatus::kMissing) return true;
    if (status == ParamStatus::kRead) {
        field.reset(static_cast<Value*>(value.release()));
    } else {
        // A value that failed to read leaves the reading anywhere inside the param; what follows
        // the param must be looked at, not the rest of the broken value.
        navigator.CloseTo(outside);
    }
    return !HasMoreElements(navigator);
}

// A string value holding the text of id, made when absent.
void SetIdText(std::unique_ptr<XmlRpcValueString>& field, uint64_t id);
// Sets a field to a new or reused value of its kind.
void SetString(std::unique_ptr<XmlRpcValueString>& field, std::string_view text);
void SetInt(std::unique_ptr<XmlRpcValueInt>& field, int32_t value);
void SetBool(std::unique_ptr<XmlRpcValueBool>& field, bool value);

// A struct member of the given kind, or null when absent or of another kind.
template <typename Value>
Value* GetMemberAs(const XmlRpcValueStruct& record, const char* name, int32_t type) {
    XmlRpcValue* value = record.GetMember(name);
    return value != nullptr && value->valueType == type ? static_cast<Value*>(value) : nullptr;
}

}  // namespace voxtrel
