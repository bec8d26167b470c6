#pragma once

// Symbols marked TQ_API are the library's public surface; everything else is
// built with hidden visibility.
#if defined(_WIN32)
#  define TQ_API __declspec(dllexport)
#else
#  define TQ_API __attribute__((visibility("default")))
#endif

// Exported for the library's own tallyquill command and nothing else: not
// part of the API, and no installed header uses it.
#define TQ_INTERNAL_API __attribute__((visibility("default")))
