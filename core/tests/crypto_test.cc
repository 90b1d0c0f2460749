// BLAKE3, CRC-32 and HMAC-SHA256 against values computed outside this code
// base, and the key handle's sharing and wiping.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <new>
#include <numeric>
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
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out.data(), nullptr);
  return out;
}

// BLAKE3 hashes only key ids: the key id test below holds it to b3sum.
TEST(Checksums, Crc32ReproducesItsCheckValueAndMacsCompareOverEveryByte) {
  EXPECT_EQ(std::tuple(crc32(bytes_of("123456789")), crc32({}), ct_equal(Mac{}, Mac{})), std::tuple(0xcbf43926u, 0u, true));
  for (std::size_t i = 0; i < 32; ++i) EXPECT_FALSE(ct_equal(Mac{}, [&] { Mac b{}; b[i] = 0x80; return b; }())) << i;
}

// Precomputed key states against OpenSSL's one-shot HMAC for every length
// around the block boundaries, two keys used alternately, and from four
// threads at once (mac is const and shared: it must keep no scratch state).
TEST(Hmac, EqualsTheReferenceAlsoFromManyThreads) {
  const Key32 ka{1, 2, 3}, kb{0xFF, 0x80, 9};
  const KeyHandle a = make_in_memory_key(ka), b = make_in_memory_key(kb);
  std::mt19937_64 rng(42);
  std::vector<Bytes> msgs;
  for (std::size_t len = 0; len <= 300; ++len)
    for (auto& x : msgs.emplace_back(len)) x = static_cast<std::uint8_t>(rng());
  std::array<int, 4> failures{};
  {
    std::vector<std::jthread> threads;
    for (int& f : failures)
      threads.emplace_back([&] { for (const Bytes& m : msgs) f += a->mac(m) != OpenSslHmac(ka, m) || b->mac(m) != OpenSslHmac(kb, m); });
  }
  EXPECT_EQ(failures, (std::array<int, 4>{}));
}

// The key id is the BLAKE3 hash of the key bytes (b3sum); the key bytes
// must be gone from the object's storage once it is destroyed.
TEST(KeyHandle, IdIsTheKeysHashAndDestructionWipesTheKey) {
  Key32 key;
  std::iota(key.begin(), key.end(), 0);
  EXPECT_EQ(to_hex(make_in_memory_key(key)->key_id()), "e528e95798037df410543d9f31e396ecdd458d71b157d6014398bae32fb56c65");
  alignas(InMemoryKey) unsigned char storage[sizeof(InMemoryKey)];
  auto* k = new (storage) InMemoryKey(key);
  auto* const end = storage + sizeof(storage);
  EXPECT_NE(std::search(storage, end, key.begin(), key.end()), end);
  k->~InMemoryKey();
  EXPECT_EQ(std::search(storage, end, key.begin(), key.end()), end);
}

}  // namespace
}  // namespace corvane
