#pragma once

// Type descriptions for the JSON record decoder: what the decoder needs to know about a C++ type
// (its kind, a record's fields, an array's element type) and the macros that let a record describe
// itself.
//
//   struct Entry {
//       std::string name;
//       std::int64_t size = 0;
//       bool is_dir = false;
//   };
//   NIMBO_JSON_RECORD(Entry, name, size, is_dir)   // at namespace scope, after the record
//
//   class TAdapter {
//       struct TToken {
//           std::string access_token;
//           NIMBO_JSON_FIELDS(TToken, access_token)  // inside the record (nested or private types)
//       };
//   };
//
// Each listed member's name is the JSON key it receives; fields are listed in declaration order.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <vector>

namespace Nimbo::Connection {

// Marks a record as a map: a JSON object's members become the items of the record's last
// dynamic-array field, the member name going into the item field named like the marker.
struct TJsonMapKey {};

// What a type is, as far as the decoder is concerned.
enum TTypeCategory { tcInteger, tcInt64, tcDouble, tcString, tcBoolean, tcRecord, tcArray, tcMapKey, tcOther };

struct TTypeInfo;
using TTypeInfoRef = const TTypeInfo& (*)();

struct TFieldInfo {
    std::string_view Name;  // the JSON key
    TTypeInfoRef Type;      // resolved lazily, so records may refer to each other
    std::int32_t Offset;    // byte position inside the record
};

struct TTypeInfo {
    std::type_index Id;
    std::string Name;  // readable name for error messages
    TTypeCategory Category;
    std::int32_t Size;

    // tcRecord: declared fields in declaration order.
    std::span<const TFieldInfo> (*Fields)() = nullptr;

    // tcArray (std::vector<E>): element type and the operations the decoder needs.
    TTypeInfoRef ElemType = nullptr;
    std::size_t (*Length)(const void* AArray) = nullptr;
    void (*Resize)(void* AArray, std::size_t ALength) = nullptr;
    void* (*ElemAt)(void* AArray, std::size_t AIndex) = nullptr;                 // null for std::vector<bool>
    void (*SetBoolAt)(void* AArray, std::size_t AIndex, bool AValue) = nullptr;  // std::vector<bool> only
};

namespace JsonDetail {

std::string ReadableTypeName(const std::type_info& AType);

template <class T>
concept DescribedRecord = requires {
    NimboJsonFields(static_cast<T*>(nullptr));
};

template <class T>
struct IsVector : std::false_type {};
template <class E>
struct IsVector<std::vector<E>> : std::true_type {
    using Elem = E;
};

template <class T>
constexpr TTypeCategory CategoryOf() {
    if constexpr (std::is_same_v<T, std::int32_t>)
        return tcInteger;
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return tcInt64;
    else if constexpr (std::is_same_v<T, double>)
        return tcDouble;
    else if constexpr (std::is_same_v<T, std::string>)
        return tcString;
    else if constexpr (std::is_same_v<T, bool>)
        return tcBoolean;
    else if constexpr (std::is_same_v<T, TJsonMapKey>)
        return tcMapKey;
    else if constexpr (DescribedRecord<T>)
        return tcRecord;
    else if constexpr (IsVector<T>::value)
        return tcArray;
    else
        return tcOther;
}

template <class T>
TTypeInfo MakeTypeInfo();

}  // namespace JsonDetail

// The description of T, built once per program.
template <class T>
const TTypeInfo& TypeInfoOf() {
    static const TTypeInfo info = JsonDetail::MakeTypeInfo<T>();
    return info;
}

namespace JsonDetail {

template <class T>
TTypeInfo MakeTypeInfo() {
    constexpr TTypeCategory category = CategoryOf<T>();
    TTypeInfo info{typeid(T), ReadableTypeName(typeid(T)), category, static_cast<std::int32_t>(sizeof(T))};
    if constexpr (category == tcRecord) {
        info.Fields = [] { return NimboJsonFields(static_cast<T*>(nullptr)); };
    } else if constexpr (category == tcArray) {
        using E = typename IsVector<T>::Elem;
        info.ElemType = &TypeInfoOf<E>;
        info.Length = [](const void* A) { return static_cast<const T*>(A)->size(); };
        info.Resize = [](void* A, std::size_t N) { static_cast<T*>(A)->resize(N); };
        if constexpr (std::is_same_v<E, bool>) {
            info.SetBoolAt = [](void* A, std::size_t I, bool V) { (*static_cast<T*>(A))[I] = V; };
        } else {
            info.ElemAt = [](void* A, std::size_t I) -> void* { return static_cast<T*>(A)->data() + I; };
        }
    }
    return info;
}

template <class R, class M, class C>
TFieldInfo MakeField(const R& AProbe, std::string_view AName, M C::*AMember) {
    const auto* base = reinterpret_cast<const char*>(&AProbe);
    const auto* field = reinterpret_cast<const char*>(&(AProbe.*AMember));
    return TFieldInfo{AName, &TypeInfoOf<M>, static_cast<std::int32_t>(field - base)};
}

}  // namespace JsonDetail
}  // namespace Nimbo::Connection

