// The form, JSON and multipart body writers with arbitrary names and values. Their output must stay
// well-formed and say what was written: the form decodes back to the same fields, an independent
// JSON parser reads the same members and elements, and an HTTP server's multipart parser splits the
// body back into the same parts.
//
// Input: the first byte picks the writer ('F', 'J' or 'M'); then come operations, each a letter and
// its texts. A text runs to a backslash followed by any character but a backslash ("\\" is one
// backslash). Form: "p" name value. Multipart: "p" name file-name content, or "s" for a part read
// from a stream. JSON: the root ('o' or 'a'), then "s" [name] value, "v" [name] literal-byte,
// "o" [name], "a" [name], "c" (close); a name is read only inside an object.

#include <curl/curl.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Nimbo/Connection/Http.h"

using namespace Nimbo::Connection;

namespace {

[[noreturn]] void Fail(const std::string& AWhat) {
    std::fprintf(stderr, "%s\n", AWhat.c_str());
    std::abort();
}

class TInput {
public:
    explicit TInput(std::string_view AData) : FRest(AData) {}

    bool Empty() const { return FRest.empty(); }
    char Byte() {
        if (FRest.empty()) return '\0';
        const char c = FRest.front();
        FRest.remove_prefix(1);
        return c;
    }
    std::string Text() {
        std::string text;
        while (!FRest.empty()) {
            const char c = Byte();
            if (c != '\\') {
                text.push_back(c);
            } else if (Empty() || Byte() != '\\') {
                break;
            } else {
                text.push_back('\\');
            }
        }
        return text;
    }

private:
    std::string_view FRest;
};

std::string BodyOf(const THttpRequest& ARequest) {
    const TBytes body = ARequest.Get().BodyBytes();
    return {body.begin(), body.end()};
}

// ---------------------------------------------------------------------------------------------
// Form

std::string Unescaped(std::string_view AText) {
    if (AText.empty()) return {};  // curl would take a length of 0 as "up to the NUL"
    int length = 0;
    std::unique_ptr<char, void (*)(void*)> text(
        curl_easy_unescape(nullptr, AText.data(), static_cast<int>(AText.size()), &length), curl_free);
    if (!text) Fail("the form text cannot be decoded");
    return {text.get(), static_cast<std::size_t>(length)};
}

void CheckForm(TInput& AInput) {
    THttpClient client("api.example.com");
    THttpRequest request = client.Post("/form");
    THttpRequest::TFormData form = request.BeginForm(true);
    std::vector<std::pair<std::string, std::string>> expected;
    while (!AInput.Empty()) {
        if (AInput.Byte() != 'p') continue;
        std::string name = AInput.Text();
        std::string value = AInput.Text();
        form.Prop(name, value);
        expected.emplace_back(std::move(name), std::move(value));
    }
    const std::string body = BodyOf(form.EndForm());

    std::vector<std::pair<std::string, std::string>> decoded;
    for (std::size_t start = 0; start < body.size();) {
        const std::size_t end = std::min(body.find('&', start), body.size());
        const std::string_view field = std::string_view(body).substr(start, end - start);
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos || field.find('=', equals + 1) != std::string_view::npos)
            Fail("a form field is not one name=value pair: " + std::string(field));
        for (const char c : field)
            if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F || c == '+')
                Fail("a form field holds a character that needs encoding: " + std::string(field));
        decoded.emplace_back(Unescaped(field.substr(0, equals)), Unescaped(field.substr(equals + 1)));
        start = end + 1;
    }
    if (decoded != expected) Fail("the form does not decode to the fields written: " + body);
}

// ---------------------------------------------------------------------------------------------
// JSON

// Records what a JSON parser reads, one line per event.
class TEventSax : public nlohmann::json_sax<nlohmann::json> {
public:
    std::vector<std::string> Events;

    bool null() override { return Add("null"); }
    bool boolean(bool AValue) override { return Add(AValue ? "true" : "false"); }
    bool number_integer(number_integer_t) override { return Add("number"); }
    bool number_unsigned(number_unsigned_t) override { return Add("number"); }
    bool number_float(number_float_t, const string_t&) override { return Add("number"); }
    bool string(string_t& AValue) override { return Add("string " + AValue); }
    bool binary(binary_t&) override { return Add("binary"); }
    bool start_object(std::size_t) override { return Add("{"); }
    bool key(string_t& AName) override { return Add("key " + AName); }
    bool end_object() override { return Add("}"); }
    bool start_array(std::size_t) override { return Add("["); }
    bool end_array() override { return Add("]"); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& AError) override {
        Error = AError.what();
        return false;
    }

