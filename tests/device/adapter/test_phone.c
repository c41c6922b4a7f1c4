/* libkestrel-test-phone: a phone library of another maker, written apart from Kestrel's own to
 * the same oxbind.h: an in-memory phone whose identities live in a file, for the tests that
 * put a station on a library that is not Kestrel's. Plain C99 and POSIX threads.
 *
 * Environment, read at every call:
 *   KESTREL_TEST_PHONE_STATE  the phone's file, "key=value" lines (imei1..imei4, bt, wifi, sn1,
 *                             sn2, cu, writes); without it no phone answers (KV_ERR_PORT_OPEN)
 *   KESTREL_TEST_PHONE_FAIL   "KV_Name=CODE[,KV_Name=CODE...]": those calls answer CODE
 *   KESTREL_TEST_PHONE_HANG   "KV_Name[,...]": those calls never return, not even when
 *                             KV_EndPhoneTest comes (a library that hangs)
 *   KESTREL_TEST_PHONE_CRASH  "KV_Name=abort|null[,...]": those calls crash the process, by
 *                             abort() or by writing through a null pointer
 *   KESTREL_TEST_PHONE_ONCE   a file: a hang or crash happens only while it does not exist,
 *                             and makes it first (so that it happens once, in whichever process
 *                             holds the library)
 *   KESTREL_TEST_PHONE_ABI    the ABI major KV_GetLibraryInfo reports (default this header's)
 * Built with TEST_PHONE_INCOMPLETE it lacks KV_PowerOff (a library missing a required call).
 * It has none of the optional calls. */
#define _POSIX_C_SOURCE 200809L

#include "device/oxbind/oxbind.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_PHONES 64
#define FIELD 32

/* ---- configuration from the environment ---- */

/* The entry of `name` in the list: what follows its '=' (or the end of the entry), or NULL
 * when the name is not listed. */
static const char* Entry(const char* list, const char* name) {
  size_t n = strlen(name);
  const char* p = list;
  while (p != NULL && *p != 0) {
    if (strncmp(p, name, n) == 0 && (p[n] == 0 || p[n] == ',' || p[n] == '=')) {
      return p[n] == '=' ? p + n + 1 : p + n;
    }
    p = strchr(p, ',');
    if (p != NULL) ++p;
  }
  return NULL;
}

static int Listed(const char* list, const char* name, int* code) {
  const char* value = Entry(list, name);
  if (value == NULL) return 0;
  if (code != NULL) *code = atoi(value);
  return 1;
}

static void HangForever(void) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t c = PTHREAD_COND_INITIALIZER;
  pthread_mutex_lock(&m);
  for (;;) pthread_cond_wait(&c, &m);
}

/* With KESTREL_TEST_PHONE_ONCE: true the first time only (the file is made then). */
static int FaultDue(void) {
  const char* once = getenv("KESTREL_TEST_PHONE_ONCE");
  FILE* f;
  if (once == NULL || *once == 0) return 1;
  f = fopen(once, "r");
  if (f != NULL) {
    fclose(f);
    return 0;
  }
  f = fopen(once, "w");
  if (f != NULL) fclose(f);
  return 1;
}

/* Where "null" crashes write; volatile so that the write is made. */
static int* volatile g_nowhere = NULL;

static void Crash(const char* how) {
  if (strncmp(how, "null", 4) == 0) {
    *g_nowhere = 1;
  }
  abort();
}

/* The result a call is told to give (0: none), after hanging or crashing if it is told to. */
static int32_t Injected(const char* name) {
  int code = 0;
  const char* crash = Entry(getenv("KESTREL_TEST_PHONE_CRASH"), name);
  if (Listed(getenv("KESTREL_TEST_PHONE_HANG"), name, NULL) && FaultDue()) HangForever();
  if (crash != NULL && FaultDue()) Crash(crash);
  if (Listed(getenv("KESTREL_TEST_PHONE_FAIL"), name, &code)) return code;
  return KV_OK;
}

/* ---- the phone's file ---- */

static const char* const kKeys[] = {"imei1", "imei2", "imei3", "imei4", "bt",
                                    "wifi",  "sn1",   "sn2",   "cu",    "writes"};
#define KEY_COUNT (sizeof(kKeys) / sizeof(kKeys[0]))

typedef struct State {
  char value[KEY_COUNT][FIELD];
} State;

