#include "Nimbo/Connection/LoopbackListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

using TClock = std::chrono::steady_clock;

// A browser's request head is small; anything longer is not the sign-in's answer.
constexpr std::size_t MaxHeadBytes = 16 << 10;
// How long one connection may take to send its request head.
constexpr std::chrono::seconds HeadTimeout{10};

struct TRedirectParts {
    std::string Host;  // as written: 127.0.0.1, [::1] or localhost
    int Port = 0;      // 0: chosen at sign-in
    std::string Path;
};

std::string Lower(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(), [](unsigned char c) { return std::tolower(c); });
    return AText;
}

TRedirectParts SplitRedirect(const std::string& AUrl) {
    const std::string scheme = "http://";
    if (Lower(AUrl.substr(0, scheme.size())) != scheme) throw ERestError("Not a loopback redirect address: " + AUrl);
    const std::size_t hostStart = scheme.size();
    const std::size_t pathStart = std::min(AUrl.find_first_of("/?#", hostStart), AUrl.size());
    std::string authority = AUrl.substr(hostStart, pathStart - hostStart);
    TRedirectParts parts;
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
        const std::string port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
            std::stoi(port) > 65535)
            throw ERestError("Invalid port in the redirect address " + AUrl);
        parts.Port = std::stoi(port);
        authority.resize(colon);
    }
    parts.Host = Lower(authority);
    if (parts.Host != "127.0.0.1" && parts.Host != "[::1]" && parts.Host != "localhost")
        throw ERestError("Not a loopback redirect address: " + AUrl);
    const std::size_t pathEnd = std::min(AUrl.find_first_of("?#", pathStart), AUrl.size());
    parts.Path = AUrl.substr(pathStart, pathEnd - pathStart);
    if (parts.Path.empty()) parts.Path = "/";
    return parts;
}

int HexValue(char AChar) {
    if (AChar >= '0' && AChar <= '9') return AChar - '0';
    if (AChar >= 'a' && AChar <= 'f') return AChar - 'a' + 10;
    if (AChar >= 'A' && AChar <= 'F') return AChar - 'A' + 10;
    return -1;
}

std::string UrlDecode(const std::string& AText) {
    std::string text;
    for (std::size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] == '+') {
            text += ' ';
        } else if (AText[i] == '%' && i + 2 < AText.size() && HexValue(AText[i + 1]) >= 0 &&
                   HexValue(AText[i + 2]) >= 0) {
            text += static_cast<char>(HexValue(AText[i + 1]) * 16 + HexValue(AText[i + 2]));
            i += 2;
        } else {
            text += AText[i];
        }
    }
    return text;
}

}  // namespace

std::optional<std::string> TLoopbackListener::QueryValue(const std::string& AQuery, const std::string& AName) {
    std::size_t start = 0;
    while (start <= AQuery.size()) {
        const std::size_t end = std::min(AQuery.find('&', start), AQuery.size());
        const std::string pair = AQuery.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (UrlDecode(pair.substr(0, equals)) == AName)
            return equals == std::string::npos ? std::string() : UrlDecode(pair.substr(equals + 1));
        start = end + 1;
    }
    return std::nullopt;
}

namespace {

std::string HtmlEscape(const std::string& AText) {
    std::string text;
    for (char c : AText) {
        switch (c) {
            case '&':
                text += "&amp;";
                break;
            case '<':
                text += "&lt;";
                break;
            case '>':
                text += "&gt;";
                break;
            case '"':
                text += "&quot;";
                break;
            case '\'':
                text += "&#39;";
                break;
            default:
                text += c;
        }
    }
    return text;
}

std::string Response(int AStatus, const std::string& AReason, const std::string& ATitle, const std::string& AText) {
    const std::string body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(ATitle) +
                             "</title></head><body><h1>" + HtmlEscape(ATitle) + "</h1><p>" + HtmlEscape(AText) +
                             "</p></body></html>";
    return "HTTP/1.1 " + std::to_string(AStatus) + " " + AReason +
           "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

int MillisLeft(TClock::time_point ADeadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void SendAll(int AFd, const std::string& AData) {
    for (std::size_t sent = 0; sent < AData.size();) {
        const ssize_t count = ::send(AFd, AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;  // the browser went away; nothing to tell it any more
        sent += static_cast<std::size_t>(count);
    }
}

}  // namespace

TLoopbackListener::TFd& TLoopbackListener::TFd::operator=(TFd&& AOther) noexcept {
    if (this != &AOther) {
        Reset();
        FFd = AOther.FFd;
        AOther.FFd = -1;
    }
    return *this;
}

void TLoopbackListener::TFd::Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
}

TLoopbackListener::TLoopbackListener(const std::string& ARedirectUrl, std::string AExpectedState,
                                     std::chrono::milliseconds ATimeout)
    : FExpectedState(std::move(AExpectedState)) {
    const TRedirectParts parts = SplitRedirect(ARedirectUrl);
    FPath = parts.Path;
    std::string host = parts.Host;
    std::string bound = host == "[::1]" ? "::1" : "127.0.0.1";
    int error = Bind(bound, parts.Port);
    if (bound == "127.0.0.1" && (error == EADDRNOTAVAIL || error == EAFNOSUPPORT)) {
        // A system without IPv4 on its loopback interface still has [::1].
        bound = "::1";
        error = Bind(bound, parts.Port);
        if (error == 0 && host == "127.0.0.1") host = "[::1]";
    }
    if (error != 0)
        throw ERestError("Cannot listen on " + bound + (parts.Port ? ":" + std::to_string(parts.Port) : std::string()) +
                         " for the sign-in: " + std::strerror(error));
    FOrigin = "http://" + host + ":" + std::to_string(FPort);
    FRedirectUrl = FOrigin + FPath;

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0)
        throw ERestError("Cannot start the sign-in listener: " + std::string(std::strerror(errno)));
    FWakeRead = TFd(wake[0]);
    FWakeWrite = TFd(wake[1]);
    FThread = std::thread([this, deadline = TClock::now() + ATimeout] { Serve(deadline); });
}

TLoopbackListener::~TLoopbackListener() {
    const char stop = 's';
    [[maybe_unused]] const ssize_t written = ::write(FWakeWrite.Get(), &stop, 1);
    if (FThread.joinable()) FThread.join();
}

int TLoopbackListener::Bind(const std::string& AHost, int APort) {
    const bool v6 = AHost.find(':') != std::string::npos;
    TFd socket(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) return errno;
    // A fixed port stays in TIME_WAIT for a while after the previous sign-in's last answer; without
    // this the next sign-in could not listen there.
    const int reuse = 1;
    if (::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) return errno;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(APort));
        in6.sin6_addr = in6addr_loopback;
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(APort));
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof in4;
    }
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(socket.Get(), 8) != 0 ||
        ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return errno;
    FPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<sockaddr_in&>(address).sin_port);
    FSocket = std::move(socket);
    return 0;
}

