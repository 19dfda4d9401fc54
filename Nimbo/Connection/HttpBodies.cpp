// Structured request bodies: form, compact JSON and multipart.
#include "Nimbo/Connection/Http.h"

#include <simdjson.h>

#include <algorithm>
#include <istream>
#include <string_view>

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
            case '"':
                result += "%22";
                break;
            case '\r':
                result += "%0D";
                break;
            case '\n':
                result += "%0A";
                break;
            default:
                result.push_back(c);
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

// Counts the places where a text occurs in a byte sequence fed to it in pieces of any size.
class TOccurrenceCounter {
public:
    explicit TOccurrenceCounter(std::string_view AText) : FText(AText) {}

    void Feed(const char* AData, std::size_t ASize) {
        // The last bytes of the earlier pieces join this one, so that no occurrence is split; they are
        // too few to hold a whole occurrence, so none is counted twice.
        FWindow.append(AData, ASize);
        for (std::size_t at = FWindow.find(FText); at != std::string::npos; at = FWindow.find(FText, at + 1)) ++FCount;
        FWindow.erase(0, FWindow.size() - std::min(FWindow.size(), FText.size() - 1));
    }
    std::size_t Count() const { return FCount; }

private:
    std::string_view FText;
    std::string FWindow;
    std::size_t FCount = 0;
};

// How often AText occurs in the body as it goes out, from byte AFrom of the bytes held in memory on.
// Stream parts are read in steps and left at their end, as sending leaves them.
std::size_t CountInBody(const THttpRequest::TData& AData, std::size_t AFrom, std::string_view AText) {
    constexpr std::size_t Step = 64 * 1024;
    TOccurrenceCounter counter(AText);
    const auto feedHeld = [&](std::size_t AEnd) {
        for (; AFrom < AEnd; AFrom += std::min(Step, AEnd - AFrom))
            counter.Feed(reinterpret_cast<const char*>(AData.Data.data()) + AFrom, std::min(Step, AEnd - AFrom));
    };
    std::vector<char> buffer(Step);
    for (const THttpStreamPart& part : AData.Streams) {
        if (part.At < AFrom) continue;
        feedHeld(part.At);
        std::istream& stream = *part.Stream;
        stream.clear();
        stream.seekg(part.Start);
        for (std::int64_t left = part.Size; left > 0 && stream;) {
            stream.read(buffer.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, Step)));
            counter.Feed(buffer.data(), static_cast<std::size_t>(stream.gcount()));
            left -= stream.gcount();
        }
        stream.clear();
        stream.seekg(part.Start + part.Size);
        stream.setstate(std::ios::eofbit | std::ios::failbit);
    }
    feedHeld(AData.Data.size());
    return counter.Count();
}

// Every delimiter holds the boundary once; any other occurrence is inside a part (or its name).
bool BoundaryIsTaken(const THttpRequest::TData& AData) {
    return CountInBody(AData, AData.PartDelimiters.front(), THttpRequest::MultipartBoundary) !=
           AData.PartDelimiters.size();
}

// The boundary followed by "-1", "-2", ...: no delimiter holds that, so the first one that the body
// does not hold is free.
std::string FreeBoundary(const THttpRequest::TData& AData) {
    for (int n = 1;; ++n) {
        std::string candidate = THttpRequest::MultipartBoundary + ("-" + std::to_string(n));
        if (CountInBody(AData, AData.PartDelimiters.front(), candidate) == 0) return candidate;
    }
}

// Rewrites the delimiters and the Content-Type with ABoundary; stream parts move with the bytes before them.
void ChangeBoundary(THttpRequest::TData& AData, const std::string& ABoundary) {
    const std::string old = THttpRequest::MultipartBoundary;
    const std::size_t growth = ABoundary.size() - old.size();
    for (THttpStreamPart& part : AData.Streams)
        part.At +=
            growth * static_cast<std::size_t>(std::count_if(AData.PartDelimiters.begin(), AData.PartDelimiters.end(),
                                                            [&](std::size_t AAt) { return AAt < part.At; }));
    TBytes rewritten;
    rewritten.reserve(AData.Data.size() + AData.PartDelimiters.size() * growth);
    const std::string line = "\r\n--" + ABoundary;
    std::size_t copied = 0;
    for (std::size_t& delimiter : AData.PartDelimiters) {
        rewritten.insert(rewritten.end(), AData.Data.begin() + static_cast<std::ptrdiff_t>(copied),
                         AData.Data.begin() + static_cast<std::ptrdiff_t>(delimiter));
        copied = delimiter + 4 + old.size();  // past CR LF, "--" and the boundary
        delimiter = rewritten.size();
        rewritten.insert(rewritten.end(), line.begin(), line.end());
    }
    rewritten.insert(rewritten.end(), AData.Data.begin() + static_cast<std::ptrdiff_t>(copied), AData.Data.end());
    AData.Data = std::move(rewritten);

    const std::string oldType = "boundary=" + old;
    const std::size_t type = AData.Headers.rfind(oldType);
    Assert(type != std::string::npos, "The multipart body has no Content-Type header");
    AData.Headers.replace(type, oldType.size(), "boundary=" + ABoundary);
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
    if (BoundaryIsTaken(*FData)) ChangeBoundary(*FData, FreeBoundary(*FData));
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
        case jvBeginObject:
            return "{";
        case jvBeginArray:
            return "[";
        case jvNull:
            return "null";
        case jvTrue:
            return "true";
        case jvFalse:
            return "false";
    }
    return "null";
}

void THttpRequest::TJsonData::AddComma() {
    const TBytes& body = FData->Data;
    if (!body.empty() && body.back() != '[' && body.back() != '{') FData->Append(",", 1);
}

void THttpRequest::TJsonData::AddStr(const std::string& AText) { FData->Append(AText); }

std::string JsonQuoted(const std::string& AText) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(AText.size() + 2);
    out.push_back('"');
    for (char c : AText) {
        const auto unit = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
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
    return out;
}

void THttpRequest::TJsonData::AddQuoted(const std::string& AText) { AddStr(JsonQuoted(AText)); }

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

THttpRequest::TJsonData THttpRequest::TJsonData::Prop(const std::string& AName, std::int64_t AValue) {
    AddComma();
    AddQuoted(AName);
    AddStr(": ");
    AddStr(std::to_string(AValue));
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
