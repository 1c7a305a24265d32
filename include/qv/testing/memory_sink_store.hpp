// A SinkStore in memory for tests: keeps every committed message with its
// envelope, counts the ones discarded, and can be told to fail.
//
// Threads and lifetime: one thread; the messages it hands out must not
// outlive it. Nothing here throws except the failures a test asks for.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qv/testing/export.hpp"
#include "qv/testing/sink_store.hpp"

namespace qv::testing {

class QV_TESTING_EXPORT MemorySinkStore final : public SinkStore {
 public:
  struct Kept {
    SinkEnvelope envelope;
    std::string data;
  };
  // Committed messages in order; the Nth one's location is "memory/N".
  std::vector<Kept> kept;
  // Messages destroyed without a Commit.
  int discarded = 0;

  // Begin throws std::runtime_error ("no space").
  bool fail_begin = false;
  // An Append that would make a message longer than this many bytes throws
  // std::runtime_error ("disk full").
  std::size_t fail_after = std::numeric_limits<std::size_t>::max();

  std::unique_ptr<SinkMessage> Begin(const SinkEnvelope& envelope) override;
};

}  // namespace qv::testing
