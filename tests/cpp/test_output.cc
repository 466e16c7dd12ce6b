#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/output.h"

namespace morvex::core {
namespace {

std::string temp_path(const char* name) {
  return testing::TempDir() + "morvex_output_" + std::to_string(getpid()) + "_" + name;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

SharedFile open_ok(const std::string& path, bool truncate) {
  Result<SharedFile> f = SharedFile::open(path, truncate);
  EXPECT_TRUE(f.ok()) << (f.ok() ? "" : f.error().text());
  return std::move(f.value());
}

TEST(SharedFile, TruncateEmptiesAndAppendKeeps) {
  std::string path = temp_path("modes");
  std::remove(path.c_str());
  {
    SharedFile f = open_ok(path, true);  // creates the missing file
    f.write_all("abc");
    EXPECT_EQ(slurp(path), "") << "writes are buffered until flush";
    ASSERT_TRUE(f.flush().ok());
    EXPECT_EQ(slurp(path), "abc");
  }
  {
    SharedFile f = open_ok(path, false);
    f.write_all("def");
  }  // the destructor flushes
  EXPECT_EQ(slurp(path), "abcdef");
  {
    SharedFile f = open_ok(path, true);
  }
  EXPECT_EQ(slurp(path), "");
  std::remove(path.c_str());
}

TEST(SharedFile, OpenFailureCarriesTheSystemMessage) {
  Result<SharedFile> f = SharedFile::open("/nonexistent-dir/x/trace", true);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().os_code(), ENOENT);
  EXPECT_EQ(f.error().text(), "No such file or directory (os error 2)");
}

TEST(SharedFile, FlushWithNothingPendingMakesNoSystemCall) {
  // An invalid descriptor: any flock or write would fail with EBADF.
  SharedFile f(-1);
  EXPECT_TRUE(f.flush().ok());
  f.write_all("x");
  Status st = f.flush();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().text(), "Bad file descriptor (os error 9)");
  EXPECT_EQ(f.pending().size(), 1u) << "a failed lock keeps the bytes for a later flush";
}

// A writer that renders into room() and commits what it rendered: only
// committed bytes are pending, and they survive the buffer growing.
TEST(SharedFile, RoomHoldsRenderedBytesUntilCommitted) {
  std::string path = temp_path("room");
  SharedFile f = open_ok(path, true);
  std::span<uint8_t> room = f.room(3);
  ASSERT_GE(room.size(), 3u);
  std::memcpy(room.data(), "abcXYZ", 6);
  f.commit(3);  // "XYZ" was rendered but not committed
  EXPECT_EQ(std::string(f.pending().begin(), f.pending().end()), "abc");

  const size_t big = 4 * SharedFile::kInitialBuffer;
  room = f.room(big);
  ASSERT_GE(room.size(), big);
  std::memset(room.data(), 'd', big);
  f.commit(big);
  f.write_all("e");
  ASSERT_EQ(f.pending().size(), 3 + big + 1);
  ASSERT_TRUE(f.flush().ok());
  EXPECT_EQ(slurp(path), "abc" + std::string(big, 'd') + "e");

  // After a flush the room starts at the front again, nothing pending.
  std::memcpy(f.room(2).data(), "fg", 2);
  f.commit(2);
  ASSERT_TRUE(f.flush().ok());
  EXPECT_EQ(slurp(path).substr(3 + big + 1), "fg");
  std::remove(path.c_str());
}

TEST(SharedFile, WriteFailureReportsAndDiscardsThePendingBytes) {
  Result<SharedFile> f = SharedFile::open("/dev/full", false);
  ASSERT_TRUE(f.ok());
  f.value().write_all(std::string(1000, 'z'));
  Status st = f.value().flush();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().os_code(), ENOSPC);
  EXPECT_EQ(st.error().text(), "No space left on device (os error 28)");
  EXPECT_TRUE(f.value().pending().empty());
  EXPECT_TRUE(f.value().flush().ok());
}

// A write cut short (here by a file size limit, as a full disk would) takes
// back what part of it got in: the file ends where the last whole flush did.
TEST(SharedFile, AShortWriteLeavesTheFileAtTheLastWholeFlush) {
  std::string path = temp_path("short");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    rlimit limit{4096 + 100, 4096 + 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    SharedFile f = open_ok(path, true);
    f.write_all(std::string(4096, 'a'));
    bool first = f.flush().ok();
    f.write_all(std::string(1000, 'b'));
    Status second = f.flush();
    _exit(first && !second.ok() && second.error().os_code() == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(path), std::string(4096, 'a'));
  unlink(path.c_str());
}

TEST(SharedFile, ModeIs0666BeforeTheUmask) {
  std::string path = temp_path("mode");
  std::remove(path.c_str());
  mode_t old = umask(0);
  {
    SharedFile f = open_ok(path, true);
  }
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  std::remove(path.c_str());
}

// Blocks look like "<P:n:len>" followed by len copies of P, so any
// interleaving of two processes' flushes shows up when parsing.
void write_blocks(const std::string& path, char who, int count) {
  SharedFile f = open_ok(path, false);
  for (int n = 0; n < count; n++) {
    size_t len = 1000 + (n * 7919) % 150'000;
    std::string block = "<" + std::string(1, who) + ":" + std::to_string(n) + ":" +
                        std::to_string(len) + ">" + std::string(len, who);
    f.write_all(block);
    if (!f.flush().ok()) _exit(3);
  }
}

TEST(SharedFile, TwoProcessesFlushWholeBlocks) {
  std::string path = temp_path("shared");
  {
    SharedFile f = open_ok(path, true);
  }
  constexpr int kBlocks = 150;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    write_blocks(path, 'C', kBlocks);
    _exit(0);
  }
  write_blocks(path, 'P', kBlocks);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string data = slurp(path);
  int next[2] = {0, 0};
  size_t at = 0;
  while (at < data.size()) {
    ASSERT_EQ(data[at], '<') << "at byte " << at;
    size_t close = data.find('>', at);
    ASSERT_NE(close, std::string::npos);
    char who;
    int n;
    size_t len;
    // The header alone: sscanf on the rest of the file would strlen megabytes
    // per block (seconds under qemu-user).
    std::string header = data.substr(at, close + 1 - at);
    ASSERT_EQ(std::sscanf(header.c_str(), "<%c:%d:%zu>", &who, &n, &len), 3);
    int side = who == 'C' ? 1 : 0;
    ASSERT_EQ(n, next[side]++) << "blocks of one process stay in order";
    ASSERT_LE(close + 1 + len, data.size());
    ASSERT_EQ(data.compare(close + 1, len, std::string(len, who)), 0) << "block torn at " << at;
    at = close + 1 + len;
  }
  EXPECT_EQ(next[0], kBlocks);
  EXPECT_EQ(next[1], kBlocks);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace morvex::core
