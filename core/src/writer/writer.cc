// The writer: open (create, lock, recover), append with rotation, flush and
// close. The frame of every record is assembled in one reused buffer and
// handed to the system in one write at the segment's tracked end.
#include "corvane/writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>
#include <vector>

#include "corvane/quote.h"
#include "corvane/segment.h"
#include "corvane/verifier.h"
#include "format/segment_file.h"
#include "io/file_system.h"
#include "writer/recovery_internal.h"
#include "writer/writer_probe.h"

namespace corvane {

namespace {

constexpr std::uint64_t kWidest = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMaxSchemaVersion = 255;
// Appended data is handed to the disk in pieces of this size while a
// segment fills, so the sync that closes a full segment has at most about
// this much left to write instead of the whole segment (a long stall inside
// one append).
constexpr std::uint64_t kDefaultWritebackBytes = 1 << 20;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kWidest - b ? kWidest : a + b; }

std::unexpected<WriterError> io_failure(IoError e) { return std::unexpected(WriterError::from_io(e)); }
std::unexpected<WriterError> invalid_argument(std::string why) {
  return std::unexpected(WriterError::invalid_argument(std::move(why)));
}
std::unexpected<WriterError> index_overflow() { return std::unexpected(WriterError::segment_index_overflow()); }

const char kTooDeep[] = "payload nested too deeply: a record allows 16 nesting levels";

// Permission bits of a log directory the writer creates (before the umask):
// nobody else may add, remove or rename its entries.
constexpr mode_t kLogDirMode = 0750;

// Opens the log directory, the one every later call works in whatever
// becomes of its path, and takes its exclusive lock without waiting; held
// for as long as the returned descriptor stays open.
std::expected<File, WriterError> lock_directory(const std::string& dir) {
  auto file = open_file(dir, O_RDONLY | O_DIRECTORY);
  if (!file) return io_failure(file.error());
  for (;;) {
    if (fs().flock(file->fd(), LOCK_EX | LOCK_NB) == 0) return std::move(*file);
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EWOULDBLOCK || err == EAGAIN) return std::unexpected(WriterError::locked());
    return io_failure(IoError::from_errno(err));
  }
}

// The segment's data, then the directory's entries. Both are held open, so
// the syncs succeed even after they were removed, records and all: the
// segment must still be found under its name for that to be a success.
std::expected<void, IoError> sync_segment_and_dir(const File& segment, const File& dir, std::uint16_t index) {
  if (auto r = sync_file(segment); !r) return r;
  if (auto r = sync_file(dir); !r) return r;
  auto named = entry_mode(At::dir(dir), segment_file_name(index));
  if (!named) return std::unexpected(named.error());
  return {};
}

bool is_missing(const IoError& e) { return e == IoError::from_errno(ENOENT); }

// Temporary files of segment creations that a crash interrupted. Only the
// lock holder creates them, so none is in use. Only what the writer could
// have left goes: a regular file, or a link in its place (removed itself);
// anything else under such a name is not the writer's and stays.
std::expected<void, IoError> remove_stale_temp_files(const File& dir) {
  const At at = At::dir(dir);
  auto names = list_dir(at, ".");
  if (!names) return std::unexpected(names.error());
  for (const std::string& name : *names) {
    if (!is_segment_temp_file_name(name)) continue;
    auto mode = entry_mode(at, name);
    if (!mode && is_missing(mode.error())) continue;
    if (!mode) return std::unexpected(mode.error());
    if (!S_ISREG(*mode) && !S_ISLNK(*mode)) continue;
    if (auto r = remove_file(at, name); !r && !is_missing(r.error())) return r;
  }
  return {};
}

// Open writers of this process. A child made by fork() inherits their
// descriptors, and its copy of the locked directory descriptor would keep the
// log locked after the parent closes it; the child therefore closes its
// copies at once. Closing never unlocks: a flock belongs to the open file
// description, which the parent's descriptor keeps alive.
class ForkedChild {
 public:
  virtual void forget_descriptors() = 0;

 protected:
  ~ForkedChild() = default;
};

