// The key source over any store: read, or create on first use and read back.
#include <sys/random.h>

#include <cerrno>

#include "corvane/keychain.h"

namespace corvane {

namespace {

// Wipes a secret buffer before it is freed.
struct SecretBytes {
  std::vector<std::uint8_t> bytes;
  ~SecretBytes() { secure_wipe(bytes.data(), bytes.size()); }
};

std::expected<KeyHandle, KeychainError> read_key(KeyStore& store, std::string_view service, std::string_view account) {
  auto entry = store.read(service, account);
  if (!entry) return std::unexpected(entry.error());
  if (!entry->has_value()) {
    KeychainError e;
    e.kind = KeychainError::Kind::kNoEntry;
    e.service = service;
    e.account = account;
    return std::unexpected(std::move(e));
  }
  SecretBytes secret{std::move(**entry)};
  if (secret.bytes.size() != 32) {
    KeychainError e;
    e.kind = KeychainError::Kind::kInvalidStoredKey;
    e.invalid = {32, secret.bytes.size()};
    return std::unexpected(std::move(e));
  }
  return std::make_shared<const KeychainKey>(std::span<const std::uint8_t, 32>(secret.bytes.data(), 32),
                                             std::string(service), std::string(account));
}

}  // namespace

std::expected<KeyHandle, KeychainError> load_or_create_keychain_key(KeyStore& store, std::string_view service,
                                                                    std::string_view account) {
  auto key = read_key(store, service, account);
  if (key || key.error().kind != KeychainError::Kind::kNoEntry) return key;

  std::array<std::uint8_t, 32> fresh;
  if (getentropy(fresh.data(), fresh.size()) != 0) {
    KeychainError e;
    e.kind = KeychainError::Kind::kRandomSource;
    e.random = IoError::from_errno(errno);
    return std::unexpected(std::move(e));
  }
  auto written = store.write(service, account, fresh);
  secure_wipe(fresh.data(), fresh.size());
  if (!written) return std::unexpected(written.error());
  // Hand out what the store holds, never the buffer: if another process
  // raced us, both end up with the stored key.
  return read_key(store, service, account);
}

}  // namespace corvane
