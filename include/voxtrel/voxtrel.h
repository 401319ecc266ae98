/* Voxtrel's C interface: the control as an opaque handle, its fifteen methods, its eight events
 * as callbacks, event pumping and the version query. Plain C89, usable from C and C++. */
#ifndef VOXTREL_VOXTREL_H
#define VOXTREL_VOXTREL_H

#include <stddef.h>

#if defined(_WIN32) && !defined(VOXTREL_STATIC)
#if defined(VOXTREL_BUILDING)
#define VOXTREL_API __declspec(dllexport)
#else
#define VOXTREL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(_WIN32)
#define VOXTREL_API __attribute__((visibility("default")))
#else
#define VOXTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One control: one session, at most one connection to the call-processing service.
 *
 * Threads: the thread that calls voxtrel_create is the control's host thread. Every function
 * that takes a handle must be called on that thread, voxtrel_destroy excepted; called on another
 * thread it does nothing and refuses (0, "0" or -1). Events are delivered on the host thread
 * only, from inside voxtrel_pump; on Windows also from any message loop of that thread, which
 * dispatches them to the control's window.
 *
 * Texts are zero-terminated byte strings in the host's single-byte code page and are carried as
 * they are. A null text counts as the empty text. Ids are decimal texts; an id argument is read
 * digit by digit without validation. BOOL results are 1 (true) or 0 (false). A null handle is
 * refused like a control that is not connected. */
typedef struct voxtrel_control voxtrel_control;

/* Room for the longest id text: 20 digits of an unsigned 64-bit number and the zero. */
#define VOXTREL_ID_SIZE 21

/* "1.0.0.1"; static storage; callable on any thread. */
VOXTREL_API const char* voxtrel_version(void);

/* A new control, with its window; null when it cannot be made. */
VOXTREL_API voxtrel_control* voxtrel_create(void);
/* Disconnects, drops every event still on its way and frees the control; null is ignored.
 * Called from inside an event callback, no further callback runs and the control is freed once
 * the callback's delivery has unwound: when the outermost voxtrel_pump returns or, for a callback
 * that the thread's own message loop ran (Windows), when that loop dispatches again. May be
 * called on any thread, but never while another thread uses the handle. */
VOXTREL_API void voxtrel_destroy(voxtrel_control* control);

/* The methods. Each returns 1 when the control accepted the request and 0 otherwise; the
 * outcome of an accepted request arrives later, as events. Only voxtrel_connect and
 * voxtrel_disconnect wait for the service, up to about timeout + 5 seconds.
 * server_port is taken as an unsigned 16-bit number (-1 is port 65535). */
VOXTREL_API int voxtrel_connect(voxtrel_control* control, const char* server_address,
                                short server_port, int timeout, const char* username,
                                const char* password);
VOXTREL_API int voxtrel_disconnect(voxtrel_control* control);
/* The id-returning methods write the new id into id_buffer as decimal text, or "0" when nothing
 * was sent, and return 1 exactly when the request was sent. A buffer shorter than
 * VOXTREL_ID_SIZE refuses the request before anything is sent (an empty text is written when
 * id_size is at least 1). */
VOXTREL_API int voxtrel_create_call(voxtrel_control* control, const char* from, const char* to,
                                    char* id_buffer, size_t id_size);
VOXTREL_API int voxtrel_close_call(voxtrel_control* control, const char* call_id);
VOXTREL_API int voxtrel_transfer_call(voxtrel_control* control, const char* call_id,
                                      const char* to);
VOXTREL_API int voxtrel_join_calls(voxtrel_control* control, const char* call_id,
                                   const char* call_id_to_join);
VOXTREL_API int voxtrel_unjoin_calls(voxtrel_control* control, const char* call_id,
                                     const char* call_id_to_unjoin);
/* play_count is passed on sign-extended to 32 bits: -1 stays -1. */
VOXTREL_API int voxtrel_play_message(voxtrel_control* control, const char* call_id,
                                     const char* file_name, short play_count);
/* onoff and enable are BOOLs passed on as they are: only 1 means on. */
VOXTREL_API int voxtrel_enable_dtmf_detection(voxtrel_control* control, const char* call_id,
                                              int onoff);
