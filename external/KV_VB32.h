/* The suite's queue library: the four functions Tesmaro calls, as a C ABI.
 * libKV_VB32.so exports them under these names. Every argument and result is a
 * 32-bit integer; the path is a narrow, NUL-terminated string. */
#ifndef TESMARO_KV_VB32_H
#define TESMARO_KV_VB32_H

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero while the suite runs. */
int IsKorvaneRunning(void);
/* Items in the suite's process queue; 0 or less means empty. */
int GetNumberOfQueueItems(void);
/* Code 1 stops the process queue. The result is ignored. */
int QueueControl(int code);
/* Hands a batch file to the process queue; non-zero when it was accepted. */
int QueueSampleBatch(const char* path, int a, int b, int c, int flags);

#ifdef __cplusplus
}
#endif

#endif
