// Placeholder until the platform stores land.
#include "corvane/keychain.h"

namespace corvane {
namespace {
class NoStore final : public KeyStore {
 public:
  std::expected<std::optional<std::vector<std::uint8_t>>, KeychainError> read(std::string_view,
                                                                              std::string_view) override {
    KeychainError e;
    e.kind = KeychainError::Kind::kBackend;
    e.backend = "no key store on this platform";
    return std::unexpected(e);
  }
  std::expected<void, KeychainError> write(std::string_view, std::string_view,
                                           std::span<const std::uint8_t>) override {
    KeychainError e;
    e.kind = KeychainError::Kind::kBackend;
    e.backend = "no key store on this platform";
    return std::unexpected(e);
  }
};
}  // namespace
KeyStore& platform_key_store() {
  static NoStore store;
  return store;
}
}  // namespace corvane
