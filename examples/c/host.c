/* A small C host of the Voxtrel control: connects to a call-processing service, creates a call
 * and prints the control's events for a few seconds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <voxtrel/voxtrel.h>

static void usage(FILE* out) {
    fprintf(out,
            "usage: host ADDRESS PORT [USER PASSWORD [FROM TO [SECONDS]]]\n"
            "Connects to the call-processing service at ADDRESS:PORT, creates a call from FROM\n"
            "(default pbx:100) to TO (default pbx:200) and prints the events for SECONDS\n"
            "(default 5). Voxtrel %s.\n",
            voxtrel_version());
}

/* The user pointer of every callback: the stream the events go to. */
static void on_call_state_changed(void* user, const char* call_id, short call_state) {
    fprintf((FILE*)user, "CallStateChanged %s %d\n", call_id, call_state);
}
static void on_message_played(void* user, const char* call_id) {
    fprintf((FILE*)user, "MessagePlayed %s\n", call_id);
}
static void on_dtmf_digit_received(void* user, const char* call_id, short digit) {
    fprintf((FILE*)user, "DtmfDigitReceived %s %d\n", call_id, digit);
}
static void on_request_failed(void* user, const char* call_id, int code, const char* text) {
    fprintf((FILE*)user, "RequestFailed %s %d %s\n", call_id, code, text);
}
static void on_disconnected(void* user) {
    fprintf((FILE*)user, "Disconnected\n");
}
static void on_call_arrived(void* user, const char* call_id, const char* caller, const char* callee,
                            const char* orig_call_id) {
    fprintf((FILE*)user, "CallArrived %s %s %s %s\n", call_id, caller, callee, orig_call_id);
}
static void on_mail_arrived(void* user, const char* subscr_id, const char* caller,
                            const char* time_text, int duration, int id) {
    fprintf((FILE*)user, "MailArrived %s %s %s %d %d\n", subscr_id, caller, time_text, duration,
            id);
}
static void on_subscription_confirmed(void* user, const char* subscr_id, int confirmed,
                                      int error_code) {
    fprintf((FILE*)user, "SubscriptionConfirmed %s %d %d\n", subscr_id, confirmed, error_code);
}

int main(int argc, char** argv) {
    const char* user = argc > 3 ? argv[3] : "";
    const char* password = argc > 4 ? argv[4] : "";
    const char* from = argc > 5 ? argv[5] : "pbx:100";
    const char* to = argc > 6 ? argv[6] : "pbx:200";
    int seconds = argc > 7 ? atoi(argv[7]) : 5;
    char call_id[VOXTREL_ID_SIZE];
    voxtrel_control* control;
    time_t end;

    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 3) {
        usage(stderr);
        return 2;
    }
    /* Every event line is shown as soon as it is printed. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    control = voxtrel_create();
    if (control == NULL) {
        fprintf(stderr, "host: the control could not be made\n");
        return 1;
    }
    voxtrel_on_call_state_changed(control, on_call_state_changed, stdout);
    voxtrel_on_message_played(control, on_message_played, stdout);
    voxtrel_on_dtmf_digit_received(control, on_dtmf_digit_received, stdout);
    voxtrel_on_request_failed(control, on_request_failed, stdout);
    voxtrel_on_disconnected(control, on_disconnected, stdout);
    voxtrel_on_call_arrived(control, on_call_arrived, stdout);
    voxtrel_on_mail_arrived(control, on_mail_arrived, stdout);
    voxtrel_on_subscription_confirmed(control, on_subscription_confirmed, stdout);

    if (!voxtrel_connect(control, argv[1], (short)atoi(argv[2]), 10, user, password)) {
        fprintf(stderr, "host: could not connect to %s:%s\n", argv[1], argv[2]);
        voxtrel_destroy(control);
        return 1;
    }
    printf("Connected\n");
    if (voxtrel_create_call(control, from, to, call_id, sizeof call_id)) {
        printf("CreateCall %s\n", call_id);
    } else {
        printf("CreateCall refused\n");
    }

    /* A host with its own loop would poll voxtrel_event_descriptor() instead. */
    end = time(NULL) + seconds;
    while (time(NULL) < end)
        voxtrel_pump(control, 100);

    voxtrel_disconnect(control);
    voxtrel_destroy(control);
    return 0;
}
