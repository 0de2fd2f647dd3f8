// What a folder's listing tells of the entries it lists, by platform.
//
// Port rules:
// - The time at which an entry last changed, as the listing gives it, is
//   the entry's own on POSIX, where the listing reads each entry. Windows
//   gives the copy that the folder's index keeps (NTFS), which for a file is
//   written as the file changes and for a sub-folder can be older than the
//   sub-folder's own: code that must know whether a folder changed asks the
//   folder itself there.
// - Two names of one folder name one entry as the volume compares them: on
//   Windows without regard to case, by the system's own upper-case table
//   (the one the file system compares by, not a locale's); on POSIX
//   exactly, as Linux names are.
#ifndef PLATFORM_LISTING_H_
#define PLATFORM_LISTING_H_

#include <string>

#include "platform/win32.h"

namespace listing {

// Whether a listed folder's time is its own.
#ifdef _WIN32
inline constexpr bool kTimesAreCurrent = false;
#else
inline constexpr bool kTimesAreCurrent = true;
#endif

// Below 0, 0 or above 0 as `a` sorts before, names the same entry as, or
// sorts after `b`.
inline int CompareNames(const std::wstring& a, const std::wstring& b) {
#ifdef _WIN32
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) -
         CSTR_EQUAL;
#else
  return a.compare(b);
#endif
}

}  // namespace listing

#endif  // PLATFORM_LISTING_H_
