// The verifier's one-pass record scan against the full decoder: whatever the
// scan accepts, the decoder must accept and read the same fields from.
#include <gtest/gtest.h>

#include "corvane/record.h"
#include "support/format_testkit.h"
#include "support/test_util.h"
#include "verifier/record_fields.h"

namespace corvane {
namespace {

// Ok when the scan either declines `bytes` or agrees with the full decoder.
::testing::AssertionResult agrees(const Bytes& bytes) {
  detail::RecordFields fast;
  if (!detail::scan_record(bytes, fast)) return ::testing::AssertionSuccess();
  if (auto valid = validate_canonical(bytes); !valid) {
    return ::testing::AssertionFailure() << "scan accepted what the decoder refuses: " << valid.error().to_string();
  }
  auto slow = detail::read_record_fields(bytes);
  if (!slow) return ::testing::AssertionFailure() << "scan accepted a record map the reader refuses: " << slow.error();
  if (fast.record_id != slow->record_id || fast.prev_hash != slow->prev_hash || fast.ts_wall != slow->ts_wall ||
      fast.session_id != slow->session_id || fast.key_id != slow->key_id) {
    return ::testing::AssertionFailure() << "scan read other fields than the reader";
  }
  return ::testing::AssertionSuccess();
}

TEST(RecordScan, AcceptsOnlyWhatTheDecoderAcceptsAndReadsTheSameFields) {
  format_testkit::PayloadGen gen(7);
  Mac prev;
  KeyId key_id;
  for (std::size_t i = 0; i < 32; ++i) prev[i] = static_cast<std::uint8_t>(i * 13), key_id[i] = static_cast<std::uint8_t>(255 - i);
  int mutations = 0;
  for (int n = 0; n < 40; ++n) {
    AppendRecord r;
    r.ts_wall = n % 5 == 0 ? gen.text() : "2024-05-01T12:00:00.000Z";
    r.actor = gen.text();
    r.event = gen.text();
    r.ts_mono_delta = gen.uint();
    r.payload = gen.map(n % 4);
    r.schema_version = static_cast<std::uint32_t>(gen.uint() % 300);
    const Bytes record = encode_record(r, testing::test_session(), key_id, prev, gen.uint());
    // The writer's records take the fast path, unless a payload map has a key
    // the scan leaves to the decoder.
    detail::RecordFields fields;
    EXPECT_TRUE(detail::scan_record(record, fields)) << n;
    ASSERT_TRUE(agrees(record)) << n;
    for (std::size_t at = 0; at < record.size(); ++at) {
      for (std::uint8_t mask : {0x01, 0x02, 0x08, 0x20, 0x40, 0x80, 0xff}) {
        Bytes damaged = record;
        damaged[at] ^= mask;
        ASSERT_TRUE(agrees(damaged)) << n << " byte " << at << " mask " << int(mask);
        ++mutations;
      }
      Bytes shorter(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(at));
      ASSERT_TRUE(agrees(shorter)) << n << " cut at " << at;
      Bytes longer = record;
      longer.insert(longer.begin() + static_cast<std::ptrdiff_t>(at), 0x00);
      ASSERT_TRUE(agrees(longer)) << n << " zero inserted at " << at;
    }
  }
  EXPECT_GT(mutations, 10000);

  // Nesting: the payload map sits at depth 1, so 13 arrays around an integer
  // reach depth 15, the deepest there is; 14 go one too deep.
  for (unsigned levels : {13u, 14u}) {
    AppendRecord r;
    r.ts_wall = "2024-05-01T12:00:00.000Z";
    r.payload.insert_or_assign("d", format_testkit::nested_arrays(levels));
    const Bytes record = encode_record(r, testing::test_session(), key_id, prev, 0);
    detail::RecordFields fields;
    EXPECT_EQ(detail::scan_record(record, fields), levels == 13);
    EXPECT_EQ(validate_canonical(record).has_value(), levels == 13);
  }
}

}  // namespace
}  // namespace corvane
