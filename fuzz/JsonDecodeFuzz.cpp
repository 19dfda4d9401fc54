// Decodes arbitrary text into the listing, token, account and upload-session records of the four
// adapters. The decoder must fill the record or raise one of its documented errors; it must call a
// text malformed exactly when an independent JSON parser does; and what it fills must match what
// that parser reads.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/Microsoft.h"

using namespace Nimbo::Connection;

namespace {

// The decoder refuses nesting deeper than this (its stack guard).
constexpr int DecoderNestingLimit = 512;

[[noreturn]] void Fail(const std::string& AWhat, std::string_view AText) {
    std::fprintf(stderr, "%s\ntext: %.*s\n", AWhat.c_str(), static_cast<int>(std::min<std::size_t>(AText.size(), 2000)),
                 AText.data());
    std::abort();
}

// What the reference parser says about a text.
struct TVerdict {
    bool Valid = false;
    bool Undecided = false;  // a grammatical text that the reference refuses for its content
    int Depth = 0;           // deepest nesting of arrays and objects
    bool DuplicateKeys = false;
    std::optional<nlohmann::json> Reading;  // the reference's reading of a valid text without repeated names
};

// Reads a text with the reference parser, noting nesting depth and repeated member names.
class TReferenceSax : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit TReferenceSax(TVerdict& AVerdict) : FVerdict(AVerdict) {}

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return Open(true); }
    bool key(string_t& AKey) override {
        if (!FKeys.back().insert(AKey).second) FVerdict.DuplicateKeys = true;
        return true;
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_array() override { return Close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& AError) override {
        // Lone surrogate escapes and numbers beyond a double's range fit the grammar; the reference
        // refuses them for their content, the decoder may take them.
        const std::string_view message = AError.what();
        FVerdict.Undecided = message.find("surrogate") != std::string_view::npos ||
                             message.find("number overflow") != std::string_view::npos;
        return false;
    }

private:
    bool Open(bool AObject) {
        FKeys.emplace_back();
        if (!AObject) FKeys.back().insert("");  // arrays have no keys; keeps the stack aligned
        FVerdict.Depth = std::max(FVerdict.Depth, static_cast<int>(FKeys.size()));
        return true;
    }
    bool Close() {
        FKeys.pop_back();
        return true;
    }

    TVerdict& FVerdict;
    std::vector<std::set<std::string>> FKeys;
};

TVerdict Judge(std::string_view AText) {
    TVerdict verdict;
    // The reference skips a leading byte order mark, which the decoder (like the services) refuses,
    // and takes a NUL for the end of the text; neither is ever JSON.
    if (AText.starts_with("\xEF\xBB\xBF") || AText.find('\0') != std::string_view::npos) return verdict;
    TReferenceSax sax(verdict);
    verdict.Valid = nlohmann::json::sax_parse(AText.begin(), AText.end(), &sax);
    if (verdict.Valid && !verdict.DuplicateKeys && verdict.Depth <= DecoderNestingLimit)
        verdict.Reading = nlohmann::json::parse(AText.begin(), AText.end());
    return verdict;
}

// Compares a decoded value with the reference parser's reading of the same JSON value.
bool Matches(const TTypeInfo& AType, const void* AValue, const nlohmann::json& AJson) {
    switch (AType.Category) {
        case tcString: {
            const auto& text = *static_cast<const std::string*>(AValue);
            if (AJson.is_string()) return text == AJson.get_ref<const std::string&>();
            if (AJson.is_null()) return text.empty();
            return true;  // a number's literal text, which the reference does not keep
        }
        case tcInteger:
            return AJson.is_number_integer() && *static_cast<const std::int32_t*>(AValue) == AJson.get<std::int64_t>();
        case tcInt64:
            return AJson.is_number_integer() && *static_cast<const std::int64_t*>(AValue) == AJson.get<std::int64_t>();
        case tcDouble:
            return AJson.is_number() && *static_cast<const double*>(AValue) == AJson.get<double>();
        case tcBoolean:
            return AJson.is_boolean() && *static_cast<const bool*>(AValue) == AJson.get<bool>();
        case tcRecord:
            if (!AJson.is_object()) return false;
            for (const TFieldInfo& field : AType.Fields()) {
                const auto found = AJson.find(field.Name);
                if (found != AJson.end() &&
                    !Matches(field.Type(), static_cast<const char*>(AValue) + field.Offset, *found))
                    return false;
            }
            return true;
        case tcArray: {
            if (!AJson.is_array() || AType.Length(AValue) != AJson.size()) return false;
            const TTypeInfo& elem = AType.ElemType();
            for (std::size_t i = 0; i < AJson.size(); ++i)
                if (!Matches(elem, AType.ElemAt(const_cast<void*>(AValue), i), AJson[i])) return false;
            return true;
        }
        case tcMapKey:
        case tcOther:
            break;
    }
    return false;
}

template <class T>
void DecodeAs(std::string_view AText, const TVerdict& AVerdict) {
    T record{};
    try {
        TJsonDecoder decoder(AText);
        decoder.Decode(record);
    } catch (const EJsonError& error) {
        if (AVerdict.Valid && AVerdict.Depth <= DecoderNestingLimit)
            Fail(std::string("the decoder refused valid JSON: ") + error.what(), AText);
        return;
    } catch (const Exception& error) {
        // A value of the wrong kind (EInvalidCast) or out of range (EConvertError): JSON texts only.
        if (!dynamic_cast<const EInvalidCast*>(&error) && !dynamic_cast<const EConvertError*>(&error))
            Fail(std::string("the decoder raised an undocumented error: ") + error.what(), AText);
        if (!AVerdict.Valid && !AVerdict.Undecided) Fail("the decoder took a text that is not JSON", AText);
        return;
    }
    if (!AVerdict.Valid && !AVerdict.Undecided) Fail("the decoder took a text that is not JSON", AText);
    // Where every member name is unique, the record holds exactly what the reference reads.
    if (AVerdict.Reading && !Matches(TypeInfoOf<T>(), &record, *AVerdict.Reading))
        Fail("the decoded record differs from the reference parser's reading", AText);
}

template <class... T>
void DecodeIntoEach(std::string_view AText) {
    const TVerdict verdict = Judge(AText);
    (DecodeAs<T>(AText, verdict), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view text(reinterpret_cast<const char*>(AData), ASize);
    DecodeIntoEach<TNimboGDrive::TFileList, TNimboGoogleState::TToken,                         //
                   TNimboDropBox::TFileList, TNimboDropBox::TToken, TNimboDropBox::TAbout,     //
                   TNimboDropBox::TChunkedUpload,                                              //
                   TNimboOneDrive::TFileList, TNimboOneDrive::TToken, TNimboOneDrive::TAbout,  //
                   TNimboBoxNet::TFileList, TNimboBoxNet::TToken, TNimboBoxNet::TAbout,        //
                   TNimboBoxNet::TUploadSession, TNimboBoxNet::TPartAnswer, TNimboBoxNet::TPartList>(text);
    return 0;
}
