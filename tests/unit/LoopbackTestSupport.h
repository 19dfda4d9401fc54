#pragma once

// Helpers for tests of loopback sign-ins: a browser's GET, a check that a port is listening, and a
// sign-in window that follows the authorization address straight to its redirect.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "Nimbo/Connection/AuthUI.h"
#include "Nimbo/Connection/Http.h"

namespace Nimbo::Connection::Testing {

struct TAnswer {
    int Status = 0;
    std::string Body;
};

// A GET as a browser sends it; any status is an answer.
inline TAnswer Get(const std::string& AUrl) {
    THttpClient client("");
    TAnswer answer;
    try {
        answer.Status = client.Get(AUrl).Execute(answer.Body);
    } catch (const EHttpProtocolError& error) {
        answer.Status = error.ErrorCode();
        answer.Body = error.ErrorMessage();
    }
    return answer;
}

// True when something accepts connections on 127.0.0.1:APort.
inline bool Listening(int APort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(APort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// The decoded value of a query parameter of AUrl.
inline std::string Param(const std::string& AUrl, const std::string& AName) {
    const std::size_t at = AUrl.find(AName + "=", AUrl.find('?'));
    if (at == std::string::npos) return {};
    const std::size_t start = at + AName.size() + 1;
    std::string value = AUrl.substr(start, AUrl.find('&', start) - start);
    std::string decoded;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += value[i];
        }
    }
    return decoded;
}

// A window that is its own browser and service: it follows the authorization address straight to
// the redirect with the scripted query, as an embedded or headless window does.
struct TNavigation {
    // The query the "service" redirects with; "{state}" stands for the sign-in's state.
    std::string Query = "code=the-code&state={state}";
    bool Cancel = false;
    std::string Authorization;  // the address the window was shown at
    TAnswer Answer;             // what the listener told the browser
};

inline TNavigation& Navigation() {
    static TNavigation navigation;
    return navigation;
}

class TNavigatingWindow : public TAuthUI {
public:
    static TAuthEvents Supports() { return {aeNavigateComplete, aeTitleChanged, aeCanceled}; }
    void ShowModal(TAuthEvents, const std::string& AUrl) override {
        TNavigation& navigation = Navigation();
        navigation.Authorization = AUrl;
        if (navigation.Cancel) {
            DoEvent(aeCanceled, "");
            return;
        }
        std::string query = navigation.Query;
        if (const std::size_t at = query.find("{state}"); at != std::string::npos)
            query.replace(at, 7, THttpClient::UrlEncode(Param(AUrl, "state")));
        const std::string target = Param(AUrl, "redirect_uri") + "?" + query;
        navigation.Answer = Get(target);
        DoEvent(aeNavigateComplete, target);
        if (!FClosed) DoEvent(aeCanceled, "");
    }
    void Close() override { FClosed = true; }

private:
    bool FClosed = false;
};

}  // namespace Nimbo::Connection::Testing
