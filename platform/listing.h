// What a folder's listing tells of the entries it lists, by platform.
//
// Port rule: the time at which an entry last changed, as the listing gives
// it, is the entry's own on POSIX, where the listing reads each entry. Windows
// gives the copy that the folder's index keeps (NTFS), which for a sub-folder
// can be older than the sub-folder's own: code that must know whether a
// folder changed asks the folder itself there.
#ifndef PLATFORM_LISTING_H_
#define PLATFORM_LISTING_H_

namespace listing {

#ifdef _WIN32
inline constexpr bool kTimesAreCurrent = false;
#else
inline constexpr bool kTimesAreCurrent = true;
#endif

}  // namespace listing

#endif  // PLATFORM_LISTING_H_
