// The navigator turns the scanner's callbacks into the pull operations of the protocol readers.
#include "xml/xml_navigator.h"

namespace voxtrel {

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
    depth_ = 0;
    scanner_.Begin(document);
    return true;
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

bool ExpectElement(XMLNavigator& navigator, const char* name) {
    XMLElement& element = navigator.ScratchElement();
    return navigator.NextElement(element) && EqualsIgnoreCase(element.name, name);
}

}  // namespace voxtrel
