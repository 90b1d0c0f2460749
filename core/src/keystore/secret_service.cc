// The key store on Linux and other non-Apple systems: the Secret Service
// (gnome-keyring, KWallet, ...) through libsecret. libsecret is loaded at
// run time so the module builds without its headers and imports where it is
// absent; the few GLib and libsecret declarations needed are written here.
#ifndef __APPLE__

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "corvane/keychain.h"
#include "utf8.h"

namespace corvane {

namespace {

// GLib and libsecret, as their ABI lays them out.
struct GError {
  std::uint32_t domain;
  int code;
  char* message;
};
struct GList {
  void* data;
  GList* next;
  GList* prev;
};
struct SecretValue;
struct SchemaAttribute {
  const char* name;
  int type;
};
struct SecretSchema {
  const char* name;
  int flags;
  SchemaAttribute attributes[32];
  int reserved;
  void* reserved_ptrs[7];
};
constexpr int kAttributeString = 0;
constexpr int kSchemaNone = 0;
constexpr int kSchemaDontMatchName = 1 << 1;
constexpr int kSearchAll = 1 << 1;
constexpr const char* kDefaultCollection = "default";
constexpr const char* kApplication = "corvane-audit";

// Our items: the fixed attribute keeps us clear of other programs' entries
// that happen to use the same service and account.
constexpr SecretSchema kSchema = {
    "org.corvane.audit.Key",
    kSchemaNone,
    {{"service", kAttributeString}, {"account", kAttributeString}, {"application", kAttributeString}},
    0,
    {}};
// Finds items by service and account whatever their schema: an item in a
// locked collection does not match on the schema name, only on these.
constexpr SecretSchema kLockedProbe = {"org.corvane.audit.Key",
                                       kSchemaDontMatchName,
                                       {{"service", kAttributeString}, {"account", kAttributeString}},
                                       0,
                                       {}};

struct Libsecret {
  std::string unavailable;  // empty once every symbol resolved

  int (*store_binary_sync)(const SecretSchema*, const char* collection, const char* label, SecretValue*,
                           void* cancellable, GError**, ...) = nullptr;
  SecretValue* (*lookup_binary_sync)(const SecretSchema*, void* cancellable, GError**, ...) = nullptr;
  GList* (*search_sync)(const SecretSchema*, int flags, void* cancellable, GError**, ...) = nullptr;
  int (*item_get_locked)(void* item) = nullptr;
  std::size_t (*item_get_type)() = nullptr;
  int (*type_check_instance_is_a)(void* instance, std::size_t type) = nullptr;
  SecretValue* (*value_new)(const char* secret, std::ptrdiff_t length, const char* content_type) = nullptr;
  const char* (*value_get)(SecretValue*, std::size_t* length) = nullptr;
  void (*value_unref)(void*) = nullptr;
  void (*error_free)(GError*) = nullptr;
  void (*list_free_full)(GList*, void (*)(void*)) = nullptr;
  void (*object_unref)(void*) = nullptr;
};

template <typename Fn>
bool resolve(void* lib, const char* name, Fn& fn, std::string& unavailable) {
  dlerror();
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    const char* why = dlerror();
    unavailable = std::string("libsecret unavailable: ") + (why != nullptr ? why : name);
    return false;
  }
  fn = reinterpret_cast<Fn>(sym);
  return true;
}

// Never dlclose'd: GLib's type system cannot be unloaded.
Libsecret load_libsecret() {
  Libsecret s;
  void* lib = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = dlerror();
    s.unavailable = std::string("libsecret unavailable: ") + (why != nullptr ? why : "dlopen failed");
    return s;
  }
  // GLib's and GObject's symbols resolve through libsecret's own dependencies.
  std::string& u = s.unavailable;
  (void)(resolve(lib, "secret_password_store_binary_sync", s.store_binary_sync, u) &&
         resolve(lib, "secret_password_lookup_binary_sync", s.lookup_binary_sync, u) &&
         resolve(lib, "secret_password_search_sync", s.search_sync, u) &&
         resolve(lib, "secret_item_get_locked", s.item_get_locked, u) &&
         resolve(lib, "secret_item_get_type", s.item_get_type, u) &&
         resolve(lib, "g_type_check_instance_is_a", s.type_check_instance_is_a, u) &&
         resolve(lib, "secret_value_new", s.value_new, u) && resolve(lib, "secret_value_get", s.value_get, u) &&
         resolve(lib, "secret_value_unref", s.value_unref, u) && resolve(lib, "g_error_free", s.error_free, u) &&
         resolve(lib, "g_list_free_full", s.list_free_full, u) && resolve(lib, "g_object_unref", s.object_unref, u));
  return s;
}

