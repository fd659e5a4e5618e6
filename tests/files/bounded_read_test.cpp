#include "files/bounded_read.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;
using vqr::files::ReadProblem;

constexpr std::size_t kLimit = 100;

class BoundedReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("vqr_bounded_read_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }

  std::string File(const char* name, std::size_t bytes) const {
    const fs::path path = m_dir / name;
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
    return path.string();
  }

  fs::path m_dir;
};

struct SizeCase {
  std::size_t bytes;
  ReadProblem problem;
};

TEST_F(BoundedReadTest, ARegularFileIsReadWholeUpToItsLimit) {
  for (const SizeCase& c :
       {SizeCase{0, ReadProblem::kNone}, SizeCase{1, ReadProblem::kNone},
        SizeCase{kLimit, ReadProblem::kNone}, SizeCase{kLimit + 1, ReadProblem::kTooLarge}}) {
    SCOPED_TRACE(c.bytes);
    const std::string path = File("input", c.bytes);
    std::vector<std::uint8_t> bytes{1, 2, 3};
    const vqr::files::ReadResult read = vqr::files::ReadBoundedFile(path, kLimit, "input", &bytes);
    EXPECT_EQ(read.problem, c.problem) << read.Message();
    EXPECT_EQ(bytes.size(), c.problem == ReadProblem::kNone ? c.bytes : 0u);
    if (c.problem == ReadProblem::kTooLarge) {
      EXPECT_EQ(read.Message(), path + ": 101 bytes, more than the 100 bytes of the largest input");
    }
  }
}

TEST_F(BoundedReadTest, WhatIsNotARegularFileIsRefusedByName) {
  struct Case {
    std::string path;
    ReadProblem problem;
    std::string reason;
  };
  std::vector<Case> cases = {
      {(m_dir / "absent").string(), ReadProblem::kMissing, "no such file"},
      {m_dir.string(), ReadProblem::kNotRegular, "a directory, not a regular file"},
  };
#ifndef _WIN32
  const std::string fifo = (m_dir / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opening a FIFO with no writer would block: it is refused from its status alone.
  cases.push_back({fifo, ReadProblem::kNotRegular, "a FIFO, not a regular file"});
  cases.push_back(
      {"/dev/zero", ReadProblem::kNotRegular, "a character device, not a regular file"});
  // /proc reports a size of 0 for files that hold text: what is read is not the size taken.
  cases.push_back({"/proc/self/status", ReadProblem::kChanged, "changed while it was read"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string text = "left";
    const vqr::files::ReadResult read =
        vqr::files::ReadBoundedFile(c.path, 1 << 20, "input", &text);
    EXPECT_EQ(read.problem, c.problem);
    EXPECT_EQ(read.Message().rfind(c.path + ": " + c.reason, 0), 0u) << read.Message();
    EXPECT_TRUE(text.empty());
  }
}

}  // namespace
