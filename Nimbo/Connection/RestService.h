#pragma once

#include <array>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/platform/BinaryStream.h"
#include "Nimbo/Connection/platform/Component.h"
#include "Nimbo/Connection/platform/DateTime.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

class TRestService;
class TServiceState;

// Stores what a DoLoadState hook has read. Loading the saved state runs it only after the whole
// stream has been read and checked, so it must only assign and must not fail. May be empty.
using TApplyState = std::function<void()>;

// The credentials a service caches while its stored properties are being restored.
enum TLoadingValue { lvGroup, lvClientId, lvSecret, lvRedirectUrl };

// May replace (or clear) the sign-in window class chosen for a sign-in of the sender's state.
using TOnGetAuthUIClass = std::function<void(TRestService& ASender, TAuthUIClass& AClass)>;

// A reference to a state class: creates state objects of the class and tells whether a state object
// is of the class or of a subclass.
class TServiceStateClass {
public:
    template <class T>
    requires std::is_base_of_v<TServiceState, T>
    static TServiceStateClass Of() {
        return TServiceStateClass(
            typeid(T), [] { return std::unique_ptr<TServiceState>(std::make_unique<T>()); },
            [](const TServiceState* AState) { return dynamic_cast<const T*>(AState) != nullptr; });
    }

    bool operator==(const TServiceStateClass& AOther) const { return FType == AOther.FType; }

    // A new state object of the class, its redirect URL set to the class's default.
    std::unique_ptr<TServiceState> Create() const;
    // True when AState is present and an instance of the class or of a subclass.
    bool IsInstance(const TServiceState* AState) const { return AState != nullptr && FIsInstance(AState); }

private:
    using TCreate = std::unique_ptr<TServiceState> (*)();
    using TIsInstance = bool (*)(const TServiceState*);

    TServiceStateClass(std::type_index AType, TCreate ACreate, TIsInstance AIsInstance)
        : FType(AType), FCreate(ACreate), FIsInstance(AIsInstance) {}

    std::type_index FType;
    TCreate FCreate;
    TIsInstance FIsInstance;
};

// The credentials and sign-in state of one service, or of all services of one class and group.
// State objects are created, shared and destroyed by a class-wide registry; services never own
// them. A service adapter derives its own state class to give a default redirect URL, extra saved
// fields and its token logic.
class TServiceState {
public:
    TServiceState() = default;
    virtual ~TServiceState() = default;

    TServiceState(const TServiceState&) = delete;
    TServiceState& operator=(const TServiceState&) = delete;

    int GetGroup() const { return FGroup; }
    const std::string& GetClientId() const { return FClientId; }
    const std::string& GetSecret() const { return FSecret; }
    const std::string& GetRedirectUrl() const { return FRedirectUrl; }
    const std::string& GetToken() const { return FToken; }
    const std::string& GetRefresh() const { return FRefresh; }
    TDateTime GetExpires() const { return FExpires; }

    // Stores the three values exactly as passed.
    void SetToken(const std::string& AToken, const std::string& ARefresh, TDateTime AExpires);
    // Signs out: token and refresh token empty, expiry MinDateTime.
    void ResetToken();

    // Held while the state's refresh token is being used, so that renewals run one at a time.
    std::mutex& RefreshLock() const { return FRefreshLock; }

    // Calls AProc for every service that uses this state, in registry order.
    void GetServices(const std::function<void(TRestService&)>& AProc) const;

    // Signs in through a sign-in window at AUrl and returns the authorization code in ACode.
    // Raises ERestError for a refused sign-in and EAbort (silently) when the user closes the window.
    void OAuth20(TAuthEvents ARequired, const std::string& AUrl, std::string& ACode);
    // The window class for a sign-in needing ARequired, after the OnGetAuthUIClass handlers of every
    // service of this state have had their say; raises ERestError when there is none. Classes that
    // serve only loopback sign-ins are candidates when ALoopback is set.
    TAuthUIClass GetDialogClass(TAuthEvents ARequired, bool ALoopback = false) const;

    // What a sign-in window showed: the code or the error of the redirect, or a cancel.
    struct TWindowOutcome {
        std::string Code;
        std::string Error;
        bool Canceled = false;
    };
    // Shows a window of AClass at AUrl until it reaches ARedirectUrl (or its title gives the code)
    // or the user closes it.
    static TWindowOutcome ShowSignInWindow(const TAuthUIClass& AClass, TAuthEvents ARequired, const std::string& AUrl,
                                           const std::string& ARedirectUrl);
    // The message of a refused sign-in from the service's own words: control characters (which a
    // redirect can carry and which would cut a message short) are dropped, and words that leave
    // nothing give a fixed message, so a refusal always says something.
    static std::string RefusalMessage(std::string_view AServiceText);

protected:
    // Writes the extra fields of the state class after the common ones; nothing here.
    virtual void DoSaveState(TBinaryWriter& AWriter) const;
    // Reads what DoSaveState wrote and returns the action that stores it (see TApplyState).
    virtual TApplyState DoLoadState(TBinaryReader& AReader);
    // The redirect URL of a new state object; empty here.
    virtual std::string DefaultRedirectUrl() const;

private:
    friend class TRestService;
    friend class TServiceStateClass;

    struct TItem {
        TRestService* Service;
        std::shared_ptr<TServiceState> State;  // empty until the service first needs its state
    };

