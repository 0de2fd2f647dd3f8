// What tells one entry of a volume from another that later took its index.
#ifndef PLATFORM_FILE_IDENTITY_H_
#define PLATFORM_FILE_IDENTITY_H_

#include <cstdint>

#include "platform/win32.h"

namespace file_identity {

// The part of an entry's identity that its index lacks, in 100-nanosecond
// steps: on POSIX its birth time (the POSIX layer gives it as the creation
// time, which nothing can set), so that an inode freed and taken by a new
// entry names another; 0 on Windows, where anyone may set a creation time
// (and Wine gives the last write as one), and where the file index carries a
// sequence number of its own.
inline uint64_t BirthOf(const BY_HANDLE_FILE_INFORMATION& information) {
#ifdef _WIN32
  (void)information;
  return 0;
#else
  return (uint64_t{information.ftCreationTime.dwHighDateTime} << 32) |
         information.ftCreationTime.dwLowDateTime;
#endif
}

}  // namespace file_identity

#endif  // PLATFORM_FILE_IDENTITY_H_
