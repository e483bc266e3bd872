// Typed settings over the user-defaults store.
//
// A `SettingsStore::Key<T>` names a stored entry, its value type and its default. Reads give the
// stored value turned back into T, or the default when nothing is stored or the stored form
// cannot be read (unless the key names another value for that); they never fail. Stored forms: Bool, integers and String as JSON scalars;
// enumerations as their raw string (`SettingsStore::RawValue<E>`); records as one compact JSON
// text with sorted keys (`SettingsStore::Serializable<T>`), lists of records as an array of such
// texts, from which an element that fails to decode is dropped (on reading; changeList() changes
// such a list without losing those elements). A `std::optional<T>` key stores
// nothing for an empty optional: writing nullopt removes the entry.
//
// Observation: a subscriber is told on the main thread (through MainExecutor), once after each
// change of the value it reads, whoever writes it and from whichever thread. Writing an equal
// value is no change; the value present when the subscription starts is no change either.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/defaults/user_defaults.h"

namespace pavonix {

namespace settings_detail {
struct Subscriber;
class Hub;
}  // namespace settings_detail

template <class R>
class StoredRecordList;

class SettingsStore {
public:
    // A typed setting: the name it is stored under and what it reads as while nothing is
    // stored. A stored value that is not a T reads as `undecodableValue` when there is one, else
    // as the default: a protection switch reads as on, so that a damaged value never turns a
    // protection off. Once registerDefault() has run, a key with an `undecodableValue` that the
    // file holds more than once reads as that value too (which copy counts is as ambiguous).
    template <class T>
    struct Key {
        std::string name;
        T defaultValue{};
        std::optional<T> undecodableValue{};
    };

    // Opt-in for record types. Specialise it with
    //   static nlohmann::json toJson(const T&);
    //   static std::optional<T> fromJson(const nlohmann::json&);  // nothing when it does not decode
    // or derive the specialisation from JsonConvertible<T> to use the type's nlohmann
    // to_json / from_json (which then must write dates as seconds since 2001-01-01).
    template <class T>
    struct Serializable {};

    template <class T>
    struct JsonConvertible {
        static nlohmann::json toJson(const T& value) { return nlohmann::json(value); }
        static std::optional<T> fromJson(const nlohmann::json& json) {
            try {
                return json.template get<T>();
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    };

    // Opt-in for enumerations stored by raw string. Specialise it with
    //   static std::string toRaw(E);
    //   static std::optional<E> fromRaw(std::string_view);
    template <class E>
    struct RawValue {};

    // Ends its subscription when destroyed or cancelled. Destroy it on the main thread to be sure
    // that no call is under way or still to come.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept = default;
        Subscription& operator=(Subscription&& other) noexcept;
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { cancel(); }

        void cancel();
        bool active() const { return subscriber_ != nullptr; }

    private:
        friend class SettingsStore;
        Subscription(std::weak_ptr<settings_detail::Hub> hub, std::shared_ptr<settings_detail::Subscriber> subscriber)
            : hub_(std::move(hub)), subscriber_(std::move(subscriber)) {}
        std::weak_ptr<settings_detail::Hub> hub_;
        std::shared_ptr<settings_detail::Subscriber> subscriber_;
    };

    // The store must outlive this object and every subscription made through it.
    explicit SettingsStore(defaults::UserDefaults& defaults);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The process-wide store over UserDefaults::standard().
    static SettingsStore& shared();

    defaults::UserDefaults& defaults() const { return defaults_; }

    template <class T>
    T value(const Key<T>& key) const {
        return read(defaults_, key);
    }
    // Returns whether the stored value changed.
    template <class T>
    bool setValue(const Key<T>& key, const std::type_identity_t<T>& value);
    template <class T>
    bool removeValue(const Key<T>& key) {
        return defaults_.remove(key.name);
    }
    // Changes a list of records record by record: `change` is given the list as stored (a
    // StoredRecordList<R>&, which keeps the entries that do not decode) and finds, changes,
    // removes or appends records by their `id`. It runs now on the list in memory, and again at
    // the write on the list in the file, so that the records another copy of the program added,
    // changed or removed meanwhile stay as it left them. It must be quick, copyable and must not
    // call into the store. Returns whether the list in memory changed.
    template <class R, class Change>
    bool changeList(const Key<std::vector<R>>& key, Change change);