    static std::vector<TItem>& Items();
    // The state object the service must use from now on, given its state class and group.
    static TServiceState& Get(TRestService& AService);
    // The service's entry, added (without a state) when it has none.
    static TItem& GetItem(TRestService& AService);
    // Drops the service's entry; its state goes with the last entry that names it.
    static void Release(TRestService& AService);
    static void RemoveItem(TItem& AItem);
    static std::shared_ptr<TServiceState> FindShared(const TServiceStateClass& AClass, int AGroup);

    int FGroup = -1;
    std::string FClientId;
    std::string FSecret;
    std::string FRedirectUrl;
    std::string FToken;
    std::string FRefresh;
    TDateTime FExpires = 0.0;
    mutable std::mutex FRefreshLock;
};

// The base component of every cloud service: client credentials, the shared sign-in state, the
// HTTP client of the service's API server and the saved-state stream.
//
// A derived service overrides GetServerName and, when it has its own state class, GetStateClass.
// Both are first asked when the HTTP client or the state is first needed, never during this base
// class's construction, so the derived overrides always take effect. A derived constructor should
// not touch the state either, so that classes derived from it can still choose the state class.
class TRestService : public TComponent {
public:
    explicit TRestService(TComponent* AOwner = nullptr);
    ~TRestService() override;

    // Identity within the run; never reused.
    int GetId() const { return FId; }

    std::string GetClientId() const;
    void SetClientId(const std::string& AValue);
    std::string GetSecret() const;
    void SetSecret(const std::string& AValue);
    std::string GetRedirectUrl() const;
    void SetRedirectUrl(const std::string& AValue);
    const TOnGetAuthUIClass& GetOnGetAuthUIClass() const { return FOnGetAuthUIClass; }
    void SetOnGetAuthUIClass(TOnGetAuthUIClass AValue) { FOnGetAuthUIClass = std::move(AValue); }

    std::string GetToken() const { return State().GetToken(); }
    std::string GetRefresh() const { return State().GetRefresh(); }
    TDateTime GetExpires() const { return State().GetExpires(); }

    // Whether RedirectUrl must be kept with the stored properties: it differs from the default.
    bool IsRedirectUrlStored() const;

    // Writes the state stream at the stream's current position.
    void SaveState(std::ostream& AStream) const;
    // Replaces the file with the state stream; an existing file stays as it was when writing fails.
    void SaveState(const std::string& AFileName) const;
    // Reads the state stream from the stream's current position. Everything is read and checked
    // before anything is stored: on any error the state is left exactly as it was.
    void LoadState(std::istream& AStream);
    void LoadState(const std::string& AFileName);

    // Forgets the sign-in (access and refresh token) of the service's state: the next call that
    // needs one signs in again.
    void SignOut();
    // Makes sure the service holds a usable access token; nothing here.
    virtual void RefreshAccess();

    void Loaded() override;

protected:
    // Raises ERestError when the client id, the secret or the redirect URL is empty.
    void CheckAuthParams() const;

    // The host name of the service's API server.
    virtual std::string GetServerName() const = 0;
    // The class of the state objects this service uses.
    virtual TServiceStateClass GetStateClass() const;
    // The service's extra saved fields; by default those of the state object.
    virtual void DoSaveState(TBinaryWriter& AWriter) const;
    virtual TApplyState DoLoadState(TBinaryReader& AReader);

    int GetGroup() const;
    void SetGroup(int AValue);

    // The HTTP client of the service's API server, made on first use.
    THttpClient& Http();
    // The state object this service uses, obtained on first use.
    TServiceState& State() const;
    // The state object as the derived service's own state class.
    template <class T>
    T& StateAs() const {
        auto* state = dynamic_cast<T*>(&State());
        Assert(state != nullptr, "Service state has an unexpected class");
        return *state;
    }

private:
    friend class TServiceState;
    friend class TRestHandle;

    static int GetNextId();
    static TRestService* FindLive(int AId);
    void RemoveFromList();

    std::string GetLoadingVal(TLoadingValue AValue) const { return FLoadingVals[AValue]; }
    void SetLoadingVal(TLoadingValue AValue, const std::string& AText);
    bool IsLoadingValSet(TLoadingValue AValue) const;
    void FlushLoadingVals();
    // The credential as the getters report it: the cached value while loading, else the state's.
    std::string ReadCredential(TLoadingValue AValue, const std::string& AStateValue) const;
    // Writes a credential: nothing when unchanged, the cache while loading, else the state's field
    // followed by a sign-out of everyone sharing the state.
    void WriteCredential(TLoadingValue AValue, std::string TServiceState::*AField, const std::string& ANewValue);

    inline static TRestService* FFirst = nullptr;
    inline static int FNextId = 0;

    int FId;
    TRestService* FNext = nullptr;
    std::unique_ptr<THttpClient> FHttp;
    std::mutex FHttpLock;  // the client is made by whichever thread needs it first
    int FGroup = -1;
    mutable TServiceState* FState = nullptr;
    std::array<std::string, 4> FLoadingVals;
    unsigned FLoadingSet = 0;
    TOnGetAuthUIClass FOnGetAuthUIClass;
};

// A weak handle to a service: remembers only its id and finds it again while it lives.
class TRestHandle {
public:
    explicit TRestHandle(const TRestService& AService) : FServiceId(AService.GetId()) {}
    virtual ~TRestHandle() = default;

    int GetServiceId() const { return FServiceId; }
    // The live service this handle was made for; ERestError "Service has been destroyed." when gone.
    TRestService& GetService() const;

private:
    int FServiceId;
};

}  // namespace Nimbo::Connection
