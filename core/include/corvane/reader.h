// Key-less reading of a log: segment headers, frames, strict record
// decoding, lookup by position and sequential walks. Proves nothing about
// authenticity; never writes, creates or locks anything.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/errors.h"
#include "corvane/format.h"
#include "corvane/io.h"
#include "corvane/segment.h"

namespace corvane {

// One record as read back. Owned by the caller.
struct StoredRecord {
  // Defined out of line, so that making one in place (as the readers do for
  // each record) sets each member once, without zeroing the whole first.
  StoredRecord();

  std::uint16_t segment_index = 0;
  std::uint64_t byte_offset = 0;  // of the frame's leading length field
  std::uint64_t record_id = 0;
  Mac prev_hash{};
  std::string ts_wall;
  std::uint64_t ts_mono_delta = 0;
  SessionId session_id{};
  std::string actor;
  std::string event;
  PayloadMap payload;
  KeyId key_id{};
  std::uint8_t schema_version = 0;
  Mac hmac{};  // as stored, not checked
  Bytes raw;   // the record's CBOR bytes exactly as stored
};

// One frame of a segment file, framed but not decoded. The views point into
// the reading buffer and stay valid until the next read on the same reader.
struct FrameView {
  std::uint64_t offset = 0;
  ByteView record;                    // the L record bytes
  const std::uint8_t* mac = nullptr;  // 32 bytes
  std::uint64_t next_offset() const { return offset + record.size() + kFrameOverhead; }
};

namespace detail {
class FileWindow;
}  // namespace detail

// An open segment file read through one large reused buffer. The file's
// size is taken afresh only when a frame reaches past the size last seen, so
// frames appended while reading are found without a system call per frame.
class SegmentReader {
 public:
  // Opens segment `index` of `dir` read-only. A missing file is reported as
  // IoError with ENOENT; anything but a regular file (a FIFO, a device, a
  // directory) as IoError::not_regular_file(), without blocking.
  [[nodiscard]] static std::expected<SegmentReader, IoError> open(const std::string& dir, std::uint16_t index);
  explicit SegmentReader(File file, std::uint16_t index);
  SegmentReader(SegmentReader&&) noexcept;
  SegmentReader& operator=(SegmentReader&&) noexcept;
  ~SegmentReader();

  std::uint16_t index() const { return index_; }
  const File& file() const;

  // The reader's header check.
  [[nodiscard]] std::expected<HeaderFacts, ReaderError> check_header();

  // The frame at `offset`: nullopt at or past the end of the file; kTornTail
  // when the frame is incomplete, its two lengths differ or its length
  // exceeds MAX_RECORD_LEN (nothing that long is read); kIo otherwise.
  [[nodiscard]] std::expected<std::optional<FrameView>, ReaderError> read_frame(std::uint64_t offset);

  // The frame at `offset`, decoded strictly. nullopt at the end of the file.
  [[nodiscard]] std::expected<std::optional<StoredRecord>, ReaderError> read_record(std::uint64_t offset);

  // Current length of the file (a fresh query).
  [[nodiscard]] std::expected<std::uint64_t, IoError> refresh_size();

 private:
  std::unique_ptr<detail::FileWindow> window_;  // owns the file
  std::uint16_t index_ = 0;
};

// ---------------------------------------------------------------------------
// The reader operations.

// The segment indices of `dir`, ascending. A listing with a hole (or one
// that does not start at 0) is taken again before it is believed, since a
// listing that races with a rotation can miss the segment being renamed into
// place; a hole still there in the second listing is real.
[[nodiscard]] std::expected<std::vector<std::uint16_t>, ReaderError> reader_list_segments(const std::string& dir);

// Reads and decodes the frame at `offset` of an open segment whose length is
// `file_len`.
[[nodiscard]] std::expected<StoredRecord, ReaderError> read_record_at(const File& file, std::uint16_t segment,
                                                                      std::uint64_t offset, std::uint64_t file_len);

// Decodes the record schema from a decoded item.
[[nodiscard]] std::expected<StoredRecord, ReaderError> decode_stored_record(const CborValue& value,
                                                                            std::uint16_t segment, std::uint64_t offset,
                                                                            ByteView record_bytes,
                                                                            const Mac& stored_hmac);
// Same, taking the decoded item's contents instead of copying them.
[[nodiscard]] std::expected<StoredRecord, ReaderError> decode_stored_record(CborValue&& value, std::uint16_t segment,
                                                                            std::uint64_t offset, ByteView record_bytes,
                                                                            const Mac& stored_hmac);

[[nodiscard]] std::expected<PayloadValue, ReaderError> payload_from_cbor(const CborValue& value, std::uint16_t segment,
                                                                         std::uint64_t offset);

// The first record of segment `segment` whose record_id is `record_id`,
// scanning from the segment's first frame. kRecordNotFound when the segment
// file does not exist or no such record precedes its end.
[[nodiscard]] std::expected<StoredRecord, ReaderError> find_record(const std::string& dir, std::uint16_t segment,
                                                                   std::uint64_t record_id);

// The records of one open segment looked up by record_id 0, 1, 2, ...: each
// lookup answers as find_record would (the first record with that id; damage
// met before it is the error), yet the segment is read once whatever order
// its ids are stored in. Ids met before they are asked for are remembered
// with their frame's offset, so memory grows with the segment's records at
// most.
class SegmentById {
 public:
  explicit SegmentById(SegmentReader reader);
  SegmentById(SegmentById&&) noexcept;
  SegmentById& operator=(SegmentById&&) noexcept;
  ~SegmentById();

  // The first record whose record_id is `record_id`; nullopt when none
  // precedes the end of the file. Ids must be asked for in ascending order
  // (the last one found may be asked for again): a lower id than the one
  // before may be reported missing. An error leaves the position, so asking
  // again meets it again, or what replaced it.
  [[nodiscard]] std::expected<std::optional<StoredRecord>, ReaderError> find(std::uint64_t record_id);

  // Goes on through `reader`, the same segment opened afresh (after an error,
  // so that the file is read anew); what the lookups learnt is kept.
  void reopen(SegmentReader reader);

 private:
  // The record at `offset`, whose frame was read whole before.
  std::expected<std::optional<StoredRecord>, ReaderError> reread(std::uint64_t id, std::uint64_t offset);

  SegmentReader reader_;
  std::uint64_t scanned_ = kHeaderLen;                            // every frame before this offset has been read
  std::optional<std::pair<std::uint64_t, std::uint64_t>> found_;  // id and offset of the last record found
  std::unordered_map<std::uint64_t, std::uint64_t> ahead_;        // id -> first offset, for ids not asked for yet
};

// A sequential walk over every record from segment 0, stopping at the first
// missing index. An error leaves the position, so the next call meets it
// again.
class RecordCursor {
 public:
  [[nodiscard]] static std::expected<RecordCursor, ReaderError> open(const std::string& dir);
  RecordCursor(RecordCursor&&) noexcept;
  RecordCursor& operator=(RecordCursor&&) noexcept;
  ~RecordCursor();

  // The next record, nullopt at the end (and on every call after it).
  [[nodiscard]] std::expected<std::optional<StoredRecord>, ReaderError> next();

 private:
  explicit RecordCursor(std::string dir);
  std::string dir_;
  std::uint16_t current_ = 0;
  bool started_ = false;
  std::unique_ptr<SegmentReader> segment_;
  bool header_checked_ = false;
  std::uint64_t offset_ = kHeaderLen;
};

}  // namespace corvane
