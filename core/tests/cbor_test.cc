// The canonical CBOR codec: byte-exact encoding, the strict decoder's exact
// errors and offsets, the depth limit, hostile heads, payload maps and the
// debug form.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "corvane/cbor.h"
#include "corvane/quote.h"
#include "corvane/record.h"
#include "support/format_testkit.h"

namespace corvane {
namespace {

using namespace format_testkit;
using Kind = CborError::Kind;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

CborError Trunc(std::uint64_t off, std::uint64_t need) { return {Kind::kTruncated, off, need, {}}; }
CborError Long(std::uint64_t off, std::string width, std::uint64_t arg, std::string form) {
  return {Kind::kNonCanonical, off, 0, width + " arg " + std::to_string(arg) + " should fit in " + form + " form"};
}
CborError KeyOrd(std::uint64_t off) { return {Kind::kKeyOrder, off, 0, {}}; }
CborError Unsup(std::uint64_t off, std::string m) { return {Kind::kUnsupported, off, 0, std::move(m)}; }
CborError Trail(std::uint64_t off, std::uint64_t n) { return {Kind::kTrailingBytes, off, n, {}}; }
CborError BadUtf8(std::uint64_t off) { return {Kind::kInvalidUtf8, off, 0, {}}; }
CborError Simple(std::uint64_t off, int v) { return Unsup(off, "major 7 simple value " + std::to_string(v) + " unsupported at v0.1"); }
CborError Indef(std::uint64_t off, int v) {
  return Unsup(off, "indefinite-length / reserved additional info " + std::to_string(v) + " not supported at v0.1");
}
CborError Tag(std::uint64_t off) { return Unsup(off, "major type 6 unsupported at v0.1"); }
CborError Depth(std::uint64_t off) { return Unsup(off, "CBOR nesting depth exceeded MAX_CBOR_DEPTH=16"); }

std::string Rep(std::string_view s, int n) { return n > 0 ? std::string(s) + Rep(s, n - 1) : ""; }

std::string Show(const std::expected<CborValue, CborError>& r) { return r ? debug_string(*r) : r.error().to_string(); }
template <class T>
std::optional<CborError> Err(const std::expected<T, CborError>& r) { return r ? std::nullopt : std::optional(r.error()); }

// The RFC 8949 Appendix A examples are the cbor_decode fuzz target's seeds,
// re-encoded there byte for byte. Here: keys of every kind in order, 15
// levels (one short of the limit), every kind's debug form at its extremes,
// and maps of encoded values.
TEST(CborEncode, CanonicalKeysOfEveryKindDecodeAndKeyedMapsSortTheirKeys) {
  const std::pair<std::string, std::string> others[] = {
      {"a3 00f4 20f5 616140", "Map([(Uint(0), Bool(false)), (Nint(-1), Bool(true)), (Text(\"a\"), Bytes([]))])"},
      {"a2 181800 616100", "Map([(Uint(24), Uint(0)), (Text(\"a\"), Uint(0))])"},
      {"a1 8100 a0", "Map([(Array([Uint(0)]), Map([]))])"}, {Rep("81", 15) + "00", Rep("Array([", 15) + "Uint(0)" + Rep("])", 15)},
      {"a2 646122620a 83 3b7fffffffffffffff 430102ff f4 1bffffffffffffffff a0",
       "Map([(Text(\"a\\\"b\\n\"), Array([Nint(-9223372036854775808), Bytes([1, 2, 255]), Bool(false)])), (Uint(18446744073709551615), Map([]))])"},
  };
  for (const auto& [hex, debug] : others) EXPECT_TRUE(Show(decode_canonical(from_hex(hex))) == debug && validate_canonical(from_hex(hex))) << hex;
  // Already-encoded values are placed as given; keys sort canonically.
  EXPECT_EQ(encode_text_keyed_map({{"aa", {0x01}}, {"b", {0x02}}}), from_hex("a2 6162 02 626161 01"));
  EXPECT_EQ(encode_uint_keyed_map({{24, {0x01}}, {3, {0x02}}, {1000, {0x03}}}), from_hex("a3 0302 181801 1903e803"));
}

// ---------------------------------------------------------------------------
// Decoding

TEST(CborDecode, DecodeItemMovesPastEachItemAndRecordIdOfReadsOnlyWholeRecords) {
  const Bytes buf = from_hex("00 8100 6161 18");
  std::size_t pos = 0, at6 = 6, at1 = 1;
  EXPECT_EQ((std::tuple{Show(decode_item(buf, pos, 0)), Show(decode_item(buf, pos, 0)), decode_item(buf, pos, 0, nullptr).has_value()}),
            std::tuple("Uint(0)", "Array([Uint(0)])", true));
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(decode_item(buf, pos, 0).error(), Trunc(6, 1));
  // The depth test comes before the input is looked at.
  EXPECT_EQ(std::tuple(Err(decode_item(buf, at6, 16)), Err(decode_item(buf, at1, 15))), std::tuple(Depth(6), Depth(2)));
  // Only a whole, canonical map with a uint under key 1 has a record id:
  // trailing bytes, other kinds and other keys give none.
  const struct { const char* hex; std::optional<std::uint64_t> want; } rows[] = {
      {"a101182a", 42}, {"a2000501 1bffffffffffffffff", kU64Max}, {"a0", {}}, {"a1016178", {}}, {"a10205", {}},
      {"a12005", {}}, {"8101", {}}, {"a1010500", {}}, {"a101", {}}, {"", {}}, {"a1011805", {}},
  };
  for (const auto& r : rows) EXPECT_EQ(record_id_of(from_hex(r.hex)), r.want) << r.hex;
}

// decode_canonical, validate_canonical and both forms of decode_item give the
// same error (trailing bytes aside, which decode_item does not check).
TEST(CborDecodeErrors, EveryInputFailsWithItsExactErrorThroughEveryEntryPoint) {
  // Inputs grouped by the exact error they must give.
  const struct { CborError want; std::vector<std::string> inputs; } groups[] = {
      // RFC 8949 Appendix A examples outside the subset: -2^64, bignums and
      // other tags, floats, null, undefined, simple(16), simple(255), and
      // indefinite lengths (also nested).
      {Unsup(0, "negative integer below i64::MIN"), {"3bffffffffffffffff", "3b8000000000000000"}},
      {Tag(0), {"c249010000000000000000", "c11a514b67b0", "d818456449455446", "c0", "dc"}},
      {Simple(0, 25), {"f93c00", "f9"}}, {Simple(0, 26), {"fa47c35000"}}, {Simple(0, 27), {"fb3ff199999999999a"}}, {Simple(0, 22), {"f6"}},
      {Simple(0, 23), {"f7"}}, {Simple(0, 16), {"f0"}}, {Simple(0, 24), {"f8ff", "f814"}}, {Simple(0, 0), {"e0"}}, {Simple(0, 19), {"f3"}},
      {Simple(0, 28), {"fc"}}, {Simple(0, 31), {"ff"}}, {Simple(2, 22), {"8200f6"}}, {Indef(1, 31), {"a1bf"}}, {Indef(0, 28), {"1c"}},
      {Indef(0, 31), {"5f42010243030405ff", "7f657374726561646d696e67ff", "9fff", "bf61610161629f0203ffff", "3f"}},
      {Indef(5, 31), {"83018202039f0405ff"}}, {Indef(2, 31), {"83019f0203ff820405"}}, {Indef(3, 31), {"826161bf61626163ff"}},
      {Indef(0, 29), {"5d00"}}, {Indef(0, 30), {"3e"}},
      // Depth: the top-level item is depth 0; an item at depth 16 is refused,
      // so 15 nested arrays around an int decode (above) and 16 or 17 do not.
      {Depth(16), {Rep("81", 16) + "00", Rep("81", 17) + "00", Rep("81", 16), Rep("81", 15) + "a10000"}},
      {Depth(31), {Rep("a100", 16) + "00"}},
      // Shortest form, checked before any content is read.
      {Long(0, "u8", 5, "inline"), {"1805", "5805"}}, {Long(1, "u8", 5, "inline"), {"811805"}}, {Long(0, "u8", 23, "inline"), {"1817"}},
      {Long(0, "u8", 0, "inline"), {"3800", "9800"}}, {Long(0, "u8", 1, "inline"), {"5801ff"}}, {Long(1, "u8", 1, "inline"), {"a1180100"}},
      {Long(0, "u16", 255, "u8"), {"1900ff"}}, {Long(0, "u16", 0, "u8"), {"190000"}}, {Long(0, "u16", 1, "u8"), {"79000161"}},
      {Long(0, "u32", 65535, "u16"), {"1a0000ffff"}}, {Long(0, "u64", 4294967295, "u32"), {"1b00000000ffffffff"}},
      // Key order, at the offending key, before its value is decoded: uint
      // keys descending or repeated, -1 before 0, text keys longer-first,
      // descending, repeated, compared as unsigned bytes, and a nested map.
      {KeyOrd(3), {"a202000100", "a201000100", "a220000000", "a2020001f6"}},
      {KeyOrd(4), {"a2616200616100", "a2616100616100", "a261610001 00"}},
      {KeyOrd(5), {"a2626161006162 00", "a262c3a900626162 00", "8200a202000100"}},
      // Truncation: where the missing bytes start and how many. Heads that
      // declare 2^32 or 2^64-1 items or bytes must not allocate for them.
      {Trunc(0, 1), {""}}, {Trunc(1, 1), {"18", "1901", "62c3"}}, {Trunc(1, 7), {"1b00"}}, {Trunc(1, 2), {"4361"}},
      {Trunc(2, 1), {"8201", "a101"}}, {Trunc(9, kU64Max), {"5bffffffffffffffff"}}, {Trunc(6, 1), {"9affffffff00"}},
      {Trunc(9, kU64Max - 2), {"5bffffffffffffffff0000", "7bfffffffffffffffe61"}},
      {Trunc(11, 1), {"9b00000001000000000102", "bb000000010000000000f5"}},
      {Trunc(10, 1), {"9bffffffffffffffff00", "bbffffffffffffffff00"}},
      // Trailing bytes are never decoded, whatever they hold.
      {Trail(1, 1), {"0000", "a0ff"}}, {Trail(1, 2), {"800102"}}, {BadUtf8(3), {"820062c328"}}, {BadUtf8(2), {"a161ff00"}},
      // UTF-8: bad continuation, overlong forms, surrogate, above U+10FFFF,
      // lone continuation, cut sequence, 0xFF; offset of the first content byte.
      {BadUtf8(1), {"62c328", "62c080", "63e08080", "63eda080", "64f4908080", "6180", "61e6", "61ff"}},
  };
  for (const auto& [error, inputs] : groups) {
    for (const auto& hex : inputs) {
      SCOPED_TRACE(hex + " -> " + error.to_string());
      const Bytes bytes = from_hex(hex);
      const bool trailing = error.kind == Kind::kTrailingBytes;
      const std::optional<CborError> want = error, item = trailing ? std::nullopt : want;
      std::size_t pos = 0, pos_quiet = 0;
      EXPECT_EQ((std::tuple{Err(decode_canonical(bytes)), Err(validate_canonical(bytes)), Err(decode_item(bytes, pos, 0)),
                            Err(decode_item(bytes, pos_quiet, 0, nullptr))}), std::tuple(want, want, item, item));
      EXPECT_TRUE(!trailing || (pos == error.offset && pos_quiet == error.offset)) << pos << " " << pos_quiet;
    }
  }
}

// ---------------------------------------------------------------------------
// Payload maps: bytewise in memory, canonical key order when encoded

TEST(PayloadMapOrder, LastDuplicateWinsAndInsertKeepsOrder) {
  PayloadMap m = PayloadMap::from_unsorted({{"k", U(1)}, {"j", U(0)}, {"k", U(2)}, {"k", U(3)}});
  EXPECT_TRUE(m.size() == 2 && m.find("k") && *m.find("k") == U(3) && m.find("x") == nullptr);
  m.insert_or_assign("z", U(9));
  m.insert_or_assign("k", Bool(true));
  m.insert_or_assign("aa", T("x"));
  // In memory bytewise ("aa" first); the encoding's canonical order is the
  // random maps' business (PayloadEncodedLen).
  EXPECT_EQ(std::vector(m.begin(), m.end()), (std::vector<PayloadMap::Entry>{{"aa", T("x")}, {"j", U(0)}, {"k", Bool(true)}, {"z", U(9)}}));
  // Sorting in place, on both sides of the sort's inline limit, with and
  // without duplicates, against an ordered map assigned entry by entry.
  std::mt19937_64 rng(7);
  for (std::size_t n : {0u, 1u, 2u, 5u, 32u, 33u, 80u}) {
    for (std::uint64_t spread : {3u, 1000u}) {
      std::vector<PayloadMap::Entry> entries;
      std::map<std::string, PayloadValue> want;
      for (std::size_t i = 0; i < n; ++i)
        want.insert_or_assign(entries.emplace_back("k" + std::string(rng() % 3, '\xff') + std::to_string(rng() % spread), U(i)).first, U(i));
      EXPECT_EQ(PayloadMap::from_unsorted(entries).entries(), std::vector<PayloadMap::Entry>(want.begin(), want.end())) << n << " entries, " << spread;
    }
  }
}

// ---------------------------------------------------------------------------
// Encoded length and the depth rule, against the decoder.

TEST(PayloadEncodedLen, RandomTreesMeasureEncodeAndDecodeConsistently) {
  PayloadGen gen(0xC0FFEE);
  // Measured exactly when, and only when, the decoder accepts it there.
  const auto len = [](const Bytes& b, unsigned depth) -> std::optional<std::size_t> {
    std::size_t pos = 0;
    return decode_item(b, pos, depth, nullptr) ? std::optional(b.size()) : std::nullopt;
  };
  for (int i = 0; i < 1500; ++i) {
    const PayloadValue v = gen.value(6);
    const PayloadMap m = gen.map(5);
    const Bytes bytes = encode_payload_value(v);
    Bytes appended = {0xEE}, map_bytes;  // appended, not overwritten
    append_payload_value(appended, v);
    append_payload_map(map_bytes, m);
    ASSERT_TRUE(Bytes(appended.begin() + 1, appended.end()) == bytes && decode_canonical(bytes) == cbor_of(v) &&
                map_bytes == encode_payload_value(PayloadValue::map(m))) << i;
    for (unsigned depth : {0u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u})
      ASSERT_EQ(std::tuple(payload_encoded_len(v, depth), payload_map_encoded_len(m, depth)),
                std::tuple(len(bytes, depth), len(map_bytes, depth))) << i << " depth " << depth;
  }
}

// ---------------------------------------------------------------------------
// Debug form

// Texts in errors and the debug form reach terminals: quotes, controls and
// bytes that are not UTF-8 are escaped. (Every kind's debug form: above.)
TEST(CborDebugForm, QuotingEscapesQuotesControlsAndBadUtf8) {
  const struct { std::string_view in; std::string want; } quoted[] = {
      {"", "\"\""}, {"plain it's", "\"plain it's\""}, {"q\"b\\", "\"q\\\"b\\\\\""}, {"\xc2\x85", "\"\\u{85}\""},
      {std::string_view("\n\r\t\0", 4), "\"\\n\\r\\t\\0\""}, {"\x01\x1b\x7f", "\"\\u{1}\\u{1b}\\u{7f}\""},
      {"\xc3\xbc\xe6\xb0\xb4", "\"\xc3\xbc\xe6\xb0\xb4\""}, {"a\xff" "b", "\"a\\xFFb\""},  // the last: bytes that are not UTF-8
  };
  for (const auto& r : quoted) EXPECT_EQ(debug_quote(r.in), r.want);
}

}  // namespace
}  // namespace corvane
