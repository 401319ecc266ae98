// The scripting host: line syntax, the method table with its argument conversions, directives,
// and the two output forms.
#include "script_host.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <thread>

namespace voxtrel {

namespace {

enum ArgType { kText, kShort, kLong, kBool };
enum ResultType { kBoolResult, kTextResult };

struct MethodEntry {
    const char* name;
    std::vector<ArgType> args;
    ResultType result;
};

const MethodEntry kMethods[] = {
    {"Connect", {kText, kShort, kLong, kText, kText}, kBoolResult},
    {"Disconnect", {}, kBoolResult},
    {"CreateCall", {kText, kText}, kTextResult},
    {"CloseCall", {kText}, kBoolResult},
    {"TransferCall", {kText, kText}, kBoolResult},
    {"JoinCalls", {kText, kText}, kBoolResult},
    {"UnjoinCalls", {kText, kText}, kBoolResult},
    {"PlayMessage", {kText, kText, kShort}, kBoolResult},
    {"EnableDtmfDetection", {kText, kBool}, kBoolResult},
    {"IncomingCallHandling", {kText, kBool}, kBoolResult},
    {"AcceptCall", {kText, kText, kText}, kBoolResult},
    {"RejectCall", {kText}, kBoolResult},
    {"ForwardCall", {kText, kText, kText, kText}, kBoolResult},
    {"SubscribeToVoiceMail", {kText}, kTextResult},
    {"Unsubscribe", {kText}, kBoolResult},
};

const char* const kEventNames[] = {"CallStateChanged", "MessagePlayed",        "DtmfDigitReceived",
                                   "RequestFailed",    "Disconnected",         "CallArrived",
                                   "MailArrived",      "SubscriptionConfirmed"};

bool SameIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return i == a.size() && b[i] == 0;
}

// A whole decimal integer, optionally signed, that fits in 64 bits.
bool ParseInteger(const std::string& word, int64_t& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || end == word.c_str() || *end != 0) return false;
    value = parsed;
    return true;
}

// Seconds as a directive gives them: a non-negative decimal number.
bool ParseSeconds(const std::string& word, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(word.c_str(), &end);
    return !word.empty() && *end == 0 && std::isfinite(seconds) && seconds >= 0;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

bool ControlScriptTarget::Connect(const std::string& server, int16_t port, int32_t timeout,
                                  const std::string& user, const std::string& password) {
    return control_.Connect(server, port, timeout, user, password);
}
bool ControlScriptTarget::Disconnect() {
    return control_.Disconnect();
}
std::string ControlScriptTarget::CreateCall(const std::string& from, const std::string& to) {
    return control_.CreateCall(from, to);
}
bool ControlScriptTarget::CloseCall(const std::string& callID) {
    return control_.CloseCall(callID);
}
bool ControlScriptTarget::TransferCall(const std::string& callID, const std::string& to) {
    return control_.TransferCall(callID, to);
}
bool ControlScriptTarget::JoinCalls(const std::string& callID, const std::string& other) {
    return control_.JoinCalls(callID, other);
}
bool ControlScriptTarget::UnjoinCalls(const std::string& callID, const std::string& other) {
    return control_.UnjoinCalls(callID, other);
}
bool ControlScriptTarget::PlayMessage(const std::string& callID, const std::string& fileName,
                                      int16_t playCount) {
    return control_.PlayMessage(callID, fileName, playCount);
}
bool ControlScriptTarget::EnableDtmfDetection(const std::string& callID, int32_t onoff) {
    return control_.EnableDtmfDetection(callID, onoff);
}
bool ControlScriptTarget::IncomingCallHandling(const std::string& extension, int32_t enable) {
    return control_.IncomingCallHandling(extension, enable);
}
bool ControlScriptTarget::AcceptCall(const std::string& callID, const std::string& callerID,
                                     const std::string& callerDispName) {
    return control_.AcceptCall(callID, callerID, callerDispName);
}
bool ControlScriptTarget::RejectCall(const std::string& callID) {
    return control_.RejectCall(callID);
}
bool ControlScriptTarget::ForwardCall(const std::string& callID, const std::string& callee,
                                      const std::string& callerID,
                                      const std::string& callerDispName) {
    return control_.ForwardCall(callID, callee, callerID, callerDispName);
}
std::string ControlScriptTarget::SubscribeToVoiceMail(const std::string& extension) {
    return control_.SubscribeToVoiceMail(extension);
}
bool ControlScriptTarget::Unsubscribe(const std::string& subscrID) {
    return control_.Unsubscribe(subscrID);
}
void ControlScriptTarget::Pump(int timeoutMs, const std::function<bool()>&) {
    control_.PumpEvents(timeoutMs);
}
bool ControlScriptTarget::CreateControlWindow(std::string& error) {
    if (control_.CreateControlWindow()) return true;
    error = "the control's window exists already";
    return false;
}
bool ControlScriptTarget::DestroyControlWindow(std::string& error) {
    if (!control_.HasControlWindow()) {
        error = "the control has no window";
        return false;
    }
    control_.DestroyControlWindow();
    return true;
}

bool SplitScriptLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n') {
            ++i;
            continue;
        }
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
               line[i] != '\n') {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    c = line[i++];
                }
                word += c;
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
        }
        words.push_back(word);
    }
    return true;
}

