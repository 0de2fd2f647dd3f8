// The journal: what a reader takes from any text (records cut short by a
// crash at any byte included), the grammar of the records, the order the
// run's states take them in, and a journal taken up after a torn write.
#include "update/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/long_paths.h"
#include "tests/support/test_env.h"
#include "update/run_state.h"

namespace {

// A journal as this version writes it, through the file (Journal::Append).
std::string Written(const std::vector<std::string>& records) {
  testenv::TempDir folder(L"journal");
  Journal journal;
  EXPECT_TRUE(journal.Start(folder.path()));
  EXPECT_TRUE(journal.Append(records));
  journal.Close();
  return testenv::ReadFile(folder / L"journal");
}

TEST(JournalTest, ATornRecordEndsWhatIsReadAtEveryByte) {
  const std::string whole = Written({"switching -", "move Client\tqxcg_update_tmp/x/old\t-"});
  JournalContents all;
  ASSERT_EQ(ParseJournal(whole, &all), JournalRead::kRead);
  ASSERT_EQ(all.records.size(), 3u);
  EXPECT_TRUE(all.checked);
  // Every cut, and every cut followed by the zeros a power cut may leave or
  // by a newline after the first record: only whole records are read, in
  // order, up to the cut.
  const size_t first_end = whole.find('\n') + 1;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    for (const std::string& tail : {std::string(), std::string(7, '\0'), std::string("\n")}) {
      if (tail == "\n" && cut < first_end) continue;
      SCOPED_TRACE(std::to_string(cut) + " bytes, tail of " + std::to_string(tail.size()));
      JournalContents read;
      const JournalRead result = ParseJournal(whole.substr(0, cut) + tail, &read);
      auto expected = static_cast<size_t>(std::count(whole.begin(), whole.begin() + cut, '\n'));
      // A cut that took only a record's newline gives it back whole.
      if (tail == "\n" && cut < whole.size() && whole[cut] == '\n') ++expected;
      EXPECT_EQ(result, expected > 0 ? JournalRead::kRead : JournalRead::kNone);
      EXPECT_EQ(read.records,
                std::vector<std::string>(all.records.begin(), all.records.begin() + expected));
    }
  }
}

TEST(JournalTest, AJournalTakenUpAfterATornWriteLosesNoLaterRecord) {
  testenv::TempDir folder(L"journal");
  const std::string whole = Written({"switching -"});
  testenv::WriteFile(folder / L"journal", whole + "move Client\tqxcg_upd");
  JournalContents read;
  ASSERT_EQ(ReadJournal(folder.path(), &read), JournalRead::kRead);
  Journal journal;
  ASSERT_TRUE(journal.Reopen(folder.path(), read));
  ASSERT_TRUE(journal.Append({"undoing"}));
  journal.Close();
  ASSERT_EQ(ReadJournal(folder.path(), &read), JournalRead::kRead);
  EXPECT_EQ(read.records.back(), "undoing");
  EXPECT_EQ(read.records.size(), 3u);
}

TEST(JournalTest, RecordsAreReadOnlyAsTheWriterWritesThem) {
  const std::string id = "0000abcd-00000000000000ff";
  const struct {
    std::string text;
    bool parses;
  } rows[] = {
      {"zizaro_do run 1796837325558", true},
      {"zizaro_do run 01", false},
      {"zizaro_do run -1", false},
      {"zizaro_do run", false},
      {"switching " + id, true},
      {"switching " + id + "-00000000000000aa", true},
      {"switching 0000ABCD-00000000000000ff", false},
      {"switching " + id + "-0000000000000000", false},
      {"switching " + id.substr(1), false},
      {"move Client/a%000020b\tqxcg_update_tmp/r/new/x\t" + id, true},
      {"move Client/a%000041\tx\t-", false},  // 'A' is written as it is
      {"move Client/a%00002a\tx\t-", false},  // lowercase escape
      {"move Client/a b\tx\t-", false},
      {"move Client/../x\ty\t-", false},
      {"move /x\ty\t-", false},
      {"move Client//x\ty\t-", false},
      {"move Client\tqxcg_update_tmp/r/old", true},  // an earlier version's
      {"commit a\tb\t-", true},
      {"displace a\tb\t" + id, true},
      {"switched", true},
      {"switched ", false},
      {"started now", false},
      {"unpacked", true},
      {"kept", true},
      {"moved a\tb\t-", false},
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    for (char& c : text) {
      if (c == '/') c = static_cast<char>(long_paths::kSeparator);
    }
    Record record;
    ASSERT_EQ(ParseRecord(text, &record), row.parses);
    // What parses is written back as it was read (but the earlier version's
    // moves, which gain their "-").
    if (row.parses && text.find("old") == std::string::npos) {
      EXPECT_EQ(RecordText(record), text);
    }
  }
}

TEST(JournalTest, StatesFollowTheDiagramAndNothingElse) {
  const std::string header = "zizaro_do run 1";
  const std::string move =
      "move Client\tqxcg_update_tmp" + std::string(1, char(long_paths::kSeparator)) + "x\t-";
  // kNone: records in an order that no run writes.
  const std::pair<std::vector<std::string>, RunState> rows[] = {
      {{header}, RunState::kBegun},
      {{header, "copy"}, RunState::kCopy},
      {{header, "switching -", move, move}, RunState::kSwitching},
      {{header, "switching -", "commit a\tb\t-"}, RunState::kCommitting},
      {{header, "switching -", "commit a\tb\t-", "switched", "started"}, RunState::kStarted},
      {{header, "switching -", move, "undoing", "displace a\tb\t-", "undone"}, RunState::kUndone},
      {{header, "switching -", "commit a\tb\t-", "switched", "undoing"}, RunState::kUndoing},
      {{header, "unpacked", "kept", move, "undoing"}, RunState::kUndoing},  // earlier version
      {{"switching -"}, RunState::kNone},
      {{header, header}, RunState::kNone},
      {{header, "switched"}, RunState::kNone},
      {{header, "switching -", "started"}, RunState::kNone},
      {{header, "switching -", "commit a\tb\t-", move}, RunState::kNone},
      {{header, "switching -", "undoing", move}, RunState::kNone},
      {{header, "switching -", "commit a\tb\t-", "switched", "started", "undoing"},
       RunState::kNone},
      {{header, "copy", "switching -"}, RunState::kNone},
  };
  for (const auto& [records, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(records));
    RunState state = RunState::kNone;
    EXPECT_EQ(ReplayJournal(records, &state), expected != RunState::kNone);
    if (expected != RunState::kNone) {
      EXPECT_EQ(state, expected);
    }
  }
}

}  // namespace
