/* The phone-library proxy: libkestrel-phone-proxy (kestrel-phone-proxy.dll), itself a phone
 * library of oxbind.h whose every KV_ call is served by another library held in a process of
 * its own, kestrel-phone-host. A station with [PHONE] Isolate=1 loads this library and names
 * the real one with KVP_Open; the KV_ calls then behave as the hosted library's, except that
 * its crash or hang costs only the host process (HOST.md beside this header says how).
 *
 * Besides the KV_ calls the proxy exports these few of its own. */
#ifndef KESTREL_DEVICE_OXBIND_HOST_PHONE_PROXY_H
#define KESTREL_DEVICE_OXBIND_HOST_PHONE_PROXY_H

#include "device/oxbind/oxbind.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts `hostProgram` (the path of kestrel-phone-host) holding `library` (a path, or a bare
 * name for the system's loader) and waits for it to report. Must come before any KV_ call.
 * KV_OK, or another result with a NUL-terminated reason in error[0..errorCapacity-1]: the host
 * cannot be started, the library cannot be loaded (the system loader's words), the proxy
 * hosts another library already. Calling it again with the same library does nothing. */
KV_API int32_t KVP_Open(const char* hostProgram, const char* library, char* error,
                        int32_t errorCapacity);
/* 1 when the hosted library has the call `name` ("KV_ReadStationRecord"), else 0. */
KV_API int32_t KVP_HasCall(const char* name);
/* The file the host loaded the library from, NUL-terminated; its length. */
KV_API int32_t KVP_LibraryPath(char* path, int32_t capacity);
/* What happened to the host since the last call of this (it ended: how, during which call;
 * the proxy ended it: why; a new one started), as one text, NUL-terminated and cut to the
 * capacity; its length (0: nothing happened). */
KV_API int32_t KVP_TakeHostNotes(char* text, int32_t capacity);
/* The process id of the host serving now, 0 when none runs. */
KV_API int32_t KVP_HostProcessId(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_DEVICE_OXBIND_HOST_PHONE_PROXY_H */
