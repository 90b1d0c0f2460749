// The keychain key source over an in-memory store: create on first use,
// never replace a stored entry, hand out only what the store holds.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <tuple>

#include "corvane/keychain.h"

namespace corvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using KK = KeychainError::Kind;

KeychainError backend(std::string text) { return {KK::kBackend, {}, {}, {}, {}, std::move(text)}; }

class FakeStore final : public KeyStore {
 public:
  std::map<std::pair<std::string, std::string>, Bytes> entries;
  int reads = 0, writes = 0;
  std::optional<KeychainError> read_error;  // from the read numbered fail_read_at on
  int fail_read_at = 1;
  std::optional<KeychainError> write_error;
  std::optional<Bytes> raced_by;  // another process's write lands right after ours

  std::expected<std::optional<Bytes>, KeychainError> read(std::string_view service, std::string_view account) override {
    if (++reads >= fail_read_at && read_error) return std::unexpected(*read_error);
    auto it = entries.find({std::string(service), std::string(account)});
    return it == entries.end() ? std::optional<Bytes>{} : std::optional<Bytes>{it->second};
  }
  std::expected<void, KeychainError> write(std::string_view service, std::string_view account,
                                           std::span<const std::uint8_t> secret) override {
    ++writes;
    if (write_error) return std::unexpected(*write_error);
    entries[{std::string(service), std::string(account)}] = raced_by.value_or(Bytes(secret.begin(), secret.end()));
    return {};
  }
};

TEST(Keychain, CreatesAKeyOnFirstUseAndReturnsItAfterwards) {
  FakeStore store;
  auto first = load_or_create_keychain_key(store, "svc", "acct");
  ASSERT_TRUE(first.has_value()) << first.error().to_string();
  const Bytes& stored = store.entries.at({"svc", "acct"});
  EXPECT_TRUE(stored.size() == 32 && stored != Bytes(32, 0));
  EXPECT_EQ((*first)->key_id(), blake3_256(stored));
  const auto& kc = dynamic_cast<const KeychainKey&>(**first);
  EXPECT_EQ(std::tie(kc.service(), kc.account()), std::tuple("svc", "acct"));

  EXPECT_EQ(load_or_create_keychain_key(store, "svc", "acct").value()->key_id(), (*first)->key_id());
  EXPECT_EQ(store.writes, 1);
  EXPECT_NE(load_or_create_keychain_key(store, "svc", "other").value()->key_id(), (*first)->key_id());
  EXPECT_EQ(store.entries.size(), 2u);
}

TEST(Keychain, StoredEntryOfWrongLengthIsReportedAndNeverReplaced) {
  for (std::size_t len : {0u, 31u, 33u, 64u}) {
    SCOPED_TRACE(len);
    FakeStore store;
    const Bytes entry(len, 'a');
    store.entries[{"svc", "default"}] = entry;
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(load_or_create_keychain_key(store, "svc", "default").error().to_string(),
                "stored keychain entry is not a valid 32-byte HMAC key: invalid key length: expected 32 bytes, got " +
                    std::to_string(len));
    }
    EXPECT_EQ(std::tie(store.writes, store.entries.at({"svc", "default"})), std::tuple(0, entry));
  }
}

// Every store failure comes back as it is and nothing is handed out; in
// particular a store that cannot tell whether an entry exists (a locked
// keyring) must not lead to a new key being written.
TEST(Keychain, StoreFailuresHandOutNothing) {
  FakeStore locked, refusing, flaky;
  locked.read_error = backend("keyring is locked");
  EXPECT_EQ(load_or_create_keychain_key(locked, "svc", "acct").error(), *locked.read_error);
  EXPECT_EQ(locked.writes, 0);
  refusing.write_error = backend("Cannot create an item in a locked collection");
  EXPECT_EQ(load_or_create_keychain_key(refusing, "svc", "acct").error(), *refusing.write_error);
  EXPECT_EQ(refusing.reads, 1);
  // The entry written before a failed read-back stays.
  flaky.read_error = backend("connection lost");
  flaky.fail_read_at = 2;
  EXPECT_EQ(load_or_create_keychain_key(flaky, "svc", "acct").error(), *flaky.read_error);
  EXPECT_EQ(flaky.entries.at({"svc", "acct"}).size(), 32u);
}

TEST(Keychain, KeyHandedOutIsTheOneReadBack) {
  FakeStore store, bad;
  store.raced_by = Bytes(32, 0x5a);
  EXPECT_EQ(load_or_create_keychain_key(store, "svc", "acct").value()->key_id(), blake3_256(Bytes(32, 0x5a)));
  // A racer that leaves a bad entry is reported, not papered over.
  bad.raced_by = Bytes(64, 0x5a);
  EXPECT_EQ(load_or_create_keychain_key(bad, "svc", "acct").error().kind, KK::kInvalidStoredKey);
}

}  // namespace
}  // namespace corvane
