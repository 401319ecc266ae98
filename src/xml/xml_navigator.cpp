// The navigator turns the scanner's callbacks into the pull operations of the protocol readers.
#include "xml/xml_navigator.h"

namespace voxtrel {

void XMLNavigator::StartElement(const XMLElement& element) {
    current_ = &element;
    delivered_ = true;
    if (!element.isEmpty) ++depth_;
}

void XMLNavigator::EndElement(const XMLElement&) {
    current_ = nullptr;
    delivered_ = true;
    --depth_;
}

bool XMLNavigator::StartDocument() {
    if (parsing_) return false;
    parsing_ = true;
    more_ = true;
    depth_ = 0;
    return true;
}

bool XMLNavigator::Open(const CharBuffer& document) {
    if (!StartDocument()) return false;
    scanner_.Begin(document);
    return true;
}

bool XMLNavigator::OpenInPlace(std::string_view text) {
    if (!StartDocument()) return false;
    scanner_.Begin(text);
    return true;
}

void XMLNavigator::Close() {
    if (parsing_) Finish();
    more_ = false;
}

void XMLNavigator::Finish() {
    scanner_.End();
    parsing_ = false;
}

const XMLElement* XMLNavigator::NextElement() {
    if (!more_) return nullptr;
    delivered_ = false;
    current_ = nullptr;
    do {
        more_ = scanner_.Step();
    } while (more_ && !delivered_);
    if (!more_) Finish();
    return current_;
}

bool XMLNavigator::NextElement(XMLElement& element) {
    const XMLElement* next = NextElement();
    if (next == nullptr) return false;
    element = *next;
    return true;
}

bool XMLNavigator::ReadText(CharBuffer& text) {
    return scanner_.ScanText(text);
}

bool XMLNavigator::ReadText(std::string_view& text) {
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

bool ExpectElement(XMLNavigator& navigator, std::string_view name) {
    const XMLElement* element = navigator.NextElement();
    return element != nullptr && EqualsIgnoreCase(element->name, name);
}

}  // namespace voxtrel