void TLoopbackListener::Serve(TClock::time_point ADeadline) {
    for (;;) {
        const int left = MillisLeft(ADeadline);
        if (left == 0) {
            Finish(TStatus::TimedOut, {}, {}, {});
            break;
        }
        pollfd fds[2] = {{FSocket.Get(), POLLIN, 0}, {FWakeRead.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, left);
        if (ready < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
        TFd client(::accept4(FSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.Get() >= 0) Answer(client, std::min(ADeadline, TClock::now() + HeadTimeout));
    }
    FSocket.Reset();
    std::lock_guard lock(FLock);
    FClosed = true;
    FChanged.notify_all();
}

bool TLoopbackListener::ReadHead(const TFd& AClient, TClock::time_point ADeadline, std::string& AHead) const {
    char buffer[2048];
    while (AHead.find("\r\n\r\n") == std::string::npos) {
        if (AHead.size() > MaxHeadBytes) return false;
        pollfd fds[2] = {{AClient.Get(), POLLIN, 0}, {FWakeRead.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, MillisLeft(ADeadline));
        if (ready <= 0 || fds[1].revents != 0) return false;
        const ssize_t count = ::recv(AClient.Get(), buffer, sizeof buffer, 0);
        if (count <= 0) return false;
        AHead.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
}

void TLoopbackListener::Answer(const TFd& AClient, TClock::time_point ADeadline) {
    std::string head;
    if (!ReadHead(AClient, ADeadline, head)) return;
    const std::string line = head.substr(0, head.find("\r\n"));
    const std::size_t firstSpace = line.find(' ');
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    TRequestHead request;
    if (firstSpace != std::string::npos && secondSpace != std::string::npos) {
        request.Method = line.substr(0, firstSpace);
        const std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        const std::size_t question = target.find('?');
        request.Path = target.substr(0, question);
        if (question != std::string::npos) request.Query = target.substr(question + 1);
    }
    SendAll(AClient.Get(), Respond(request));
    ::shutdown(AClient.Get(), SHUT_WR);
}

std::string TLoopbackListener::Respond(const TRequestHead& AHead) {
    const std::optional<std::string> state = QueryValue(AHead.Query, "state");
    const std::optional<std::string> code = QueryValue(AHead.Query, "code");
    const std::optional<std::string> error = QueryValue(AHead.Query, "error");
    const bool isAnswer = AHead.Method == "GET" && AHead.Path == FPath && (state || code || error);
    {
        std::lock_guard lock(FLock);
        if (!isAnswer || FOutcome.Status != TStatus::Waiting)
            return Response(404, "Not Found", "Not found", "This address answers only the sign-in's redirect.");
    }
    const std::string url = FOrigin + AHead.Path + (AHead.Query.empty() ? "" : "?" + AHead.Query);
    if (state.value_or("") != FExpectedState) {
        Finish(TStatus::Mismatch, {}, {}, url);
        return Response(400, "Bad Request", "Sign-in refused",
                        "This answer does not belong to the sign-in the program started, so it was not used. "
                        "Please start the sign-in again.");
    }
    if (error) {
        std::string description = QueryValue(AHead.Query, "error_description").value_or("");
        if (description.empty()) description = *error;
        Finish(TStatus::Denied, {}, description, url);
        return Response(200, "OK", "Sign-in failed", "The service did not grant access: " + description);
    }
    if (code.value_or("").empty()) {
        Finish(TStatus::Denied, {}, "The service answered without an authorization code", url);
        return Response(400, "Bad Request", "Sign-in failed", "The service answered without an authorization code.");
    }
    Finish(TStatus::Answered, *code, {}, url);
    return Response(200, "OK", "Sign-in finished", "You are signed in. You may close this window.");
}

void TLoopbackListener::Finish(TStatus AStatus, std::string ACode, std::string AError, std::string AUrl) {
    std::lock_guard lock(FLock);
    if (FOutcome.Status != TStatus::Waiting) return;
    FOutcome = {AStatus, std::move(ACode), std::move(AError), std::move(AUrl)};
    FChanged.notify_all();
}

TLoopbackListener::TOutcome TLoopbackListener::Outcome() const {
    std::lock_guard lock(FLock);
    return FOutcome;
}

TLoopbackListener::TOutcome TLoopbackListener::WaitFor(std::chrono::milliseconds AFor) const {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, AFor, [this] { return FOutcome.Status != TStatus::Waiting || FClosed; });
    return FOutcome;
}

bool TLoopbackListener::Closed() const {
    std::lock_guard lock(FLock);
    return FClosed;
}

}  // namespace Nimbo::Connection
