// The notes the first pass keeps of candidates, looked up as the carves go: from the highest
// candidate down in each pass, and in any order by tools.

#include "driver/candidate_notes.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace vellumark {
namespace {

TEST(CandidateNotes, EveryLookFindsItsNoteInWhateverOrder) {
  std::mt19937 rng(3);
  CandidateNotes notes;
  std::map<std::int64_t, std::uint32_t> kept;
  std::vector<std::int64_t> asked;
  for (std::int64_t s = 0; s < 20'000; s += 1 + static_cast<std::int64_t>(rng() % 9)) {
    asked.push_back(s);
    if (rng() % 3 == 0) continue;  // a candidate without a note
    const std::uint32_t note = 1 + rng() % 1000;
    notes.add(s, note);
    kept[s] = note;
    asked.push_back(s + 1);  // between two candidates
  }
  notes.add(5, 7);  // out of order: not kept
  auto expected = [&](std::int64_t s) { return kept.count(s) != 0 ? kept[s] : 0u; };
  // Two passes from the top down, as the scan carves; then at random.
  for (int pass = 0; pass < 2; ++pass)
    for (auto s = asked.rbegin(); s != asked.rend(); ++s) ASSERT_EQ(notes.find(*s), expected(*s)) << "sector " << *s;
  for (int i = 0; i < 5'000; ++i) {
    const std::int64_t s = asked[rng() % asked.size()];
    ASSERT_EQ(notes.find(s), expected(s)) << "sector " << s;
  }
  EXPECT_EQ(notes.find(-1), 0u);
  EXPECT_EQ(notes.find(1'000'000), 0u);
  EXPECT_EQ(CandidateNotes().find(0), 0u);
}

}  // namespace
}  // namespace vellumark