VOXTREL_API int voxtrel_incoming_call_handling(voxtrel_control* control, const char* extension_name,
                                               int enable);
VOXTREL_API int voxtrel_accept_call(voxtrel_control* control, const char* call_id,
                                    const char* caller_id, const char* caller_disp_name);
VOXTREL_API int voxtrel_reject_call(voxtrel_control* control, const char* call_id);
VOXTREL_API int voxtrel_forward_call(voxtrel_control* control, const char* call_id,
                                     const char* callee, const char* caller_id,
                                     const char* caller_disp_name);
VOXTREL_API int voxtrel_subscribe_to_voice_mail(voxtrel_control* control,
                                                const char* extension_name, char* id_buffer,
                                                size_t id_size);
VOXTREL_API int voxtrel_unsubscribe(voxtrel_control* control, const char* subscr_id);

/* The events. Each setter installs one callback with its own user pointer, replacing the one
 * before; a null callback drops that event. Setters return 1, or 0 for a refused handle.
 * Callbacks run on the host thread inside voxtrel_pump (on Windows also from the thread's message
 * loop); their texts are valid only until they return. A callback may call the control's
 * functions, voxtrel_destroy included; it must not unwind through the library (no C++ exception,
 * no longjmp). */
typedef void (*voxtrel_call_state_changed_fn)(void* user, const char* call_id, short call_state);
typedef void (*voxtrel_message_played_fn)(void* user, const char* call_id);
typedef void (*voxtrel_dtmf_digit_received_fn)(void* user, const char* call_id, short digit);
typedef void (*voxtrel_request_failed_fn)(void* user, const char* call_id, int failure_code,
                                          const char* failure_string);
typedef void (*voxtrel_disconnected_fn)(void* user);
typedef void (*voxtrel_call_arrived_fn)(void* user, const char* call_id, const char* caller,
                                        const char* callee, const char* orig_call_id);
typedef void (*voxtrel_mail_arrived_fn)(void* user, const char* subscr_id, const char* caller,
                                        const char* time, int duration, int id);
typedef void (*voxtrel_subscription_confirmed_fn)(void* user, const char* subscr_id, int confirmed,
                                                  int error_code);

VOXTREL_API int voxtrel_on_call_state_changed(voxtrel_control* control,
                                              voxtrel_call_state_changed_fn callback, void* user);
VOXTREL_API int voxtrel_on_message_played(voxtrel_control* control,
                                          voxtrel_message_played_fn callback, void* user);
VOXTREL_API int voxtrel_on_dtmf_digit_received(voxtrel_control* control,
                                               voxtrel_dtmf_digit_received_fn callback, void* user);
VOXTREL_API int voxtrel_on_request_failed(voxtrel_control* control,
                                          voxtrel_request_failed_fn callback, void* user);
VOXTREL_API int voxtrel_on_disconnected(voxtrel_control* control, voxtrel_disconnected_fn callback,
                                        void* user);
VOXTREL_API int voxtrel_on_call_arrived(voxtrel_control* control, voxtrel_call_arrived_fn callback,
                                        void* user);
VOXTREL_API int voxtrel_on_mail_arrived(voxtrel_control* control, voxtrel_mail_arrived_fn callback,
                                        void* user);
VOXTREL_API int voxtrel_on_subscription_confirmed(voxtrel_control* control,
                                                  voxtrel_subscription_confirmed_fn callback,
                                                  void* user);

/* Runs the callbacks of the events waiting for the host thread, waiting up to timeout_ms for
 * the first one (0 or less: only those already waiting). Returns how many events were handled,
 * or -1 for a refused handle. May be called again from inside a callback. */
VOXTREL_API int voxtrel_pump(voxtrel_control* control, int timeout_ms);
/* A descriptor that polls readable while an event waits, for the host's own poll, select or
 * epoll loop; call voxtrel_pump when it does. -1 without a window or for a refused handle. The
 * descriptor belongs to the control: do not read it or close it. */
VOXTREL_API int voxtrel_event_descriptor(voxtrel_control* control);

