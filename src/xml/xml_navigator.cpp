// The navigator turns the scanner's callbacks into the pull operations of the protocol readers.
#include "xml/xml_navigator.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace voxtrel {

namespace {

const char* const kErrorTexts[] = {
    "Expected comment or CDATA",
    "Expected an attribute name",
    "Expected equal sign",
    "Expected an element name",
    "Invalid document structure",
    "Unterminated start tag, '{0}'",
    "Expected an attribute value",
    "Unterminated end tag",
    "Expected end of tag '{0}'",
    "Expected whitespace",
    "There are more end tags than start tags",
    "The attribute '{0}' is already used in element '{1}'",
    "A '<' character cannot be used in attribute '{0}', except through &lt;",
    "The input ended before all started tags were ended. Last tag started was '{0}'",
    "The main XML document cannot be empty",
    "CDATA is not allowed outside the root element",
};

const char* const kFatalTexts[] = {
    "The end of input was not expected",
    "Unbalanced start/end tags found, cannot continue",
};

}  // namespace

const char* XMLErrorText(int32_t code) {
    return code >= 1 && code <= 16 ? kErrorTexts[code - 1] : nullptr;
}

const char* XMLFatalText(int32_t code) {
    return code >= 1 && code <= 2 ? kFatalTexts[code - 1] : nullptr;
}

XMLNavigator::XMLNavigator() = default;

XMLNavigator::~XMLNavigator() = default;

void XMLNavigator::Characters(const CharBuffer&, bool) {}
void XMLNavigator::Unused(const CharBuffer&) {}
void XMLNavigator::StartDocument() {}
void XMLNavigator::EndDocument() {}
void XMLNavigator::ResetDocument() {}

void XMLNavigator::StartElement(const XMLElement& element) {
    if (output_ != nullptr) *output_ = element;
    delivered_ = true;
    wasStart_ = true;
    if (!element.isEmpty) ++depth_;
}

void XMLNavigator::EndElement(const XMLElement&) {
    delivered_ = true;
    wasStart_ = false;
    --depth_;
}

bool XMLNavigator::Open(const CharBuffer& document) {
    if (parsing_) return false;
    parsing_ = true;
    more_ = true;
    limitExceeded_ = false;
    depth_ = 0;
    scanner_.Begin(document);
    return true;
}

bool XMLNavigator::OpenFile(const char* path) {
    struct stat status;
    if (path == nullptr || stat(path, &status) != 0) {
        if (errorSink_) errorSink_->Message("Maybe file does not exist");
        return false;
    }
    if (status.st_size < 1) {
        if (errorSink_) errorSink_->Message("Something wrong");
        return false;
    }
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        if (errorSink_) errorSink_->Message("Can't open file");
        return false;
    }
    long long size = status.st_size;
    CharBuffer document(static_cast<uint32_t>(std::min<long long>(size, CharBuffer::kMaxLength)));
    char block[255];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        if (!document.Append(block, static_cast<uint32_t>(got))) break;
    }
    std::fclose(file);
    return Open(document);
}

void XMLNavigator::Finish() {
    scanner_.End();
    parsing_ = false;
}

bool XMLNavigator::NextElement(XMLElement& element) {
    if (!more_) return false;
    delivered_ = false;
    wasStart_ = false;
    output_ = &element;
    do {
        more_ = scanner_.Step();
    } while (more_ && !delivered_);
    // Elements passed over by later steps are not the caller's.
    output_ = nullptr;
    if (!more_) Finish();
    return wasStart_;
}

bool XMLNavigator::ReadText(CharBuffer& text) {
    return scanner_.ScanText(text);
}

bool XMLNavigator::SkipElement() {
    if (!more_) return false;
    depth_ = 1;
    do {
        more_ = scanner_.Step();
    } while (more_ && depth_ != 0);
    if (!more_) Finish();
    return more_;
}

bool XMLNavigator::CloseTo(uint32_t openElements) {
    if (!more_) return false;
    // The scanner's count, not depth_, is the measure: an end tag that names another element
    // closes one without an EndElement.
    while (scanner_.Depth() > openElements) {
        more_ = scanner_.Step();
        if (!more_) {
            Finish();
            return false;
        }
    }
    return true;
}

void XMLNavigator::FatalError(int32_t code) {
    if (code == kXmlLimitExceeded) limitExceeded_ = true;
    const char* text = XMLFatalText(code);
    if (errorSink_ && text) errorSink_->Message(text);
}

void XMLNavigator::Error(int32_t code) {
    const char* text = XMLErrorText(code);
    if (errorSink_ && text) errorSink_->Message(text);
}

bool ExpectElement(XMLNavigator& navigator, const char* name) {
    XMLElement& element = navigator.ScratchElement();
    return navigator.NextElement(element) && EqualsIgnoreCase(element.name, name);
}

}  // namespace voxtrel
