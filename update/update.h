// The update procedure: from the old client to the new one.
//
// Every step reports failure through its result and its own log records. The
// new client is made whole on disk, and the install root checked, before
// anything of the old client is destroyed; the switch to the new files is
// made by renames that are undone when it fails (update/switch_over.h).
#ifndef UPDATE_UPDATE_H_
#define UPDATE_UPDATE_H_

#include <cstdint>
#include <string>

#include "platform/win32.h"
#include "update/layout.h"
#include "update/switch_over.h"

// Removes one pair of enclosing double quotes from each path, with an INFO
// record for each one changed ("root dir change to:", "zip file change to:").
void StripPathQuotes(std::wstring& root_dir, std::wstring& zip_file);

// Makes the install root and the archive path canonical, the one form that
// every later use takes: the full path as the system resolves it (relative
// paths made full, "." and ".." resolved, a last component's trailing
// periods and blanks dropped, an extended-length or device prefix before a
// drive path dropped), with the records of StripPathQuotes when it changes.
// Then moves the process's current folder out of the install root when it
// lies there by identity (to the program's folder, else the system folder),
// since Windows keeps a process's current folder open. The archiver and the
// scripts start from that folder too.
void AnchorInstallRoot(std::wstring& root_dir, std::wstring& zip_file);

// The lock that lets one update of an install root run at a time, for every
// user and session of the machine: the file "zizaro_do.lock" in the staging
// folder (made when missing; InstallRootLockPath), locked whole, so that
// every spelling of the root (an 8.3 form, another drive letter, a link)
// names one lock, and every user who can update the root can take it. A root
// with neither a client folder nor a staging folder is not locked: a run has
// nothing there to change or finish, and nothing is made in it.
enum class RootLock { kTaken, kHeldByAnother, kRefused };
// Takes that lock for the rest of the process's life (the system releases it
// when the process ends, however it ends), waiting up to `wait_ms` for
// another holder to let go. kHeldByAnother, with a WARNING record, when
// another update of the root holds it; kRefused, with an ERROR record
// "update refused, " + the reason, when the root is no folder, its staging
// folder cannot be made, or the lock cannot be taken for any other reason:
// only a lock that is held means another update.
RootLock LockInstallRoot(const InstallLayout& layout, DWORD wait_ms = 0);

// The whole update, every step taking the run's one layout of the install
// root. True when every mandatory step succeeded and the new client was
// started. A false result leaves the old client complete, its executable
// included (or, when even that cannot be done, the run's journal for the next
// run to finish the undoing); the archive is deleted only once the new client
// has started.
bool RunUpdate(int32_t pid, const InstallLayout& layout, const std::wstring& zip_file);

// Whether the running program lies in `folder` or below it, by identity.
bool RunsFrom(const std::wstring& folder);
// An updater whose own program lies in the client folder would hold the
// folder it replaces: it copies itself (and the archiver beside it) into a
// run folder of the staging folder and starts the copy with the same
// switches, which waits for this run's lock. True, with an INFO record, when
// the copy started; false, with an ERROR record "update refused, ", when not.
bool HandOffToCopy(int32_t pid, const InstallLayout& layout, const std::wstring& zip_file);

// Before anything is ended or deleted: checks the install root (a folder
// holding the client folder, writable, its path fit for the client's command
// line) and makes the new client whole on disk. Staged (empty `zip_file`): the staged
// client folder is a folder holding the client executable, not inside the
// client folder, on the install root's volume. Archive: the archive is a
// file the archiver reads, whose unpacked size fits on the volume; it is
// unpacked into the run's folder, must hold the client executable and must
// fit the root's tree (update/switch_over.h). False, with an ERROR record
// "update refused," + the reason, and nothing changed in the install root;
// the run folder is then removed again.
bool PrepareNewFiles(const InstallLayout& layout, const std::wstring& zip_file, RunFolder* run,
                     CarryPlan* plan = nullptr);

