// The sink's store: a Maildir. Each message is written under tmp/ and, once
// complete and flushed to disk, moved into new/ under the same unique name
// ("SECONDS.PID_SEQ.HOST"); new/ is then flushed too, so that a message
// acknowledged with 250 survives a crash. The message bytes are stored as
// received, after the removal of the doubled leading dots, without the final
// dot line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "qv/testing/sink_store.hpp"

namespace qvsmtp {

// One thread at a time; the messages it hands out must not outlive it.
class MaildirStore final : public qv::testing::SinkStore {
 public:
  // Creates dir and its tmp/, new/ and cur/ when missing; throws
  // std::filesystem::filesystem_error when it cannot.
  explicit MaildirStore(std::filesystem::path dir);

  // Throws qv::file_io::FileError (a std::runtime_error) when tmp/ takes no
  // new file; the message's Append and Commit throw it too.
  std::unique_ptr<qv::testing::SinkMessage> Begin(
      const qv::testing::SinkEnvelope& envelope) override;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::string host_;
  std::uint64_t sequence_ = 0;
};

}  // namespace qvsmtp
