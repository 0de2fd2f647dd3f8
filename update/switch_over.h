// The switch from the old client to the new one, made by renames, and undone
// from the run's journal whenever it cannot complete.
//
// Nothing of the old client is destroyed before the new client is whole on
// disk beside it, and nothing is destroyed before the switch is complete: the
// client folder is renamed aside whole and the new one renamed into its place
// (the archive's new client, or the staged one), so that the client is down
// for the same few moments whatever its size. Before each rename the run
// records it in its journal (update/journal.h), flushed to disk; a switch that
// cannot complete is undone from those records, the last first, and so is one
// that a crash cut short, by the next run. Only once the new client has
// started does the old copy go.
//
// Each run works in a folder of its own in the staging folder, which lies on
// the install root's volume:
//   <staging folder>\zizaro_do-<process id>\journal      the run's records
//   <staging folder>\zizaro_do-<process id>\new          the archive, unpacked
//   <staging folder>\zizaro_do-<process id>\old          the old client folder
//   <staging folder>\zizaro_do-<process id>\aside        old files outside the
//       client folder that the archive's files replace
//   <staging folder>\zizaro_do-<process id>\QXDazavAzir.exe
//       the old client's executable, kept (a hard link, or a copy where the
//       volume has none) until the new client has started
// Nothing of a run is ever left inside the client folder.
#ifndef UPDATE_SWITCH_OVER_H_
#define UPDATE_SWITCH_OVER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "update/journal.h"
#include "update/update.h"
#include "update/utils.h"

// A folder of the old client as the archive's switch found it before the old
// client was ended: when it last changed (0: just before it was read, within
// the file system's granularity, or not known), the entries that only the old
// client has, the sub-folders that both have, and the entries of the new
// client's folder (which nothing else changes), as listed.
struct PlannedFolder {
  uint64_t last_write = 0;
  std::vector<std::wstring> old_only;
  std::vector<std::wstring> both;
  std::vector<Utils::ListedEntry> news;
};

struct RunFolder {
  std::wstring path;                 // empty until made
  std::wstring unpacked;             // path joined with new
  std::wstring old_client;           // path joined with old
  std::wstring replaced;             // path joined with aside
  std::wstring kept_exe;             // path joined with QXDazavAzir.exe
  bool made_staging_folder = false;  // the staging folder did not exist before this run
  Journal journal;
  std::map<std::wstring, PlannedFolder> carry_plan;  // by path below the client folder
};

// Acts on what earlier runs left in the staging folder, by their journals,
// the newest first: a switch that completed is cleaned up (and when its run
// ended before the new client started, `start_owed` is set); one that did not
// is undone (the old client back with its executable, the new entries out),
// then cleaned up. A run folder without a journal is kept, with a WARNING
// record (an empty one is removed). False, with an ERROR record "update
// refused, " naming the leftover, when an undo cannot complete: nothing more
// is then deleted, and everything stays for the next run.
bool RecoverLeftovers(const InstallLayout& layout, bool* start_owed);
// Makes this run's folder in the staging folder, and the staging folder when
// it is missing, and starts its journal. False, with the system's error as
// the last error, when they cannot be made.
bool MakeRunFolder(const InstallLayout& layout, RunFolder* run);
// Removes the run's folder (with the removal's record when it is not empty),
// then the staging folder when this run made it and it is empty.
void RemoveRunFolder(const InstallLayout& layout, RunFolder* run);
// Keeps the client's executable in the run folder, a hard link or else a
// copy, and records it: from then on it can be put back. True also when there
// is no executable to keep; false, with an ERROR record, when it cannot be
// kept.
bool KeepClientExe(const InstallLayout& layout, RunFolder* run);
// Undoes what the run's journal says was done, the last first: each recorded
// rename whose destination holds the entry and whose source is free is
// renamed back, then the kept executable goes back where the client folder
// lacks it. One record "put back result:" + 1 or 0 + ",entries:" + how many
// renames were undone + ",from:" + the run folder, after an ERROR record for
// each one that failed. True when the old client is complete again.
bool PutBack(const InstallLayout& layout, RunFolder* run);

// Renames a folder or file to a path that does not exist yet, recorded in
// the run's journal first, retried with fixed pauses for a second while the
// system refuses (a file in it open, a program running from it, a process's
// current folder in it). One INFO record `label` + result + ",from:" + `from`
// + ",to:" + `to`, after the ERROR record of the failed rename.
bool RenameAside(RunFolder* run, const std::wstring& from, const std::wstring& to,
                 const char* label);

// Compares the unpacked tree with the install root without changing either.
// False when an entry's kind differs from the root's entry of that path (a
// file where the root has a folder, or the reverse), when an entry would
// land in the staging folder, or when the tree cannot be read; `conflict`
// then names the root's path (or the unpacked tree).
bool FitsTheRoot(const InstallLayout& layout, const std::wstring& unpacked, std::wstring* conflict);
// Before the old client is ended: compares its folders with the unpacked
// client's, to find what only the old client has (PlannedFolder), so that
// the switch carries it over without a walk of the whole client while the
// client is down.
void PlanCarry(const InstallLayout& layout, RunFolder* run);
// The archive's switch, after the old executable's deletion: the client
// folder renamed aside whole, the unpacked one renamed into its place, then
// every entry that only the old client has (user data, caches) moved into
// the new one, and the unpacked entries outside the client folder moved over
// the root (a file they replace kept aside first), so that the result is the
// tree that extraction over the root gives. Every rename is journaled first.
// A folder is listed again only when it has changed since PlanCarry.
// One record "switch over result:" + 1 or 0 + ",moved:" + new entries moved
// in + ",replaced:" + old files set aside + ",carried:" + old entries moved
// into the new client + ",to:" + root. False when a rename failed or met a
// conflict; the caller then puts everything back.
bool SwitchOver(const InstallLayout& layout, RunFolder* run);

#endif  // UPDATE_SWITCH_OVER_H_