    std::string Error;

private:
    bool Add(std::string AEvent) {
        Events.push_back(std::move(AEvent));
        return true;
    }
};

// The reference's own view of UTF-8: it refuses to write a string that is not.
bool IsUtf8(const std::string& AText) {
    try {
        (void)nlohmann::json(AText).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

THttpRequest::TJValue LiteralOf(char AByte) {
    static constexpr THttpRequest::TJValue Literals[] = {THttpRequest::jvNull, THttpRequest::jvTrue,
                                                         THttpRequest::jvFalse};
    return Literals[static_cast<unsigned char>(AByte) % 3];
}

const char* EventOf(THttpRequest::TJValue AValue) {
    switch (AValue) {
        case THttpRequest::jvBeginObject:
            return "{";
        case THttpRequest::jvBeginArray:
            return "[";
        case THttpRequest::jvNull:
            return "null";
        case THttpRequest::jvTrue:
            return "true";
        case THttpRequest::jvFalse:
            return "false";
    }
    return "?";
}

void CheckJson(TInput& AInput) {
    THttpClient client("api.example.com");
    THttpRequest request = client.Post("/json");
    const bool rootIsArray = AInput.Byte() == 'a';
    THttpRequest::TJsonData json =
        request.BeginJson(rootIsArray ? THttpRequest::jvBeginArray : THttpRequest::jvBeginObject, true);
    std::vector<std::string> expected{rootIsArray ? "[" : "{"};
    std::vector<bool> inArray{rootIsArray};  // what is open, innermost last

    const auto close = [&] {
        expected.push_back(inArray.back() ? "]" : "}");
        json = inArray.back() ? json.EndArray() : json.EndObject();
        inArray.pop_back();
    };
    // Runs one writer call; a call refused for text that is not UTF-8 must write nothing.
    const auto call = [&](const auto& AWrite, std::initializer_list<const std::string*> ATexts) {
        const std::size_t before = json.Get().Data.size();
        try {
            json = AWrite();
            return true;
        } catch (const EHttpError&) {
            if (json.Get().Data.size() != before) Fail("a refused JSON name or value was partly written");
            for (const std::string* text : ATexts)
                if (!IsUtf8(*text)) return false;
            Fail("a JSON name or value that is UTF-8 was refused");
        }
    };
    while (!AInput.Empty()) {
        const char op = AInput.Byte();
        if (op == 'c' && inArray.size() > 1) close();
        if (op != 's' && op != 'v' && op != 'o' && op != 'a') continue;

        const bool member = !inArray.back();
        const std::string name = member ? AInput.Text() : std::string();
        bool written;
        std::string event;
        if (op == 's') {
            const std::string value = AInput.Text();
            written = member ? call([&] { return json.Prop(name, value); }, {&name, &value})
                             : call([&] { return json.Elem(value); }, {&value});
            event = "string " + value;
        } else {
            const THttpRequest::TJValue value = op == 'o'   ? THttpRequest::jvBeginObject
                                                : op == 'a' ? THttpRequest::jvBeginArray
                                                            : LiteralOf(AInput.Byte());
            written = member ? call([&] { return json.Prop(name, value); }, {&name})
                             : call([&] { return json.Elem(value); }, {});
            event = EventOf(value);
        }
        if (!written) continue;
        if (member) expected.push_back("key " + name);
        expected.push_back(event);
        if (op == 'o' || op == 'a') inArray.push_back(op == 'a');
    }
    while (inArray.size() > 1) close();
    expected.push_back(rootIsArray ? "]" : "}");
    const std::string body = BodyOf(json.EndJson());

    TEventSax sax;
    if (!nlohmann::json::sax_parse(body, &sax)) Fail("the JSON body is not JSON (" + sax.Error + "): " + body);
    if (sax.Events != expected) Fail("the JSON body does not read as what was written: " + body);
}

// ---------------------------------------------------------------------------------------------
// Multipart

struct TPart {
    std::string Name, FileName, Content;
    bool operator==(const TPart&) const = default;
};

// An HTTP server on a free loopback port that splits multipart bodies into their parts.
class TMultipartParser {
public:
    TMultipartParser() {
        FServer.Post("/parts", [this](const httplib::Request& ARequest, httplib::Response& AResponse,
                                      const httplib::ContentReader& AReader) {
            FParts.clear();
            const bool ok =
                ARequest.is_multipart_form_data() && AReader(
                                                         [this](const httplib::MultipartFormData& APart) {
                                                             FParts.push_back({APart.name, APart.filename, {}});
                                                             return true;
                                                         },
                                                         [this](const char* AData, std::size_t ASize) {
                                                             if (!FParts.empty())
                                                                 FParts.back().Content.append(AData, ASize);
                                                             return true;
                                                         });
            AResponse.status = ok ? 200 : 400;
        });
        FServer.set_tcp_nodelay(true);
        const int port = FServer.bind_to_any_port("127.0.0.1");
        if (port <= 0) Fail("the multipart parser cannot listen");
        FThread = std::thread([this] { FServer.listen_after_bind(); });
        while (!FServer.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        FClient = std::make_unique<httplib::Client>("127.0.0.1", port);
        FClient->set_keep_alive(true);
        FClient->set_tcp_nodelay(true);
    }
    ~TMultipartParser() {
        FClient.reset();
        FServer.stop();
        FThread.join();
    }

    // The parts of ABody, or an empty list with AParsed false when the server refuses it.
    std::vector<TPart> Split(const std::string& ABody, const std::string& AContentType, bool& AParsed) {
        const httplib::Result result = FClient->Post("/parts", ABody, AContentType.c_str());
        if (!result) Fail("the multipart parser did not answer");
        AParsed = result->status == 200;
        return FParts;  // written before the answer was sent
    }

private:
    httplib::Server FServer;
    std::thread FThread;
    std::unique_ptr<httplib::Client> FClient;
    std::vector<TPart> FParts;
};

// Started before the first input; stopped when the fuzzer exits.
TMultipartParser& Parser() {
    static TMultipartParser parser;
    return parser;
}

// A name as the form encoding writes it between quotes: the quote and the line breaks escaped.
std::string QuotedForm(const std::string& AText) {
    std::string result;
    for (const char c : AText) {
        if (c == '"')
            result += "%22";
        else if (c == '\r')
            result += "%0D";
        else if (c == '\n')
            result += "%0A";
        else
            result.push_back(c);
    }
    return result;
}

std::string ContentTypeOf(const std::string& AHeaders) {
    const std::string prefix = "Content-Type: ";
    const std::size_t start = AHeaders.find(prefix);
    if (start == std::string::npos) Fail("the multipart request has no Content-Type");
    const std::size_t end = std::min(AHeaders.find("\r\n", start), AHeaders.size());
    return AHeaders.substr(start + prefix.size(), end - start - prefix.size());
}

void CheckMultipart(TInput& AInput) {
    THttpClient client("upload.example.com");
    THttpRequest request = client.Post("/parts");
    std::vector<TPart> expected;
    std::list<std::istringstream> streams;  // read while the body is sent, so they live as long
    while (!AInput.Empty() || expected.empty()) {
        const char op = AInput.Byte();
        if (op != 'p' && op != 's' && !expected.empty()) continue;
        TPart part{AInput.Text(), AInput.Text(), AInput.Text()};
        if (expected.empty())
            request.BeginMultipart(part.Name, part.FileName);
        else
            request.NextPart(part.Name, part.FileName);
        if (op == 's')
            request.Data(streams.emplace_back(part.Content));
        else
            request.Data(part.Content.data(), static_cast<int>(part.Content.size()));
        expected.push_back({QuotedForm(part.Name), QuotedForm(part.FileName), part.Content});
    }
    request.EndMultipart();

    const std::string body = BodyOf(request);
    bool parsed = false;
    const std::vector<TPart> parts = Parser().Split(body, ContentTypeOf(request.Get().Headers), parsed);
    if (!parsed) Fail("the multipart body was refused by the parser: " + body);
    if (parts != expected) Fail("the multipart body splits into other parts: " + body);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Parser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    TInput input(std::string_view(reinterpret_cast<const char*>(AData), ASize));
    switch (input.Byte()) {
        case 'F':
            CheckForm(input);
            break;
        case 'J':
            CheckJson(input);
            break;
        case 'M':
            CheckMultipart(input);
            break;
        default:
            break;
    }
    return 0;
}
