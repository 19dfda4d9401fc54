#include "AdapterTestSupport.h"

#include <algorithm>
#include <cctype>

#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/HttpTransport.h"

using namespace Nimbo::Connection;

namespace AdapterTest {

namespace {

std::vector<TAdapterKind>& Kinds() {
    static std::vector<TAdapterKind> kinds;
    return kinds;
}

std::unique_ptr<Nimbo::Emulator::CloudEmulator> StartEmulator() {
    auto emulator = std::make_unique<Nimbo::Emulator::CloudEmulator>();
    emulator->Start();
    THttpTransportSettings settings;
    settings.CaFile = emulator->CaCertPath().string();
    settings.ConnectTo = emulator->ConnectToMappings();
    settings.ConnectTimeoutMs = 5000;
    settings.StallTimeoutSeconds = 20;
    THttpTransport::Configure(settings);
    TAuthUI::Register(TAuthUIClass::Of<TNimboHeadlessAuth>());
    return emulator;
}

}  // namespace

Nimbo::Emulator::CloudEmulator& Emulator() {
    static const std::unique_ptr<Nimbo::Emulator::CloudEmulator> emulator = StartEmulator();
    return *emulator;
}

bool RegisterAdapterKind(TAdapterKind AKind) {
    Kinds().push_back(std::move(AKind));
    return true;
}

const std::vector<TAdapterKind>& AdapterKinds() { return Kinds(); }

const TAdapterKind& AdapterKind(const std::string& AName) {
    const auto found =
        std::find_if(Kinds().begin(), Kinds().end(), [&](const TAdapterKind& k) { return k.Name == AName; });
    if (found == Kinds().end()) throw std::logic_error("No adapter kind named " + AName);
    return *found;
}

std::string KindName(const ::testing::TestParamInfo<TAdapterKind>& AInfo) { return AInfo.param.Name; }

void TAdapterFixture::SetUp() {
    Nimbo::Emulator::CloudEmulator& emulator = Emulator();
    emulator.ResetAll();
    emulator.ClearFaults();
    emulator.SetSignInDecision(Nimbo::Emulator::SignInDecision::Ask);
    emulator.RegisterClient(FKind.Service, ClientId, FKind.PublicClient ? "" : ClientSecret, {FKind.RedirectUrl});
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
    FStorage = NewStorage();
    emulator.ClearRequests();
}

void TAdapterFixture::TearDown() {
    FStorage.reset();
    Emulator().ClearFaults();
}

std::unique_ptr<TNimboStorage> TAdapterFixture::NewStorage() const {
    std::unique_ptr<TNimboStorage> storage = FKind.Create();
    storage->SetClientId(ClientId);
    if (!FKind.PublicClient) storage->SetSecret(ClientSecret);
    storage->SetRedirectUrl(FKind.RedirectUrl);
    return storage;
}

TNimboCloudFile TAdapterFixture::Child(const TNimboCloudFile& AFolder, const std::string& AName) {
    for (const TNimboCloudFile& child : AFolder.Files())
        if (child.GetName() == AName) return child;
    ADD_FAILURE() << "No child named \"" << AName << "\" in \"" << AFolder.GetName() << "\"";
    return {};
}

std::vector<Nimbo::Emulator::RecordedRequest> TAdapterFixture::Requests(const std::string& AHost) const {
    std::vector<Nimbo::Emulator::RecordedRequest> requests = Emulator().Requests();
    if (!AHost.empty())
        std::erase_if(requests, [&](const Nimbo::Emulator::RecordedRequest& r) { return r.host != AHost; });
    return requests;
}

std::string HeaderOf(const Nimbo::Emulator::RecordedRequest& ARequest, const std::string& AName) {
    for (const auto& [name, value] : ARequest.headers)
        if (std::equal(name.begin(), name.end(), AName.begin(), AName.end(),
                       [](unsigned char A, unsigned char B) { return std::tolower(A) == std::tolower(B); }))
            return value;
    return "";
}

}  // namespace AdapterTest
