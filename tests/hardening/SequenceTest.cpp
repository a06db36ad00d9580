// A few hundred seeded answer sequences against the invariants of update
// checks and stored lists (the grammar and the checks live in fuzz/). Each
// distinct break is reported once, shrunk to its shortest sequence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "SequenceGrammar.h"

namespace {

int FromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text ? std::atoi(text) : fallback;
}

TEST(SequenceTest, SeededSequencesKeepTheInvariants) {
  const int seed = FromEnvironment("FENNIC_SEQUENCE_SEED", 25);
  const int count = FromEnvironment("FENNIC_SEQUENCES", 300);
  std::mt19937 random(static_cast<unsigned>(seed));
  // Breaks to look past while hunting for others: "prefix;prefix".
  fennic_sequence::Tolerance known;
  std::stringstream list(std::getenv("FENNIC_SEQUENCE_KNOWN") ? std::getenv("FENNIC_SEQUENCE_KNOWN") : "");
  for (std::string prefix; std::getline(list, prefix, ';');) known.known.push_back(prefix);
  std::map<std::string, fennic_sequence::Sequence> breaks;  // by broken invariant
  for (int i = 0; i < count; ++i) {
    const fennic_sequence::Sequence sequence = fennic_sequence::RandomSequence(random, 1 + i % 8);
    const std::string broken = fennic_sequence::RunSequence(sequence, &known);
    if (!broken.empty()) breaks.emplace(broken.substr(0, broken.find(" (")), sequence);
  }
  for (const auto& [invariant, sequence] : breaks)
    ADD_FAILURE() << "seed " << seed << ": " << invariant << "; shrunk:\n"
                  << fennic_sequence::RunSequence(fennic_sequence::Shrink(sequence, &known), &known);
}

}  // namespace
