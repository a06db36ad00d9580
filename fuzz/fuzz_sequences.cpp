// Sequences of requests and answers against the invariants of update
// checks and stored lists; a broken one is printed shrunk and readable.
#include <cstdio>
#include <cstdlib>

#include "SequenceGrammar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Breaks known and still open are looked past (the seeded test names them).
  static fennic_sequence::Tolerance known = fennic_sequence::KnownTolerance();
  const fennic_sequence::Sequence sequence = fennic_sequence::Decode(data, size);
  if (fennic_sequence::RunSequence(sequence, &known).empty()) return 0;
  const std::string shrunk = fennic_sequence::RunSequence(fennic_sequence::Shrink(sequence, &known), &known);
  std::fprintf(stderr, "broken sequence, shrunk:\n%s\n", shrunk.c_str());
  std::abort();
}