const Libsecret& libsecret() {
  static const Libsecret s = load_libsecret();
  return s;
}

KeychainError backend(std::string text) {
  KeychainError e;
  e.kind = KeychainError::Kind::kBackend;
  e.backend = std::move(text);
  return e;
}

// Takes ownership of `error`.
KeychainError backend(const Libsecret& s, GError* error, const char* fallback) {
  std::string text = error != nullptr && error->message != nullptr ? error->message : fallback;
  if (error != nullptr) s.error_free(error);
  return backend(std::move(text));
}

bool usable_name(std::string_view s) {
  return s.find('\0') == std::string_view::npos &&
         detail::valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Refused before libsecret is touched: an empty name would address a
// different (wider) set of items, and GLib aborts on invalid UTF-8.
std::optional<KeychainError> check_names(std::string_view service, std::string_view account) {
  if (service.empty() || account.empty()) return backend("service and account must not be empty");
  if (!usable_name(service) || !usable_name(account)) {
    return backend("service and account must be UTF-8 text without NUL characters");
  }
  return std::nullopt;
}

class SecretServiceStore final : public KeyStore {
 public:
  std::expected<std::optional<std::vector<std::uint8_t>>, KeychainError> read(std::string_view service,
                                                                              std::string_view account) override {
    if (auto refused = check_names(service, account)) return std::unexpected(std::move(*refused));
    const Libsecret& s = libsecret();
    if (!s.unavailable.empty()) return std::unexpected(backend(s.unavailable));
    const std::string svc(service);
    const std::string acc(account);

    GError* error = nullptr;
    SecretValue* value = s.lookup_binary_sync(&kSchema, nullptr, &error, "service", svc.c_str(), "account", acc.c_str(),
                                              "application", kApplication, nullptr);
    if (error != nullptr) {
      if (value != nullptr) s.value_unref(value);
      return std::unexpected(backend(s, error, "keyring lookup failed"));
    }
    if (value != nullptr) {
      // The content type is not checked: gnome-keyring reports "text/plain"
      // for binary secrets. The length is checked by the caller.
      std::size_t len = 0;
      const auto* data = reinterpret_cast<const std::uint8_t*>(s.value_get(value, &len));
      std::vector<std::uint8_t> bytes(data, data + len);
      s.value_unref(value);  // libsecret wipes its own copy
      return bytes;
    }

    // Nothing readable. A locked collection answers a lookup with nothing
    // too; calling that "no entry" would make the caller store a new key
    // beside the old one.
    GList* items = s.search_sync(&kLockedProbe, kSearchAll, nullptr, &error, "service", svc.c_str(), "account",
                                 acc.c_str(), nullptr);
    if (error != nullptr) {
      if (items != nullptr) s.list_free_full(items, s.object_unref);
      return std::unexpected(backend(s, error, "keyring search failed"));
    }
    bool locked = false;
    const std::size_t item_type = s.item_get_type();
    for (GList* it = items; it != nullptr; it = it->next) {
      if (it->data != nullptr && s.type_check_instance_is_a(it->data, item_type) && s.item_get_locked(it->data)) {
        locked = true;
      }
    }
    if (items != nullptr) s.list_free_full(items, s.object_unref);
    if (locked) return std::unexpected(backend("keyring is locked"));
    return std::optional<std::vector<std::uint8_t>>{};
  }

  std::expected<void, KeychainError> write(std::string_view service, std::string_view account,
                                           std::span<const std::uint8_t> secret) override {
    if (auto refused = check_names(service, account)) return std::unexpected(std::move(*refused));
    const Libsecret& s = libsecret();
    if (!s.unavailable.empty()) return std::unexpected(backend(s.unavailable));
    const std::string svc(service);
    const std::string acc(account);
    const std::string label = "corvane-audit key (" + svc + "/" + acc + ")";

    // secret_value_new copies into libsecret's own (wiped on release) memory.
    SecretValue* value = s.value_new(reinterpret_cast<const char*>(secret.data()),
                                     static_cast<std::ptrdiff_t>(secret.size()), "application/octet-stream");
    if (value == nullptr) return std::unexpected(backend("could not allocate a secret value"));
    GError* error = nullptr;
    const int stored =
        s.store_binary_sync(&kSchema, kDefaultCollection, label.c_str(), value, nullptr, &error, "service", svc.c_str(),
                            "account", acc.c_str(), "application", kApplication, nullptr);
    s.value_unref(value);
    if (!stored || error != nullptr) return std::unexpected(backend(s, error, "storing the keyring item failed"));
    return {};
  }
};

}  // namespace

KeyStore& platform_key_store() {
  static SecretServiceStore store;
  return store;
}

}  // namespace corvane

#endif  // !__APPLE__
