// What a socket service told its owner, recorded; and a text encoded as it
// leaves, for the tests of every socket service.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qv/core/text.hpp"
#include "qv/host/socket.hpp"

namespace qv::connection::contract {

// Records the socket's notifications; fetches arriving text unless told not to.
class Recorder : public SocketEvents {
 public:
  explicit Recorder(Socket& socket) : socket_(&socket) { socket.SetEvents(this); }

  std::vector<std::string> events;
  String text;
  bool fetch = true;
  Long error_number = 0;
  std::string error_text;
  std::function<void()> on_data;
  std::function<void()> on_error;
  std::chrono::steady_clock::time_point send_complete_at;

  void OnConnect() override { events.push_back("Connect"); }
  void OnDataArrival(Long bytes_total) override {
    events.push_back("Data");
    EXPECT_GT(bytes_total, 0);
    if (fetch) text += socket_->GetData();
    if (on_data) on_data();
  }
  void OnSecured() override { events.push_back("Secured"); }
  void OnSendComplete() override {
    events.push_back("SendComplete");
    send_complete_at = std::chrono::steady_clock::now();
  }
  void OnError(Long number, const String& description) override {
    error_number = number;
    error_text = ToUtf8(description);
    events.push_back("Error " + std::to_string(number) + " " + error_text);
    if (on_error) on_error();
  }

  bool Connected() const { return Has("Connect"); }
  bool Failed() const { return error_number != 0; }
  bool Has(const std::string& event) const { return Count(event) > 0; }
  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

 private:
  Socket* socket_;
};

// A text handed over whole but encoded as the connection drains. Its estimate
// of what remains may fall short of the truth, as a non-ASCII text's does.
class TextOf final : public OutgoingText {
 public:
  explicit TextOf(std::string bytes, std::size_t estimate_divisor = 1)
      : bytes_(std::move(bytes)), divisor_(estimate_divisor) {}
  std::size_t Encode(char* out, std::size_t room) override {
    const std::size_t n = std::min(room, bytes_.size() - offset_);
    bytes_.copy(out, n, offset_);
    offset_ += n;
    return n;
  }
  std::size_t Remaining() const override {
    const std::size_t left = bytes_.size() - offset_;
    return left == 0 ? 0 : std::max<std::size_t>(1, left / divisor_);
  }
  String Whole() const override { return FromUtf8(bytes_); }

 private:
  std::string bytes_;
  std::size_t divisor_;
  std::size_t offset_ = 0;
};

}  // namespace qv::connection::contract
