// The scripting host: line syntax, the method table with its argument conversions, directives,
// and the two output forms.
#include "script_host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <string_view>
#include <thread>
#include <type_traits>

namespace voxtrel {

namespace {

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

namespace {

template <class Target, class Result, class... Params>
ControlValue Call(Target& control, Result (Target::*method)(Params...),
                  std::span<const ControlValue> args) {
    return ApplyValues<Params...>(
        [&](auto&&... values) {
            if constexpr (std::is_same_v<Result, bool>) {
                return ControlValue((control.*method)(values...) ? 1 : 0);
            } else {
                return ControlValue((control.*method)(values...));
            }
        },
        args);
}

}  // namespace

ControlValue ControlScriptTarget::Invoke(const ControlMember& method,
                                         std::span<const ControlValue> args) {
    if (supervisor_ != nullptr) {
        switch (static_cast<ControlMethodId>(method.dispid)) {
            case ControlMethodId::Connect:
                return Call(*supervisor_, &ReconnectSupervisor::Connect, args);
            case ControlMethodId::Disconnect:
                return Call(*supervisor_, &ReconnectSupervisor::Disconnect, args);
            case ControlMethodId::IncomingCallHandling:
                return Call(*supervisor_, &ReconnectSupervisor::IncomingCallHandling, args);
            case ControlMethodId::SubscribeToVoiceMail:
                return Call(*supervisor_, &ReconnectSupervisor::SubscribeToVoiceMail, args);
            case ControlMethodId::Unsubscribe:
                return Call(*supervisor_, &ReconnectSupervisor::Unsubscribe, args);
            default:
                break;
        }
    }
    switch (method.dispid) {
#define VOXTREL_CALL(id, name, ...) \
    case id:                        \
        return Call(control_, &CVoxtrelCtrl::name, args);
        VOXTREL_METHODS(VOXTREL_CALL, )
#undef VOXTREL_CALL
        default:
            return {};
    }
}
void ControlScriptTarget::Pump(int timeoutMs, const std::function<bool()>&) {
    if (supervisor_ != nullptr) {
        supervisor_->PumpEvents(timeoutMs);
    } else {
        control_.PumpEvents(timeoutMs);
    }
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
        auto named = [&](const ControlMember& event) { return words[1] == event.name; };
        const bool known = std::ranges::any_of(kControlEvents, named) ||
                           std::ranges::any_of(kReconnectEvents, named);
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
    const ControlMember* entry = nullptr;
    for (const ControlMember& candidate : kControlMethods) {
        if (SameIgnoringCase(words[0], candidate.name)) entry = &candidate;
    }
    if (entry == nullptr) return false;
    if (words.size() - 1 != entry->count) {
        Error(std::string(entry->name) + " takes " + std::to_string(entry->count) +
              " arguments, not " + std::to_string(words.size() - 1));
        return true;
    }
    std::vector<ControlValue> args(entry->count);
    for (size_t i = 0; i < entry->count; ++i) {
        int64_t number = 0;
        if (entry->params[i].type == ControlType::Text) {
            args[i].text = words[i + 1];
        } else if (!ParseInteger(words[i + 1], number)) {
            Error(std::string(entry->name) + ": argument " + std::to_string(i + 1) +
                  " is no integer: " + words[i + 1]);
            return true;
        } else if (entry->params[i].type == ControlType::Short) {
            // Integers convert as the control's types do: the low 16 or 32 bits, two's complement.
            args[i].number = static_cast<int16_t>(static_cast<uint16_t>(number));
        } else {
            args[i].number = static_cast<int32_t>(static_cast<uint32_t>(number));
        }
    }
    ControlValue result = target_.Invoke(*entry, args);
    bool text = entry->result == ControlType::Text;
    if (json_) {
        out_ << "{\"method\":" << JsonString(entry->name) << ",\"result\":"
             << (text ? JsonString(result.text) : (result.number != 0 ? "true" : "false")) << "}"
             << std::endl;
    } else {
        out_ << entry->name << " -> "
             << (text ? result.text : (result.number != 0 ? "TRUE" : "FALSE")) << std::endl;
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

void ScriptHost::OnEvent(const ControlMember& event, std::span<const ControlValue> values) {
    std::vector<Field> fields;
    for (size_t i = 0; i < event.count && i < values.size(); ++i) {
        const ControlParam& param = event.params[i];
        const ControlValue& value = values[i];
        std::string number = std::to_string(value.number);
        switch (param.type) {
            case ControlType::Text:
                // The free texts may hold blanks; ids and addresses never do.
                fields.push_back({param.name, JsonString(value.text),
                                  std::string_view(param.name) == "failureString" ||
                                          std::string_view(param.name) == "time"
                                      ? Quoted(value.text)
                                      : value.text});
                break;
            case ControlType::Bool:
                fields.push_back({param.name, value.number != 0 ? "true" : "false",
                                  value.number != 0 ? "TRUE" : "FALSE"});
                break;
            default:
                fields.push_back({param.name, number, number});
                break;
        }
    }
    Event(event.name, fields);
}

}  // namespace voxtrel
