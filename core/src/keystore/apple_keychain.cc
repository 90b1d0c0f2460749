// The key store on macOS: generic passwords in the user's default keychain,
// through the Security framework's keychain calls.
#ifdef __APPLE__

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <cstdint>
#include <limits>
#include <string>

#include "corvane/keychain.h"

// The SecKeychain calls are deprecated but are the ones that address the
// user's default keychain as such.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace corvane {

namespace {

// Releases a Core Foundation object at scope exit.
struct CfOwner {
  CFTypeRef ref = nullptr;
  CfOwner() = default;
  CfOwner(const CfOwner&) = delete;
  CfOwner& operator=(const CfOwner&) = delete;
  ~CfOwner() {
    if (ref != nullptr) CFRelease(ref);
  }
};

KeychainError backend(std::string text) {
  KeychainError e;
  e.kind = KeychainError::Kind::kBackend;
  e.backend = std::move(text);
  return e;
}

KeychainError status_error(OSStatus status) {
  std::string text = "OSStatus " + std::to_string(status);
  CfOwner message;
  message.ref = SecCopyErrorMessageString(status, nullptr);
  if (message.ref != nullptr) {
    const auto str = static_cast<CFStringRef>(message.ref);
    const CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(str), kCFStringEncodingUTF8) + 1;
    std::string buf(static_cast<std::size_t>(size), '\0');
    if (CFStringGetCString(str, buf.data(), size, kCFStringEncodingUTF8)) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      text = buf + " (" + text + ")";
    }
  }
  return backend(std::move(text));
}

std::optional<KeychainError> check_names(std::string_view service, std::string_view account) {
  if (service.empty() || account.empty()) return backend("service and account must not be empty");
  constexpr std::size_t kMax = std::numeric_limits<UInt32>::max();
  if (service.size() > kMax || account.size() > kMax) return backend("service or account name too long");
  return std::nullopt;
}

// The user's default keychain and a one-element search list holding it.
OSStatus open_default(CfOwner& keychain, CfOwner& search_list) {
  SecKeychainRef kc = nullptr;
  const OSStatus status = SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, &kc);
  if (status != errSecSuccess) return status;
  keychain.ref = kc;
  const void* items[1] = {kc};
  search_list.ref = CFArrayCreate(kCFAllocatorDefault, items, 1, &kCFTypeArrayCallBacks);
  return search_list.ref != nullptr ? errSecSuccess : errSecAllocate;
}

class AppleKeychainStore final : public KeyStore {
 public:
  std::expected<std::optional<std::vector<std::uint8_t>>, KeychainError> read(std::string_view service,
                                                                              std::string_view account) override {
    if (auto refused = check_names(service, account)) return std::unexpected(std::move(*refused));
    CfOwner keychain;
    CfOwner search_list;
    OSStatus status = open_default(keychain, search_list);
    if (status != errSecSuccess) return std::unexpected(status_error(status));

    UInt32 len = 0;
    void* data = nullptr;
    SecKeychainItemRef item = nullptr;
    status = SecKeychainFindGenericPassword(search_list.ref, static_cast<UInt32>(service.size()), service.data(),
                                            static_cast<UInt32>(account.size()), account.data(), &len, &data, &item);
    CfOwner item_owner;
    item_owner.ref = item;
    if (status == errSecItemNotFound) return std::optional<std::vector<std::uint8_t>>{};
    if (status != errSecSuccess) return std::unexpected(status_error(status));

    std::vector<std::uint8_t> secret;
    if (data != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      secret.assign(bytes, bytes + len);
      secure_wipe(data, len);
      SecKeychainItemFreeContent(nullptr, data);
    }
    return secret;
  }

  std::expected<void, KeychainError> write(std::string_view service, std::string_view account,
                                           std::span<const std::uint8_t> secret) override {
    if (auto refused = check_names(service, account)) return std::unexpected(std::move(*refused));
    CfOwner keychain;
    CfOwner search_list;
    OSStatus status = open_default(keychain, search_list);
    if (status != errSecSuccess) return std::unexpected(status_error(status));

    SecKeychainItemRef item = nullptr;
    status =
        SecKeychainFindGenericPassword(search_list.ref, static_cast<UInt32>(service.size()), service.data(),
                                       static_cast<UInt32>(account.size()), account.data(), nullptr, nullptr, &item);
    CfOwner item_owner;
    item_owner.ref = item;
    if (status == errSecSuccess) {
      // Replace the data only; the item's attributes stay as they are.
      status = SecKeychainItemModifyAttributesAndData(item, nullptr, static_cast<UInt32>(secret.size()), secret.data());
    } else if (status == errSecItemNotFound) {
      status = SecKeychainAddGenericPassword(static_cast<SecKeychainRef>(const_cast<void*>(keychain.ref)),
                                             static_cast<UInt32>(service.size()), service.data(),
                                             static_cast<UInt32>(account.size()), account.data(),
                                             static_cast<UInt32>(secret.size()), secret.data(), nullptr);
    }
    if (status != errSecSuccess) return std::unexpected(status_error(status));
    return {};
  }
};

}  // namespace

KeyStore& platform_key_store() {
  static AppleKeychainStore store;
  return store;
}

}  // namespace corvane

#endif  // __APPLE__