static pthread_mutex_t g_fileLock = PTHREAD_MUTEX_INITIALIZER;

static int KeyIndex(const char* key) {
  size_t i;
  for (i = 0; i < KEY_COUNT; ++i) {
    if (strcmp(kKeys[i], key) == 0) return (int)i;
  }
  return -1;
}

static int Load(State* s) {
  const char* path = getenv("KESTREL_TEST_PHONE_STATE");
  char line[128];
  FILE* f;
  memset(s, 0, sizeof(*s));
  if (path == NULL || *path == 0) return 0;
  f = fopen(path, "r");
  if (f == NULL) return 1; /* a phone with nothing written yet */
  while (fgets(line, sizeof(line), f) != NULL) {
    char* eq = strchr(line, '=');
    char* end;
    int k;
    if (eq == NULL) continue;
    *eq = 0;
    end = eq + 1 + strcspn(eq + 1, "\r\n");
    *end = 0;
    k = KeyIndex(line);
    if (k >= 0) strncpy(s->value[k], eq + 1, FIELD - 1);
  }
  fclose(f);
  return 1;
}

static int Save(const State* s) {
  const char* path = getenv("KESTREL_TEST_PHONE_STATE");
  char temporary[4096];
  FILE* f;
  size_t i;
  if (path == NULL || strlen(path) + 5 > sizeof(temporary)) return 0;
  snprintf(temporary, sizeof(temporary), "%s.new", path);
  f = fopen(temporary, "w");
  if (f == NULL) return 0;
  for (i = 0; i < KEY_COUNT; ++i) fprintf(f, "%s=%s\n", kKeys[i], s->value[i]);
  if (fclose(f) != 0) return 0;
  return rename(temporary, path) == 0;
}

/* ---- handles ---- */

typedef struct Phone {
  int live;
  int open;
  int32_t port;
} Phone;

static pthread_mutex_t g_phoneLock = PTHREAD_MUTEX_INITIALIZER;
static Phone g_phones[MAX_PHONES];

static Phone* Find(PhoneHandle h) {
  if (h < 1 || h > MAX_PHONES || !g_phones[h - 1].live) return NULL;
  return &g_phones[h - 1];
}

/* The common start of a call on an open phone: 0, or the result the call gives at once. */
static int32_t Enter(PhoneHandle h, const char* name) {
  Phone* p;
  int32_t r;
  pthread_mutex_lock(&g_phoneLock);
  p = Find(h);
  r = p == NULL ? KV_ERR_INVALID_HANDLE : (!p->open ? KV_ERR_NOT_OPEN : KV_OK);
  pthread_mutex_unlock(&g_phoneLock);
  return r != KV_OK ? r : Injected(name);
}

/* ---- the library ---- */

int32_t KV_GetLibraryInfo(KV_LibraryInfo* info) {
  const char* abi = getenv("KESTREL_TEST_PHONE_ABI");
  if (info == NULL) return KV_ERR_BAD_ARGUMENT;
  memset(info, 0, sizeof(*info));
  info->abiMajor = abi != NULL && *abi != 0 ? atoi(abi) : KV_ABI_MAJOR;
  info->abiMinor = 0;
  strcpy(info->name, "Test Phone Adapter");
  strcpy(info->version, "0.9");
  return KV_OK;
}

/* ---- events: one lock and one condition for all ---- */

struct KV_Event {
  int set;
};

static pthread_mutex_t g_eventLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_eventChanged = PTHREAD_COND_INITIALIZER;

KV_Event* KV_CreateEvent(void) {
  return (KV_Event*)calloc(1, sizeof(KV_Event));
}

int32_t KV_SetEvent(KV_Event* e) {
  if (e == NULL) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_eventLock);
  e->set = 1;
  pthread_cond_broadcast(&g_eventChanged);
  pthread_mutex_unlock(&g_eventLock);
  return KV_OK;
}

int32_t KV_ResetEvent(KV_Event* e) {
  if (e == NULL) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_eventLock);
  e->set = 0;
  pthread_mutex_unlock(&g_eventLock);
  return KV_OK;
}

