// What the integration tests share: the servers that servers.py started, as
// its state files record them, what they received, and the wire trace.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qv/connection/socket_options.hpp"

namespace qv::runtime::integration {

inline nlohmann::json ReadJson(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return nullptr;
  return nlohmann::json::parse(in, nullptr, false);
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string UniqueSender(const std::string& tag) {
  static std::mt19937_64 random{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, "%012llx",
                static_cast<unsigned long long>(random() & 0xffffffffffffULL));
  return tag + "-" + text + "@qvsmtp.test";
}

struct Stored {
  nlohmann::json envelope;
  std::string message;
};

// Every message the store server took from sender.
inline std::vector<Stored> StoredFrom(const std::filesystem::path& spool,
                                      const std::string& sender) {
  std::vector<Stored> found;
  for (const auto& entry : std::filesystem::directory_iterator(spool)) {
    if (entry.path().extension() != ".json") continue;
    nlohmann::json envelope = ReadJson(entry.path());
    if (!envelope.is_object() || envelope.value("mail_from", "") != sender) continue;
    std::string message = ReadBytes(spool / envelope.at("message").get<std::string>());
    found.push_back({std::move(envelope), std::move(message)});
  }
  return found;
}

// A server that servers.py started.
class RealServer : public ::testing::Test {
 protected:
  void Load(const std::string& name) {
    const char* dir = std::getenv("QV_INTEGRATION_SERVERS");
    if (dir == nullptr || *dir == '\0') {
      GTEST_SKIP() << "QV_INTEGRATION_SERVERS is not set (run through ctest)";
    }
    const std::filesystem::path path = std::filesystem::path(dir) / (name + ".json");
    state_ = ReadJson(path);
    ASSERT_TRUE(state_.is_object()) << "no server recorded in " << path;
    if (state_.contains("unavailable")) {
      GTEST_SKIP() << name << " cannot run here: " << state_.at("unavailable").get<std::string>();
    }
    port_ = state_.at("port").get<std::uint16_t>();
    if (state_.contains("spool")) spool_ = state_.at("spool").get<std::string>();
  }

  connection::SocketOptions Options() const {
    connection::SocketOptions options;
    options.port = port_;
    return options;
  }

  nlohmann::json state_;
  std::uint16_t port_ = 0;
  std::filesystem::path spool_;
};

// What the control sent, split where TLS began (connection::WireDirection).
struct Wire {
  std::string clear;
  std::string encrypted;
  // The version and cipher agreed, "" while TLS has not begun.
  std::string secured;
};

// Options whose trace fills wire.
inline connection::SocketOptions TracedTo(Wire& wire) {
  connection::SocketOptions options;
  options.wire_trace = [&wire](connection::WireDirection direction, std::string_view piece) {
    if (direction == connection::WireDirection::kSecured) {
      wire.secured = piece;
    } else if (direction == connection::WireDirection::kSent) {
      (wire.secured.empty() ? wire.clear : wire.encrypted) += piece;
    }
  };
  return options;
}

// The messages from sender in a Maildir's new/ folder. Postfix delivers a
// moment after its 250, so this waits up to wait for count to appear.
inline std::vector<std::string> Delivered(const std::filesystem::path& maildir,
                                          const std::string& sender, std::chrono::seconds wait,
                                          std::size_t count = 1) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::vector<std::string> found;
    // The Maildir is made with the first message it receives.
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(maildir / "new", missing)) {
      std::string message = ReadBytes(entry.path());
      if (message.rfind("Return-Path: <" + sender + ">\n", 0) == 0) {
        found.push_back(std::move(message));
      }
    }
    if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The header section with folded lines joined.
inline std::string UnfoldedHeader(const std::string& message) {
  const std::string header = message.substr(0, message.find("\n\n"));
  std::string unfolded;
  for (std::size_t at = 0; at < header.size(); ++at) {
    if (header[at] == '\n' && at + 1 < header.size() &&
        (header[at + 1] == ' ' || header[at + 1] == '\t')) {
      ++at;
    }
    unfolded += header[at];
  }
  return unfolded;
}

}  // namespace qv::runtime::integration
