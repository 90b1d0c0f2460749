// A small log written by the writer, for the verifier and checkpoint tests:
// segments 0 and 1 hold records 0..2 and a finalization record (id 3),
// segment 2 holds records 0 and 1. Frames are 186 bytes (record 146), the
// finalization frame 251; so frames start at 80, 266, 452 and 638.
#pragma once

#include <string>
#include <vector>

#include "corvane/key.h"
#include "corvane/report.h"
#include "corvane/verifier.h"
#include "support/test_util.h"

namespace corvane::testing {

class WrittenLog {
 public:
  explicit WrittenLog(const std::string& dir, KeyHandle key = test_key(), std::string event = "user.login");

  std::string path(std::uint16_t segment) const;
  // The frames of a segment as written (read when the log was made).
  const std::vector<RawFrame>& frames(std::uint16_t segment) const { return frames_.at(segment); }
  const Mac& head() const { return frames_.back().back().mac; }
  const KeyHandle& key() const { return key_; }
  const std::string& dir() const { return dir_; }
  // A checkpoint pinning (segment, record_id) to the MAC found there.
  Checkpoint checkpoint(std::uint16_t segment, std::uint64_t record_id, std::string observed_at = "t0") const;

 private:
  std::string dir_;
  KeyHandle key_;
  std::vector<std::vector<RawFrame>> frames_;
};

// Appends `n` more records through a writer opened on `dir`.
void append_records(const std::string& dir, const KeyHandle& key, int n, std::string event = "user.login");

// verify(), failing the test on an error.
VerifyReport verify_ok(const std::string& dir, const KeyHandle& key, const VerifyOptions& options = {});

// 64 hexadecimal characters back to 32 bytes.
Mac mac_from_hex(const std::string& hex);

}  // namespace corvane::testing
