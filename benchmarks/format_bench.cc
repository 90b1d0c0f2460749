// Per-record costs of the format layer for a typical ~300-byte record:
// encode_record and mac, beside OpenSSL's one-shot HMAC() on the same bytes.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstdio>

#include "bench.h"
#include "corvane/key.h"
#include "corvane/record.h"

using namespace corvane;

int main() {
  std::array<std::uint8_t, 32> key_bytes;
  for (std::size_t i = 0; i < key_bytes.size(); ++i) key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const KeyHandle key = make_in_memory_key(key_bytes);
  const AppendRecord record = bench::typical_record();
  SessionId session{};
  Mac prev{};

  Bytes buf;
  append_record(buf, record, session, key->key_id(), prev, 41);
  const Bytes bytes = buf;
  std::printf("format layer, record of %zu bytes (ns per record, best of 9 batches)\n", bytes.size());

  constexpr std::uint64_t kOps = 200000;
  const double one_shot = bench::best_ns_per_op(kOps, 9, [&](std::uint64_t) {
    unsigned char out[32];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key_bytes.data(), 32, bytes.data(), bytes.size(), out, &len);
    bench::keep(out[0]);
  });
  const double mac = bench::best_ns_per_op(kOps, 9, [&](std::uint64_t) { bench::keep(key->mac(bytes)[0]); });
  const double encode = bench::best_ns_per_op(kOps, 9, [&](std::uint64_t i) {
    buf.clear();
    append_record(buf, record, session, key->key_id(), prev, i);
    bench::keep(buf.data()[0]);
  });
  const double estimate =
      bench::best_ns_per_op(kOps, 9, [&](std::uint64_t i) { bench::keep(*encoded_record_len(record, i)); });

  bench::row("OpenSSL one-shot HMAC() (baseline)", one_shot, "ns");
  bench::row("mac (precomputed key states)", mac, "ns");
  std::printf("    -> mac is %.2fx faster than one-shot HMAC() (target >= 3x)\n", one_shot / mac);
  bench::row("encode_record into a reused buffer", encode, "ns");
  std::printf("    -> encode_record costs %.2fx mac (target <= 1x)\n", encode / mac);
  bench::row("encoded_record_len (size estimate)", estimate, "ns");
  return 0;
}