int32_t KV_WaitAnyEvent(KV_Event* const* events, int32_t count, int32_t timeoutMs, int32_t* index) {
  struct timespec deadline;
  int32_t i;
  int timedOut = 0;
  if (index != NULL) *index = -1;
  if (events == NULL || index == NULL || count < 1 || count > KV_MAX_WAIT_EVENTS) {
    return KV_ERR_BAD_ARGUMENT;
  }
  for (i = 0; i < count; ++i) {
    if (events[i] == NULL) return KV_ERR_BAD_ARGUMENT;
  }
  clock_gettime(CLOCK_REALTIME, &deadline);
  if (timeoutMs > 0) {
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  pthread_mutex_lock(&g_eventLock);
  for (;;) {
    for (i = 0; i < count && *index < 0; ++i) {
      if (events[i]->set) *index = i;
    }
    if (*index >= 0 || timedOut || timeoutMs == 0) break;
    if (timeoutMs < 0) {
      pthread_cond_wait(&g_eventChanged, &g_eventLock);
    } else {
      timedOut = pthread_cond_timedwait(&g_eventChanged, &g_eventLock, &deadline) != 0;
    }
  }
  pthread_mutex_unlock(&g_eventLock);
  return *index >= 0 ? KV_OK : KV_ERR_TIMEOUT;
}

int32_t KV_WaitEvent(KV_Event* e, int32_t timeoutMs) {
  int32_t index;
  if (e == NULL) return KV_ERR_BAD_ARGUMENT;
  return KV_WaitAnyEvent(&e, 1, timeoutMs, &index);
}

int32_t KV_CloseEvent(KV_Event* e) {
  free(e);
  return KV_OK;
}

/* ---- the phone ---- */

PhoneHandle KV_CreatePhone(int32_t reserved) {
  PhoneHandle h = KV_INVALID_HANDLE;
  int i;
  if (reserved != 0) return KV_INVALID_HANDLE;
  pthread_mutex_lock(&g_phoneLock);
  for (i = 0; i < MAX_PHONES; ++i) {
    if (!g_phones[i].live) {
      memset(&g_phones[i], 0, sizeof(g_phones[i]));
      g_phones[i].live = 1;
      h = i + 1;
      break;
    }
  }
  pthread_mutex_unlock(&g_phoneLock);
  return h;
}

int32_t KV_ReleasePhone(PhoneHandle h) {
  int32_t r = KV_ERR_INVALID_HANDLE;
  Phone* p;
  pthread_mutex_lock(&g_phoneLock);
  p = Find(h);
  if (p != NULL) {
    p->live = 0;
    r = KV_OK;
  }
  pthread_mutex_unlock(&g_phoneLock);
  return r;
}

int32_t KV_SetProperty(PhoneHandle h, int32_t id, int32_t arg1, int32_t arg2) {
  (void)id;
  (void)arg1;
  (void)arg2;
  pthread_mutex_lock(&g_phoneLock);
  if (Find(h) == NULL) {
    pthread_mutex_unlock(&g_phoneLock);
    return KV_ERR_INVALID_HANDLE;
  }
  pthread_mutex_unlock(&g_phoneLock);
  return Injected("KV_SetProperty");
}

int32_t KV_BeginPhoneTest(PhoneHandle h, const PortChannel* channel) {
  Phone* p;
  State s;
  int32_t r = Injected("KV_BeginPhoneTest");
  if (r != KV_OK) return r;
  if (channel == NULL) return KV_ERR_BAD_ARGUMENT;
  if (!Load(&s)) return KV_ERR_PORT_OPEN; /* no phone file: no phone on any port */
  pthread_mutex_lock(&g_phoneLock);
  p = Find(h);
  if (p == NULL) {
    r = KV_ERR_INVALID_HANDLE;
  } else if (p->open) {
    r = KV_ERR_BUSY;
  } else {
    p->open = 1;
    p->port = channel->type == KV_CHANNEL_COM ? channel->port : 1;
  }
  pthread_mutex_unlock(&g_phoneLock);
  return r;
}

int32_t KV_EndPhoneTest(PhoneHandle h) {
  Phone* p;
  pthread_mutex_lock(&g_phoneLock);
  p = Find(h);
  if (p != NULL) p->open = 0;
  pthread_mutex_unlock(&g_phoneLock);
  return p != NULL ? KV_OK : KV_ERR_INVALID_HANDLE;
}

/* The phone is "in the mode" at once. */
int32_t KV_EnterModeProcess(PhoneHandle h, int32_t byUsb, int32_t dutPort, int32_t mode,
                            KV_Event* arrived, int32_t reserved) {
  int32_t r;
  (void)mode;
  (void)reserved;
  if (arrived == NULL) return KV_ERR_BAD_ARGUMENT;
  r = Enter(h, "KV_EnterModeProcess");
  if (r != KV_OK) return r;
  if (!byUsb) {
    pthread_mutex_lock(&g_phoneLock);
    g_phones[h - 1].port = dutPort;
    pthread_mutex_unlock(&g_phoneLock);
  }
  return KV_SetEvent(arrived);
}

int32_t KV_StopModeProcess(PhoneHandle h) {
  (void)h;
  return KV_OK;
}

int32_t KV_GetUsbPort(PhoneHandle h) {
  int32_t port = -1;
  pthread_mutex_lock(&g_phoneLock);
  if (Find(h) != NULL && g_phones[h - 1].open) port = g_phones[h - 1].port;
  pthread_mutex_unlock(&g_phoneLock);
  return port;
}

int32_t KV_Write(PhoneHandle h, const uint8_t* data, int32_t length) {
  (void)data;
  (void)length;
  return Enter(h, "KV_Write");
}

static int32_t Text(PhoneHandle h, const char* name, const char* text, char* buffer, int32_t size) {
  int32_t r = Enter(h, name);
  if (r != KV_OK) return r;
  if (buffer == NULL || size <= 0) return KV_ERR_BAD_ARGUMENT;
  memset(buffer, 0, (size_t)size);
  strncpy(buffer, text, (size_t)size - 1);
  return KV_OK;
}

int32_t KV_GetMsVersion(PhoneHandle h, char* buffer, int32_t size) {
  return Text(h, "KV_GetMsVersion", "TESTPHONE_MS_1.0", buffer, size);
}

int32_t KV_FastReadVersion(PhoneHandle h, char* buffer, int32_t size) {
  return Text(h, "KV_FastReadVersion", "TESTPHONE_MS_1.0", buffer, size);
}

int32_t KV_GetAPVersion(PhoneHandle h, char* buffer, int32_t size) {
  return Text(h, "KV_GetAPVersion", "TESTPHONE_AP_1.0", buffer, size);
}

int32_t KV_SendATCommand(PhoneHandle h, const char* command, int32_t waitReply, char* reply,
                         int32_t replyCapacity, int32_t* replyLength, int32_t timeoutMs) {
  int32_t r;
  (void)timeoutMs;
  if (replyLength != NULL) *replyLength = 0;
  if (command == NULL) return KV_ERR_BAD_ARGUMENT;
  if (!waitReply) return Enter(h, "KV_SendATCommand");
  r = Text(h, "KV_SendATCommand", "OK", reply, replyCapacity);
  if (r == KV_OK && replyLength != NULL) *replyLength = (int32_t)strlen(reply);
  return r;
}

static const struct {
  uint32_t bit;
  size_t offset;
  size_t size;
  int key;
} kNvFields[] = {
    {KV_NV_IMEI1, offsetof(NvInfoRecord, imei1), 16, 0},
    {KV_NV_IMEI2, offsetof(NvInfoRecord, imei2), 16, 1},
    {KV_NV_IMEI3, offsetof(NvInfoRecord, imei3), 16, 2},
    {KV_NV_IMEI4, offsetof(NvInfoRecord, imei4), 16, 3},
    {KV_NV_BT, offsetof(NvInfoRecord, bt), 13, 4},
    {KV_NV_WIFI, offsetof(NvInfoRecord, wifi), 13, 5},
};
#define NV_FIELD_COUNT (sizeof(kNvFields) / sizeof(kNvFields[0]))

int32_t KV_FastReadNvInfo(PhoneHandle h, NvInfoRecord* record) {
  State s;
  size_t i;
  int32_t r = Enter(h, "KV_FastReadNvInfo");
  if (r != KV_OK) return r;
  if (record == NULL) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_fileLock);
  Load(&s);
  pthread_mutex_unlock(&g_fileLock);
  for (i = 0; i < NV_FIELD_COUNT; ++i) {
    char* field = (char*)record + kNvFields[i].offset;
    if (!(record->mask & kNvFields[i].bit)) continue;
    memset(field, 0, kNvFields[i].size);
    strncpy(field, s.value[kNvFields[i].key], kNvFields[i].size - 1);
  }
  return KV_OK;
}

