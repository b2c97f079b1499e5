#pragma once
// TLCSEpochAndSeq is the counter of one instrumentation key: the epoch its logs carry and the
// sequence number of the last of them. Neither archived nor written as JSON; a plain record,
// not safe to change from two threads at once.
#include <cstdint>
#include <string>

class TLCSEpochAndSeq {
 public:
  // A counter of `epoch` whose sequence starts at 0.
  explicit TLCSEpochAndSeq(std::string epoch) : epoch(std::move(epoch)) {}

  std::string epoch;
  std::uint64_t seq = 0;
};
