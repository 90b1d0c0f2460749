// BLAKE3, CRC-32 and HMAC-SHA256 against values computed outside this code
// base, and the key handle's sharing and wiping.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <new>
#include <random>
#include <thread>

#include "corvane/key.h"
#include "support/format_testkit.h"

namespace corvane {
namespace {

using format_testkit::bytes_of;
using Key32 = std::array<std::uint8_t, 32>;

Mac OpenSslHmac(const Key32& key, const Bytes& msg) {
  Mac out{};
  unsigned len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out.data(), &len);
  return out;
}

TEST(Hashes, ReproduceTheirReferenceValues) {
  // The official BLAKE3 vectors: input byte i is i % 251.
  const struct { std::size_t len; const char* hash; } rows[] = {
      {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
      {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
      {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
  };
  for (const auto& r : rows) {
    Bytes input(r.len);
    for (std::size_t i = 0; i < r.len; ++i) input[i] = static_cast<std::uint8_t>(i % 251);
    EXPECT_EQ(to_hex(blake3_256(input)), r.hash) << r.len;
  }
  // The key id is the BLAKE3 hash of the key bytes (b3sum).
  Key32 key;
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(to_hex(make_in_memory_key(key)->key_id()), "e528e95798037df410543d9f31e396ecdd458d71b157d6014398bae32fb56c65");
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xcbf43926u);
  EXPECT_EQ(crc32({}), 0u);
}

// RFC 4231 case 2, its short key zero-padded (as HMAC pads it); then
// precomputed key states against OpenSSL's one-shot HMAC for every length
// around the block boundaries, two keys used alternately.
TEST(Hmac, EqualsTheReference) {
  Key32 jefe{'J', 'e', 'f', 'e'};
  EXPECT_EQ(to_hex(InMemoryKey(jefe).mac(bytes_of("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  std::mt19937_64 rng(42);
  const auto random = [&](auto& out) { for (auto& x : out) x = static_cast<std::uint8_t>(rng()); };
  for (int round = 0; round < 3; ++round) {
    Key32 ka, kb;
    random(ka), random(kb);
    const KeyHandle a = make_in_memory_key(ka), b = make_in_memory_key(kb);
    for (std::size_t len = 0; len <= 300; ++len) {
      Bytes msg(len);
      random(msg);
      ASSERT_TRUE(a->mac(msg) == OpenSslHmac(ka, msg) && b->mac(msg) == OpenSslHmac(kb, msg)) << len;
    }
  }
}

// mac is const and shared between threads: it must keep no scratch state.
TEST(Hmac, ConcurrentCallsOnOneHandleAgree) {
  const Key32 key{1, 2, 3};
  const KeyHandle handle = make_in_memory_key(key);
  std::array<int, 4> failures{};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < 2000; ++i) {
        const Bytes msg(i % 300, static_cast<std::uint8_t>(i));
        failures[t] += handle->mac(msg) != OpenSslHmac(key, msg);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, (std::array<int, 4>{}));
  const KeychainKey kc(key, "svc", "acct");
  EXPECT_EQ(std::tie(kc.key_id(), kc.service()), std::tie(handle->key_id(), "svc"));
  EXPECT_EQ(kc.mac(bytes_of("m")), handle->mac(bytes_of("m")));
}

// The key bytes must be gone from the object's storage once it is destroyed.
TEST(KeyHandle, DestructionWipesTheKeyBytes) {
  Key32 key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA5 ^ i);
  alignas(InMemoryKey) unsigned char storage[sizeof(InMemoryKey)];
  auto* k = new (storage) InMemoryKey(key);
  auto* const end = storage + sizeof(storage);
  EXPECT_NE(std::search(storage, end, key.begin(), key.end()), end);
  k->~InMemoryKey();
  EXPECT_EQ(std::search(storage, end, key.begin(), key.end()), end);
}

TEST(KeyHandle, ConstantTimeCompareSeesEveryByte) {
  const Mac a{};
  EXPECT_TRUE(ct_equal(a, Mac{}));
  for (std::size_t i = 0; i < 32; ++i) {
    Mac b{};
    b[i] = 0x80;
    EXPECT_FALSE(ct_equal(a, b)) << i;
  }
}

}  // namespace
}  // namespace corvane