std::mutex g_open_writers_mutex;
std::vector<ForkedChild*>& open_writers() {
  static auto* writers = new std::vector<ForkedChild*>();  // never destroyed: writers may outlive static teardown
  return *writers;
}
// This process's id, refreshed in a forked child: a load instead of a system
// call on every append.
std::atomic<pid_t> g_pid{0};

void before_fork() { g_open_writers_mutex.lock(); }
void after_fork_in_parent() { g_open_writers_mutex.unlock(); }
// Only async-signal-safe work here: getpid and close.
void after_fork_in_child() {
  g_pid.store(::getpid(), std::memory_order_relaxed);
  for (ForkedChild* writer : open_writers()) writer->forget_descriptors();
  g_open_writers_mutex.unlock();
}

// Sets up the fork handlers once; this process's id.
pid_t watch_forks() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_pid.store(::getpid(), std::memory_order_relaxed);
    // Should registration fail (no memory), children would keep the lock
    // until they exit; their appends are still refused.
    (void)::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
  });
  return g_pid.load(std::memory_order_relaxed);
}

}  // namespace

const char* recovery_action_name(RecoveryAction action) {
  switch (action) {
    case RecoveryAction::kFresh: return "Fresh";
    case RecoveryAction::kResumed: return "Resumed";
    case RecoveryAction::kRepaired: return "Repaired";
    case RecoveryAction::kOpenedNextAfterFinalized: return "OpenedNextAfterFinalized";
  }
  return "Unknown";
}

std::optional<std::string> check_ts_wall(std::string_view ts_wall) {
  if (ts_wall.empty() || ts_wall.back() != 'Z') {
    return "ts_wall must end with 'Z' (RFC 3339 UTC); got " + debug_quote(ts_wall);
  }
  // Only ASCII: the finalization record rewrites the milliseconds by byte.
  const bool ascii = std::all_of(ts_wall.begin(), ts_wall.end(), [](char c) { return (c & 0x80) == 0; });
  if (ts_wall.size() != 24 || !ascii) {
    return "ts_wall must be RFC 3339 with ms precision; got " + debug_quote(ts_wall);
  }
  return std::nullopt;
}

