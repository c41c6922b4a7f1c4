/* The language module ResQuillon: a shared library beside the station executable
 * (libResQuillon.so; ResQuillon.dll on Windows) that carries the station's texts in another
 * language. The station loads it at start-up unless Control/Language in Kestrel.ini is
 * nonzero, and then asks it first for every text; what it does not carry comes from the
 * built-in resources.
 *
 * Every text is UTF-8, NUL-terminated, and stays valid while the module is loaded (the station
 * never unloads it). A null pointer means "not carried". Texts may hold the printf-style
 * conversions of the built-in text of the same id; the station formats them safely whatever
 * they hold.
 */
#ifndef KESTREL_RESOURCES_LANGUAGE_RESQUILLON_H
#define KESTREL_RESOURCES_LANGUAGE_RESQUILLON_H

#include <stdint.h>

#if defined(_WIN32)
#define RESQUILLON_EXPORT __declspec(dllexport)
#else
#define RESQUILLON_EXPORT __attribute__((visibility("default")))
#endif

/* The interface revision this header describes; a module of another revision is not used. */
#define RESQUILLON_INTERFACE 1

#ifdef __cplusplus
extern "C" {
#endif

/* RESQUILLON_INTERFACE of the header the module was built with. */
RESQUILLON_EXPORT int32_t ResQuillon_Interface(void);

/* The module's own version as a number (major << 24 | minor << 16 | patch << 8 | build),
 * shown by the About box. */
RESQUILLON_EXPORT int32_t ResQuillon_Version(void);

/* The language's name in that language, e.g. "English". */
RESQUILLON_EXPORT const char* ResQuillon_LanguageName(void);

/* The text of a string-table id (101-186), or null. */
RESQUILLON_EXPORT const char* ResQuillon_String(int32_t id);

/* The text of a control of a dialog (templates 100, 102, 112, 132; control 0 is the dialog's
 * caption), or null to keep the built-in text. */
RESQUILLON_EXPORT const char* ResQuillon_DialogText(int32_t dialogId, int32_t controlId);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_RESOURCES_LANGUAGE_RESQUILLON_H */
