// Ed25519 against RFC 8032's test vectors, refusals of altered inputs, and
// the writer's head, which signed checkpoints pin.
#include <gtest/gtest.h>

#include "corvane/ed25519.h"
#include "corvane/verifier.h"
#include "corvane/writer.h"
#include "support/format_testkit.h"
#include "support/written_log.h"
#include "support/test_util.h"
#include "writer/writer_probe.h"

namespace corvane {
namespace {

// RFC 8032, section 7.1, test 2.
TEST(Ed25519, ReproducesTheRfcVectorAndRefusesAlterations) {
  const auto key32 = [](const char* hex) {
    std::array<std::uint8_t, 32> out{};
    return std::ranges::copy(format_testkit::from_hex(hex), out.begin()), out;
  };
  const auto seed = key32("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
  auto pub = key32("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"), other = pub;
  const Bytes msg = {0x72}, longer = {0x72, 0x00};
  Ed25519Signature sig = ed25519_sign(seed, msg).value(), bad_sig = sig;
  EXPECT_TRUE(ed25519_public_key(seed).value() == pub && ed25519_verify(pub, msg, sig) &&
              to_hex(sig) == "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
  bad_sig[63] ^= 0x01, other[0] ^= 0x01;
  EXPECT_FALSE(ed25519_verify(pub, msg, bad_sig) || ed25519_verify(pub, longer, sig) || ed25519_verify(other, msg, sig));
}

TEST(WriterHead, IsTheLastRecordOfTheCurrentSegment) {
  testing::TempDir dir;
  const KeyHandle key = testing::test_key();
  Writer w = testing::open_writer(dir.path(), key, 600).writer;  // rotates every few records
  EXPECT_FALSE(w.head().has_value());
  for (std::uint64_t i = 0; i < 12; ++i) {
    const std::uint64_t id = testing::append_ok(w, testing::sample_record(i));
    const auto head = w.head().value();
    EXPECT_EQ(std::tie(head.segment, head.record_id, head.mac), std::tuple(detail::WriterProbe::segment_index(w), id, detail::WriterProbe::chain_head(w)));
  }
  w.close();
  EXPECT_FALSE(w.head().has_value());
  // The same head as the verifier's, after reopening.
  const auto head = testing::open_writer(dir.path(), key, 600).writer.head().value();
  const VerifyReport report = verify(dir.path(), key, VerifyOptions{}).value();
  EXPECT_EQ(std::tuple(to_hex(head.mac), head.segment), std::tuple(report.log.final_hmac_hex.value(), report.log.last_segment_index.value()));
}

}  // namespace
}  // namespace corvane
