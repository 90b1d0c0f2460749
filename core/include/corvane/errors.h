// Every error type of the core library, with its kinds, typed fields and
// display text. Errors are plain values owned by the caller; context travels
// as fields and the text is built only by to_string(), which is the one text
// of the error: the Python binding shows it unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

// An operating-system I/O failure, or one of the fixed failures that carry no
// error number.
struct IoError {
  enum class Fixed : std::uint8_t {
    kNone,           // `code` holds an errno value
    kUnexpectedEof,  // "failed to fill whole buffer"
    kNulInPath,      // "file name contained an unexpected NUL byte"
    kWriteZero,      // "failed to write whole buffer"
    kNotRegular,     // "not a regular file": a FIFO, device, directory or link where a file belongs
  };
  int code = 0;
  Fixed fixed = Fixed::kNone;

  static IoError from_errno(int code) { return {code, Fixed::kNone}; }
  static IoError unexpected_eof() { return {0, Fixed::kUnexpectedEof}; }
  static IoError nul_in_path() { return {0, Fixed::kNulInPath}; }
  static IoError write_zero() { return {0, Fixed::kWriteZero}; }
  static IoError not_regular_file() { return {0, Fixed::kNotRegular}; }

  // The system's description followed by " (os error N)", or the fixed text.
  std::string to_string() const;
  bool operator==(const IoError&) const = default;
};

// Failures of the canonical CBOR decoder.
struct CborError {
  enum class Kind : std::uint8_t {
    kTruncated,
    kNonCanonical,
    kKeyOrder,
    kUnsupported,
    kTrailingBytes,
    kInvalidUtf8,
  };
  Kind kind = Kind::kTruncated;
  std::uint64_t offset = 0;
  std::uint64_t count = 0;  // kTruncated: bytes needed; kTrailingBytes: bytes left
  std::string message;      // kNonCanonical and kUnsupported

  std::string to_string() const;
  bool operator==(const CborError&) const = default;
};

// Failures of reading a log directory without the key. The binding raises a
// kIo error as the I/O error it wraps, with that error's own text.
struct ReaderError {
  enum class Kind : std::uint8_t {
    kIo,
    kInvalidSegmentHeader,
    kRecordDecode,
    kTornTail,
    kRecordNotFound,
  };
  Kind kind = Kind::kIo;
  IoError io;                   // kIo
  std::uint16_t segment = 0;    // all but kIo
  std::uint64_t offset = 0;     // kRecordDecode, kTornTail: frame offset
  std::uint64_t record_id = 0;  // kRecordNotFound
  std::string message;          // kInvalidSegmentHeader reason, kRecordDecode message

  static ReaderError from_io(IoError e) { return {Kind::kIo, e, 0, 0, 0, {}}; }
  static ReaderError invalid_header(std::uint16_t segment, std::string reason) {
    return {Kind::kInvalidSegmentHeader, {}, segment, 0, 0, std::move(reason)};
  }
  static ReaderError record_decode(std::uint16_t segment, std::uint64_t offset, std::string message) {
    return {Kind::kRecordDecode, {}, segment, offset, 0, std::move(message)};
  }
  static ReaderError torn_tail(std::uint16_t segment, std::uint64_t offset) {
    return {Kind::kTornTail, {}, segment, offset, 0, {}};
  }
  static ReaderError not_found(std::uint16_t segment, std::uint64_t record_id) {
    return {Kind::kRecordNotFound, {}, segment, 0, record_id, {}};
  }

  std::string to_string() const;
  bool operator==(const ReaderError&) const = default;
};

// The verifier could not run at all (damage in a readable log is a violation
// in the report, not an error). The texts of kOpenLogDirectory and kReaderIo
// both begin "verifier could not open log: ".
struct VerifyError {
  enum class Kind : std::uint8_t {
    kOpenLogDirectory,
    kReaderIo,
    kCheckpointKeyMismatch,
  };
  Kind kind = Kind::kOpenLogDirectory;
  ReaderError inner;                  // kOpenLogDirectory, kReaderIo
  std::string log_key_id_hex;         // kCheckpointKeyMismatch
  std::string checkpoint_key_id_hex;  // kCheckpointKeyMismatch

  std::string to_string() const;
  bool operator==(const VerifyError&) const = default;
};

// The header check applied when opening a log for writing.
struct SegmentHeaderError {
  enum class Kind : std::uint8_t { kTooShort, kBadMagic, kUnsupportedVersion, kCrcMismatch };
  Kind kind = Kind::kTooShort;
  std::uint64_t length = 0;             // kTooShort: file length
  std::array<std::uint8_t, 4> magic{};  // kBadMagic
  std::uint16_t version = 0;            // kUnsupportedVersion
  std::uint32_t expected = 0;           // kCrcMismatch: computed
  std::uint32_t got = 0;                // kCrcMismatch: stored

