#ifndef ONDIRA_ONDIRAEXPORT_H
#define ONDIRA_ONDIRAEXPORT_H

// ONDIRA_EXPORT marks the classes and functions that form the library's ABI.
// Everything else in the library is built with hidden visibility.
#if defined(_WIN32)
#  if defined(ONDIRA_BUILDING_LIBRARY)
#    define ONDIRA_EXPORT __declspec(dllexport)
#  else
#    define ONDIRA_EXPORT __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define ONDIRA_EXPORT __attribute__((visibility("default")))
#else
#  define ONDIRA_EXPORT
#endif

#endif
