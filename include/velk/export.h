// Marks the library's programming interface: everything else stays inside
// the shared library, so programs cannot come to depend on its internals.
#ifndef VELK_EXPORT_H
#define VELK_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define VELK_API __attribute__((visibility("default")))
#else
#define VELK_API
#endif

#endif
