#include "corvane/errors.h"

#include <cstdio>
#include <cstring>

#include "corvane/quote.h"
#include "text.h"

namespace corvane {

using detail::bracketed_decimal;
using detail::cat;
using detail::hex4;
using detail::hex8;

namespace {

std::string os_error_text(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return cat(text, " (os error ", code, ")");
}

}  // namespace

std::string IoError::to_string() const {
  switch (fixed) {
    case Fixed::kNone: return os_error_text(code);
    case Fixed::kUnexpectedEof: return "failed to fill whole buffer";
    case Fixed::kNulInPath: return "file name contained an unexpected NUL byte";
    case Fixed::kWriteZero: return "failed to write whole buffer";
    case Fixed::kNotRegular: return "not a regular file";
  }
  return {};
}

std::string CborError::to_string() const {
  switch (kind) {
    case Kind::kTruncated: return cat("CBOR truncated at offset ", offset, ": needed ", count, " more bytes");
    case Kind::kNonCanonical: return cat("CBOR non-canonical at offset ", offset, ": ", message);
    case Kind::kKeyOrder: return cat("CBOR map keys not in canonical order at offset ", offset);
    case Kind::kUnsupported: return cat("CBOR unsupported item at offset ", offset, ": ", message);
    case Kind::kTrailingBytes: return cat("CBOR trailing bytes at offset ", offset, ": ", count, " bytes unconsumed");
    case Kind::kInvalidUtf8: return cat("CBOR text string not valid UTF-8 at offset ", offset);
  }
  return {};
}

std::string ReaderError::to_string() const {
  switch (kind) {
    case Kind::kIo: return "I/O error: " + io.to_string();
    case Kind::kInvalidSegmentHeader: return cat("invalid header at segment ", segment, ": ", message);
    case Kind::kRecordDecode: return cat("record decode error at segment ", segment, " offset ", offset, ": ", message);
    case Kind::kTornTail: return cat("torn tail at segment ", segment, " offset ", offset);
    case Kind::kRecordNotFound: return cat("record not found: segment ", segment, ", record_id ", record_id);
  }
  return {};
}

std::string VerifyError::to_string() const {
  switch (kind) {
    case Kind::kOpenLogDirectory: return "verifier could not open log: open log directory: " + inner.to_string();
    case Kind::kReaderIo: return "verifier could not open log: reader I/O: " + inner.to_string();
    case Kind::kCheckpointKeyMismatch:
      return cat("checkpoint belongs to a different log: checkpoint key_id ", checkpoint_key_id_hex, ", log key_id ",
                 log_key_id_hex);
  }
  return {};
}

std::string SegmentHeaderError::to_string() const {
  switch (kind) {
    case Kind::kTooShort: return cat("segment header too short: ", length, " bytes");
    case Kind::kBadMagic: return "segment header magic mismatch: got " + bracketed_decimal(magic);
    case Kind::kUnsupportedVersion: return cat("unsupported segment-header version: 0x", hex4(version));
    case Kind::kCrcMismatch:
      return cat("segment header CRC32 mismatch: expected 0x", hex8(expected), ", got 0x", hex8(got));
  }
  return {};
}

std::string RecoveryError::to_string() const {
  switch (kind) {
    case Kind::kHeaderCorrupt: return cat("header corrupt in segment ", segment, ": ", detail.to_string());
    case Kind::kHmacMismatch:
      return cat("HMAC mismatch at segment ", segment, ", record ", record, " (file offset ", offset,
                 ") \u2014 log shows in-place tampering, refusing to extend");
    case Kind::kChainBreak:
      return cat("chain break at segment ", segment, ", record ", record, " (file offset ", offset,
                 ") \u2014 log shows in-place tampering, refusing to extend");
    case Kind::kKeyIdMismatch:
      return cat("key_id mismatch in segment ", segment, ": header has ", header_key_id_hex,
                 ", caller's key handle is ", caller_key_id_hex);
    case Kind::kCorruptFrame:
      return cat("corrupt frame at segment ", segment, ", offset ", offset,
                 " is followed by intact records \u2014 refusing to cut them");
  }
  return {};
}

std::string WriterError::to_string() const {
  switch (kind) {
    case Kind::kIo: return io.to_string();
    case Kind::kInvalidArgument: return message;
    case Kind::kSegmentIndexOverflow: return "segment_index overflow (u16)";
    case Kind::kRecordNotCanonical:
      return cat("scan_segment_for_recovery: decoded record at offset ", offset,
                 " passed HMAC but failed canonical CBOR decode: ", cbor.to_string());
    case Kind::kRecordSchema:
      return cat("scan_segment_for_recovery: record at segment ", segment, ", offset ", offset,
                 " passed HMAC but failed v0.1 schema parse: ", message);
    case Kind::kRecoveryRefused: return "recovery refused: " + recovery.to_string();
    case Kind::kLocked: return "log directory is locked by another writer";
    case Kind::kForked:
      return cat("Writer was opened by process ", opener_pid,
                 " and cannot be used after fork; open a new Writer in this process");
  }
  return {};
}

std::string InvalidKeyLength::to_string() const {
  return cat("invalid key length: expected ", expected, " bytes, got ", got);
}

std::string KeychainError::to_string() const {
  switch (kind) {
    case Kind::kNoEntry:
      return cat("no keychain entry at service=", debug_quote(service), ", account=", debug_quote(account));
    case Kind::kInvalidStoredKey:
      return "stored keychain entry is not a valid 32-byte HMAC key: " + invalid.to_string();
    case Kind::kRandomSource: return "OS CSPRNG returned an error generating a fresh key: " + random.to_string();
    case Kind::kBackend: return "OS keychain backend error: " + backend;
  }
  return {};
}

}  // namespace corvane
