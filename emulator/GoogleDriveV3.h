#pragma once
// Google Drive v3 on www.googleapis.com (/drive/v3/... and /upload/drive/v3/files): the same account
// as Drive v2, reached through the routes this adds to the Drive service's table. Items keep their
// ids, so an item made through either interface shows in both.

#include "emulator/Json.h"
#include "emulator/Routes.h"

#include <memory>
#include <string>

namespace Nimbo::Emulator {

class Service;

// Whether a request path belongs to Drive v3, whose error bodies put code and message first.
bool IsDriveV3Path(const std::string& path);
// {"error":{"code","message","errors":[{"domain","reason","message","locationType","location"}]}}
Json DriveV3ErrorBody(int status, const std::string& reason, const std::string& message,
                      const std::string& location = "", const std::string& locationType = "parameter");

class GoogleDriveV3 {
public:
    GoogleDriveV3(Service& drive, RouteTable& routes);
    ~GoogleDriveV3();
    GoogleDriveV3(const GoogleDriveV3&) = delete;
    GoogleDriveV3& operator=(const GoogleDriveV3&) = delete;

    void Reset();  // forgets the upload sessions

private:
    class Api;
    std::unique_ptr<Api> api_;
};

}  // namespace Nimbo::Emulator
