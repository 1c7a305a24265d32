#include "qv/testing/memory_sink_store.hpp"

#include <stdexcept>
#include <utility>

namespace qv::testing {

namespace {

class MemoryMessage final : public SinkMessage {
 public:
  MemoryMessage(MemorySinkStore& store, SinkEnvelope envelope)
      : store_(store), envelope_(std::move(envelope)) {}
  ~MemoryMessage() override {
    if (!committed_) ++store_.discarded;
  }

  void Append(std::string_view bytes) override {
    if (data_.size() + bytes.size() > store_.fail_after) throw std::runtime_error("disk full");
    data_.append(bytes);
  }

  std::string Commit() override {
    committed_ = true;
    store_.kept.push_back({envelope_, data_});
    return "memory/" + std::to_string(store_.kept.size());
  }

 private:
  MemorySinkStore& store_;
  SinkEnvelope envelope_;
  std::string data_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<SinkMessage> MemorySinkStore::Begin(const SinkEnvelope& envelope) {
  if (fail_begin) throw std::runtime_error("no space");
  return std::make_unique<MemoryMessage>(*this, envelope);
}

}  // namespace qv::testing
