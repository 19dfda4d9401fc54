#pragma once
// A service's route table: method, host and path pattern ("/drive/v2/files/{id}", a last segment
// "{path...}" takes the rest of the path) to a member handler. Paths are matched by splitting on
// "/", never by regular expressions, so request text of any length costs what it is long.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

struct Exchange;

using PathParams = std::vector<std::pair<std::string, std::string>>;

class RouteTable {
public:
    using Handler = std::function<void(Exchange&)>;
    enum class Access { Token, Open };  // Open: no access token asked for (sign-in pages, downloads)

    struct Route {
        std::string method, host;
        std::vector<std::string> segments;
        Handler handler;
        Access access;
        std::uint64_t maxBody;  // 0: the server's limit
    };

    enum class Outcome { Found, WrongMethod, Unknown };
    struct Match {
        Outcome outcome = Outcome::Unknown;
        const Route* route = nullptr;
        PathParams params;
    };

    void Add(std::string method, std::string host, std::string_view pattern, Handler handler,
             Access access = Access::Token, std::uint64_t maxBody = 0);
    // host is the request's host as the service groups it (see Service::HostGroup).
    Match Find(std::string_view method, std::string_view host, std::string_view path) const;

private:
    std::vector<Route> routes_;
};

}  // namespace Nimbo::Emulator
