// Structured request bodies: form, compact JSON and multipart.
#include "Nimbo/Connection/Http.h"

#include <simdjson.h>

namespace Nimbo::Connection {

const char* const THttpRequest::MultipartBoundary = "1BEF0A57BE110FD467A06ABE339180A46C8A4F77BD57755885E";

namespace {

// A part's name or file name between quotation marks: the characters that would end the quoted
// text or the header line are percent-encoded, as browsers do.
std::string QuotedPartText(const std::string& AText) {
    std::string result;
    result.reserve(AText.size() + 2);
    result.push_back('"');
    for (char c : AText) {
        switch (c) {
            case '"': result += "%22"; break;
            case '\r': result += "%0D"; break;
            case '\n': result += "%0A"; break;
            default: result.push_back(c);
        }
    }
    result.push_back('"');
    return result;
}

// JSON text is UTF-8: a name or value that is not (a file name in another encoding, say) would make
// the whole body unreadable, so it is refused before anything of it is written.
void RequireUtf8(const std::string& AText) {
    if (!simdjson::validate_utf8(AText.data(), AText.size()))
        throw EHttpError("A JSON name or value must be valid UTF-8 text");
}

}  // namespace

// ---- body writers started on the request ----

THttpRequest::TFormData THttpRequest::BeginForm(bool ASetContentType) {
    if (ASetContentType) {
        CheckNoHeadersInMultipart();
        DoAddHeader("Content-Type", "application/x-www-form-urlencoded");
    }
    return TFormData(FData);
}

THttpRequest::TJsonData THttpRequest::BeginJson(TJRoot ARoot, bool ASetContentType) {
    if (ASetContentType) {
        CheckNoHeadersInMultipart();
        DoAddHeader("Content-Type", "application/json");
    }
    return TJsonData(FData, ARoot);
}

THttpRequest THttpRequest::BeginMultipart(const std::string& AParamName, const std::string& AFileName) {
    DoAddHeader("Content-Type", std::string("multipart/form-data; boundary=") + MultipartBoundary);
    FData->InMultipart = true;
    FData->PartDelimiters.clear();
    return NextPart(AParamName, AFileName);
}

THttpRequest THttpRequest::NextPart(const std::string& AParamName, const std::string& AFileName) {
    Assert(FData->InMultipart, "NextPart called outside a multipart body");
    AppendPartHead(AParamName, AFileName);
    return *this;
}

THttpRequest THttpRequest::EndMultipart() {
    AppendPartDelimiter("--\r\n");
    FData->InMultipart = false;
    ReplaceBoundaryIfTaken();
    return *this;
}

void THttpRequest::AppendPartHead(const std::string& AParamName, const std::string& AFileName) {
    std::string head = "\r\nContent-Disposition: form-data; name=" + QuotedPartText(AParamName);
    if (!AFileName.empty()) head += "; filename=" + QuotedPartText(AFileName);
    head += "\r\n\r\n";
    AppendPartDelimiter(head);
}

void THttpRequest::AppendPartDelimiter(const std::string& AEnd) {
    FData->PartDelimiters.push_back(FData->Data.size());
    FData->Append(std::string("\r\n--") + MultipartBoundary + AEnd);
}

void THttpRequest::ReplaceBoundaryIfTaken() {
    TData& data = *FData;
    if (data.PartDelimiters.empty()) return;
    const std::string_view body(reinterpret_cast<const char*>(data.Data.data()), data.Data.size());
    const std::string_view boundary = MultipartBoundary;
    // Every delimiter holds the boundary once; any other occurrence is inside a part.
    std::size_t occurrences = 0;
    for (std::size_t at = body.find(boundary, data.PartDelimiters.front()); at != std::string_view::npos;
         at = body.find(boundary, at + boundary.size()))
        ++occurrences;
    if (occurrences == data.PartDelimiters.size()) return;

    // The boundary followed by "-1", "-2", ...: no delimiter holds that, so the first one that the
    // body does not hold is free.
    std::string replacement;
    for (int n = 1; replacement.empty() || body.find(replacement) != std::string_view::npos; ++n)
        replacement = std::string(boundary) + "-" + std::to_string(n);

    TBytes rewritten;
    rewritten.reserve(body.size() + data.PartDelimiters.size() * (replacement.size() - boundary.size()));
    std::size_t copied = 0;
    for (std::size_t& delimiter : data.PartDelimiters) {
        const std::size_t boundaryEnd = delimiter + 4 + boundary.size();  // after CR LF "--" and the boundary
        rewritten.insert(rewritten.end(), data.Data.begin() + copied, data.Data.begin() + delimiter);
        delimiter = rewritten.size();
        const std::string line = "\r\n--" + replacement;
        rewritten.insert(rewritten.end(), line.begin(), line.end());
        copied = boundaryEnd;
    }
    rewritten.insert(rewritten.end(), data.Data.begin() + copied, data.Data.end());
    data.Data = std::move(rewritten);

    const std::string oldType = "boundary=" + std::string(boundary);
    const std::size_t type = data.Headers.rfind(oldType);
    Assert(type != std::string::npos, "The multipart body has no Content-Type header");
    data.Headers.replace(type, oldType.size(), "boundary=" + replacement);
}

// ---- form ----

THttpRequest::TFormData THttpRequest::TFormData::Prop(const std::string& AName, const std::string& AValue) {
    std::string field = THttpClient::UrlEncode(AName) + "=" + THttpClient::UrlEncode(AValue);
    if (!FData->Data.empty()) field.insert(field.begin(), '&');
    FData->Append(field);
    return *this;
}

THttpRequest THttpRequest::TFormData::EndForm() { return THttpRequest(FData); }

// ---- JSON ----

THttpRequest::TJsonData::TJsonData(AutoFree<TData> AData, TJRoot ARoot) : FData(std::move(AData)), FRoot(ARoot) {
    Assert(ARoot == jvBeginObject || ARoot == jvBeginArray, "A JSON body starts with an object or an array");
    AddStr(ValToStr(FRoot));
}

const char* THttpRequest::TJsonData::ValToStr(TJValue AValue) {
    switch (AValue) {
        case jvBeginObject: return "{";
        case jvBeginArray: return "[";
        case jvNull: return "null";
        case jvTrue: return "true";
        case jvFalse: return "false";
    }
    return "null";
}

void THttpRequest::TJsonData::AddComma() {
    const TBytes& body = FData->Data;
    if (!body.empty() && body.back() != '[' && body.back() != '{') FData->Append(",", 1);
}

void THttpRequest::TJsonData::AddStr(const std::string& AText) { FData->Append(AText); }

void THttpRequest::TJsonData::AddQuoted(const std::string& AText) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(AText.size() + 2);
    out.push_back('"');
    for (char c : AText) {
        const auto unit = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (unit < 0x20) {
                    out += "\\u00";
                    out.push_back(Hex[unit >> 4]);
                    out.push_back(Hex[unit & 0xF]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    AddStr(out);
}

THttpRequest::TJsonData THttpRequest::TJsonData::Prop(const std::string& AName, const std::string& AValue) {
    RequireUtf8(AName);
    RequireUtf8(AValue);
    AddComma();
    AddQuoted(AName);
    AddStr(": ");
    AddQuoted(AValue);
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::Prop(const std::string& AName, TJValue AValue) {
    RequireUtf8(AName);
    AddComma();
    AddQuoted(AName);
    AddStr(": ");
    AddStr(ValToStr(AValue));
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::PropIf(bool ACondition, const std::string& AName,
                                                        const std::string& AValue) {
    return ACondition ? Prop(AName, AValue) : *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::PropIf(bool ACondition, const std::string& AName, TJValue AValue) {
    return ACondition ? Prop(AName, AValue) : *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::Elem(const std::string& AValue) {
    RequireUtf8(AValue);
    AddComma();
    AddQuoted(AValue);
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::Elem(TJValue AValue) {
    AddComma();
    AddStr(ValToStr(AValue));
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::ElemIf(bool ACondition, const std::string& AValue) {
    return ACondition ? Elem(AValue) : *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::ElemIf(bool ACondition, TJValue AValue) {
    return ACondition ? Elem(AValue) : *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::Elems(const std::function<void(TJsonData)>& AProc) {
    AProc(*this);
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::EndObject() {
    AddStr("}");
    return *this;
}

THttpRequest::TJsonData THttpRequest::TJsonData::EndArray() {
    AddStr("]");
    return *this;
}

THttpRequest THttpRequest::TJsonData::EndJson() {
    AddStr(FRoot == jvBeginArray ? "]" : "}");
    return THttpRequest(FData);
}

}  // namespace Nimbo::Connection