// The staged branch, after the uninstall script: checks the staged client
// again, renames the client folder into the run's folder (retried for a
// second), sets aside what stood at the client folder since and carries it
// into the staged client, then up to eight promotions into the client folder
// (20 ms after each failure), each step journaled first. When it cannot
// complete, everything is put back (update/run_state.h). True when the
// staged client folder was moved into place.
bool ReplaceClientDir(const InstallLayout& layout, RunFolder* run);
// The archive branch, after the uninstall script: switches the client folder
// for the unpacked one and carries over what only the old client has
// (update/switch_over.h), putting everything back when that fails.
bool SwitchToArchive(const InstallLayout& layout, RunFolder* run, const CarryPlan& plan);

// Waits on a process up to `timeout_ms` (INFINITE: without limit) and reads
// its exit code into `exit_code` when one is given, also after a time-out.
// True only when the process ended in time and, when asked, its code was
// read. Records the outcome ("wait result" + 1 or 0); the handle stays the
// caller's.
bool WaitProcess(HANDLE process, DWORD* exit_code, DWORD timeout_ms);
// Opens the process `pid` (1 or more) and waits on it as WaitProcess does; a
// second "wait result" record follows. An id of 0 or below waits for nothing.
bool WaitProcessById(int32_t pid, DWORD* exit_code, DWORD timeout_ms);
// Up to 50 attempts of ending every client process, and every other program
// running from the client folder, until the client executable can go. True
// once it can; false, with an ERROR record, after 50 failed attempts
// (processes and executable stay as they are). The executable itself stays
// in place, so that the client folder holds a client that starts until the
// switch replaces it.
bool StopAndRemoveClient(const InstallLayout& layout);
// Ends every client process of the session; true when at least one ended.
bool KillClientProcess();
// Whether the client executable could be removed now: opened for writing
// and deletion (which the system refuses while a program runs from it, or
// another holds it without sharing), its read-only attribute cleared for
// that and set again. True when it can or is not there; a record with the
// system's error number when it exists.
bool ClientExeCanGo(const InstallLayout& layout);
// Starts a script through the shell, hidden and without arguments (a path
// of MAX_PATH characters or more through its short form, when it has one);
// with `wait_ms`, waits up to that long for it to end (a WARNING when it has
// not). True when the shell started it; an ERROR record with the system's
// error when not.
bool RunBatFile(const std::wstring& path, DWORD wait_ms = 0);
// The old client's uninstall script, waited for up to 30 seconds, since a
// batch interpreter reads its script while it runs it.
bool RunUninstallBat(const InstallLayout& layout);
// The new client's firewall script, not waited for.
bool RunInstallFirewallBat(const InstallLayout& layout);
// Extracts the archive into `out_dir` with 7z.exe beside the program and
// waits for it; 7-Zip never waits for input (an archive that asks for a
// password fails at once). True only when its exit code was read and is 0.
// The archive stays.
bool ExtractArchive(const std::wstring& out_dir, const std::wstring& zip_file);
// One move of the staged client folder to the install root itself (false)
// or to the client folder (true), with a "move result:" record, by a rename
// that never replaces: a folder standing at the destination is never
// emptied (the ERROR record of the rename says what stood in the way). True
// when it moved.
bool PromoteStagingDir(const InstallLayout& layout, bool into_client_folder);
// Starts the new client; true when its process was created and did not end
// at once with a status that says it could not run (a library it needs is
// missing, it crashed): it is given g_start_check_ms to show that (a quarter
// of a second; a build for tests that start many clients gives less).
bool LaunchClient(const InstallLayout& layout);
extern DWORD g_start_check_ms;
// The firewall script (Windows 8 and later), then the new client.
bool StartNewClient(const InstallLayout& layout);
// Whether a program runs from the client folder (by identity).
bool ClientRuns(const InstallLayout& layout);

#endif  // UPDATE_UPDATE_H_
