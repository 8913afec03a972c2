/* ORVEX_API: marks what the orvexLuaEngine library exports (dllexport while
 * building the DLL, dllimport for its users, default visibility on ELF
 * systems); ORVEX_STATIC for a static link on Windows. */
#ifndef ORVEX_EXPORT_H
#define ORVEX_EXPORT_H

#if defined(_WIN32)
#if defined(ORVEX_STATIC)
#define ORVEX_API
#elif defined(ORVEX_BUILDING_LIBRARY)
#define ORVEX_API __declspec(dllexport)
#else
#define ORVEX_API __declspec(dllimport)
#endif
#else
#define ORVEX_API __attribute__((visibility("default")))
#endif

#endif /* ORVEX_EXPORT_H */