static int32_t WriteNv(PhoneHandle h, const char* name, const NvInfoRecord* record) {
  State s;
  size_t i;
  int32_t r = Enter(h, name);
  if (r != KV_OK) return r;
  if (record == NULL) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_fileLock);
  Load(&s);
  for (i = 0; i < NV_FIELD_COUNT; ++i) {
    const char* field = (const char*)record + kNvFields[i].offset;
    if (!(record->mask & kNvFields[i].bit)) continue;
    memset(s.value[kNvFields[i].key], 0, FIELD);
    strncpy(s.value[kNvFields[i].key], field, kNvFields[i].size - 1);
  }
  snprintf(s.value[9], FIELD, "%d", atoi(s.value[9]) + 1);
  r = Save(&s) ? KV_OK : KV_ERR_DEVICE_STORAGE;
  pthread_mutex_unlock(&g_fileLock);
  return r;
}

int32_t KV_FastWriteNvInfo(PhoneHandle h, const NvInfoRecord* record) {
  return WriteNv(h, "KV_FastWriteNvInfo", record);
}

int32_t KV_NvWriteDirect(PhoneHandle h, const NvInfoRecord* record) {
  return WriteNv(h, "KV_NvWriteDirect", record);
}

static int32_t ReadItem(PhoneHandle h, const char* name, int key, char* buffer, int32_t size) {
  State s;
  int32_t r = Enter(h, name);
  if (r != KV_OK) return r;
  if (buffer == NULL || size <= 0) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_fileLock);
  Load(&s);
  pthread_mutex_unlock(&g_fileLock);
  memset(buffer, 0, (size_t)size);
  memcpy(buffer, s.value[key],
         strlen(s.value[key]) < (size_t)size ? strlen(s.value[key]) : (size_t)size);
  return KV_OK;
}

