#include "emulator/Json.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace Nimbo::Emulator {

std::optional<Json> ParseJsonObject(std::string_view text) {
    Json value = Json::parse(text.begin(), text.end(), nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

std::string JsonText(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

std::string Base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string Base64Decode(std::string_view text) {
    if (text.empty()) return {};
    std::string out(3 * (text.size() / 4) + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || text.size() % 4 != 0) throw std::invalid_argument("bad base64 text");
    std::size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
    if (padding > 2 || static_cast<std::size_t>(n) < padding) throw std::invalid_argument("bad base64 text");
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string HexOf(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

static std::string Digest(const EVP_MD* md, std::string_view bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), value, &len, md, nullptr);
    return HexOf(std::string_view(reinterpret_cast<const char*>(value), len));
}

std::string Md5Hex(std::string_view bytes) { return Digest(EVP_md5(), bytes); }
std::string Sha1Hex(std::string_view bytes) { return Digest(EVP_sha1(), bytes); }
std::string Sha256Hex(std::string_view bytes) { return Digest(EVP_sha256(), bytes); }

bool ValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        unsigned char c = byte(i);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string RandomToken(std::size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string bytes(length, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(length)) != 1)
        throw std::runtime_error("no random bytes");
    for (auto& c : bytes) c = alphabet[static_cast<unsigned char>(c) % 62];
    return bytes;
}

std::string UrlEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string UrlDecode(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) { return ToLower(a) == ToLower(b); }

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> result;
    while (!query.empty()) {
        auto amp = query.find('&');
        auto piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (piece.empty()) continue;
        auto eq = piece.find('=');
        if (eq == std::string_view::npos)
            result.emplace_back(UrlDecode(piece), "");
        else
            result.emplace_back(UrlDecode(piece.substr(0, eq)), UrlDecode(piece.substr(eq + 1)));
    }
    return result;
}

std::string WithFragment(const std::string& url, const std::vector<std::pair<std::string, std::string>>& pairs) {
    return url + "#" + AppendQuery("", pairs).substr(pairs.empty() ? 0 : 1);
}

std::string AppendQuery(const std::string& url, const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out = url;
    char sep = url.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [key, value] : pairs) {
        out += sep;
        out += UrlEncode(key) + "=" + UrlEncode(value);
        sep = '&';
    }
    return out;
}

static std::tm UtcFields(TimePoint t) {
    std::time_t secs = Clock::to_time_t(t);
    std::tm fields{};
    gmtime_r(&secs, &fields);
    return fields;
}

static std::string Format(TimePoint t, const char* pattern) {
    std::tm fields = UtcFields(t);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, pattern, &fields);
    return buffer;
}

std::string Rfc3339Millis(TimePoint t) {
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ToMillis(t) % 1000));
    return Format(t, "%Y-%m-%dT%H:%M:%S") + millis + "Z";
}

std::string Rfc1123(TimePoint t) { return Format(t, "%a, %d %b %Y %H:%M:%S +0000"); }

std::string Iso8601NoColon(TimePoint t) { return Format(t, "%Y-%m-%dT%H:%M:%S+0000"); }

std::string Iso8601WithOffset(TimePoint t, int offsetMinutes) {
    std::string text = Format(t + std::chrono::minutes(offsetMinutes), "%Y-%m-%dT%H:%M:%S");
    char zone[16];
    int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text + zone;
}

std::optional<TimePoint> ParseRfc3339(std::string_view text) {
    auto digits = [&](std::size_t at, std::size_t count, int& value) {
        if (at + count > text.size()) return false;
        value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    std::tm fields{};
    int year, month, day, hour = 0, minute = 0, second = 0, millis = 0, offset = 0;
    if (!digits(0, 4, year) || text.size() < 10 || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
        !digits(8, 2, day))
        return std::nullopt;
    std::size_t at = 10;
    if (at < text.size()) {
        if ((text[at] != 'T' && text[at] != 't' && text[at] != ' ') || !digits(at + 1, 2, hour) ||
            text.size() < at + 9 || text[at + 3] != ':' || !digits(at + 4, 2, minute) || text[at + 6] != ':' ||
            !digits(at + 7, 2, second))
            return std::nullopt;
        at += 9;
        if (at < text.size() && text[at] == '.') {
            std::size_t end = ++at;
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
            if (end == at) return std::nullopt;
            int scale = 100;
            for (std::size_t i = at; i < end && i < at + 3; ++i, scale /= 10) millis += (text[i] - '0') * scale;
            at = end;
        }
        if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
            ++at;
        } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            int sign = text[at] == '-' ? -1 : 1, hours, minutes;
            std::size_t colon = at + 3 < text.size() && text[at + 3] == ':' ? 1 : 0;
            if (!digits(at + 1, 2, hours) || !digits(at + 3 + colon, 2, minutes)) return std::nullopt;
            offset = sign * (hours * 60 + minutes);
            at += 5 + colon;
        }
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // Beyond what a TimePoint holds (about 1678 to 2261) the time would wrap around: refused instead.
    const std::time_t seconds = timegm(&fields);
    constexpr auto limit = std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count() - 86400;
    if (seconds > limit || seconds < -limit) return std::nullopt;
    return Clock::from_time_t(seconds) + std::chrono::milliseconds(millis) - std::chrono::minutes(offset);
}

std::int64_t ToMillis(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

TimePoint FromMillis(std::int64_t ms) { return TimePoint(std::chrono::milliseconds(ms)); }

}  // namespace Nimbo::Emulator
