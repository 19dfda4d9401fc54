#include "Nimbo/Connection/RestService.h"

#include <algorithm>
#include <fstream>

#include "Nimbo/Connection/LocalFile.h"

namespace Nimbo::Connection {

namespace {

constexpr std::uint8_t StateFormatVersion = 1;

unsigned LoadingBit(TLoadingValue AValue) { return 1u << AValue; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// TServiceStateClass

std::unique_ptr<TServiceState> TServiceStateClass::Create() const {
    std::unique_ptr<TServiceState> state = FCreate();
    // Set here rather than in the constructor, where the subclass's override would not be reached.
    state->FRedirectUrl = state->DefaultRedirectUrl();
    return state;
}

// ---------------------------------------------------------------------------------------------
// TServiceState: values

void TServiceState::SetToken(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires) {
    FToken = AToken;
    FRefresh = ARefresh;
    FExpires = AExpires;
}

void TServiceState::ResetToken() {
    FToken.clear();
    FRefresh.clear();
    FExpires = MinDateTime;
}

void TServiceState::GetServices(const std::function<void(TRestService&)>& AProc) const {
    // Collected first, so that the callable may create or destroy services.
    std::vector<int> ids;
    for (const TItem& item : Items())
        if (item.State.get() == this) ids.push_back(item.Service->GetId());
    for (int id : ids)
        if (TRestService* service = TRestService::FindLive(id)) AProc(*service);
}

void TServiceState::DoSaveState(TBinaryWriter&) const {}

TApplyState TServiceState::DoLoadState(TBinaryReader&) { return {}; }

std::string TServiceState::DefaultRedirectUrl() const { return {}; }

// ---------------------------------------------------------------------------------------------
// TServiceState: the class-wide registry

std::vector<TServiceState::TItem>& TServiceState::Items() {
    // Never destroyed: services destroyed during static destruction can still release their entry.
    static auto* items = new std::vector<TItem>();
    return *items;
}

std::shared_ptr<TServiceState> TServiceState::FindShared(const TServiceStateClass& AClass, int AGroup) {
    if (AClass == TServiceStateClass::Of<TServiceState>() || AGroup == -1) return nullptr;
    for (const TItem& item : Items())
        if (AClass.IsInstance(item.State.get()) && item.State->FGroup == AGroup) return item.State;
    return nullptr;
}

TServiceState& TServiceState::Get(TRestService& AService) {
    const TServiceStateClass stateClass = AService.GetStateClass();
    const int group = AService.GetGroup();

    std::shared_ptr<TServiceState> chosen = FindShared(stateClass, group);
    if (!chosen) {
        chosen = stateClass.Create();
        chosen->FGroup = group;
    }
    // The former state goes away here when this entry was its last user.
    GetItem(AService).State = std::move(chosen);
    return *GetItem(AService).State;
}

TServiceState::TItem& TServiceState::GetItem(TRestService& AService) {
    auto& items = Items();
    auto found =
        std::find_if(items.begin(), items.end(), [&](const TItem& AItem) { return AItem.Service == &AService; });
    if (found != items.end()) return *found;
    return items.emplace_back(TItem{&AService, nullptr});
}

void TServiceState::RemoveItem(TItem& AItem) {
    // The last entry takes the place of the removed one; the order of the others is not kept.
    auto& items = Items();
    TItem& last = items.back();
    if (&AItem != &last) AItem = std::move(last);
    items.pop_back();
}

void TServiceState::Release(TRestService& AService) { RemoveItem(GetItem(AService)); }

// ---------------------------------------------------------------------------------------------
// TRestService: life cycle

TRestService::TRestService(TComponent* AOwner) : TComponent(AOwner), FId(GetNextId()) {
    FNext = FFirst;
    FFirst = this;
    // The state object itself is obtained on first use, when the derived class's GetStateClass can
    // answer; the entry is taken now so that the registry keeps services in construction order.
    TServiceState::GetItem(*this);
}

TRestService::~TRestService() {
    RemoveFromList();
    TServiceState::Release(*this);
    FHttp.reset();
}

int TRestService::GetNextId() { return ++FNextId; }

void TRestService::RemoveFromList() {
    for (TRestService** link = &FFirst; *link != nullptr; link = &(*link)->FNext) {
        if (*link == this) {
            *link = FNext;
            return;
        }
    }
}

TRestService* TRestService::FindLive(int AId) {
    for (TRestService* service = FFirst; service != nullptr; service = service->FNext)
        if (service->FId == AId) return service;
    return nullptr;
}

THttpClient& TRestService::Http() {
    std::lock_guard lock(FHttpLock);
    if (!FHttp) FHttp = std::make_unique<THttpClient>(GetServerName());
    return *FHttp;
}

TServiceState& TRestService::State() const {
    if (FState == nullptr) FState = &TServiceState::Get(const_cast<TRestService&>(*this));
    return *FState;
}

TServiceStateClass TRestService::GetStateClass() const { return TServiceStateClass::Of<TServiceState>(); }

void TRestService::RefreshAccess() {}

void TRestService::SignOut() { State().ResetToken(); }

// ---------------------------------------------------------------------------------------------
// TRestService: credentials, group and the loading phase

std::string TRestService::ReadCredential(TLoadingValue AValue, const std::string& AStateValue) const {
    if (IsLoading() && IsLoadingValSet(AValue)) return GetLoadingVal(AValue);
    return AStateValue;
}

void TRestService::WriteCredential(TLoadingValue AValue, std::string TServiceState::*AField,
                                   const std::string& ANewValue) {
    if (ANewValue == ReadCredential(AValue, State().*AField)) return;
    if (IsLoading()) {
        SetLoadingVal(AValue, ANewValue);
        return;
    }
    State().*AField = ANewValue;
    State().ResetToken();
}

std::string TRestService::GetClientId() const { return ReadCredential(lvClientId, State().FClientId); }
void TRestService::SetClientId(const std::string& AValue) {
    WriteCredential(lvClientId, &TServiceState::FClientId, AValue);
}

std::string TRestService::GetSecret() const { return ReadCredential(lvSecret, State().FSecret); }
void TRestService::SetSecret(const std::string& AValue) { WriteCredential(lvSecret, &TServiceState::FSecret, AValue); }

std::string TRestService::GetRedirectUrl() const { return ReadCredential(lvRedirectUrl, State().FRedirectUrl); }
void TRestService::SetRedirectUrl(const std::string& AValue) {
    WriteCredential(lvRedirectUrl, &TServiceState::FRedirectUrl, AValue);
}

int TRestService::GetGroup() const {
    if (IsLoading() && IsLoadingValSet(lvGroup)) return std::stoi(GetLoadingVal(lvGroup));
    return FGroup;
}

void TRestService::SetGroup(int AValue) {
    if (AValue == GetGroup()) return;
    if (IsLoading()) {
        SetLoadingVal(lvGroup, std::to_string(AValue));
        return;
    }
    const std::string clientId = GetClientId();
    const std::string secret = GetSecret();
    const std::string redirectUrl = GetRedirectUrl();
    FGroup = AValue;
    FState = &TServiceState::Get(*this);
    // A state of the new group that has credentials of its own keeps them.
    if (FState->FClientId.empty() && FState->FSecret.empty()) {
        SetClientId(clientId);
        SetSecret(secret);
        SetRedirectUrl(redirectUrl);
    }
}

void TRestService::SetLoadingVal(TLoadingValue AValue, const std::string& AText) {
    FLoadingVals[AValue] = AText;
    FLoadingSet |= LoadingBit(AValue);
}

bool TRestService::IsLoadingValSet(TLoadingValue AValue) const { return (FLoadingSet & LoadingBit(AValue)) != 0; }

void TRestService::Loaded() {
    TComponent::Loaded();
    FlushLoadingVals();
}

void TRestService::FlushLoadingVals() {
    // The group first, so that the credentials go into the state object of the final group.
    if (IsLoadingValSet(lvGroup)) SetGroup(std::stoi(GetLoadingVal(lvGroup)));
    if (IsLoadingValSet(lvClientId)) SetClientId(GetLoadingVal(lvClientId));
    if (IsLoadingValSet(lvSecret)) SetSecret(GetLoadingVal(lvSecret));
    if (IsLoadingValSet(lvRedirectUrl)) SetRedirectUrl(GetLoadingVal(lvRedirectUrl));
    // Applied once: a later loading phase must not see these values as the current ones.
    FLoadingSet = 0;
}

bool TRestService::IsRedirectUrlStored() const { return GetRedirectUrl() != State().DefaultRedirectUrl(); }

void TRestService::CheckAuthParams() const {
    if (GetClientId().empty()) throw ERestError("ClientId is not specified");
    if (GetSecret().empty()) throw ERestError("Secret is not specified");
    if (GetRedirectUrl().empty()) throw ERestError("RedirectUrl is not specified");
}

// ---------------------------------------------------------------------------------------------
// TRestService: the state stream

void TRestService::DoSaveState(TBinaryWriter& AWriter) const { State().DoSaveState(AWriter); }

TApplyState TRestService::DoLoadState(TBinaryReader& AReader) { return State().DoLoadState(AReader); }

void TRestService::SaveState(std::ostream& AStream) const {
    TBinaryWriter writer(AStream);
    writer.Write(StateFormatVersion);
    writer.Write(GetClientId());
    writer.Write(GetToken());
    writer.Write(GetRefresh());
    writer.Write(GetExpires());
    DoSaveState(writer);
}

void TRestService::SaveState(const std::string& AFileName) const {
    // The state holds the access and refresh tokens: readable by the owner only.
    ReplaceLocalFile(
        AFileName, [this](std::ostream& AStream) { SaveState(AStream); }, TFileAccess::OwnerOnly);
}

void TRestService::LoadState(std::istream& AStream) {
    TBinaryReader reader(AStream);
    if (reader.ReadByte() != StateFormatVersion) throw ERestError("Invalid data");
    if (reader.ReadString() != GetClientId()) throw ERestError("Invalid client-id");
    std::string token = reader.ReadString();
    std::string refresh = reader.ReadString();
    const TDateTime expires = reader.ReadDouble();
    TApplyState applyExtras = DoLoadState(reader);

    // Everything has been read: only now is anything stored.
    TServiceState& state = State();
    state.FToken = std::move(token);
    state.FRefresh = std::move(refresh);
    state.FExpires = expires;
    if (applyExtras) applyExtras();
}

void TRestService::LoadState(const std::string& AFileName) {
    std::ifstream stream = OpenLocalFile(AFileName);
    LoadState(stream);
}

// ---------------------------------------------------------------------------------------------
// TRestHandle

TRestService& TRestHandle::GetService() const {
    TRestService* service = TRestService::FindLive(FServiceId);
    if (service == nullptr) throw ERestError("Service has been destroyed.");
    return *service;
}

}  // namespace Nimbo::Connection
