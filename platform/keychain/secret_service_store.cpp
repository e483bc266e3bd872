#include "platform/keychain/secret_service_store.h"

#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <libsecret/secret.h>

namespace pavonix::keychain {

namespace {

constexpr const char* kServiceName = "org.freedesktop.secrets";
constexpr const char* kNoAnswer = "the Secret Service does not answer (is the desktop's keyring running?)";
constexpr const char* kNoKeyringOpen = "the Secret Service has no keyring open (unlock it, or log in again)";
constexpr const char* kLocked = "the keyring is locked (unlock it)";

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s;
        std::memset(&s, 0, sizeof s);
        s.name = "com.vrel.Lanternpost.Password";
        // Match items by attributes alone, so items written by other tools are found too.
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &value;
}

}  // namespace

// Cancels a libsecret call that takes longer than the time-out. Given the store that asks, it
// notes there when the question went out and whether it went unanswered.
class CallDeadline {
public:
    explicit CallDeadline(std::chrono::milliseconds timeout, const SecretServiceStore* asker = nullptr)
        : asker_(asker),
          cancellable_(g_cancellable_new()),
          thread_([this, timeout] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, timeout, [this] { return finished_; })) {
                  g_cancellable_cancel(cancellable_);
              }
          }) {
        if (asker_) asker_->lastAsked_ = steadyMilliseconds();
    }
    ~CallDeadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
        if (asker_) asker_->stalled_ = expired();
        g_object_unref(cancellable_);
    }
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

    GCancellable* cancellable() const { return cancellable_; }
    bool expired() const { return g_cancellable_is_cancelled(cancellable_); }

private:
    const SecretServiceStore* asker_;
    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

namespace {

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error) g_error_free(error);
    }
    GError** out() { return &error; }
};

struct Attributes {
    GHashTable* table;
    explicit Attributes(const ItemKey& key) : table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table, const_cast<char*>("service"),
                            const_cast<char*>(key.service.c_str()));
        g_hash_table_insert(table, const_cast<char*>("account"),
                            const_cast<char*>(key.account.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table); }
};

struct ItemList {
    GList* items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

// D-Bus strings must be UTF-8 without NUL; anything else would trip GLib's checks.
bool validKey(const ItemKey& key) {
    for (const std::string* text : {&key.service, &key.account}) {
        if (text->find('\0') != std::string::npos ||
            !g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) {
            return false;
        }
    }
    return true;
}

Status callFailure(const GError* error, const CallDeadline& deadline) {
    if (deadline.expired() || !error) return notAvailable;
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
        return interactionNotAllowed;
    }
    return notAvailable;
}

SecretService* connect(const CallDeadline& deadline, ErrorHolder& error) {
    if (!sessionBusConfigured()) return nullptr;
    return secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(),
                                   error.out());
}

// Every matching item of any collection, secrets loaded for the unlocked ones. Never unlocks.
bool search(SecretService* service, const ItemKey& key, const CallDeadline& deadline,
            ItemList& found, ErrorHolder& error) {
    Attributes attributes(key);
    found.items = secret_service_search_sync(
        service, schema(), attributes.table,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
        deadline.cancellable(), error.out());
    return error.error == nullptr;
}

SecretValue* makeValue(const Bytes& data) {
    return secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                            static_cast<gssize>(data.size()), "application/octet-stream");
}

// Asks the service itself: the proxy's cached property may predate a lock by another program.
Status collectionLocked(SecretCollection* collection, const CallDeadline& deadline) {
    auto* proxy = G_DBUS_PROXY(collection);
    ErrorHolder error;
    GVariant* reply = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy),
        g_dbus_proxy_get_object_path(proxy), "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1, deadline.cancellable(), error.out());
    if (!reply) return callFailure(error.error, deadline);
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const bool locked = !g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) ||
                        g_variant_get_boolean(boxed);
    g_variant_unref(boxed);
    g_variant_unref(reply);
    return locked ? interactionNotAllowed : success;
}

}  // namespace

bool sessionBusConfigured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        return true;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        struct stat st {};
        return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }
    return false;
}

class ServiceLock {
public:
    // Not taken (the caller reports notAvailable) for a service known to be stalled, before the
    // wait for the turn and again after it: the call before may just have found it so.
    explicit ServiceLock(SecretServiceStore& store) : store_(store) {
        if (store_.skipStalled()) return;
        std::unique_lock lock(store_.mutex_);
        locked_ = store_.turn_.wait_for(lock, store_.timeout_, [this] { return !store_.busy_; }) && !store_.skipStalled();
        if (locked_) store_.busy_ = true;
    }
    ~ServiceLock() {
        if (!locked_) return;
        {
            std::lock_guard lock(store_.mutex_);
            store_.busy_ = false;
        }
        store_.turn_.notify_one();
    }
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;
    bool locked() const { return locked_; }

private:
    SecretServiceStore& store_;
    bool locked_ = false;
};