    // `onChange` runs on the main thread with the new value.
    template <class T>
    [[nodiscard]] Subscription observe(const Key<T>& key, std::function<void(const std::type_identity_t<T>&)> onChange);

    // The same read on the user-defaults store itself.
    template <class T>
    static T read(const defaults::UserDefaults& defaults, const Key<T>& key);
    // Puts the key's default into the store's registration domain (never written to disk), and
    // its `undecodableValue` in the place of a key held more than once.
    template <class T>
    static void registerDefault(defaults::UserDefaults& defaults, const Key<T>& key);

    // The same operations on the process-wide store.
    template <class T>
    static T get(const Key<T>& key) {
        return shared().value(key);
    }
    template <class T>
    static bool set(const Key<T>& key, const std::type_identity_t<T>& value) {
        return shared().setValue(key, value);
    }
    template <class T>
    static bool remove(const Key<T>& key) {
        return shared().removeValue(key);
    }
    template <class T>
    [[nodiscard]] static Subscription subscribe(const Key<T>& key,
                                                std::function<void(const std::type_identity_t<T>&)> onChange) {
        return shared().observe(key, std::move(onChange));
    }

private:
    Subscription add(std::shared_ptr<settings_detail::Subscriber> subscriber);

    defaults::UserDefaults& defaults_;
    std::shared_ptr<settings_detail::Hub> hub_;
    defaults::UserDefaults::ListenerId listenerId_ = 0;
};

// A record type that opted in through SettingsStore::Serializable.
template <class T>
concept SettingsRecord = requires(const T& value, const nlohmann::json& json) {
    { SettingsStore::Serializable<T>::toJson(value) } -> std::convertible_to<nlohmann::json>;
    { SettingsStore::Serializable<T>::fromJson(json) } -> std::same_as<std::optional<T>>;
};

// An enumeration that opted in through SettingsStore::RawValue.
template <class E>
concept SettingsRawEnum = std::is_enum_v<E> && requires(E value, std::string_view raw) {
    { SettingsStore::RawValue<E>::toRaw(value) } -> std::convertible_to<std::string>;
    { SettingsStore::RawValue<E>::fromRaw(raw) } -> std::same_as<std::optional<E>>;
};

namespace settings_detail {

// How values of one type are stored. encode gives nothing when the entry is to be removed;
// decode gives nothing when the stored form is not one of T.
template <class T>
struct Codec;

template <>
struct Codec<bool> {
    static std::optional<nlohmann::json> encode(bool value) { return nlohmann::json(value); }
    static std::optional<bool> decode(const nlohmann::json& json) {
        if (!json.is_boolean()) return std::nullopt;
        return json.get<bool>();
    }
};

template <std::integral T>
    requires(!std::same_as<T, bool>)
struct Codec<T> {
    static std::optional<nlohmann::json> encode(T value) { return nlohmann::json(value); }
    static std::optional<T> decode(const nlohmann::json& json) {
        if (json.is_number_unsigned()) {
            auto value = json.get<std::uint64_t>();
            if (std::in_range<T>(value)) return static_cast<T>(value);
        } else if (json.is_number_integer()) {
            auto value = json.get<std::int64_t>();
            if (std::in_range<T>(value)) return static_cast<T>(value);
        }
        return std::nullopt;
    }
};

template <std::floating_point T>
struct Codec<T> {
    static std::optional<nlohmann::json> encode(T value) { return nlohmann::json(value); }
    static std::optional<T> decode(const nlohmann::json& json) {
        if (!json.is_number()) return std::nullopt;
        return json.get<T>();
    }
};

template <>
struct Codec<std::string> {
    static std::optional<nlohmann::json> encode(const std::string& value) { return nlohmann::json(value); }
    static std::optional<std::string> decode(const nlohmann::json& json) {
        if (!json.is_string()) return std::nullopt;
        return json.get_ref<const std::string&>();
    }
};

template <SettingsRawEnum E>
struct Codec<E> {
    static std::optional<nlohmann::json> encode(E value) {
        return nlohmann::json(std::string(SettingsStore::RawValue<E>::toRaw(value)));
    }
    static std::optional<E> decode(const nlohmann::json& json) {
        if (!json.is_string()) return std::nullopt;
        return SettingsStore::RawValue<E>::fromRaw(json.get_ref<const std::string&>());
    }
};

// Compact with sorted keys (nlohmann objects are ordered); invalid UTF-8 replaced, never thrown.
inline std::string recordText(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <SettingsRecord R>
std::optional<R> decodeRecord(const nlohmann::json& stored) {
    if (stored.is_string()) {
        auto parsed = nlohmann::json::parse(stored.get_ref<const std::string&>(), nullptr, false);
        if (parsed.is_discarded()) return std::nullopt;
        return SettingsStore::Serializable<R>::fromJson(parsed);
    }
    // Not the stored form, but unambiguous: a record written as a plain object.
    if (stored.is_object()) return SettingsStore::Serializable<R>::fromJson(stored);
    return std::nullopt;
}

template <SettingsRecord R>
struct Codec<R> {
    static std::optional<nlohmann::json> encode(const R& value) {
        return nlohmann::json(recordText(SettingsStore::Serializable<R>::toJson(value)));
    }
    static std::optional<R> decode(const nlohmann::json& json) { return decodeRecord<R>(json); }
};

template <SettingsRecord R>
struct Codec<std::vector<R>> {
    static std::optional<nlohmann::json> encode(const std::vector<R>& values) {
        nlohmann::json texts = nlohmann::json::array();
        for (const R& value : values) texts.push_back(recordText(SettingsStore::Serializable<R>::toJson(value)));
        return texts;
    }
    static std::optional<std::vector<R>> decode(const nlohmann::json& json) {
        if (!json.is_array()) return std::nullopt;
        std::vector<R> out;
        out.reserve(json.size());
        for (const auto& element : json) {
            if (auto value = decodeRecord<R>(element)) out.push_back(std::move(*value));
        }
        return out;
    }
};

template <class U>
struct Codec<std::optional<U>> {
    static std::optional<nlohmann::json> encode(const std::optional<U>& value) {
        if (!value) return std::nullopt;
        return Codec<U>::encode(*value);
    }
    static std::optional<std::optional<U>> decode(const nlohmann::json& json) {
        auto value = Codec<U>::decode(json);
        if (!value) return std::nullopt;
        return std::optional<U>(std::move(*value));
    }
};

template <class T>
T decodeKey(const nlohmann::json* stored, const SettingsStore::Key<T>& key) {
    if (!stored) return key.defaultValue;
    if (auto value = Codec<T>::decode(*stored)) return std::move(*value);
    return key.undecodableValue.value_or(key.defaultValue);
}

// One subscription's state. start() runs once, before the subscriber is registered; deliver()
// runs on the main thread only.
struct Subscriber {
    explicit Subscriber(std::string key) : key(std::move(key)) {}
    virtual ~Subscriber() = default;
    virtual void start(const std::optional<nlohmann::json>& stored, std::uint64_t sequence) = 0;
    virtual void deliver(const std::optional<nlohmann::json>& stored, std::uint64_t sequence) = 0;

    const std::string key;
    std::atomic<bool> cancelled{false};
};

template <class T>
class TypedSubscriber final : public Subscriber {
public:
    TypedSubscriber(SettingsStore::Key<T> key, std::function<void(const T&)> onChange)
        : Subscriber(key.name), key_(std::move(key)), onChange_(std::move(onChange)) {}

    void start(const std::optional<nlohmann::json>& stored, std::uint64_t sequence) override {
        lastSequence_ = sequence;
        lastSeen_ = Codec<T>::encode(visible(stored));
    }

    void deliver(const std::optional<nlohmann::json>& stored, std::uint64_t sequence) override {
        // Reports of two writers on different threads may arrive out of order; the older one is
        // already superseded, and a report from before the subscription started is not a change.
        if (sequence <= lastSequence_) return;
        lastSequence_ = sequence;
        T value = visible(stored);
        auto seen = Codec<T>::encode(value);
        if (seen == lastSeen_) return;  // e.g. the default written where nothing was stored
        lastSeen_ = std::move(seen);
        if (!cancelled) onChange_(value);
    }

private:
    T visible(const std::optional<nlohmann::json>& stored) const {
        return decodeKey<T>(stored ? &*stored : nullptr, key_);
    }

    SettingsStore::Key<T> key_;
    std::function<void(const T&)> onChange_;
    std::uint64_t lastSequence_ = 0;
    std::optional<nlohmann::json> lastSeen_;
};

}  // namespace settings_detail

// A list of records as it is stored, for read-change-write. The entries that decode can be
// found, changed, removed and added to; those that do not (written by a newer version, or
// damaged) keep their stored form and their place, and an entry left unchanged is written back
// exactly as it was read (fields this version does not know included). So writing a list back
// never loses an entry, nor the keychain secret that an entry names.
template <class R>
class StoredRecordList {
    static_assert(SettingsRecord<R>, "a list of records that opted in through SettingsStore::Serializable");

public:
    StoredRecordList() = default;
    explicit StoredRecordList(const nlohmann::json* stored) {
        if (!stored || !stored->is_array()) return;
        entries_.reserve(stored->size());
        for (const auto& element : *stored) {
            Entry entry;
            entry.value = settings_detail::decodeRecord<R>(element);
            if (entry.value) entry.asRead = encodedText(*entry.value);
            entry.stored = element;
            entries_.push_back(std::move(entry));
        }
    }

