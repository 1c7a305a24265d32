// Where qvsmtp send finds a password or a bearer token: the first line of a
// file, the environment, or a prompt that does not echo. Never the command
// line: every user of the machine can read it in the process list.
#pragma once

#include <cstddef>
#include <string>

namespace qvsmtp {

// The longest first line a secret file may have: a bearer token runs to a
// few kilobytes.
inline constexpr std::size_t kMaxSecretBytes = 64 * 1024;

// Text whose bytes are overwritten when it is replaced or destroyed. It
// cannot be copied or moved: a moved string would leave its bytes behind.
class SecretText {
 public:
  SecretText() { text_.reserve(kMaxSecretBytes + 1); }
  ~SecretText() { Clear(); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  void Clear();
  bool empty() const { return text_.empty(); }
  const std::string& text() const { return text_; }
  // Room for kMaxSecretBytes + 1 is reserved, so appending up to that never
  // leaves a copy behind in freed memory.
  std::string& buffer() { return text_; }

 private:
  std::string text_;
};

// Overwrites every byte (character) of text, then empties it.
void Wipe(std::string& text);
void Wipe(std::u16string& text);

// Into secret, the first line of the file at path without its line end.
// Throws ExitError naming option and path, never the text: 66 when the file
// cannot be read or other users can read it, 65 when its first line is
// empty, too long, or not UTF-8 text without control characters.
void ReadSecretFile(const std::string& option, const std::string& path, SecretText& secret);

// Into secret, the environment variable's value; false when it is unset or
// empty. Throws ExitError (64) when the value is not UTF-8 text without
// control characters.
bool ReadSecretVariable(const char* name, SecretText& secret);

// Writes prompt to standard error and reads one line from standard input, a
// terminal, with echo off; the terminal is restored even when a signal ends
// the wait (the signal then ends the program). Throws ExitError (64) naming
// what was asked for when nothing, or no UTF-8 text, was typed.
void PromptForSecret(const std::string& prompt, const std::string& what, SecretText& secret);

}  // namespace qvsmtp
