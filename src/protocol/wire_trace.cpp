// Password masking and the line form of the wire trace, shared by the session, the C interface,
// the voxtrel command and the simulator.
#include "protocol/wire_trace.h"

#include <cstdint>
#include <cstdio>

#include "protocol/xmlrpc_method.h"
#include "xml/ascii_case.h"

namespace voxtrel {

namespace {

// Element names compare without letter case, as the reader compares them. A word that starts
// with '<' (a tag), which the search can skip to, is found in a fraction of the time.
size_t FindIgnoringCase(std::string_view text, std::string_view word, size_t from) {
    unsigned char first = FoldAscii(word.front());
    bool tag = word.front() == '<';
    for (size_t at = from; at + word.size() <= text.size(); ++at) {
        if (tag) {
            at = text.find('<', at);
            if (at == std::string_view::npos || at + word.size() > text.size()) break;
        } else if (FoldAscii(text[at]) != first) {
            continue;
        }
        if (EqualsIgnoreCase(text.substr(at, word.size()), word)) return at;
    }
    return std::string_view::npos;
}

// The position just past the tag that starts at or after from with the given name (followed by
// white space or '>', so that "param" does not find "params"); npos without one.
size_t PastTag(std::string_view text, std::string_view opening, size_t from, size_t* start) {
    for (size_t at = FindIgnoringCase(text, opening, from); at != std::string_view::npos;
         at = FindIgnoringCase(text, opening, at + 1)) {
        size_t next = at + opening.size();
        if (next < text.size() && text[next] != '>' && text[next] != ' ' && text[next] != '\t' &&
            text[next] != '\r' && text[next] != '\n') {
            continue;
        }
        size_t close = text.find('>', next);
        if (close == std::string_view::npos) return close;
        if (start != nullptr) *start = at;
        return close + 1;
    }
    return std::string_view::npos;
}

// Whether a method name may read as authenticate. A name with a character reference may spell
// it in a way that only the reader resolves, so it counts as one.
bool MayBeAuthenticate(std::string_view name) {
    return FindIgnoringCase(name, "authenticate", 0) != std::string_view::npos ||
           name.find('&') != std::string_view::npos;
}

// Whether text is "</params>", perhaps followed by "</methodCall>", with white space anywhere.
bool OnlyClosingTags(std::string_view text) {
    std::string bare;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') bare += c;
    }
    return EqualsIgnoreCase(bare, "</params>") || EqualsIgnoreCase(bare, "</params></methodCall>");
}

constexpr std::string_view kMaskedParam =
    "<param>\r\n<value><string>****</string></value>\r\n</param>\r\n";

// Days since 1970-01-01 to the civil date (proleptic Gregorian), without the C library's
// calendar functions, whose thread-safe forms differ by platform.
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

void AppendTime(std::string& out, std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto micros = duration_cast<microseconds>(time.time_since_epoch()).count();
    int64_t days = micros / 86400000000;
    int64_t inDay = micros % 86400000000;
    if (inDay < 0) {
        inDay += 86400000000;
        --days;
    }
    int64_t year;
    unsigned month;
    unsigned day;
    CivilFromDays(days, year, month, day);
    int64_t seconds = inDay / 1000000;
    char text[48];
    int length = std::snprintf(
        text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%06lldZ",
        static_cast<long long>(year), month, day, static_cast<long long>(seconds / 3600),
        static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
        static_cast<long long>(inDay % 1000000));
    out.append(text, static_cast<size_t>(length));
}

void AppendEscaped(std::string& out, std::string_view document) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : document) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
}

}  // namespace

bool MaskPassword(std::string_view document, std::string& masked) {
    size_t nameStart = PastTag(document, "<methodName", 0, nullptr);
    if (nameStart == std::string_view::npos) return false;
    size_t nameEnd = document.find('<', nameStart);
    if (nameEnd == std::string_view::npos) nameEnd = document.size();
    if (!MayBeAuthenticate(document.substr(nameStart, nameEnd - nameStart))) return false;
    // The user name's param stays when a param follows it; the password is that one and
    // whatever else comes before the params end. A document of another shape keeps nothing
    // after its method name, since its password could be anywhere.
    size_t kept = nameEnd;
    std::string_view replacement = kMaskedPassword;
    size_t firstEnd = PastTag(document, "</param", nameEnd, nullptr);
    size_t secondStart = 0;
    if (firstEnd != std::string_view::npos &&
        PastTag(document, "<param", firstEnd, &secondStart) != std::string_view::npos) {
        kept = secondStart;
        replacement = kMaskedParam;
    }
    // The end of the params stays only when nothing but the document's end follows it: a
    // "</params>" inside the password must not let its rest through.
    size_t tail = document.size();
    size_t paramsEnd = 0;
    for (size_t past = PastTag(document, "</params", kept, &paramsEnd);
         past != std::string_view::npos; past = PastTag(document, "</params", past, &paramsEnd)) {
        tail = paramsEnd;
    }
    if (replacement == kMaskedPassword || !OnlyClosingTags(document.substr(tail)))
        tail = document.size();
    masked.assign(document.substr(0, kept));
    masked += replacement;
    masked += document.substr(tail);
    return true;
}

std::string_view TracedDocument(std::string_view message, std::string& storage) {
    if (message.ends_with(kMessageTerminator)) message.remove_suffix(kMessageTerminator.size());
    return MaskPassword(message, storage) ? std::string_view(storage) : message;
}

void AppendWireTraceLine(std::string& out, WireDirection direction,
                         std::chrono::system_clock::time_point time, std::string_view document) {
    AppendTime(out, time);
    out += ' ';
    out += static_cast<char>(direction);
    out += ' ';
    AppendEscaped(out, document);
    out += '\n';
}

std::string WireTraceLine(WireDirection direction, std::chrono::system_clock::time_point time,
                          std::string_view document) {
    std::string line;
    AppendWireTraceLine(line, direction, time, document);
    return line;
}

}  // namespace voxtrel
