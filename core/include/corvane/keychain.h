// Keys kept in the operating system's key store (the user's keychain on
// macOS, the Secret Service on Linux), created on first use.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/errors.h"
#include "corvane/key.h"

namespace corvane {

// The two operations the key source needs from a platform store, addressed
// by (service, account). Secrets are raw bytes.
class KeyStore {
 public:
  virtual ~KeyStore() = default;
  // The stored bytes; nullopt when no entry exists (and only then: a store
  // that cannot tell, such as a locked keyring, must report kBackend).
  virtual std::expected<std::optional<std::vector<std::uint8_t>>, KeychainError> read(std::string_view service,
                                                                                      std::string_view account) = 0;
  // Creates or replaces the entry.
  virtual std::expected<void, KeychainError> write(std::string_view service, std::string_view account,
                                                   std::span<const std::uint8_t> secret) = 0;
};

// The platform's store, set up on first use and kept for the process.
KeyStore& platform_key_store();

// Reads the key stored under (service, account); when there is none, stores
// 32 fresh random bytes there and reads them back. A stored entry that is not
// 32 bytes long is never replaced: kInvalidStoredKey until it is removed.
// Secret bytes read from the store are wiped before their buffer is freed.
[[nodiscard]] std::expected<KeyHandle, KeychainError> load_or_create_keychain_key(KeyStore& store,
                                                                                  std::string_view service,
                                                                                  std::string_view account);

}  // namespace corvane
