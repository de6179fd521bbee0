/* NIMO_API marks what the library exports: exported while the library itself is built,
 * imported by a Windows game, default visibility elsewhere. */
#ifndef NIMOSDK64_API_H
#define NIMOSDK64_API_H

#if defined(_WIN32)
#if defined(NIMOSDK64_BUILDING)
#define NIMO_API __declspec(dllexport)
#else
#define NIMO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define NIMO_API __attribute__((visibility("default")))
#else
#define NIMO_API
#endif

#endif
