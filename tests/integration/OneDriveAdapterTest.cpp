// OneDrive through the Live Connect interface, end to end against the emulator: sign-in and token
// rules, the saved state, and the exact requests of each operation. What every adapter does is in the
// storage contract suite, which this file registers the adapter for.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/Microsoft.h"

using namespace Nimbo::Connection;
using AdapterTest::Cloud;

namespace {

const std::string DesktopRedirect = "https://login.live.com/oauth20_desktop.srf";

const bool Registered = AdapterTest::RegisterAdapterKind({
    .Name = "OneDrive",
    .Service = Cloud::LiveConnect,
    .RedirectUrl = DesktopRedirect,
    .Create = [] { return std::make_unique<TNimboOneDrive>(); },
    .PageSize = TNimboOneDrive::ListPageSize,
});

}  // namespace
