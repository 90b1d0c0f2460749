// A writer in a process forked from the one that opened it: refused there,
// and the child's copies of its descriptors never keep the log locked.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corvane/segment.h"
#include "corvane/writer.h"
#include "support/log_check.h"
#include "support/test_util.h"

namespace corvane {
namespace {

using namespace corvane::testing;

// Runs `child` in a forked process and returns its exit status (its result
// as a number: gtest assertions do not cross the fork).
template <typename F>
int in_child(F child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class WriterForkTest : public ::testing::Test {
 protected:
  TempDir tmp;
  KeyHandle key = test_key();
  std::string dir = tmp / "log";
};

TEST_F(WriterForkTest, ForkedChildIsRefusedAndWritesNothing) {
  auto opened = open_writer(dir, key);
  append_ok(opened.writer, sample_record(0));
  ASSERT_TRUE(opened.writer.flush());
  const Bytes before = read_file(segment_path(dir, 0));
  const WriterError forked = WriterError::forked(::getpid());
  const int status = in_child([&] {
    auto appended = opened.writer.append(sample_record(1));
    auto flushed = opened.writer.flush();
    return !appended && appended.error() == forked && !flushed && flushed.error() == forked &&
                   opened.writer.check_process().error() == forked
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(segment_path(dir, 0)), before);
  EXPECT_EQ(forked.to_string(), "Writer was opened by process " + std::to_string(::getpid()) +
                                    " and cannot be used after fork; open a new Writer in this process");
  EXPECT_TRUE(opened.writer.check_process());
  append_ok(opened.writer, sample_record(1));  // the parent's writer goes on
  opened.writer.close();
  EXPECT_EQ(check_log(dir, *key).value().size(), 2U);
}

TEST_F(WriterForkTest, LongLivedChildDoesNotKeepTheLogLocked) {
  auto opened = open_writer(dir, key);
  int ready[2], gate[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(gate), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child's copies are closed as it starts, before it runs anything.
    char c = 'r';
    ::close(gate[1]);
    const bool told = ::write(ready[1], &c, 1) == 1;
    ::_exit(told && ::read(gate[0], &c, 1) == 0 ? 0 : 1);  // lives until the parent closes its end
  }
  ::close(gate[0]);
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  // The child closed only its copies: the parent's lock still holds...
  EXPECT_EQ(Writer::open(dir, key, test_session(3)).error(), WriterError::locked());
  // ...until the parent lets go, though the child lives on.
  opened.writer.close();
  auto again = Writer::open(dir, key, test_session(2));
  EXPECT_TRUE(again) << again.error().to_string();
  ::close(gate[1]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace corvane
