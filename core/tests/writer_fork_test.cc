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
  const std::unexpected forked(WriterError::forked(::getpid()));
  // The child's verdict comes back as its exit status: gtest assertions do not cross the fork.
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool refused = opened.writer.append(sample_record(1)) == forked && opened.writer.flush() == forked &&
                         opened.writer.check_process() == forked;
    ::_exit(refused ? 0 : 1);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(segment_path(dir, 0)), before);
  EXPECT_EQ(forked.error().to_string(), "Writer was opened by process " + std::to_string(::getpid()) +
                                    " and cannot be used after fork; open a new Writer in this process");
  append_ok(opened.writer, sample_record(1));  // the parent's writer goes on
  opened.writer.close();
  EXPECT_EQ(check_log(dir, *key).value().size(), 2U);
}

TEST_F(WriterForkTest, LongLivedChildDoesNotKeepTheLogLocked) {
  auto opened = open_writer(dir, key);
  int ready[2], gate[2];
  ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(gate) == 0);
  char c = 'r';
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child's copies are closed as it starts, before it runs anything;
    // it lives until the parent closes its end of the gate.
    ::close(gate[1]);
    ::_exit(::write(ready[1], &c, 1) == 1 && ::read(gate[0], &c, 1) == 0 ? 0 : 1);
  }
  ::close(gate[0]);
  ::close(ready[1]);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  // The child closed only its copies: the parent's lock still holds...
  EXPECT_EQ(Writer::open(dir, key, test_session(3)).error(), WriterError::locked());
  // ...until the parent lets go, though the child lives on.
  opened.writer.close();
  EXPECT_TRUE(Writer::open(dir, key, test_session(2)));
  ::close(gate[1]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace corvane
