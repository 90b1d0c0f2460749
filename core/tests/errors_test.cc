// Display texts of the error kinds no other test produces in full: they are
// part of the interface (the Python binding shows them as they are).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "corvane/errors.h"

namespace corvane {
namespace {

TEST(ErrorTexts, EveryKindOfEveryTypeHasItsExactText) {
  using CK = CborError::Kind;
  using SK = SegmentHeaderError::Kind;
  using RK = RecoveryError::Kind;  using KK = KeychainError::Kind;
  const std::string kMax = "18446744073709551615", kHexA(64, 'a'), kHexB(64, 'b'),
                    tampering = " \u2014 log shows in-place tampering, refusing to extend";
  // clang-format off
  const struct { std::string got; std::string want; } rows[] = {
      {IoError::nul_in_path().to_string(), "file name contained an unexpected NUL byte"},
      {IoError::write_zero().to_string(), "failed to write whole buffer"},
      {CborError{CK::kTruncated, 9, ~0ull, {}}.to_string(), "CBOR truncated at offset 9: needed " + kMax + " more bytes"},
      {CborError{CK::kNonCanonical, 0, 0, "u8"}.to_string(), "CBOR non-canonical at offset 0: u8"},
      {CborError{CK::kKeyOrder, 3, 0, {}}.to_string(), "CBOR map keys not in canonical order at offset 3"},
      {CborError{CK::kUnsupported, 7, 0, "x"}.to_string(), "CBOR unsupported item at offset 7: x"},
      {CborError{CK::kInvalidUtf8, 4, 0, {}}.to_string(), "CBOR text string not valid UTF-8 at offset 4"},
      {SegmentHeaderError{SK::kBadMagic, 0, {1, 2, 3, 4}, 0, 0, 0}.to_string(), "segment header magic mismatch: got [1, 2, 3, 4]"},
      {SegmentHeaderError{SK::kUnsupportedVersion, 0, {}, 0xBEF, 0, 0}.to_string(), "unsupported segment-header version: 0x0bef"},
      {SegmentHeaderError{SK::kCrcMismatch, 0, {}, 0, 0xAB, 0xDEADBEEF}.to_string(), "segment header CRC32 mismatch: expected 0x000000ab, got 0xdeadbeef"},
      {RecoveryError{RK::kHeaderCorrupt, 4, 0, 0, SegmentHeaderError{SK::kTooShort, 79, {}, 0, 0, 0}, {}, {}}.to_string(), "header corrupt in segment 4: segment header too short: 79 bytes"},
      {WriterError::refused(RecoveryError{RK::kHmacMismatch, 1, 2, 120, {}, {}, {}}).to_string(), "recovery refused: HMAC mismatch at segment 1, record 2 (file offset 120)" + tampering},
      {RecoveryError{RK::kChainBreak, 0, ~0ull, 80, {}, {}, {}}.to_string(), "chain break at segment 0, record " + kMax + " (file offset 80)" + tampering},
      {RecoveryError{RK::kKeyIdMismatch, 5, 0, 0, {}, kHexA, kHexB}.to_string(), "key_id mismatch in segment 5: header has " + kHexA + ", caller's key handle is " + kHexB},
      {RecoveryError{RK::kCorruptFrame, 2, 0, 4096, {}, {}, {}}.to_string(), "corrupt frame at segment 2, offset 4096 is followed by intact records \u2014 refusing to cut them"},
      {WriterError::from_io(IoError::from_errno(ENOENT)).to_string(), "No such file or directory (os error 2)"},
      {WriterError::locked().to_string(), "log directory is locked by another writer"},
      {KeychainError{KK::kNoEntry, "svc", "a\"b", {}, {}, {}}.to_string(), "no keychain entry at service=\"svc\", account=\"a\\\"b\""},
      {KeychainError{KK::kRandomSource, {}, {}, {}, IoError::from_errno(EIO), {}}.to_string(), "OS CSPRNG returned an error generating a fresh key: Input/output error (os error 5)"},
      {KeychainError{KK::kBackend, {}, {}, {}, {}, "no name"}.to_string(), "OS keychain backend error: no name"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(r.got, r.want);
}

}  // namespace
}  // namespace corvane
