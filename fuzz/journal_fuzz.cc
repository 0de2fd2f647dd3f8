// The journal reader and the leftover decision on any bytes, the one input
// the program reads back from disk: nothing crashes or breaks an assertion,
// only whole checked records are taken, each reads back as it is written,
// and a journal whose records follow no run is never acted on.
#include <glog/logging.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "update/journal.h"
#include "update/recovery.h"
#include "update/run_state.h"

namespace {

// An install root with a client folder and a run folder, made once: the
// decision looks at the entries the records name.
InstallLayout* g_layout = nullptr;
RunFolder* g_run = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FLAGS_minloglevel = google::GLOG_FATAL;
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("journal-fuzz-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "Client" / "data");
  std::filesystem::create_directories(root / "qxcg_update_tmp" / "zizaro_do-1" / "old");
  static const std::filesystem::path made = root;
  std::atexit([] { std::filesystem::remove_all(made); });
  g_layout = new InstallLayout(root.wstring());
  g_run = new RunFolder();
  g_run->Name(*g_layout, BelowJoin(kStagingBelow, L"zizaro_do-1"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JournalContents contents;
  const JournalRead read = ParseJournal(text, &contents);
  if (read == JournalRead::kRead && contents.records.empty()) abort();
  if (contents.whole_bytes > size) abort();
  if (contents.whole_bytes > 0 && text[contents.whole_bytes - 1] != '\n') abort();
  // Each record that parses is written back as a text that parses to it.
  for (const std::string& record : contents.records) {
    Record parsed;
    Record again;
    if (!ParseRecord(record, &parsed)) continue;
    if (!ParseRecord(RecordText(parsed), &again) || RecordText(again) != RecordText(parsed)) {
      abort();
    }
  }
  RunState state = RunState::kNone;
  const bool follows = read == JournalRead::kRead && ReplayJournal(contents.records, &state);
  const LeftoverDecision decision = DecideLeftover(*g_layout, *g_run, read, contents);
  // Records that no run writes in that order are never acted on.
  if (!follows && decision.action != LeftoverAction::kKeep) abort();
  if (follows && decision.action != LeftoverAction::kKeep && decision.state != state) abort();
  return 0;
}