    // The first entry that decodes and satisfies `matches`; null when there is none.
    template <class Predicate>
    R* findFirst(Predicate matches) {
        for (auto& entry : entries_) {
            if (entry.value && matches(std::as_const(*entry.value))) return &*entry.value;
        }
        return nullptr;
    }
    // Removes every entry that decodes and satisfies `matches`.
    template <class Predicate>
    void eraseIf(Predicate matches) {
        std::erase_if(entries_, [&](const Entry& entry) { return entry.value && matches(*entry.value); });
    }
    void append(R value) {
        Entry entry;
        entry.value = std::move(value);
        entries_.push_back(std::move(entry));
    }
    // The entries that decode, in stored order.
    std::vector<R> values() const {
        std::vector<R> out;
        for (const auto& entry : entries_) {
            if (entry.value) out.push_back(*entry.value);
        }
        return out;
    }

    nlohmann::json stored() const {
        nlohmann::json texts = nlohmann::json::array();
        for (const auto& entry : entries_) {
            if (!entry.value) {
                texts.push_back(entry.stored);
                continue;
            }
            std::string text = encodedText(*entry.value);
            texts.push_back(entry.asRead == text ? entry.stored : nlohmann::json(std::move(text)));
        }
        return texts;
    }

private:
    struct Entry {
        std::optional<R> value;        // nothing: the entry does not decode
        nlohmann::json stored;         // the entry as read
        std::optional<std::string> asRead;  // the encoded form of the value as read
    };
    static std::string encodedText(const R& value) {
        return settings_detail::recordText(SettingsStore::Serializable<R>::toJson(value));
    }
    std::vector<Entry> entries_;
};

template <class R, class Change>
bool SettingsStore::changeList(const Key<std::vector<R>>& key, Change change) {
    return defaults_.edit(key.name, [change = std::move(change)](const nlohmann::json* stored) {
        StoredRecordList<R> list(stored);
        change(list);
        nlohmann::json texts = list.stored();
        // A list that was never stored and stays empty is not stored either.
        return stored || !texts.empty() ? std::optional<nlohmann::json>(std::move(texts)) : std::nullopt;
    });
}

template <class T>
T SettingsStore::read(const defaults::UserDefaults& defaults, const Key<T>& key) {
    return defaults.withStored(key.name,
                               [&](const nlohmann::json* stored) { return settings_detail::decodeKey<T>(stored, key); });
}

template <class T>
void SettingsStore::registerDefault(defaults::UserDefaults& defaults, const Key<T>& key) {
    if (auto encoded = settings_detail::Codec<T>::encode(key.defaultValue)) {
        nlohmann::json entry = nlohmann::json::object();
        entry[key.name] = std::move(*encoded);
        defaults.registerDefaults(entry);
    }
    if (!key.undecodableValue) return;
    if (auto encoded = settings_detail::Codec<T>::encode(*key.undecodableValue)) {
        defaults.readRepeatedKeyAs(key.name, std::move(*encoded));
    }
}

template <class T>
bool SettingsStore::setValue(const Key<T>& key, const std::type_identity_t<T>& value) {
    auto encoded = settings_detail::Codec<T>::encode(value);
    return encoded ? defaults_.set(key.name, std::move(*encoded)) : defaults_.remove(key.name);
}

template <class T>
SettingsStore::Subscription SettingsStore::observe(const Key<T>& key,
                                                   std::function<void(const std::type_identity_t<T>&)> onChange) {
    return add(std::make_shared<settings_detail::TypedSubscriber<T>>(key, std::move(onChange)));
}

}  // namespace pavonix
