// The control's fifteen methods and eight events, listed once: each face (the script host, the C
// interface, the ActiveX control, its script host) expands these lists instead of its own copy.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

// M(dispid, Name, c_name, result type, parameters...) with each parameter as P(type, name). The
// dispids and names are those of the dispatch interface; c_name is the C interface's.
#define VOXTREL_METHODS(M, P)                                                                      \
    M(1, Connect, connect, Bool, P(Text, serverAddress), P(Short, serverPort), P(Long, timeout),   \
      P(Text, username), P(Text, password))                                                        \
    M(2, Disconnect, disconnect, Bool)                                                             \
    M(3, CreateCall, create_call, Text, P(Text, from), P(Text, to))                                \
    M(4, CloseCall, close_call, Bool, P(Text, callID))                                             \
    M(5, TransferCall, transfer_call, Bool, P(Text, callID), P(Text, to))                          \
    M(6, JoinCalls, join_calls, Bool, P(Text, callID), P(Text, callIDtoJoin))                      \
    M(7, UnjoinCalls, unjoin_calls, Bool, P(Text, callID), P(Text, callIDtoUnjoin))                \
    M(8, PlayMessage, play_message, Bool, P(Text, callID), P(Text, fileName), P(Short, playCount)) \
    M(9, EnableDtmfDetection, enable_dtmf_detection, Bool, P(Text, callID), P(Bool, onoff))        \
    M(10, IncomingCallHandling, incoming_call_handling, Bool, P(Text, extensionName),              \
      P(Bool, enable))                                                                             \
    M(11, AcceptCall, accept_call, Bool, P(Text, callID), P(Text, callerID),                       \
      P(Text, callerDispName))                                                                     \
    M(12, RejectCall, reject_call, Bool, P(Text, callID))                                          \
    M(13, ForwardCall, forward_call, Bool, P(Text, callID), P(Text, callee), P(Text, callerID),    \
      P(Text, callerDispName))                                                                     \
    M(14, SubscribeToVoiceMail, subscribe_to_voice_mail, Text, P(Text, extensionName))             \
    M(15, Unsubscribe, unsubscribe, Bool, P(Text, subscrID))

// E(dispid, Name, c_name, parameters...), the parameters as for the methods.
#define VOXTREL_EVENTS(E, P)                                                                   \
    E(1, CallStateChanged, call_state_changed, P(Text, callID), P(Short, callState))           \
    E(2, MessagePlayed, message_played, P(Text, callID))                                       \
    E(3, DtmfDigitReceived, dtmf_digit_received, P(Text, callID), P(Short, digit))             \
    E(4, RequestFailed, request_failed, P(Text, callID), P(Long, failureCode),                 \
      P(Text, failureString))                                                                  \
    E(5, Disconnected, disconnected)                                                           \
    E(6, CallArrived, call_arrived, P(Text, callID), P(Text, caller), P(Text, callee),         \
      P(Text, origCallID))                                                                     \
    E(7, MailArrived, mail_arrived, P(Text, subscrID), P(Text, caller), P(Text, time),         \
      P(Long, duration), P(Long, id))                                                          \
    E(8, SubscriptionConfirmed, subscription_confirmed, P(Text, subscrID), P(Bool, confirmed), \
      P(Long, errorCode))

namespace voxtrel {

#define VOXTREL_LIST_ID(id, name, ...) name = id,
enum class ControlMethodId : int32_t { VOXTREL_METHODS(VOXTREL_LIST_ID, ) };
enum class ControlEventId : int32_t { VOXTREL_EVENTS(VOXTREL_LIST_ID, ) };
#undef VOXTREL_LIST_ID

// The automation types of the lists: BSTR, short, long and VARIANT_BOOL.
enum class ControlType : uint8_t { Text, Short, Long, Bool };

struct ControlParam {
    ControlType type;
    const char* name;
};

// One method or event of the lists. An event's result is unused.
struct ControlMember {
    int32_t dispid;
    const char* name;
    ControlType result;
    size_t count;
    ControlParam params[5];
};

// One argument as the faces that treat every member alike carry it: a text, or a number (a
// 16-bit value, a 32-bit value, or a BOOL: an event's is 1 or 0, a method's passes as given).
struct ControlValue {
    ControlValue() = default;
    ControlValue(std::string value) : text(std::move(value)) {}
    ControlValue(const char* value) : text(value) {}
    ControlValue(int32_t value) : number(value) {}