// Applies M(A, x) to every further argument x (up to 256 of them).
#define NIMBO_JSON_PARENS ()
#define NIMBO_JSON_EXPAND(...) \
    NIMBO_JSON_EXPAND4(NIMBO_JSON_EXPAND4(NIMBO_JSON_EXPAND4(NIMBO_JSON_EXPAND4(__VA_ARGS__))))
#define NIMBO_JSON_EXPAND4(...) \
    NIMBO_JSON_EXPAND3(NIMBO_JSON_EXPAND3(NIMBO_JSON_EXPAND3(NIMBO_JSON_EXPAND3(__VA_ARGS__))))
#define NIMBO_JSON_EXPAND3(...) \
    NIMBO_JSON_EXPAND2(NIMBO_JSON_EXPAND2(NIMBO_JSON_EXPAND2(NIMBO_JSON_EXPAND2(__VA_ARGS__))))
#define NIMBO_JSON_EXPAND2(...) \
    NIMBO_JSON_EXPAND1(NIMBO_JSON_EXPAND1(NIMBO_JSON_EXPAND1(NIMBO_JSON_EXPAND1(__VA_ARGS__))))
#define NIMBO_JSON_EXPAND1(...) __VA_ARGS__
#define NIMBO_JSON_FOR_EACH(M, A, ...) __VA_OPT__(NIMBO_JSON_EXPAND(NIMBO_JSON_FOR_EACH_STEP(M, A, __VA_ARGS__)))
#define NIMBO_JSON_FOR_EACH_STEP(M, A, X, ...) \
    M(A, X) __VA_OPT__(NIMBO_JSON_FOR_EACH_AGAIN NIMBO_JSON_PARENS(M, A, __VA_ARGS__))
#define NIMBO_JSON_FOR_EACH_AGAIN() NIMBO_JSON_FOR_EACH_STEP

#define NIMBO_JSON_FIELD_INFO(Type, Member) ::Nimbo::Connection::JsonDetail::MakeField(probe, #Member, &Type::Member),

#define NIMBO_JSON_FIELD_LIST_BODY(Type, ...)                                   \
    {                                                                           \
        static const std::vector<::Nimbo::Connection::TFieldInfo> fields = [] { \
            const Type probe{};                                                 \
            return std::vector<::Nimbo::Connection::TFieldInfo>{                \
                NIMBO_JSON_FOR_EACH(NIMBO_JSON_FIELD_INFO, Type, __VA_ARGS__)}; \
        }();                                                                    \
        return fields;                                                          \
    }

// Describes a record at namespace scope (the record's namespace, or that of its enclosing class).
#define NIMBO_JSON_RECORD(Type, ...)                                                                \
    [[maybe_unused]] inline std::span<const ::Nimbo::Connection::TFieldInfo> NimboJsonFields(Type*) \
        NIMBO_JSON_FIELD_LIST_BODY(Type, __VA_ARGS__)

// Describes a record from inside its own body; works for nested and private records.
#define NIMBO_JSON_FIELDS(Type, ...)                                               \
    friend std::span<const ::Nimbo::Connection::TFieldInfo> NimboJsonFields(Type*) \
        NIMBO_JSON_FIELD_LIST_BODY(Type, __VA_ARGS__)
