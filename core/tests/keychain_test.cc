// The keychain key source over an in-memory store: create on first use,
// never replace a stored entry, hand out only what the store holds.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <tuple>

#include "corvane/cbor.h"
#include "corvane/keychain.h"

namespace corvane {
namespace {

KeychainError backend(std::string text) { return {KeychainError::Kind::kBackend, {}, {}, {}, {}, std::move(text)}; }

class FakeStore final : public KeyStore {
 public:
  std::map<std::pair<std::string, std::string>, Bytes> entries;
  int reads = 0, writes = 0, fail_read_at = 1;  // reads fail with read_error from this one on
  std::optional<KeychainError> read_error, write_error;
  std::optional<Bytes> raced_by;  // another process's write lands right after ours

  std::expected<std::optional<Bytes>, KeychainError> read(std::string_view service, std::string_view account) override {
    if (++reads >= fail_read_at && read_error) return std::unexpected(*read_error);
    auto it = entries.find({std::string(service), std::string(account)});
    return it == entries.end() ? std::optional<Bytes>{} : std::optional<Bytes>{it->second};
  }
  std::expected<void, KeychainError> write(std::string_view service, std::string_view account, std::span<const std::uint8_t> secret) override {
    if (++writes; write_error) return std::unexpected(*write_error);
    entries[{std::string(service), std::string(account)}] = raced_by.value_or(Bytes(secret.begin(), secret.end()));
    return {};
  }
};

auto load(FakeStore& store, const char* account = "acct") { return load_or_create_keychain_key(store, "svc", account); }

TEST(Keychain, CreatesAKeyOnFirstUseAndReturnsItAfterwards) {
  FakeStore store;
  const KeyHandle first = load(store).value();
  const Bytes& stored = store.entries.at({"svc", "acct"});
  EXPECT_TRUE(stored.size() == 32 && stored != Bytes(32, 0) && first->key_id() == blake3_256(stored));
  EXPECT_EQ(load(store).value()->key_id(), first->key_id());
  store.raced_by = Bytes(32, 0x5a);  // the key handed out is the one read back
  EXPECT_EQ(load(store, "other").value()->key_id(), blake3_256(Bytes(32, 0x5a)));
}

TEST(Keychain, StoredEntryOfWrongLengthIsReportedAndNeverReplaced) {
  for (std::size_t len : {0u, 31u, 33u, 64u}) {
    FakeStore store;
    const Bytes entry = store.entries[{"svc", "acct"}] = Bytes(len, 'a');
    EXPECT_EQ(load(store).error().to_string(), "stored keychain entry is not a valid 32-byte HMAC key: " +
                                                   ("invalid key length: expected 32 bytes, got " + std::to_string(len)));
    EXPECT_EQ(std::tie(store.writes, store.entries.at({"svc", "acct"})), std::tuple(0, entry));
  }
}

// Every store failure comes back as it is and nothing is handed out; in
// particular a store that cannot tell whether an entry exists (a locked
// keyring) must not lead to a new key being written. The entry written
// before a failed read-back stays; a racer's bad entry is reported.
TEST(Keychain, StoreFailuresHandOutNothing) {
  FakeStore locked, refusing, flaky, raced;
  locked.read_error = backend("keyring is locked");
  refusing.write_error = backend("Cannot create an item in a locked collection");
  flaky.read_error = backend("connection lost");
  flaky.fail_read_at = 2;
  raced.raced_by = Bytes(64, 0x5a);
  EXPECT_EQ(std::tuple(load(locked).error(), load(refusing).error(), load(flaky).error(), load(raced).error().kind),
            std::tuple(*locked.read_error, *refusing.write_error, *flaky.read_error, KeychainError::Kind::kInvalidStoredKey));
  EXPECT_EQ(std::tuple(locked.writes, refusing.reads, flaky.entries.at({"svc", "acct"}).size()), std::tuple(0, 1, 32u));
}

}  // namespace
}  // namespace corvane