SecretServiceStore::SecretServiceStore(std::chrono::milliseconds timeout) : timeout_(timeout) {}

namespace {

// The steps every call on existing items starts with: a usable key, this process's turn at the
// service, a connection and the search, all under one deadline. `act` gets the matching items.
template <class Act>
Status onMatchingItems(SecretServiceStore& store, std::chrono::milliseconds timeout, const ItemKey& key, Act&& act) {
    if (!validKey(key)) return badParameter;
    ServiceLock lock(store);
    if (!lock.locked()) return notAvailable;
    CallDeadline deadline(timeout, &store);
    ErrorHolder error;
    SecretService* service = connect(deadline, error);
    if (!service) return callFailure(error.error, deadline);
    ItemList found;
    const bool ok = search(service, key, deadline, found, error);
    g_object_unref(service);
    if (!ok) return callFailure(error.error, deadline);
    return act(found, deadline, error);
}

}  // namespace

bool SecretServiceStore::skipStalled() const {
    return stalled_ && steadyMilliseconds() - lastAsked_ < 2 * timeout_.count();
}

bool SecretServiceStore::available() {
    ServiceLock lock(*this);
    if (!lock.locked()) return false;
    CallDeadline deadline(timeout_, this);
    ErrorHolder error;
    SecretService* service = connect(deadline, error);
    if (!service) return false;
    g_object_unref(service);
    return true;
}

Status SecretServiceStore::read(const ItemKey& key, Bytes& out) {
    return onMatchingItems(*this, timeout_, key, [&](const ItemList& found, const CallDeadline&, ErrorHolder&) {
        // An item behind a lock is there, only not readable until the keyring is unlocked.
        Status status = itemNotFound;
        for (GList* it = found.items; it; it = it->next) {
            auto* item = static_cast<SecretItem*>(it->data);
            if (secret_item_get_locked(item)) {
                status = interactionNotAllowed;
                continue;
            }
            SecretValue* value = secret_item_get_secret(item);
            if (!value) continue;
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            out.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                       reinterpret_cast<const std::uint8_t*>(bytes) + length);
            secret_value_unref(value);
            return success;
        }
        return status;
    });
}

Status SecretServiceStore::add(const ItemKey& key, const Bytes& data) {
    if (!validKey(key)) return badParameter;
    ServiceLock lock(*this);
    if (!lock.locked()) return notAvailable;
    CallDeadline deadline(timeout_, this);
    ErrorHolder error;
    SecretService* service = connect(deadline, error);
    if (!service) return callFailure(error.error, deadline);
    std::unique_ptr<SecretService, decltype(&g_object_unref)> serviceRef(service, g_object_unref);

    ItemList found;
    if (!search(service, key, deadline, found, error)) return callFailure(error.error, deadline);
    for (GList* it = found.items; it; it = it->next) {
        if (!secret_item_get_locked(static_cast<SecretItem*>(it->data))) return duplicateItem;
    }
    // Creating a collection, or writing into a locked one, would prompt the user: refuse both.
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(),
        error.out());
    if (!collection) return error.error ? callFailure(error.error, deadline) : noSuchKeychain;
    std::unique_ptr<SecretCollection, decltype(&g_object_unref)> collectionRef(collection,
                                                                              g_object_unref);
    if (Status locked = collectionLocked(collection, deadline); locked != success) return locked;

    Attributes attributes(key);
    SecretValue* value = makeValue(data);
    const std::string label = "Pavonix: " + key.service + " " + key.account;
    SecretItem* item =
        secret_item_create_sync(collection, schema(), attributes.table, label.c_str(), value,
                                SECRET_ITEM_CREATE_NONE, deadline.cancellable(), error.out());
    secret_value_unref(value);
    if (!item) return callFailure(error.error, deadline);
    g_object_unref(item);
    return success;
}

Status SecretServiceStore::update(const ItemKey& key, const Bytes& data) {
    return onMatchingItems(*this, timeout_, key, [&](const ItemList& found, const CallDeadline& deadline,
                                                    ErrorHolder& error) {
        Status status = itemNotFound;
        for (GList* it = found.items; it; it = it->next) {
            auto* item = static_cast<SecretItem*>(it->data);
            if (secret_item_get_locked(item)) continue;
            SecretValue* value = makeValue(data);
            const bool set = secret_item_set_secret_sync(item, value, deadline.cancellable(), error.out());
            secret_value_unref(value);
            if (!set) return callFailure(error.error, deadline);
            status = success;
        }
        return status;
    });
}

