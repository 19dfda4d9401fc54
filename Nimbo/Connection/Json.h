#pragma once

// JSON record decoder: fills a described record (see JsonTypes.h) from a JSON text, by field name.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Nimbo/Connection/JsonTypes.h"
#include "Nimbo/Connection/platform/AutoFree.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

// The body is not JSON (empty, an HTML page, truncated, malformed); nothing has been written.
class EJsonError : public Exception {
public:
    explicit EJsonError(const std::string& AMessage) : Exception(AMessage) {}
};

enum TValKind { vkInteger, vkInt64, vkDouble, vkString, vkBoolean, vkRecord, vkArray, vkMap };

class TJsonDecoder;
class TValHandler;
class TJsonValue;  // a parsed JSON value; defined with the parser
class TFieldTable;

struct TRecField {
    TValHandler* Handler = nullptr;
    std::int32_t Offset = 0;
};

struct TArrElem {
    TValHandler* Handler = nullptr;
    std::int32_t Size = 0;
};

struct TMapElem {
    std::int32_t ItemsOffset = 0;
    const TTypeInfo* ItemsType = nullptr;
    TValHandler* Handler = nullptr;
    std::int32_t Size = 0;
    std::int32_t KeyOffset = 0;
};

// How to decode one type. Built by the decoder, which owns it and the nested handlers it uses.
class TValHandler {
public:
    // Chooses the decoding rule; raises EAssertionFailed for a type the decoder cannot fill.
    TValHandler(TJsonDecoder& ADecoder, const TTypeInfo& AType);
    ~TValHandler();
    TValHandler(const TValHandler&) = delete;
    TValHandler& operator=(const TValHandler&) = delete;

    TValKind ValKind() const { return FValKind; }
    const TTypeInfo& Type() const { return *FType; }
    // For vkRecord: the field receiving AKey (exact, case-sensitive), or null.
    const TRecField* FindField(std::string_view AKey) const;
    const TArrElem& Elems() const { return FElems; }
    const TMapElem& MapElems() const { return FMapElems; }

    // Decodes AValue into the object of this handler's type at V.
    void Decode(TJsonValue& AValue, void* V) const;
    void DecodeRec(TJsonValue& AObject, void* V) const;
    void DecodeArr(TJsonValue& AArray, void* V) const;
    void DecodeMap(TJsonValue& AObject, void* V) const;

private:
    void Init();
    bool TryInitMap(const TTypeInfo& AType);

    TJsonDecoder* FDecoder;
    const TTypeInfo* FType;
    TValKind FValKind = vkInteger;
    std::unique_ptr<TFieldTable> FFields;
    TArrElem FElems;
    TMapElem FMapElems;
};

// Decodes one JSON document into records. One decoder serves one response.
class TJsonDecoder {
public:
    using TMapKey = TJsonMapKey;

    explicit TJsonDecoder(std::string_view AJson);
    explicit TJsonDecoder(const TBytes& AJson);
    // Takes the bytes over, saving a copy when they have room for the parser's padding.
    explicit TJsonDecoder(TBytes&& AJson);
    ~TJsonDecoder();
    TJsonDecoder(const TJsonDecoder&) = delete;
    TJsonDecoder& operator=(const TJsonDecoder&) = delete;

    // Fills AValue from the document. AValue starts from T{}; fields whose key is absent keep that.
    // EJsonError (not JSON): AValue is untouched. EInvalidCast / EConvertError (a value of the wrong
    // kind or out of range): AValue holds what was decoded before the failing value.
    // EAssertionFailed (T or a type inside it cannot be decoded): raised before anything is written.
    template <class T>
    void Decode(T& AValue) {
        const TValHandler& handler = GetHandler(TypeInfoOf<T>());
        T result{};
        try {
            DecodeRoot(handler, &result);
        } catch (const EJsonError&) {
            throw;
        } catch (...) {
            AValue = std::move(result);
            throw;
        }
        AValue = std::move(result);
    }

    // The cached handler of AType, built on first use.
    TValHandler& GetHandler(const TTypeInfo& AType);
    // Destroys every cached handler.
    void ClearMap();

private:
    class TDocument;

    void DecodeRoot(const TValHandler& AHandler, void* V);

    std::unique_ptr<TDocument> FValue;
    std::unordered_map<std::type_index, std::unique_ptr<TValHandler>> FMap;
    std::vector<std::type_index> FBuilding;  // handlers whose Init is running
};

}  // namespace Nimbo::Connection
