// Loads arbitrary bytes as the saved state of every service. A load either succeeds, and the state it
// gives survives a save and load unchanged, or raises one of the library's errors and leaves the
// state exactly as it was.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <typeinfo>

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/RestService.h"

using namespace Nimbo::Connection;

namespace {

// The client id every fuzzed service has; the seed streams carry it.
const std::string ClientId = "fuzz-client";

// A service with the base state class and no extra fields.
class TPlainService : public TRestService {
protected:
    std::string GetServerName() const override { return "api.example.com"; }
};

[[noreturn]] void Fail(const std::string& AWhat, const TRestService& AService) {
    std::fprintf(stderr, "%s: %s\n", typeid(AService).name(), AWhat.c_str());
    std::abort();
}

std::string Saved(const TRestService& AService) {
    std::ostringstream stream;
    AService.SaveState(stream);
    return stream.str();
}

// Whether the bytes loaded; a failure must be one of the library's errors.
bool Load(TRestService& AService, const std::string& ABytes) {
    std::istringstream stream(ABytes);
    try {
        AService.LoadState(stream);
        return true;
    } catch (const Exception&) {
        return false;
    } catch (const std::exception& error) {
        Fail(std::string("a load raised an error that is not the library's: ") + error.what(), AService);
    }
}

// A saved state with tokens and extra fields, so that a change by a failed load shows.
std::string StartingState() {
    std::ostringstream stream;
    TBinaryWriter writer(stream);
    writer.Write(std::uint8_t{1});
    writer.Write(ClientId);
    writer.Write("starting access token");
    writer.Write("starting refresh token");
    writer.Write(45000.5);
    // Enough extra bytes for any service's fields: a number and a string.
    writer.Write(std::int64_t{0x3});
    writer.Write("starting user");
    return stream.str();
}

template <class TService>
void CheckLoad(const std::string& AInput) {
    TService service;
    service.SetClientId(ClientId);
    if (!Load(service, StartingState())) Fail("the starting state does not load", service);
    const std::string before = Saved(service);

    const bool loaded = Load(service, AInput);
    const std::string after = Saved(service);
    if (!loaded) {
        if (after != before) Fail("a failed load changed the state", service);
        return;
    }
    if (!Load(service, after)) Fail("a saved state does not load again", service);
    if (Saved(service) != after) Fail("a saved state changes on a save and load", service);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string input(reinterpret_cast<const char*>(AData), ASize);
    CheckLoad<TPlainService>(input);
    CheckLoad<TNimboGDrive>(input);
    CheckLoad<TNimboDropBox>(input);
    CheckLoad<TNimboOneDrive>(input);
    CheckLoad<TNimboBoxNet>(input);
    return 0;
}
