#include "Nimbo/Connection/Json.h"

#include <cxxabi.h>
#include <simdjson.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Nimbo/Connection/JsonFieldTable.h"

namespace Nimbo::Connection {

namespace od = simdjson::ondemand;

std::string JsonDetail::ReadableTypeName(const std::type_info& AType) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(AType.name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(AType.name());
}

class TJsonValue {
public:
    explicit TJsonValue(od::value AValue) : V(std::move(AValue)) {}
    od::value V;
};

namespace {

// A syntax error met while walking the document; turned into EJsonError with its position.
struct TSyntaxFailure {
    simdjson::error_code Code;
    const char* Where = nullptr;  // where the parser stopped, when known
};

void Check(simdjson::error_code ACode) {
    if (ACode != simdjson::SUCCESS) throw TSyntaxFailure{ACode};
}

[[noreturn]] void InvalidCast() { throw EInvalidCast("Invalid class typecast"); }

std::string_view TrimTrailingSpace(std::string_view AToken) {
    while (!AToken.empty() &&
           (AToken.back() == ' ' || AToken.back() == '\t' || AToken.back() == '\n' || AToken.back() == '\r'))
        AToken.remove_suffix(1);
    return AToken;
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(std::string_view S) {
    std::size_t i = 0;
    const std::size_t n = S.size();
    if (i < n && S[i] == '-') ++i;
    if (i >= n || !IsDigit(S[i])) return false;
    if (S[i] == '0')
        ++i;
    else
        while (i < n && IsDigit(S[i])) ++i;
    if (i < n && S[i] == '.') {
        if (++i >= n || !IsDigit(S[i])) return false;
        while (i < n && IsDigit(S[i])) ++i;
    }
    if (i < n && (S[i] == 'e' || S[i] == 'E')) {
        if (++i < n && (S[i] == '+' || S[i] == '-')) ++i;
        if (i >= n || !IsDigit(S[i])) return false;
        while (i < n && IsDigit(S[i])) ++i;
    }
    return i == n;
}

template <class J>
std::string_view RawToken(J& AValue) {
    auto raw = AValue.raw_json_token();  // a plain view for values, a result for documents
    std::string_view token;
    if constexpr (std::is_same_v<decltype(raw), std::string_view>)
        token = raw;
    else
        Check(std::move(raw).get(token));
    return TrimTrailingSpace(token);
}

template <class J>
od::json_type KindOf(J& AValue) {
    od::json_type kind;
    Check(AValue.type().get(kind));
    return kind;
}

template <class J>
std::int64_t ReadInteger(J& AValue, std::int64_t AMin, std::int64_t AMax) {
    if (KindOf(AValue) != od::json_type::number) InvalidCast();
    const std::string_view text = RawToken(AValue);
    std::int64_t result = 0;
    if (AValue.get_int64().get(result) != simdjson::SUCCESS || result < AMin || result > AMax)
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return result;
}

template <class J>
double ReadDouble(J& AValue) {
    if (KindOf(AValue) != od::json_type::number) InvalidCast();
    const std::string_view text = RawToken(AValue);
    double result = 0;
    if (AValue.get_double().get(result) != simdjson::SUCCESS)
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    return result;
}

template <class J>
void ReadString(J& AValue, std::string& AResult) {
    switch (KindOf(AValue)) {
        case od::json_type::string: {
            std::string_view text;
            Check(AValue.get_string().get(text));
            AResult.assign(text);
            return;
        }
        case od::json_type::number: {
            const std::string_view text = RawToken(AValue);
            if (!IsJsonNumber(text)) Check(simdjson::NUMBER_ERROR);
            AResult.assign(text);
            return;
        }
        case od::json_type::null: {
            bool isNull = false;
            if (AValue.is_null().get(isNull) != simdjson::SUCCESS || !isNull) Check(simdjson::N_ATOM_ERROR);
            AResult.clear();
            return;
        }
        default:
            InvalidCast();
    }
}

template <class J>
bool ReadBoolean(J& AValue) {
    if (KindOf(AValue) != od::json_type::boolean) InvalidCast();
    bool result = false;
    if (AValue.get_bool().get(result) != simdjson::SUCCESS) Check(simdjson::T_ATOM_ERROR);
    return result;
}

// Decodes the scalar kinds; false when AKind is not a scalar kind.
template <class J>
bool DecodeScalar(TValKind AKind, J& AValue, void* V) {
    switch (AKind) {
        case vkInteger:
            *static_cast<std::int32_t*>(V) = static_cast<std::int32_t>(ReadInteger(
                AValue, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
            return true;
        case vkInt64:
            *static_cast<std::int64_t*>(V) =
                ReadInteger(AValue, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
            return true;
        case vkDouble:
            *static_cast<double*>(V) = ReadDouble(AValue);
            return true;
        case vkString:
            ReadString(AValue, *static_cast<std::string*>(V));
            return true;
        case vkBoolean:
            *static_cast<bool*>(V) = ReadBoolean(AValue);
            return true;
        default:
            return false;
    }
}

// A member's name with escapes resolved; the common case needs no copy.
std::string_view KeyOf(od::field& AField) {
    const char* start = AField.key().raw();
    const char* end = start;
    while (*end != '"' && *end != '\\') ++end;  // the string is closed: the parser checked it
    if (*end == '"') return {start, static_cast<std::size_t>(end - start)};
    std::string_view key;
    Check(AField.unescaped_key().get(key));
    return key;
}

// Deeper nesting than this is refused rather than walked, so that no text can exhaust the stack. It
// stays well below the parser's own depth limit (1024), which counts from the document's root.
constexpr int MaxNesting = 512;

// Checks that AValue is well-formed JSON, reading it to its end.
template <class J>
void Validate(J& AValue, int ADepth = 0) {
    if (ADepth > MaxNesting) Check(simdjson::DEPTH_ERROR);
    switch (KindOf(AValue)) {
        case od::json_type::object: {
            od::object object;
            Check(AValue.get_object().get(object));
            for (auto member : object) {
                od::field field;
                Check(std::move(member).get(field));
                std::string_view key;
                Check(field.unescaped_key().get(key));
                Validate(field.value(), ADepth + 1);
            }
            return;
        }
        case od::json_type::array: {
            od::array array;
            Check(AValue.get_array().get(array));
            for (auto element : array) {
                od::value item;
                Check(std::move(element).get(item));
                Validate(item, ADepth + 1);
            }
            return;
        }
        case od::json_type::string: {
            std::string_view text;
            Check(AValue.get_string().get(text));
            return;
        }
        case od::json_type::number:
            if (!IsJsonNumber(RawToken(AValue))) Check(simdjson::NUMBER_ERROR);
            return;
        case od::json_type::boolean: {
            bool flag = false;
            if (AValue.get_bool().get(flag) != simdjson::SUCCESS) Check(simdjson::T_ATOM_ERROR);
            return;
        }
        case od::json_type::null: {
            bool isNull = false;
            if (AValue.is_null().get(isNull) != simdjson::SUCCESS || !isNull) Check(simdjson::N_ATOM_ERROR);
            return;
        }
    }
}

od::object ObjectOf(TJsonValue& AValue) {
    if (KindOf(AValue.V) != od::json_type::object) InvalidCast();
    od::object object;
    Check(AValue.V.get_object().get(object));
    return object;
}

std::string_view ErrorText(simdjson::error_code ACode) {
    switch (ACode) {
        case simdjson::EMPTY:
            return "the text is empty";
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
            return "the text ends inside an array or object";
        case simdjson::UTF8_ERROR:
            return "the text is not valid UTF-8";
        case simdjson::T_ATOM_ERROR:
            return "a value starting with 't' or 'f' is neither true nor false";
        default:
            return simdjson::error_message(ACode);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The parsed document

class TJsonDecoder::TDocument {
public:
    explicit TDocument(TBytes&& ABytes) : FBytes(std::move(ABytes)) {
        const std::size_t size = FBytes.size();
        if (FBytes.capacity() < size + simdjson::SIMDJSON_PADDING) FBytes.reserve(size + simdjson::SIMDJSON_PADDING);
        // The padding only has to be readable; keep it zeroed anyway so that nothing undefined is read.
        FBytes.resize(size + simdjson::SIMDJSON_PADDING);
        FSize = size;
        FParseError = FParser.iterate(simdjson::padded_string_view(FBytes.data(), FSize, FBytes.size())).get(FDocument);
    }

    // Decodes the root value, then makes sure nothing but white space follows it.
    void Decode(const TValHandler& AHandler, void* V) {
        try {
            Check(FParseError);
            FDocument.rewind();
            const od::json_type kind = KindOf(FDocument);
            if (kind == od::json_type::object || kind == od::json_type::array) {
                od::value root;
                Check(FDocument.get_value().get(root));
                TJsonValue value(std::move(root));
                AHandler.Decode(value, V);
                const char* rest = nullptr;  // fails with OUT_OF_BOUNDS once the whole text has been read
                if (FDocument.current_location().get(rest) == simdjson::SUCCESS)
                    throw TSyntaxFailure{simdjson::TRAILING_CONTENT, rest};
            } else {
                CheckSingleScalar();
                if (!DecodeScalar(AHandler.ValKind(), FDocument, V)) InvalidCast();
            }
        } catch (const TSyntaxFailure& failure) {
            throw EJsonError(Describe(failure));
        } catch (const EInvalidCast&) {
            ThrowIfNotJson();
            throw;
        } catch (const EConvertError&) {
            ThrowIfNotJson();
            throw;
        }
    }

private:
    // A document that is one scalar must end with it.
    void CheckSingleScalar() {
        const std::string_view token = RawToken(FDocument);
        const auto* end = reinterpret_cast<const char*>(FBytes.data()) + FSize;
        const char* tokenEnd = token.data() + token.size();
        if (tokenEnd != TrimTrailingSpace({token.data(), static_cast<std::size_t>(end - token.data())}).end())
            throw TSyntaxFailure{simdjson::TRAILING_CONTENT, tokenEnd};
    }

    // The walk reads only what it needs, so a value of the wrong kind may hide a text that is not
    // JSON at all; the whole text is checked, and reported as not JSON, before a data error is raised.
    void ThrowIfNotJson() {
        try {
            FDocument.rewind();
            const od::json_type kind = KindOf(FDocument);
            if (kind != od::json_type::object && kind != od::json_type::array) {
                CheckSingleScalar();
                Validate(FDocument);
                return;
            }
            Validate(FDocument);
            const char* rest = nullptr;
            if (FDocument.current_location().get(rest) == simdjson::SUCCESS)
                throw TSyntaxFailure{simdjson::TRAILING_CONTENT, rest};
        } catch (const TSyntaxFailure& failure) {
            throw EJsonError(Describe(failure));
        }
    }

    std::string Describe(const TSyntaxFailure& AFailure) {
        std::string message = "Invalid JSON: " + std::string(ErrorText(AFailure.Code));
        const char* where = AFailure.Where;
        if (!where && AFailure.Code != simdjson::EMPTY && AFailure.Code != simdjson::INCOMPLETE_ARRAY_OR_OBJECT &&
            FParseError == simdjson::SUCCESS && FDocument.current_location().get(where) != simdjson::SUCCESS)
            where = nullptr;
        const auto* start = reinterpret_cast<const char*>(FBytes.data());
        if (where && where >= start && where <= start + FSize)
            message += " (near byte " + std::to_string(where - start) + ")";
        return message;
    }

    TBytes FBytes;  // the text followed by the parser's padding
    std::size_t FSize = 0;
    od::parser FParser;
    od::document FDocument;
    simdjson::error_code FParseError = simdjson::SUCCESS;
};

// ---------------------------------------------------------------------------------------------
// TJsonDecoder

namespace {

// A copy of the text with room for the parser's padding, so that it is copied only once.
TBytes PaddedCopy(const void* AData, std::size_t ASize) {
    TBytes bytes;
    bytes.reserve(ASize + simdjson::SIMDJSON_PADDING);
    const auto* first = static_cast<const std::uint8_t*>(AData);
    bytes.assign(first, first + ASize);
    return bytes;
}

}  // namespace

TJsonDecoder::TJsonDecoder(std::string_view AJson) : TJsonDecoder(PaddedCopy(AJson.data(), AJson.size())) {}

TJsonDecoder::TJsonDecoder(const TBytes& AJson) : TJsonDecoder(PaddedCopy(AJson.data(), AJson.size())) {}

TJsonDecoder::TJsonDecoder(TBytes&& AJson) : FValue(std::make_unique<TDocument>(std::move(AJson))) {}

TJsonDecoder::~TJsonDecoder() { ClearMap(); }

void TJsonDecoder::ClearMap() { FMap.clear(); }

TValHandler& TJsonDecoder::GetHandler(const TTypeInfo& AType) {
    if (auto found = FMap.find(AType.Id); found != FMap.end()) return *found->second;
    Assert(std::find(FBuilding.begin(), FBuilding.end(), AType.Id) == FBuilding.end(),
           "Record type contains itself: " + AType.Name);

    // Init may build nested handlers; the type is marked as under construction until it returns.
    FBuilding.push_back(AType.Id);
    struct TUnmark {
        std::vector<std::type_index>& Building;
        ~TUnmark() { Building.pop_back(); }
    } unmark{FBuilding};
    auto handler = std::make_unique<TValHandler>(*this, AType);
    TValHandler& result = *handler;
    FMap.emplace(AType.Id, std::move(handler));
    return result;
}

void TJsonDecoder::DecodeRoot(const TValHandler& AHandler, void* V) { FValue->Decode(AHandler, V); }

// ---------------------------------------------------------------------------------------------
// TValHandler: choosing the rule

TValHandler::TValHandler(TJsonDecoder& ADecoder, const TTypeInfo& AType) : FDecoder(&ADecoder), FType(&AType) {
    Init();
}

TValHandler::~TValHandler() = default;

const TRecField* TValHandler::FindField(std::string_view AKey) const { return FFields ? FFields->Find(AKey) : nullptr; }

void TValHandler::Init() {
    switch (FType->Category) {
        case tcInteger:
            FValKind = vkInteger;
            return;
        case tcInt64:
            FValKind = vkInt64;
            return;
        case tcDouble:
            FValKind = vkDouble;
            return;
        case tcString:
            FValKind = vkString;
            return;
        case tcBoolean:
            FValKind = vkBoolean;
            return;
        case tcRecord:
            if (TryInitMap(*FType)) {
                FValKind = vkMap;
                return;
            }
            FValKind = vkRecord;
            FFields = std::make_unique<TFieldTable>();
            for (const TFieldInfo& field : FType->Fields())
                FFields->Add(field.Name, TRecField{&FDecoder->GetHandler(field.Type()), field.Offset});
            return;
        case tcArray: {
            const TTypeInfo& elem = FType->ElemType();
            FValKind = vkArray;
            FElems = TArrElem{&FDecoder->GetHandler(elem), elem.Size};
            return;
        }
        case tcMapKey:
        case tcOther:
            break;
    }
    Assert(false, "Type cannot be decoded from JSON: " + FType->Name);
}

bool TValHandler::TryInitMap(const TTypeInfo& AType) {
    const TFieldInfo* marker = nullptr;
    const TFieldInfo* items = nullptr;
    for (const TFieldInfo& field : AType.Fields()) {
        const TTypeCategory category = field.Type().Category;
        if (category == tcMapKey) marker = &field;
        if (category == tcArray) items = &field;
    }
    if (!marker) return false;

    Assert(items != nullptr, "Map type has no items array field");
    const TTypeInfo& itemsType = items->Type();
    const TTypeInfo& itemType = itemsType.ElemType();
    TValHandler& itemHandler = FDecoder->GetHandler(itemType);
    Assert(itemHandler.ValKind() == vkRecord);
    const TRecField* key = itemHandler.FindField(marker->Name);
    Assert(key != nullptr, "Map item has no key field");
    Assert(key->Handler->ValKind() == vkString, "Map items key should be string");

    FMapElems = TMapElem{items->Offset, &itemsType, &itemHandler, itemType.Size, key->Offset};
    return true;
}

// ---------------------------------------------------------------------------------------------
// TValHandler: decoding

void TValHandler::Decode(TJsonValue& AValue, void* V) const {
    switch (FValKind) {
        case vkRecord:
            DecodeRec(AValue, V);
            return;
        case vkArray:
            DecodeArr(AValue, V);
            return;
        case vkMap:
            DecodeMap(AValue, V);
            return;
        default:
            DecodeScalar(FValKind, AValue.V, V);
    }
}

void TValHandler::DecodeRec(TJsonValue& AObject, void* V) const {
    od::object object = ObjectOf(AObject);
    auto* record = static_cast<char*>(V);
    for (auto member : object) {
        od::field field;
        Check(std::move(member).get(field));
        const TRecField* target = FFields->Find(KeyOf(field));
        if (!target) {
            // Not wanted, but it must still be JSON.
            Validate(field.value());
            continue;
        }
        TJsonValue value(std::move(field.value()));
        target->Handler->Decode(value, record + target->Offset);
    }
}

void TValHandler::DecodeArr(TJsonValue& AArray, void* V) const {
    if (KindOf(AArray.V) != od::json_type::array) InvalidCast();
    od::array array;
    Check(AArray.V.get_array().get(array));
    FType->Resize(V, 0);
    std::size_t length = 0;
    for (auto element : array) {
        od::value item;
        Check(std::move(element).get(item));
        FType->Resize(V, length + 1);
        TJsonValue value(std::move(item));
        if (FType->ElemAt) {
            FElems.Handler->Decode(value, FType->ElemAt(V, length));
        } else {
            bool bit = false;
            FElems.Handler->Decode(value, &bit);
            FType->SetBoolAt(V, length, bit);
        }
        ++length;
    }
}

void TValHandler::DecodeMap(TJsonValue& AObject, void* V) const {
    od::object object = ObjectOf(AObject);
    void* items = static_cast<char*>(V) + FMapElems.ItemsOffset;
    const TTypeInfo& itemsType = *FMapElems.ItemsType;
    itemsType.Resize(items, 0);
    std::size_t length = 0;
    for (auto member : object) {
        od::field field;
        Check(std::move(member).get(field));
        itemsType.Resize(items, length + 1);
        auto* item = static_cast<char*>(itemsType.ElemAt(items, length));
        reinterpret_cast<std::string*>(item + FMapElems.KeyOffset)->assign(KeyOf(field));
        TJsonValue value(std::move(field.value()));
        FMapElems.Handler->DecodeRec(value, item);
        ++length;
    }
}

}  // namespace Nimbo::Connection