  std::string to_string() const;
  bool operator==(const SegmentHeaderError&) const = default;
};

// Stored data that opening a log for writing must not extend.
struct RecoveryError {
  enum class Kind : std::uint8_t {
    kHeaderCorrupt,
    kHmacMismatch,
    kChainBreak,
    kKeyIdMismatch,
    // A frame that does not frame correctly is followed by frames whose MAC
    // verifies: cutting it would destroy intact records.
    kCorruptFrame,
  };
  Kind kind = Kind::kHeaderCorrupt;
  std::uint16_t segment = 0;
  std::uint64_t record = 0;       // kHmacMismatch, kChainBreak
  std::uint64_t offset = 0;       // kHmacMismatch, kChainBreak, kCorruptFrame
  SegmentHeaderError detail;      // kHeaderCorrupt
  std::string header_key_id_hex;  // kKeyIdMismatch
  std::string caller_key_id_hex;  // kKeyIdMismatch

  std::string to_string() const;
  bool operator==(const RecoveryError&) const = default;
};

// The error of opening a log for writing, appending, rotating and flushing.
struct WriterError {
  enum class Kind : std::uint8_t {
    kIo,
    kInvalidArgument,       // a value the caller passed is refused; `message` says why
    kSegmentIndexOverflow,  // the log has used the last segment index: it cannot grow
    // Recovery met a record whose MAC verifies but whose bytes do not decode
    // (kRecordNotCanonical: `cbor` says why) or do not form a record
    // (kRecordSchema: `message` says why): damage it will not judge.
    kRecordNotCanonical,
    kRecordSchema,
    kRecoveryRefused,
    kLocked,  // another writer holds the log directory's lock
    kForked,  // the writer was opened by another process (this one is a fork of it)
  };
  // Default-initialised, so each kind's factory names only its own fields.
  Kind kind = Kind::kIo;
  IoError io{};                 // kIo
  std::string message{};        // kInvalidArgument, kRecordSchema
  RecoveryError recovery{};     // kRecoveryRefused
  std::int64_t opener_pid = 0;  // kForked
  std::uint16_t segment = 0;    // kRecordNotCanonical, kRecordSchema
  std::uint64_t offset = 0;     // kRecordNotCanonical, kRecordSchema: frame offset
  CborError cbor{};             // kRecordNotCanonical

  static WriterError from_io(IoError e) { return {.kind = Kind::kIo, .io = e}; }
  static WriterError invalid_argument(std::string why) {
    return {.kind = Kind::kInvalidArgument, .message = std::move(why)};
  }
  static WriterError segment_index_overflow() { return {.kind = Kind::kSegmentIndexOverflow}; }
  static WriterError record_not_canonical(std::uint16_t segment, std::uint64_t offset, CborError e) {
    return {.kind = Kind::kRecordNotCanonical, .segment = segment, .offset = offset, .cbor = std::move(e)};
  }
  static WriterError record_schema(std::uint16_t segment, std::uint64_t offset, std::string why) {
    return {.kind = Kind::kRecordSchema, .message = std::move(why), .segment = segment, .offset = offset};
  }
  static WriterError refused(RecoveryError r) { return {.kind = Kind::kRecoveryRefused, .recovery = std::move(r)}; }
  static WriterError locked() { return {.kind = Kind::kLocked}; }
  static WriterError forked(std::int64_t opener_pid) { return {.kind = Kind::kForked, .opener_pid = opener_pid}; }

  // kIo: the I/O error's text; kInvalidArgument: the reason;
  // kSegmentIndexOverflow: "segment_index overflow (u16)"; kRecoveryRefused:
  // "recovery refused: " and the recovery error's text; kLocked: "log
  // directory is locked by another writer"; kForked: "Writer was opened by
  // process {} and cannot be used after fork; open a new Writer in this process".
  std::string to_string() const;
  bool operator==(const WriterError&) const = default;
};

// Key material of the wrong size found in the keychain.
struct InvalidKeyLength {
  std::uint64_t expected = 0;
  std::uint64_t got = 0;
  std::string to_string() const;
  bool operator==(const InvalidKeyLength&) const = default;
};

// Failures of the operating system's key store.
struct KeychainError {
  enum class Kind : std::uint8_t { kNoEntry, kInvalidStoredKey, kRandomSource, kBackend };
  Kind kind = Kind::kNoEntry;
  std::string service;       // kNoEntry
  std::string account;       // kNoEntry
  InvalidKeyLength invalid;  // kInvalidStoredKey
  IoError random;            // kRandomSource
  std::string backend;       // kBackend: the store's own text

  std::string to_string() const;
  bool operator==(const KeychainError&) const = default;
};

}  // namespace corvane
