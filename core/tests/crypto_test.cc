// BLAKE3, CRC-32 and HMAC-SHA256 against values computed outside this code
// base (the BLAKE3 test vectors, b3sum, RFC 4231, OpenSSL's one-shot HMAC),
// plus the key handle's sharing and wiping.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "corvane/key.h"
#include "support/format_testkit.h"

namespace corvane {
namespace {

using namespace format_testkit;

std::array<std::uint8_t, 32> Key32(std::string_view hex) {
  std::array<std::uint8_t, 32> k{};
  const Bytes b = from_hex(hex);
  std::copy(b.begin(), b.end(), k.begin());  // shorter keys are zero-padded
  return k;
}

Mac OpenSslHmac(const std::array<std::uint8_t, 32>& key, const Bytes& msg) {
  Mac out{};
  unsigned len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out.data(), &len);
  EXPECT_EQ(len, 32u);
  return out;
}

// Official BLAKE3 test vectors: input byte i is i % 251; first 32 output bytes.
TEST(Blake3, ReproducesTheOfficialTestVectors) {
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
}

// Expected values from Debian's b3sum over the 32 raw key bytes.
TEST(Blake3, KeyIdIsTheHashOfTheKeyBytes) {
  const struct { const char* key; const char* id; } rows[] = {
      {"", "2ada83c1819a5372dae1238fc1ded123c8104fdaa15862aaee69428a1820fcda"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "e528e95798037df410543d9f31e396ecdd458d71b157d6014398bae32fb56c65"},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "9b34f060fbc0f0aa11f150e26519deff613277b60656f0f8356ed2261505f5c5"},
  };
  for (const auto& r : rows) {
    const auto key = Key32(r.key);
    EXPECT_EQ(to_hex(make_in_memory_key(key)->key_id()), r.id);
    EXPECT_EQ(to_hex(blake3_256(key)), r.id);
  }
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xcbf43926u);
  EXPECT_EQ(crc32({}), 0u);
  EXPECT_EQ(crc32(bytes_of("a")), 0xe8b7be43u);
}

// RFC 4231 cases 1 to 3: their keys are shorter than 32 bytes, and HMAC pads a
// short key with zeros, so the same key zero-padded to 32 bytes gives the
// published MAC.
TEST(Hmac, ReproducesRfc4231WithZeroPaddedKeys) {
  const struct { const char* key; Bytes msg; const char* mac; } rows[] = {
      {"0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", bytes_of("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"4a656665", bytes_of("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", Bytes(50, 0xdd),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(to_hex(InMemoryKey(Key32(r.key)).mac(r.msg)), r.mac) << r.key;
  }
  // A full 32-byte key (computed with openssl dgst -sha256 -mac HMAC).
  Bytes msg(100);
  for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(to_hex(InMemoryKey(Key32("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")).mac(msg)),
            "a0b85e511189b13c4dc40f8858eaa1bffef70151918f123454870b49a7bbd512");
}

// Precomputed key states must give exactly the one-shot result, for every
// message length around the block boundaries, and must not be disturbed by
// earlier calls (two keys used alternately).
TEST(Hmac, EqualsOpenSslOneShotForRandomKeysAndLengths) {
  std::mt19937_64 rng(42);
  auto random_key = [&] {
    std::array<std::uint8_t, 32> k;
    for (auto& b : k) b = static_cast<std::uint8_t>(rng());
    return k;
  };
  for (int round = 0; round < 3; ++round) {
    const auto ka = random_key(), kb = random_key();
    const KeyHandle a = make_in_memory_key(ka), b = make_in_memory_key(kb);
    for (std::size_t len = 0; len <= 300; ++len) {
      Bytes msg(len);
      for (auto& x : msg) x = static_cast<std::uint8_t>(rng());
      ASSERT_EQ(a->mac(msg), OpenSslHmac(ka, msg)) << len;
      ASSERT_EQ(b->mac(msg), OpenSslHmac(kb, msg)) << len;
    }
  }
}

// mac is const and shared between threads: it must keep no scratch state.
TEST(Hmac, ConcurrentCallsOnOneHandleAgree) {
  const auto key = Key32("00112233445566778899aabbccddeeff");
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
}

TEST(KeyHandle, IsSharedAndKeychainKeysBehaveTheSame) {
  const auto key = Key32("0102");
  const KeyHandle h = make_in_memory_key(key);
  const KeyHandle copy = h;
  EXPECT_EQ(h.use_count(), 2);
  EXPECT_EQ(&copy->key_id(), &h->key_id());

  const KeychainKey kc(key, "svc", "acct");
  EXPECT_EQ(kc.service(), "svc");
  EXPECT_EQ(kc.account(), "acct");
  EXPECT_EQ(kc.key_id(), h->key_id());
  EXPECT_EQ(kc.mac(bytes_of("m")), h->mac(bytes_of("m")));
}

// The key bytes must be gone from the object's storage once it is destroyed.
TEST(KeyHandle, DestructionWipesTheKeyBytes) {
  std::array<std::uint8_t, 32> key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA5 ^ i);
  alignas(InMemoryKey) unsigned char storage[sizeof(InMemoryKey)];
  auto* k = new (storage) InMemoryKey(key);
  const bool present_before =
      std::search(storage, storage + sizeof(storage), key.begin(), key.end()) != storage + sizeof(storage);
  k->~InMemoryKey();
  EXPECT_TRUE(present_before);
  EXPECT_EQ(std::search(storage, storage + sizeof(storage), key.begin(), key.end()), storage + sizeof(storage));
}

TEST(CryptoHelpers, ConstantTimeCompareAndHex) {
  std::array<std::uint8_t, 32> a{}, b{};
  EXPECT_TRUE(ct_equal(a, b));
  for (std::size_t i = 0; i < 32; ++i) {
    b = a;
    b[i] ^= 0x80;
    EXPECT_FALSE(ct_equal(a, b)) << i;
  }
  const std::uint8_t some[] = {0x00, 0x0f, 0xab, 0xff};
  EXPECT_EQ(to_hex(some), "000fabff");
  EXPECT_EQ(to_hex({}), "");
  const std::string id = to_hex(make_in_memory_key(a)->key_id());
  EXPECT_EQ(id.size(), 64u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
}

}  // namespace
}  // namespace corvane
