// The sink's Maildir: messages written under tmp/ and moved into new/.
#include "sink/maildir_store.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "file_io.hpp"
#include "program_runner.hpp"

namespace qvsmtp::test_support {
namespace {

TEST(MaildirStore, WritesUnderTmpAndMovesTheFinishedMessageIntoNew) {
  TempDir temp;
  MaildirStore store(temp.path() / "box");
  for (const char* sub : {"tmp", "new", "cur"})
    EXPECT_TRUE(fs::is_directory(temp.path() / "box" / sub));

  auto first = store.Begin({});
  first->Append("line 1\r\n");
  ASSERT_EQ(Files(temp.path() / "box" / "tmp").size(), 1u);  // written there first
  EXPECT_TRUE(Files(temp.path() / "box" / "new").empty());
  first->Append(std::string("\0bytes\xff\r\n", 9));
  const fs::path where = first->Commit();
  first.reset();

  EXPECT_EQ(where.parent_path(), temp.path() / "box" / "new");
  EXPECT_EQ(ReadFile(where), std::string("line 1\r\n\0bytes\xff\r\n", 17));
  EXPECT_TRUE(Files(temp.path() / "box" / "tmp").empty());
  // SECONDS.PID_SEQ.HOST
  const std::string name = where.filename().string();
  EXPECT_NE(name.find("." + std::to_string(::getpid()) + "_"), std::string::npos) << name;

  auto second = store.Begin({});
  second->Append("x");
  const std::string other = second->Commit();
  EXPECT_NE(other, where.string());
  EXPECT_EQ(Files(temp.path() / "box" / "new").size(), 2u);
}

TEST(MaildirStore, AMessageNeverCommittedLeavesNothingBehind) {
  TempDir temp;
  MaildirStore store(temp.path());
  {
    auto message = store.Begin({});
    message->Append("partial");
  }
  EXPECT_TRUE(Files(temp.path() / "tmp").empty());
  EXPECT_TRUE(Files(temp.path() / "new").empty());
}

TEST(MaildirStore, RefusesAFolderItCannotCreateAndAMessageItCannotStart) {
  TempDir temp;
  std::ofstream(temp.path() / "plain-file") << "x";
  EXPECT_THROW(MaildirStore(temp.path() / "plain-file"), fs::filesystem_error);

  MaildirStore store(temp.path() / "box");
  fs::remove(temp.path() / "box" / "tmp");
  try {
    store.Begin({});
    ADD_FAILURE() << "a message was started without tmp/";
  } catch (const qv::file_io::FileError& e) {
    EXPECT_EQ(e.number(), ENOENT);
    EXPECT_NE(std::string(e.what()).find("box/tmp/"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace qvsmtp::test_support
