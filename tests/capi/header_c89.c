/* A C89 translation unit using the C interface: it checks that the header is plain C and that
 * a C caller sees the refusals of a control that is not connected. */
#include "voxtrel/voxtrel.h"

#include <string.h>

/* The number of checks that failed; the C++ suite runs it. */
int voxtrel_c89_refusals(void) {
    int failures = 0;
    char id[VOXTREL_ID_SIZE];
    voxtrel_control* control = voxtrel_create();
    if (control == NULL) return 1;
    if (strcmp(voxtrel_version(), "1.0.0.1") != 0) ++failures;
    if (voxtrel_create_call(control, "pbx:1", "pbx:2", id, sizeof id) != 0) ++failures;
    if (strcmp(id, "0") != 0) ++failures;
    if (voxtrel_subscribe_to_voice_mail(control, NULL, id, sizeof id) != 0) ++failures;
    if (strcmp(id, "0") != 0) ++failures;
    if (voxtrel_close_call(control, NULL) != 0) ++failures;
    if (voxtrel_has_window(control) != 1) ++failures;
    if (voxtrel_pump(control, 0) != 0) ++failures;
    voxtrel_destroy(control);
    return failures;
}
