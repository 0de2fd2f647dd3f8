// Files and folders as tests make and read them, by wide path, of any length.
#ifndef TESTS_SUPPORT_FILES_H_
#define TESTS_SUPPORT_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testenv {

// A program file name of this platform: "name.exe" on Windows, "name" elsewhere.
std::wstring ExeName(const std::wstring& name);
// The folder of the running test program, where every built program lies.
std::wstring BinDir();
std::wstring BinFile(const std::wstring& name);

// Files, by wide path. Missing parent folders are created.
void WriteFile(const std::wstring& path, const std::string& content);
std::string ReadFile(const std::wstring& path);
bool Exists(const std::wstring& path);
void MakeDirs(const std::wstring& path);
void CopyFile(const std::wstring& from, const std::wstring& to);
// The names in a folder and below it, relative, with '/' separators, sorted;
// folders end with '/'. Here and in TreeDigest the install root's lock file
// (qxcg_update_tmp/zizaro_do.lock), which any run may make, is left out, and
// the staging folder with it when it holds nothing else.
std::vector<std::string> ListTree(const std::wstring& folder);

// A zip archive whose index reads (the archiver lists it) but whose data is
// missing: one stored entry named `name` that declares `declared_size`
// bytes and holds none, so that extracting it fails.
std::string ZipWithoutData(const std::string& name, uint64_t declared_size);

// Makes `link` a symbolic link to the folder `target`; false where this
// system cannot (Wine's own call for it does nothing, so under Wine the link
// is made on the host side).
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);
// The read-only attribute, through the system's own calls.
void SetReadOnly(const std::wstring& path, bool read_only);
bool IsReadOnly(const std::wstring& path);

// Copies the client stand-in (tests/helpers/stand_in_client) to `path`, as
// an update would find a client there.
void InstallStandIn(const std::wstring& path);
// Copies the updater, and, when asked, the archiver beside it, into
// `folder`, as it would be installed; returns the updater's path.
std::wstring InstallUpdater(const std::wstring& folder, bool with_archiver);

// A digest of a folder's tree: each entry's relative path, with its size and
// a hash of its bytes for a file and its target for a link, sorted. Equal
// digests mean equal trees.
std::vector<std::string> TreeDigest(const std::wstring& folder);

}  // namespace testenv

#endif  // TESTS_SUPPORT_FILES_H_
