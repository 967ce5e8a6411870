/* A queue library for the binding's tests: a running suite with 3 items that
 * accepts every batch and answers with the flags it was given. */
#include "external/KV_VB32.h"

int IsKorvaneRunning(void) {
    return 1;
}
int GetNumberOfQueueItems(void) {
    return 3;
}
#ifndef OMIT_QUEUE_CONTROL
int QueueControl(int code) {
    return code;
}
#endif
int QueueSampleBatch(const char* path, int a, int b, int c, int flags) {
    return path && path[0] && a == 0 && b == 1 && c == 0 ? flags : 0;
}