std::string JsonString(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

ScriptHost::ScriptHost(ScriptTarget& target, std::ostream& out, bool json)
    : target_(target), out_(out), json_(json) {}

void ScriptHost::Run(std::istream& input) {
    std::string line;
    while (std::getline(input, line)) {
        if (!ExecuteLine(line)) return;
    }
}

bool ScriptHost::ExecuteLine(const std::string& line) {
    std::vector<std::string> words;
    std::string error;
    if (!SplitScriptLine(line, words, error)) {
        Error(error);
        return true;
    }
    // A comment starts with '#' as the line's first non-blank character; a quoted "#" is a word.
    if (words.empty() || line[line.find_first_not_of(" \t")] == '#') return true;
    if (words[0] == "quit") return false;
    if (Directive(words)) return true;
    if (Method(words)) return true;
    Error("unknown word: " + words[0]);
    return true;
}

bool ScriptHost::Directive(const std::vector<std::string>& words) {
    const std::string& name = words[0];
    if (name == "wait") {
        if (words.size() < 2 || words.size() > 3) {
            Error("wait takes an event name and optional seconds");
            return true;
        }
        bool known = false;
        for (const char* event : kEventNames)
            known = known || words[1] == event;
        double seconds = 10;
        if (!known) {
            Error("unknown event: " + words[1]);
        } else if (words.size() == 3 && !ParseSeconds(words[2], seconds)) {
            Error("wait: bad seconds: " + words[2]);
        } else {
            PumpFor(seconds, words[1].c_str());
        }
        return true;
    }
    if (name == "pump" || name == "sleep") {
        double seconds = 0;
        if (words.size() != 2 || !ParseSeconds(words[1], seconds)) {
            Error(name + " takes seconds");
        } else if (name == "pump") {
            PumpFor(seconds, nullptr);
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
        return true;
    }
    if (name == "window") {
        std::string error;
        if (words.size() != 2 || (words[1] != "create" && words[1] != "destroy")) {
            Error("window takes create or destroy");
        } else if (words[1] == "create" ? !target_.CreateControlWindow(error)
                                        : !target_.DestroyControlWindow(error)) {
            Error("window " + words[1] + ": " + error);
        }
        return true;
    }
    return false;
}

void ScriptHost::PumpFor(double seconds, const char* waitingFor) {
    awaited_ = waitingFor != nullptr ? waitingFor : "";
    awaitedFired_ = false;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (awaitedFired_ || now >= deadline) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        target_.Pump(static_cast<int>(std::min<int64_t>(left.count() + 1, 50)),
                     [this] { return awaitedFired_; });
    }
    if (waitingFor != nullptr && !awaitedFired_) {
        if (json_) {
            out_ << "{\"wait\":" << JsonString(waitingFor) << ",\"timedOut\":true}" << std::endl;
        } else {
            out_ << "wait " << waitingFor << ": timed out" << std::endl;
        }
    }
    awaited_.clear();
}

bool ScriptHost::Method(const std::vector<std::string>& words) {
    const MethodEntry* entry = nullptr;
    for (const MethodEntry& candidate : kMethods) {
        if (SameIgnoringCase(words[0], candidate.name)) entry = &candidate;
    }
    if (entry == nullptr) return false;
    if (words.size() - 1 != entry->args.size()) {
        Error(std::string(entry->name) + " takes " + std::to_string(entry->args.size()) +
              " arguments, not " + std::to_string(words.size() - 1));
        return true;
    }
    std::vector<int64_t> numbers(entry->args.size(), 0);
    for (size_t i = 0; i < entry->args.size(); ++i) {
        if (entry->args[i] == kText) continue;
        if (!ParseInteger(words[i + 1], numbers[i])) {
            Error(std::string(entry->name) + ": argument " + std::to_string(i + 1) +
                  " is no integer: " + words[i + 1]);
            return true;
        }
    }
    // Integers convert as the control's types do: the low 16 or 32 bits, two's complement.
    auto i2 = [&](size_t i) { return static_cast<int16_t>(static_cast<uint16_t>(numbers[i])); };
    auto i4 = [&](size_t i) { return static_cast<int32_t>(static_cast<uint32_t>(numbers[i])); };
    const auto& a = words;
    bool flag = false;
    std::string text;
    switch (entry - kMethods) {
        case 0:
            flag = target_.Connect(a[1], i2(1), i4(2), a[4], a[5]);
            break;
        case 1:
            flag = target_.Disconnect();
            break;
        case 2:
            text = target_.CreateCall(a[1], a[2]);
            break;
        case 3:
            flag = target_.CloseCall(a[1]);
            break;
        case 4:
            flag = target_.TransferCall(a[1], a[2]);
            break;
        case 5:
            flag = target_.JoinCalls(a[1], a[2]);
            break;
        case 6:
            flag = target_.UnjoinCalls(a[1], a[2]);
            break;
        case 7:
            flag = target_.PlayMessage(a[1], a[2], i2(2));
            break;
        case 8:
            flag = target_.EnableDtmfDetection(a[1], i4(1));
            break;
        case 9:
            flag = target_.IncomingCallHandling(a[1], i4(1));
            break;
        case 10:
            flag = target_.AcceptCall(a[1], a[2], a[3]);
            break;
        case 11:
            flag = target_.RejectCall(a[1]);
            break;
        case 12:
            flag = target_.ForwardCall(a[1], a[2], a[3], a[4]);
            break;
        case 13:
            text = target_.SubscribeToVoiceMail(a[1]);
            break;
        default:
            flag = target_.Unsubscribe(a[1]);
            break;
    }
    if (json_) {
        out_ << "{\"method\":" << JsonString(entry->name) << ",\"result\":"
             << (entry->result == kTextResult ? JsonString(text) : (flag ? "true" : "false")) << "}"
             << std::endl;
    } else {
        out_ << entry->name << " -> "
             << (entry->result == kTextResult ? text : (flag ? "TRUE" : "FALSE")) << std::endl;
    }
    return true;
}

void ScriptHost::Error(const std::string& message) {
    if (json_) {
        out_ << "{\"error\":" << JsonString(message) << "}" << std::endl;
    } else {
        out_ << "error: " << message << std::endl;
    }
}

void ScriptHost::Event(const char* name, const std::vector<Field>& fields) {
    if (json_) {
        out_ << "{\"event\":" << JsonString(name);
        for (const Field& field : fields)
            out_ << "," << JsonString(field.name) << ":" << field.json;
        out_ << "}" << std::endl;
    } else {
        out_ << "event " << name;
        for (const Field& field : fields)
            out_ << " " << field.name << "=" << field.text;
        out_ << std::endl;
    }
    if (!awaited_.empty() && awaited_ == name) awaitedFired_ = true;
}

void ScriptHost::CallStateChanged(const std::string& callID, int16_t callState) {
    Event("CallStateChanged",
          {{"callID", JsonString(callID), callID},
           {"callState", std::to_string(callState), std::to_string(callState)}});
}

void ScriptHost::MessagePlayed(const std::string& callID) {
    Event("MessagePlayed", {{"callID", JsonString(callID), callID}});
}

void ScriptHost::DtmfDigitReceived(const std::string& callID, int16_t digit) {
    Event("DtmfDigitReceived", {{"callID", JsonString(callID), callID},
                                {"digit", std::to_string(digit), std::to_string(digit)}});
}

void ScriptHost::RequestFailed(const std::string& callID, int32_t failureCode,
                               const std::string& failureString) {
    Event("RequestFailed",
          {{"callID", JsonString(callID), callID},
           {"failureCode", std::to_string(failureCode), std::to_string(failureCode)},
           {"failureString", JsonString(failureString), Quoted(failureString)}});
}

void ScriptHost::Disconnected() {
    Event("Disconnected", {});
}

void ScriptHost::CallArrived(const std::string& callID, const std::string& caller,
                             const std::string& callee, const std::string& origCallID) {
    Event("CallArrived", {{"callID", JsonString(callID), callID},
                          {"caller", JsonString(caller), caller},
                          {"callee", JsonString(callee), callee},
                          {"origCallID", JsonString(origCallID), origCallID}});
}

void ScriptHost::MailArrived(const std::string& subscrID, const std::string& caller,
                             const std::string& time, int32_t duration, int32_t id) {
    Event("MailArrived", {{"subscrID", JsonString(subscrID), subscrID},
                          {"caller", JsonString(caller), caller},
                          {"time", JsonString(time), Quoted(time)},
                          {"duration", std::to_string(duration), std::to_string(duration)},
                          {"id", std::to_string(id), std::to_string(id)}});
}

void ScriptHost::SubscriptionConfirmed(const std::string& subscrID, bool confirmed,
                                       int32_t errorCode) {
    Event("SubscriptionConfirmed",
          {{"subscrID", JsonString(subscrID), subscrID},
           {"confirmed", confirmed ? "true" : "false", confirmed ? "TRUE" : "FALSE"},
           {"errorCode", std::to_string(errorCode), std::to_string(errorCode)}});
}

}  // namespace voxtrel