static int32_t WriteItem(PhoneHandle h, const char* name, int key, const char* text,
                         int32_t length) {
  State s;
  int32_t r = Enter(h, name);
  if (r != KV_OK) return r;
  if (text == NULL || length < 0 || length > 24) return KV_ERR_BAD_ARGUMENT;
  pthread_mutex_lock(&g_fileLock);
  Load(&s);
  memset(s.value[key], 0, FIELD);
  memcpy(s.value[key], text, strnlen(text, (size_t)length));
  r = Save(&s) ? KV_OK : KV_ERR_DEVICE_STORAGE;
  pthread_mutex_unlock(&g_fileLock);
  return r;
}

int32_t KV_ReadSN(PhoneHandle h, int32_t isSn1, char* buffer, int32_t size) {
  return ReadItem(h, "KV_ReadSN", isSn1 ? 6 : 7, buffer, size);
}

int32_t KV_WriteSN(PhoneHandle h, int32_t isSn1, const char* text, int32_t length) {
  return WriteItem(h, "KV_WriteSN", isSn1 ? 6 : 7, text, length);
}

int32_t KV_SetUsbAutoMode(PhoneHandle h, int32_t on) {
  (void)on;
  return Enter(h, "KV_SetUsbAutoMode");
}

int32_t KV_ReadCURef(PhoneHandle h, char* buffer, int32_t size) {
  return ReadItem(h, "KV_ReadCURef", 8, buffer, size);
}

int32_t KV_WriteCURef(PhoneHandle h, const char* buffer, int32_t size) {
  return WriteItem(h, "KV_WriteCURef", 8, buffer, size);
}

int32_t KV_ReadSecureBoot(PhoneHandle h, SecureBootItem* item, int32_t size) {
  int32_t r = Enter(h, "KV_ReadSecureBoot");
  if (r != KV_OK) return r;
  if (item == NULL || size < (int32_t)sizeof(SecureBootItem) || item->index > 6) {
    return KV_ERR_BAD_ARGUMENT;
  }
  item->value = 0;
  return KV_OK;
}

int32_t KV_WriteSecureBoot(PhoneHandle h, const SecureBootItem* item, int32_t size) {
  int32_t r = Enter(h, "KV_WriteSecureBoot");
  if (r != KV_OK) return r;
  return item == NULL || size < (int32_t)sizeof(SecureBootItem) ? KV_ERR_BAD_ARGUMENT : KV_OK;
}

int32_t KV_EnableSecureBoot(PhoneHandle h) {
  return Enter(h, "KV_EnableSecureBoot");
}

#ifndef TEST_PHONE_INCOMPLETE
int32_t KV_PowerOff(PhoneHandle h) {
  return Enter(h, "KV_PowerOff");
}
#endif