/* The control's window, the target of event delivery; a new control has one. Without it every
 * event is dropped for good, as for an ActiveX control that is not in-place active.
 * voxtrel_create_window returns 1 when it made the window, 0 when one exists already or for a
 * refused handle. voxtrel_destroy_window drops the events on their way. */
VOXTREL_API int voxtrel_create_window(voxtrel_control* control);
VOXTREL_API void voxtrel_destroy_window(voxtrel_control* control);
VOXTREL_API int voxtrel_has_window(voxtrel_control* control);

/* Reconnecting by itself (off until set). When the connection is lost, not ended by
 * voxtrel_disconnect, the control fires request_failed and disconnected as usual and then calls
 * voxtrel_connect again with the last arguments, on the host thread inside voxtrel_pump, after
 * a back-off: exponential with jitter, never shorter than min_delay_ms nor longer than
 * max_delay_ms, for at most max_attempts tries in a row (0: no limit). reconnecting runs before
 * each wait with the try's number (1, 2, ...) and its delay; reconnected runs after a try that
 * succeeded, once the control has taken over again every extension it had taken over
 * (voxtrel_incoming_call_handling with 1) and subscribed again to every extension it had
 * subscribed to; each new subscription is reported to resubscribed with the id it replaces.
 * voxtrel_disconnect, or voxtrel_connect by the host, stops the tries under way.
 * min_delay_ms of 0 or less switches reconnecting off; max_delay_ms below min_delay_ms counts as
 * min_delay_ms. Returns 1, or 0 for a refused handle. Callbacks as for the events. */
typedef void (*voxtrel_reconnecting_fn)(void* user, int attempt, int delay_ms);
typedef void (*voxtrel_reconnected_fn)(void* user);
typedef void (*voxtrel_resubscribed_fn)(void* user, const char* extension_name,
                                        const char* old_subscr_id, const char* subscr_id);
VOXTREL_API int voxtrel_set_reconnect(voxtrel_control* control, int min_delay_ms, int max_delay_ms,
                                      int max_attempts, voxtrel_reconnecting_fn reconnecting,
                                      voxtrel_reconnected_fn reconnected, void* user);
VOXTREL_API int voxtrel_on_resubscribed(voxtrel_control* control, voxtrel_resubscribed_fn callback,
                                        void* user);
/* For a host that polls voxtrel_event_descriptor in its own loop: the milliseconds until
 * voxtrel_pump has work of its own (a reconnect try that is due), 0 when it has now, -1 when it
 * has none. */
VOXTREL_API int voxtrel_next_timeout(voxtrel_control* control);
/* For a host thread that must not block, such as an event loop's: with by_host 1, voxtrel_pump
 * makes no try itself. When voxtrel_next_timeout gives 0 right after a voxtrel_pump, a try is
 * due, and the host makes it with voxtrel_reconnect_try, which may run on another thread while the
 * host thread makes no call on the control (as voxtrel_connect may); the next voxtrel_pump on the
 * host thread reports its outcome and restores what the control had. voxtrel_reconnect_try
 * returns 1 when the try connected, 0 when it failed, -1 when no try is due (or for a refused
 * handle). voxtrel_set_reconnect_by_host returns 1, or 0 for a refused handle. */
VOXTREL_API int voxtrel_set_reconnect_by_host(voxtrel_control* control, int by_host);
VOXTREL_API int voxtrel_reconnect_try(voxtrel_control* control);

/* The wire trace (off until set): every message the control sends (direction '>') or receives
 * ('<'), as the document without its terminating CR LF CR LF, with the time it was sent or
 * received in seconds since 1970-01-01 UTC. The password of an authenticate request reads
 * "****". The callback runs on the control's worker thread, never on the host thread: it must
 * not call the control's functions, and it should return quickly, since the connection waits
 * for it. document is valid only until it returns. A null callback switches the trace off.
 * Returns 1, or 0 for a refused handle. */
typedef void (*voxtrel_trace_fn)(void* user, int direction, double time, const char* document,
                                 size_t length);
VOXTREL_API int voxtrel_set_trace(voxtrel_control* control, voxtrel_trace_fn callback, void* user);

#ifdef __cplusplus
}
#endif

#endif /* VOXTREL_VOXTREL_H */