Status SecretServiceStore::remove(const ItemKey& key) {
    return onMatchingItems(*this, timeout_, key, [&](const ItemList& found, const CallDeadline& deadline,
                                                    ErrorHolder& error) {
        Status status = itemNotFound;
        for (GList* it = found.items; it; it = it->next) {
            auto* item = static_cast<SecretItem*>(it->data);
            if (secret_item_get_locked(item)) continue;
            if (!secret_item_delete_sync(item, deadline.cancellable(), error.out())) {
                return callFailure(error.error, deadline);
            }
            status = success;
        }
        return status;
    });
}

std::optional<std::string> SecretServiceStore::problem() const {
    const std::string gone = kNoAnswer;
    if (!sessionBusConfigured()) return gone;
    CallDeadline deadline(timeout_, this);
    ErrorHolder error;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), error.out());
    if (!bus) return gone;
    std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> busRef(bus, g_object_unref);
    // The shared connection would otherwise end the program when the session bus goes away; the
    // bridges serve without it, and this question is asked every few seconds.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    const auto call = [&](const char* path, const char* interface, const char* method, GVariant* arguments,
                          const GVariantType* type) {
        // The bus may start a service it knows how to, as any real call would.
        return g_dbus_connection_call_sync(bus, kServiceName, path, interface, method, arguments, type,
                                           G_DBUS_CALL_FLAGS_NONE, -1, deadline.cancellable(), nullptr);
    };
    // Where new secrets go. A service restarted under a running session typically comes back
    // with none: then every Add fails although the service answers.
    GVariant* alias = call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                           g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"));
    if (!alias) return gone;
    const gchar* path = nullptr;
    g_variant_get(alias, "(&o)", &path);
    const std::string collection = path ? path : "/";
    g_variant_unref(alias);
    if (collection == "/") return std::string(kNoKeyringOpen);
    GVariant* locked = call(collection.c_str(), "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"));
    if (!locked) return gone;
    GVariant* boxed = nullptr;
    g_variant_get(locked, "(v)", &boxed);
    const bool isLocked = !g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) || g_variant_get_boolean(boxed);
    g_variant_unref(boxed);
    g_variant_unref(locked);
    if (isLocked) return std::string(kLocked);
    return std::nullopt;
}

std::string SecretServiceStore::failure(Status status) const {
    switch (status) {
    case notAvailable: return kNoAnswer;
    case noSuchKeychain: return kNoKeyringOpen;
    case interactionNotAllowed: return std::string("the Secret Service: ") + kLocked;
    default: return "the Secret Service";
    }
}

bool secretServiceOnBus(std::chrono::milliseconds timeout) {
    if (!sessionBusConfigured()) return false;
    CallDeadline deadline(timeout);
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.cancellable(), nullptr);
    if (!bus) return false;
    std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> busRef(bus, g_object_unref);
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    const auto ask = [&](const char* method, GVariant* arguments, const GVariantType* type) {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           method, arguments, type, G_DBUS_CALL_FLAGS_NONE, -1, deadline.cancellable(),
                                           nullptr);
    };
    GVariant* owned = ask("NameHasOwner", g_variant_new("(s)", kServiceName), G_VARIANT_TYPE("(b)"));
    if (!owned) return false;
    gboolean hasOwner = FALSE;
    g_variant_get(owned, "(b)", &hasOwner);
    g_variant_unref(owned);
    if (hasOwner) return true;
    GVariant* names = ask("ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
    if (!names) return false;
    GVariantIter* iter = nullptr;
    g_variant_get(names, "(as)", &iter);
    bool activatable = false;
    const gchar* name = nullptr;
    while (!activatable && g_variant_iter_next(iter, "&s", &name)) activatable = std::strcmp(name, kServiceName) == 0;
    g_variant_iter_free(iter);
    g_variant_unref(names);
    return activatable;
}

Status SecretServiceStore::lockDefaultCollection() {
    CallDeadline deadline(timeout_);
    ErrorHolder error;
    SecretService* service = connect(deadline, error);
    if (!service) return callFailure(error.error, deadline);
    std::unique_ptr<SecretService, decltype(&g_object_unref)> serviceRef(service, g_object_unref);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline.cancellable(),
        error.out());
    if (!collection) return noSuchKeychain;
    GList objects{collection, nullptr, nullptr};
    const gint count =
        secret_service_lock_sync(service, &objects, deadline.cancellable(), nullptr, error.out());
    g_object_unref(collection);
    return count == 1 ? success : callFailure(error.error, deadline);
}

}  // namespace pavonix::keychain
