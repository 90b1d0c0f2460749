// The writer: the only component that adds to a log. Opens (creating or
// recovering) a log directory, appends framed, MACed and chained records,
// rotates segments with a finalization record, and syncs on request.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "corvane/errors.h"
#include "corvane/format.h"
#include "corvane/io.h"
#include "corvane/key.h"
#include "corvane/record.h"

namespace corvane {

enum class RecoveryAction : std::uint8_t { kFresh, kResumed, kRepaired, kOpenedNextAfterFinalized };
// "Fresh", "Resumed", "Repaired", "OpenedNextAfterFinalized".
const char* recovery_action_name(RecoveryAction action);

// What the recovery scan found in the last segment.
struct RecoveryScan {
  std::optional<std::uint64_t> last_record_id;
  std::string last_ts_wall;
  std::uint64_t records = 0;
  std::uint64_t end_offset = kHeaderLen;
  std::uint64_t truncated_bytes = 0;
  Mac chain_head{};
  std::uint64_t last_ts_mono_delta = 0;
  bool finalized = false;
};

// The fields recovery reads from each record.
struct RecoveryRecordView {
  std::uint64_t record_id = 0;
  Mac prev_hash{};
  std::string ts_wall;
  std::uint64_t ts_mono_delta = 0;
  std::string event;
};

// Scans segment `index` of `dir`: checks its header and key, walks its frames
// checking MACs and the chain, and cuts a torn tail (made durable). Refuses
// (kRecoveryRefused) a log whose complete records show tampering, and one
// whose damaged frame is followed by intact frames. Cutting is its only
// change to the disk.
[[nodiscard]] std::expected<RecoveryScan, WriterError> scan_segment_for_recovery(const std::string& dir,
                                                                                 std::uint16_t index,
                                                                                 const KeyHandle& key);

// Text of a refused ts_wall, or nullopt when the writer accepts it (only the
// final 'Z', the length of 24 bytes and that every byte is ASCII are checked;
// append also compares the time with the previous record's).
std::optional<std::string> check_ts_wall(std::string_view ts_wall);

namespace detail {
struct WriterProbe;
}

class Writer {
 public:
  struct Opened;

  // Creates the directory if needed, takes its exclusive lock, and starts a
  // fresh log or recovers the last segment.
  [[nodiscard]] static std::expected<Opened, WriterError> open(
      const std::string& dir, KeyHandle key, const SessionId& session_id,
      std::optional<std::uint64_t> segment_size_bytes = std::nullopt);

  Writer(Writer&&) noexcept;
  Writer& operator=(Writer&&) noexcept;
  ~Writer();

  // Appends one record and returns its record_id. Nothing is written when the
  // record is refused, as one stamped more than 60 s before the record it
  // would follow is (the verifier's rule, across segments and reopens).
  // After a failed write the segment is cut back to its last good length; if
  // that, or a sync, fails, every later append and flush is refused until
  // the log is reopened.
  [[nodiscard]] std::expected<std::uint64_t, WriterError> append(const AppendRecord& record);
  // Makes everything appended so far durable: the segment file, then the
  // directory.
  [[nodiscard]] std::expected<void, WriterError> flush();
  // Closes the segment file (no flush, no finalization) and releases the lock.
  void close();
  bool is_open() const;
  // ts_wall of the log's last record, finalization records included;
  // nullopt when the log holds none, or when a reopen found its last
  // segment empty and could not read the segment before.
  const std::optional<std::string>& last_ts_wall() const;

  // The last record of the current segment, the chain head a checkpoint of
  // this writer pins: durable once flush has returned. nullopt while that
  // segment holds no record yet, and once closed.
  struct Head {
    std::uint16_t segment = 0;
    std::uint64_t record_id = 0;
    Mac mac{};
  };
  std::optional<Head> head() const;

  // Fails with kForked in a process forked from the one that opened the
  // writer. There append and flush fail the same way and write nothing; the
  // child's copies of the writer's descriptors are closed at fork, so the
  // child neither holds the log's lock nor touches the parent's files.
  // Dropping the writer is all that is left to do with it.
  [[nodiscard]] std::expected<void, WriterError> check_process() const;

 private:
  // Tests and benchmarks look inside and turn switches through it.
  friend struct detail::WriterProbe;
  struct State;
  explicit Writer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

struct Writer::Opened {
  Writer writer;
  RecoveryAction action;
  std::uint64_t truncated_bytes;
};

}  // namespace corvane