    std::string text;
    int32_t number = 0;
};

namespace detail {
constexpr ControlParam Param(ControlType type, const char* name) {
    return {type, name};
}
template <class... Params>
constexpr ControlMember Member(int32_t dispid, const char* name, ControlType result,
                               Params... params) {
    return {dispid, name, result, sizeof...(Params), {params...}};
}
}  // namespace detail

#define VOXTREL_LIST_PARAM(type, name) detail::Param(ControlType::type, #name)
#define VOXTREL_LIST_METHOD(id, name, c_name, result, ...) \
    detail::Member(id, #name, ControlType::result __VA_OPT__(, ) __VA_ARGS__),
#define VOXTREL_LIST_EVENT(id, name, c_name, ...) \
    detail::Member(id, #name, ControlType::Bool __VA_OPT__(, ) __VA_ARGS__),
// Both tables are in dispid order: the member with dispid n is row n - 1.
inline constexpr ControlMember kControlMethods[] = {
    VOXTREL_METHODS(VOXTREL_LIST_METHOD, VOXTREL_LIST_PARAM)};
inline constexpr ControlMember kControlEvents[] = {
    VOXTREL_EVENTS(VOXTREL_LIST_EVENT, VOXTREL_LIST_PARAM)};
#undef VOXTREL_LIST_PARAM
#undef VOXTREL_LIST_METHOD
#undef VOXTREL_LIST_EVENT

constexpr bool InDispidOrder(std::span<const ControlMember> table) {
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].dispid != static_cast<int32_t>(i + 1)) return false;
    }
    return true;
}
static_assert(InDispidOrder(kControlMethods) && InDispidOrder(kControlEvents));

// The member of a table with this dispid; null for none. The tables are in dispid order.
inline const ControlMember* FindMember(std::span<const ControlMember> table, int32_t dispid) {
    if (dispid < 1 || static_cast<size_t>(dispid) > table.size()) return nullptr;
    return &table[static_cast<size_t>(dispid) - 1];
}

// A value as a typed parameter takes it: a text as std::string or C text, a BOOL as bool, a
// number cut to the parameter's width.
template <class T>
decltype(auto) ValueAs(const ControlValue& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return (value.text);
    } else if constexpr (std::is_same_v<T, const char*>) {
        return value.text.c_str();
    } else if constexpr (std::is_same_v<T, bool>) {
        return value.number != 0;
    } else {
        return static_cast<T>(value.number);
    }
}

// Converts only to T itself: a call taking Exactly<T> arguments compiles only where each
// parameter has exactly its type, which checks a face's typed functions against the list.
template <class T>
struct Exactly {
    template <class U>
    requires std::is_same_v<T, U>
    operator U() const;
};

// Calls call with the first values, each converted to the parameter type at its position.
template <class... Params, class Call, size_t... I>
decltype(auto) ApplyValues(Call&& call, [[maybe_unused]] std::span<const ControlValue> values,
                           std::index_sequence<I...>) {
    return call(ValueAs<std::remove_cvref_t<Params>>(values[I])...);
}
template <class... Params, class Call>
decltype(auto) ApplyValues(Call&& call, std::span<const ControlValue> values) {
    return ApplyValues<Params...>(std::forward<Call>(call), values,
                                  std::index_sequence_for<Params...>{});
}

}  // namespace voxtrel
