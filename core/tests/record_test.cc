// Record encoding, its length computed without encoding (the writer's size
// estimate depends on it), the finalization record, and the verifier's
// one-pass record scan against the full decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "corvane/cbor.h"
#include "corvane/key.h"
#include "corvane/record.h"
#include "support/format_testkit.h"
#include "verifier/record_fields.h"

namespace corvane {
namespace {

using namespace format_testkit;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kRecordIds[] = {0, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFF, 0x100000000, kU64Max};

const SessionId kSession = [] { SessionId a; a.fill(0x22); return a; }();
const KeyId kKeyId = [] { KeyId a; a.fill(0x33); return a; }();
const Mac kPrev = [] { Mac a; a.fill(0x11); return a; }();

// A golden record byte for byte; then random records, with texts and schema
// versions at every head-size boundary, and every record_id width.
TEST(RecordEncoding, GoldenRecordIsByteExactAndLengthsAreKnownWithoutEncoding) {
  const AppendRecord golden{"2024-01-01T12:00:00.123Z", "alice", "login", 1000,
                            Map({{"ip", T("10.0.0.1")}, {"ok", Bool(true)}, {"n", N(-2)}}), 1};
  EXPECT_EQ(to_hex(encode_record(golden, kSession, kKeyId, kPrev, 5)),
            "aa0105025820" + std::string(64, '1') + "037818323032342d30312d30315431323a30303a30302e3132335a041903e80550" +
                std::string(32, '2') + "0665616c69636507656c6f67696e08a3616e216269706831302e302e302e31626f6bf5095820" +
                std::string(64, '3') + "0a01");
  PayloadGen gen(0xA0D17);
  constexpr std::size_t kTextLens[] = {0, 23, 24, 255, 256, 65535, 65536};
  constexpr std::uint32_t kSchemas[] = {0, 1, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFF};
  auto text = [&] { return gen.rng()() % 4 ? gen.text() : std::string(kTextLens[gen.rng()() % 7], 'x'); };
  for (int i = 0; i < 300; ++i) {
    const AppendRecord r{text(), text(), text(), gen.uint(), gen.map(4), kSchemas[gen.rng()() % 9]};
    for (std::uint64_t id : kRecordIds) {
      const Bytes bytes = encode_record(r, kSession, kKeyId, kPrev, id);
      Bytes appended = {0xEE};  // appended, not overwritten
      append_record(appended, r, kSession, kKeyId, kPrev, id);
      ASSERT_EQ(std::tuple(encoded_record_len(r, id), Bytes(appended.begin() + 1, appended.end()), record_id_of(bytes)),
                std::tuple(bytes.size(), bytes, id)) << i << " " << id;
    }
  }
}

TEST(Finalization, RecordCarriesCountAndFinalHashAndItsLengthIsKnown) {
  const Mac& hash = kPrev;
  const AppendRecord f = make_finalization_record("2024-01-01T12:00:00.123Z", 41, 7, hash);
  EXPECT_EQ(std::tie(f.ts_wall, f.actor, f.event, f.ts_mono_delta, f.schema_version, f.payload),
            std::tuple("2024-01-01T12:00:00.124Z", "system:audit", "segment.finalized", 42u, 1u,
                       Map({{"records", U(7)}, {"final_hash", B(Bytes(hash.begin(), hash.end()))}})));
  // ts_mono_delta saturates.
  for (const std::uint64_t mono : {kU64Max, kU64Max - 1}) EXPECT_EQ(make_finalization_record("x", mono, 0, hash).ts_mono_delta, kU64Max);
  for (std::size_t ts_len : {0, 5, 20, 23, 24, 25, 255, 256})
    for (std::uint64_t mono : {0ul, 22ul, 23ul, 254ul, 65535ul, kU64Max - 1, kU64Max})
      for (std::uint64_t records : {0ul, 23ul, 24ul, 0x100000000ul, kU64Max})
        for (std::uint64_t id : kRecordIds) {
          const AppendRecord fin = make_finalization_record(std::string(ts_len, '9'), mono, records, hash);
          ASSERT_EQ(encoded_finalization_len(ts_len, mono, records, id), encode_record(fin, kSession, kKeyId, hash, id).size())
              << ts_len << " " << mono << " " << records << " " << id;
        }
  // The time moves one millisecond without leaving the second: bytes 0..19
  // are kept and Z is written; a leading plus sign is read as in the
  // file-name parse, and anything else that is not a number, anything not 24
  // bytes long, or a character across bytes 19 and 20 keeps the text.
  const std::string kSec = "2024-01-01T12:00:00.";
  const struct { std::string last; std::string want; } rows[] = {
      {"123Z", "124Z"}, {"998Z", "999Z"}, {"999Z", "999Z"}, {"009Z", "010Z"}, {"099Z", "100Z"}, {"+12Z", "013Z"}, {"+99Z", "100Z"},
      {"abcZ", "abcZ"}, {"1a3Z", "1a3Z"}, {"-12Z", "-12Z"}, {" 12Z", " 12Z"}, {"++1Z", "++1Z"}, {"\u00e91Z", "\u00e91Z"},
      {"123X", "124Z"}, {"1234Z", "1234Z"}, {"Z", "Z"},
  };
  for (const auto& r : rows) EXPECT_EQ(finalization_ts_wall(kSec + r.last), kSec + r.want) << r.last;
  for (std::string ts : {"", "2024-01-01T12:00:00\u00e912Z"}) EXPECT_EQ(finalization_ts_wall(ts), ts);
}

// The verifier's one-pass scan either declines a record or reads the same
// fields as the full decoder, over every damage of small records. (That the
// writer's records take it, up to the depth limit and not past it, the
// record_decode fuzz target checks on its seeds.)
TEST(RecordScan, AcceptsOnlyWhatTheDecoderAcceptsAndReadsTheSameFields) {
  const auto agrees = [](const Bytes& bytes) {
    detail::RecordFields fast;
    const auto slow = detail::read_record_fields(bytes);
    const auto tie = [](const detail::RecordFields& f) { return std::tie(f.record_id, f.prev_hash, f.ts_wall, f.session_id, f.key_id); };
    return !detail::scan_record(bytes, fast) || (validate_canonical(bytes) && slow && tie(fast) == tie(*slow));
  };
  PayloadGen gen(7);
  for (int n = 0; n < 40; ++n) {
    const AppendRecord r{n % 5 == 0 ? gen.text() : "2024-05-01T12:00:00.000Z", gen.text(), gen.text(), gen.uint(), gen.map(n % 4),
                         static_cast<std::uint32_t>(gen.uint() % 300)};
    const Bytes record = encode_record(r, kSession, kKeyId, kPrev, gen.uint());
    const auto flipped = [&](std::size_t at, std::uint8_t mask) {
      Bytes d = record;
      d[at] ^= mask;
      return d;
    };
    for (std::size_t at = 0; at < record.size(); ++at) {
      Bytes longer = record;
      longer.insert(longer.begin() + static_cast<std::ptrdiff_t>(at), 0x00);
      ASSERT_TRUE(agrees(Bytes(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(at))) && agrees(longer)) << n << " at " << at;
      for (std::uint8_t mask : {0x01, 0x02, 0x08, 0x20, 0x40, 0x80, 0xff})
        ASSERT_TRUE(agrees(flipped(at, mask))) << n << " byte " << at << " mask " << int(mask);
    }
  }
}

}  // namespace
}  // namespace corvane