struct Writer::State final : ForkedChild {
  State() : opener_pid(watch_forks()) {
    std::lock_guard<std::mutex> hold(g_open_writers_mutex);
    open_writers().push_back(this);
  }
  ~State() {
    std::lock_guard<std::mutex> hold(g_open_writers_mutex);
    auto& writers = open_writers();
    writers.erase(std::find(writers.begin(), writers.end(), this));
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // Every descriptor the state owns.
  void forget_descriptors() override {
    segment.reset();
    lock.reset();
  }

  pid_t opener_pid;
  KeyHandle key;
  SessionId session_id{};
  // The log directory, flock'ed until close. Every file-system call after
  // open works relative to it: the path is never looked up again.
  File lock;
  File segment;
  std::uint16_t segment_index = 0;
  std::uint64_t segment_bytes = kHeaderLen;
  // End of the range whose writeback has been started.
  std::uint64_t written_back = kHeaderLen;
  std::uint64_t writeback_bytes = kDefaultWritebackBytes;
  Mac chain_head{};
  std::uint64_t next_record_id = 0;
  std::uint64_t segment_records = 0;
  std::string last_ts_wall;
  std::uint64_t last_ts_mono_delta = 0;
  // ts_wall of the log's last record, finalization records included, in
  // whichever segment it is; nullopt when the log has none (or, after a
  // reopen, it could not be read back).
  std::optional<std::string> log_last_ts_wall;
  std::uint64_t segment_size_bytes = kDefaultSegmentSizeBytes;
  bool rotation_enabled = true;
  // The current segment ends with its finalization record; the next append
  // must finish the rotation before writing anything.
  bool sealed = false;
  // Set when a sync, or cutting back a failed write, failed: the file's
  // state is unknown until recovery runs again, so all work is refused.
  std::optional<IoError> poisoned;
  Bytes frame;  // reused for every frame

  void start_segment(File file, std::uint16_t index) {
    segment = std::move(file);
    segment_index = index;
    segment_bytes = kHeaderLen;
    written_back = kHeaderLen;
    next_record_id = 0;
    segment_records = 0;
    last_ts_wall.clear();
    last_ts_mono_delta = 0;
    sealed = false;
  }

  // `len`: the record's encoded length when the caller has measured it.
  std::expected<void, WriterError> write_frame(const AppendRecord& record, std::uint64_t record_id,
                                               std::optional<std::size_t> len = std::nullopt);
  std::expected<void, WriterError> begin_segment(std::uint16_t index, const Mac& prev_final);
  std::expected<void, WriterError> rotate();
  std::optional<std::string> step_back_refusal(std::string_view ts_wall, bool rotating) const;
  void read_back_last_ts_wall();
};

// The verifier reports a record stamped more than a minute before the one it
// follows, and a log holding one never verifies again: the refusal text for
// such a ts_wall. A rotation puts the finalization record in between.
std::optional<std::string> Writer::State::step_back_refusal(std::string_view ts_wall, bool rotating) const {
  if (!log_last_ts_wall) return std::nullopt;
  const std::string finalization = rotating && !sealed ? finalization_ts_wall(last_ts_wall) : std::string();
  const std::string& previous = rotating && !sealed ? finalization : *log_last_ts_wall;
  if (ts_wall_to_ms(ts_wall) - ts_wall_to_ms(previous) >= -kMaxTimestampStepBackMs) return std::nullopt;
  return "ts_wall " + debug_quote(ts_wall) + " is more than 60 s earlier than the previous record's " +
         debug_quote(previous);
}

// For a reopened current segment without records: the log's last record is
// the finalization record of the segment before, if that one can be read.
void Writer::State::read_back_last_ts_wall() {
  if (segment_index == 0) return;
  log_last_ts_wall = detail::final_ts_wall(lock, static_cast<std::uint16_t>(segment_index - 1), chain_head, *key);
}

// Creates segment `index` and makes it the current one. A failed sync
// leaves the disk in doubt, so it stops the writer like any other.
std::expected<void, WriterError> Writer::State::begin_segment(std::uint16_t index, const Mac& prev_final) {
  auto file = create_segment(lock, index, key->key_id(), prev_final);
  if (!file) {
    if (file.error().sync_failed) poisoned = file.error().io;
    return io_failure(file.error().io);
  }
  chain_head = chain_start(*key, index, build_header(key->key_id(), prev_final, index));
  start_segment(std::move(*file), index);
  return {};
}

// Writes one record's frame at the end of the segment. After a failed write
// the segment is cut back to its last good length, so a later record never
// lands behind a torn frame (which recovery would cut, taking it along).
std::expected<void, WriterError> Writer::State::write_frame(const AppendRecord& record, std::uint64_t record_id,
                                                            std::optional<std::size_t> measured) {
  frame.clear();
  frame.resize(kFrameLenField);
  if (measured) {
    append_record(frame, record, session_id, key->key_id(), chain_head, record_id, *measured);
  } else {
    append_record(frame, record, session_id, key->key_id(), chain_head, record_id);
  }
  const std::size_t len = frame.size() - kFrameLenField;
  const Mac mac = key->mac(ByteView(frame.data() + kFrameLenField, len));
  frame.insert(frame.end(), mac.begin(), mac.end());
  frame.resize(frame.size() + kFrameLenField);
  store_u32le(frame.data(), static_cast<std::uint32_t>(len));
  store_u32le(frame.data() + frame.size() - kFrameLenField, static_cast<std::uint32_t>(len));

  if (auto w = write_all_at(segment, segment_bytes, frame); !w) {
    if (auto cut = truncate_file(segment, segment_bytes); !cut) poisoned = cut.error();
    return io_failure(w.error());
  }
  segment_bytes += frame.size();
  if (segment_bytes - written_back >= writeback_bytes) {
    start_writeback(segment, written_back, segment_bytes - written_back);
    written_back = segment_bytes;
  }
  chain_head = mac;
  next_record_id += 1;
  segment_records += 1;
  last_ts_wall.assign(record.ts_wall);
  last_ts_mono_delta = record.ts_mono_delta;
  if (log_last_ts_wall) {
    log_last_ts_wall->assign(record.ts_wall);
  } else {
    log_last_ts_wall.emplace(record.ts_wall);
  }
  return {};
}

// Closes the current segment with its finalization record and moves to the
// next one. Once the finalization record is written the segment is sealed:
// a failure after it leaves the writer on the sealed segment, and the next
// append resumes here instead of finalizing twice.
std::expected<void, WriterError> Writer::State::rotate() {
  if (!sealed) {
    const AppendRecord fin = make_finalization_record(last_ts_wall, last_ts_mono_delta, segment_records, chain_head);
    if (auto w = write_frame(fin, next_record_id); !w) return w;
    sealed = true;
    if (auto r = sync_file(segment); !r) {
      poisoned = r.error();
      return io_failure(r.error());
    }
  }
  if (segment_index == kMaxSegmentIndex) return index_overflow();
  return begin_segment(static_cast<std::uint16_t>(segment_index + 1), chain_head);
}

Writer::Writer(std::unique_ptr<State> state) : state_(std::move(state)) {}
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;
Writer::~Writer() = default;

std::expected<Writer::Opened, WriterError> Writer::open(const std::string& dir, KeyHandle key,
                                                        const SessionId& session_id,
                                                        std::optional<std::uint64_t> segment_size_bytes) {
  if (!key) return io_failure(IoError::from_errno(EINVAL));
  if (auto r = create_dir_all(dir, kLogDirMode); !r) return io_failure(r.error());
  auto lock = lock_directory(dir);
  if (!lock) return std::unexpected(lock.error());
  if (auto r = remove_stale_temp_files(*lock); !r) return io_failure(r.error());
  auto indices = list_segments(*lock);
  if (!indices) return io_failure(indices.error());

  auto state = std::make_unique<State>();
  state->key = std::move(key);
  state->session_id = session_id;
  state->lock = std::move(*lock);
  state->segment_size_bytes = segment_size_bytes.value_or(kDefaultSegmentSizeBytes);

  if (indices->empty()) {
    if (auto r = state->begin_segment(0, Mac{}); !r) return std::unexpected(r.error());
    return Opened{Writer(std::move(state)), RecoveryAction::kFresh, 0};
  }

  const std::uint16_t last = indices->back();
  auto remnant = detail::creation_remnant(state->lock, *indices, state->key);
  if (!remnant) return std::unexpected(remnant.error());
  if (*remnant) {
    // Made again as if the crash had come just before its creation.
    if (auto r = state->begin_segment(last, (*remnant)->prev_final); !r) return std::unexpected(r.error());
    state->read_back_last_ts_wall();
    const auto action = last == 0 ? RecoveryAction::kFresh : RecoveryAction::kOpenedNextAfterFinalized;
    return Opened{Writer(std::move(state)), action, (*remnant)->discarded};
  }

  auto scan = detail::scan_segment(state->lock, last, state->key, true);
  if (!scan) return std::unexpected(scan.error());
  state->chain_head = scan->chain_head;
  if (scan->records != 0) state->log_last_ts_wall = scan->last_ts_wall;

  if (scan->finalized) {
    if (last == kMaxSegmentIndex) return index_overflow();
    const auto next = static_cast<std::uint16_t>(last + 1);
    if (auto r = state->begin_segment(next, scan->chain_head); !r) return std::unexpected(r.error());
    return Opened{Writer(std::move(state)), RecoveryAction::kOpenedNextAfterFinalized, scan->truncated_bytes};
  }

  auto file = open_regular_file(At::dir(state->lock), segment_file_name(last), O_RDWR | O_NOFOLLOW);
  if (!file) return io_failure(file.error());
  state->start_segment(std::move(*file), last);
  state->segment_bytes = scan->end_offset;
  state->written_back = scan->end_offset;
  state->next_record_id = scan->last_record_id ? *scan->last_record_id + 1 : 0;
  state->segment_records = scan->records;
  state->last_ts_wall = std::move(scan->last_ts_wall);
  state->last_ts_mono_delta = scan->last_ts_mono_delta;
  if (scan->records == 0) state->read_back_last_ts_wall();
  const auto action = scan->truncated_bytes != 0 ? RecoveryAction::kRepaired : RecoveryAction::kResumed;
  return Opened{Writer(std::move(state)), action, scan->truncated_bytes};
}

std::expected<void, WriterError> Writer::check_process() const {
  if (!is_open()) return io_failure(IoError::from_errno(EBADF));
  if (state_->opener_pid != g_pid.load(std::memory_order_relaxed))
    return std::unexpected(WriterError::forked(state_->opener_pid));
  return {};
}

std::expected<std::uint64_t, WriterError> Writer::append(const AppendRecord& record) {
  if (auto usable = check_process(); !usable) return std::unexpected(usable.error());
  State& s = *state_;
  if (s.poisoned) return io_failure(*s.poisoned);
  if (auto refused = check_ts_wall(record.ts_wall)) return invalid_argument(std::move(*refused));
  if (record.schema_version > kMaxSchemaVersion) {
    return invalid_argument("schema_version " + std::to_string(record.schema_version) + " exceeds 255");
  }
  // Upper bound of the encoding (the widest record_id); nullopt for a
  // payload that no reader would accept.
  const auto estimate = encoded_record_len(record, kWidest);
  if (!estimate) return invalid_argument(kTooDeep);

  bool rotate = s.sealed;
  if (!rotate && s.rotation_enabled && s.segment_records > 0) {
    // Room must remain for this record and a finalization record after it;
    // both sizes are upper bounds, and equality still fits.
    const std::uint64_t probe = encoded_finalization_len(record.ts_wall.size(), record.ts_mono_delta, kWidest, kWidest);
    const std::uint64_t need =
        saturating_add(saturating_add(saturating_add(*estimate, s.segment_bytes), probe), 2 * kFrameOverhead);
    rotate = need > s.segment_size_bytes;
  }
  if (auto refused = s.step_back_refusal(record.ts_wall, rotate)) return invalid_argument(std::move(*refused));
  const std::uint64_t record_id = rotate ? 0 : s.next_record_id;
  // The record_id is the only field the estimate widened.
  const std::uint64_t len = *estimate - head_len(kWidest) + head_len(record_id);
  if (len > MAX_RECORD_LEN) {
    return invalid_argument("record too large: " + std::to_string(len) + " bytes exceeds the 33554432-byte limit");
  }

  if (rotate) {
    if (auto r = s.rotate(); !r) return std::unexpected(r.error());
  }
  if (auto w = s.write_frame(record, record_id, static_cast<std::size_t>(len)); !w) return std::unexpected(w.error());
  return record_id;
}

std::expected<void, WriterError> Writer::flush() {
  if (auto usable = check_process(); !usable) return usable;
  State& s = *state_;
  if (s.poisoned) return io_failure(*s.poisoned);
  if (auto synced = sync_segment_and_dir(s.segment, s.lock, s.segment_index); !synced) {
    s.poisoned = synced.error();
    return io_failure(synced.error());
  }
  return {};
}

void Writer::close() { state_.reset(); }

bool Writer::is_open() const { return state_ != nullptr; }

std::optional<Writer::Head> Writer::head() const {
  // A poisoned writer no longer knows what its file holds.
  if (!state_ || state_->poisoned || state_->next_record_id == 0) return std::nullopt;
  return Head{state_->segment_index, state_->next_record_id - 1, state_->chain_head};
}

const std::optional<std::string>& Writer::last_ts_wall() const {
  static const std::optional<std::string> kNone;
  return state_ ? state_->log_last_ts_wall : kNone;
}

std::uint16_t detail::WriterProbe::segment_index(const Writer& w) { return w.state_ ? w.state_->segment_index : 0; }

std::uint64_t detail::WriterProbe::segment_bytes(const Writer& w) { return w.state_ ? w.state_->segment_bytes : 0; }

const Mac& detail::WriterProbe::chain_head(const Writer& w) {
  static const Mac kNone{};
  return w.state_ ? w.state_->chain_head : kNone;
}

void detail::WriterProbe::set_rotation_enabled(Writer& w, bool enabled) {
  if (w.state_) w.state_->rotation_enabled = enabled;
}

void detail::WriterProbe::set_writeback_bytes(Writer& w, std::uint64_t bytes) {
  if (w.state_) w.state_->writeback_bytes = bytes == 0 ? 1 : bytes;
}

}  // namespace corvane
