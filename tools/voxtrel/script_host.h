// The scripting host behind `voxtrel run`: executes one command per line against a control on
// the host's thread and reports methods, events, waits and errors as text or JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "control/reconnect_supervisor.h"
#include "control/voxtrel_ctrl.h"

namespace voxtrel {

// What a script drives: the control's fifteen methods and its window, whatever face the control
// shows (the portable core directly, or the ActiveX control through COM).
class ScriptTarget {
  public:
    virtual ~ScriptTarget() = default;
    // Calls a method, a row of kControlMethods, with one argument per parameter: a text, or the
    // number already cut to the parameter's width. A BOOL result is 1 or 0, a text result a text.
    virtual ControlValue Invoke(const ControlMember& method,
                                std::span<const ControlValue> args) = 0;
    // Handles waiting events for up to timeoutMs, and no more once done() holds after one of them:
    // a wait ends with its event, and what comes after it belongs to the next line.
    virtual void Pump(int timeoutMs, const std::function<bool()>& done) = 0;
    // False, with a reason, where the face has no such window operation.
    virtual bool CreateControlWindow(std::string& error) = 0;
    virtual bool DestroyControlWindow(std::string& error) = 0;
};

// The portable control as a script target; with a supervisor, the methods it follows and the
// pumping go through it.
class ControlScriptTarget : public ScriptTarget {
  public:
    explicit ControlScriptTarget(CVoxtrelCtrl& control, ReconnectSupervisor* supervisor = nullptr)
        : control_(control), supervisor_(supervisor) {}
    ControlValue Invoke(const ControlMember& method, std::span<const ControlValue> args) override;
    // The core returns as soon as it has handled the events waiting, one at a time as its
    // worker hands them over; done() has nothing to cut short.
    void Pump(int timeoutMs, const std::function<bool()>& done) override;
    bool CreateControlWindow(std::string& error) override;
    bool DestroyControlWindow(std::string& error) override;

  private:
    CVoxtrelCtrl& control_;
    ReconnectSupervisor* supervisor_;
};

// Splits a line into words: blanks separate, double quotes group, \" and \\ escape inside
// quotes. False, with a reason, for an unterminated quote.
bool SplitScriptLine(const std::string& line, std::vector<std::string>& words, std::string& error);
// A JSON string literal of a byte string: bytes 0x80 to 0xFF become the code points of the same
// value, control characters and quotes are escaped.
std::string JsonString(const std::string& bytes);

class ScriptHost : public VoxtrelEvents {
  public:
    ScriptHost(ScriptTarget& target, std::ostream& out, bool json);

    // Executes one line; false once the script asked to quit.
    bool ExecuteLine(const std::string& line);
    // Executes every line of input until its end or `quit`.
    void Run(std::istream& input);

    void OnEvent(const ControlMember& event, std::span<const ControlValue> values) override;

  private:
    struct Field {
        const char* name;
        std::string json;  // the value as JSON
        std::string text;  // the value as the readable form shows it
    };

    void Event(const char* name, const std::vector<Field>& fields);
    void Error(const std::string& message);
    bool Method(const std::vector<std::string>& words);
    bool Directive(const std::vector<std::string>& words);
    void PumpFor(double seconds, const char* waitingFor);

    ScriptTarget& target_;
    std::ostream& out_;
    bool json_;
    std::string awaited_;
    bool awaitedFired_ = false;
};

}  // namespace voxtrel
