#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <typeindex>
#include <vector>

namespace Nimbo::Connection {

// What a sign-in window reports while it is shown.
enum TAuthEvent {
    aeNavigateComplete,  // the browser finished loading a URL; the text is that URL
    aeTitleChanged,      // the page's title changed; the text is the new title
    aeCanceled           // the window was closed without a result; the text is empty
};

// A set of TAuthEvent.
class TAuthEvents {
public:
    constexpr TAuthEvents() = default;
    constexpr TAuthEvents(std::initializer_list<TAuthEvent> AEvents) {
        for (TAuthEvent event : AEvents) FBits |= Bit(event);
    }

    constexpr bool Contains(TAuthEvent AEvent) const { return (FBits & Bit(AEvent)) != 0; }
    // True when every event of ASubset is in this set.
    constexpr bool ContainsAll(TAuthEvents ASubset) const { return (ASubset.FBits & ~FBits) == 0; }
    constexpr bool IsEmpty() const { return FBits == 0; }
    constexpr bool operator==(const TAuthEvents&) const = default;

private:
    static constexpr std::uint8_t Bit(TAuthEvent AEvent) { return static_cast<std::uint8_t>(1u << AEvent); }

    std::uint8_t FBits = 0;
};

// Receives the events of a sign-in window: the event and its text.
using TAuthProc = std::function<void(TAuthEvent AEvent, const std::string& AText)>;

class TAuthUIClass;

// Base of the sign-in windows. A window class derives from it, declares which events it can report
// with a static Supports(), and registers itself with Register(TAuthUIClass::Of<TMyWindow>()).
// One window object serves one sign-in: it is created, shown once with ShowModal and destroyed.
class TAuthUI {
public:
    TAuthUI() = default;
    virtual ~TAuthUI() = default;

    TAuthUI(const TAuthUI&) = delete;
    TAuthUI& operator=(const TAuthUI&) = delete;

    const TAuthProc& GetOnEvent() const { return FOnEvent; }
    void SetOnEvent(TAuthProc AValue) { FOnEvent = std::move(AValue); }

    // Passes the event on to OnEvent when one is set. The handler may clear or replace OnEvent while
    // it runs.
    virtual void DoEvent(TAuthEvent AEvent, const std::string& AText);

    // The events this class can report; a window class hides this with its own.
    static TAuthEvents Supports() { return {}; }

    // Shows the window at AUrl and returns when it has closed.
    virtual void ShowModal(TAuthEvents ARequired, const std::string& AUrl) = 0;
    // Closes the window from inside an event handler, ending ShowModal.
    virtual void Close() = 0;

    // Adds a window class to the registry unless it is there already.
    static void Register(const TAuthUIClass& AClass);
    // Removes a window class from the registry; nothing happens when it is not registered.
    static void Unregister(const TAuthUIClass& AClass);
    // The registered classes in registration order.
    static std::vector<TAuthUIClass> RegisteredClasses();
    // The first registered class that supports every event of ARequired, or none. A class that
    // serves only loopback sign-ins is chosen only when ALoopback is set.
    static TAuthUIClass Find(TAuthEvents ARequired, bool ALoopback = false);

private:
    TAuthProc FOnEvent;
};

// A reference to a window class: creates windows of the class and answers Supports for it.
// A default-constructed value is "none". A class that cannot watch a browser's navigations (one
// that opens the browser outside the program) declares a static LoopbackOnly() returning true:
// it then serves only sign-ins whose redirect reaches a loopback listener of the program.
class TAuthUIClass {
public:
    TAuthUIClass() = default;

    template <class T>
    requires std::is_base_of_v<TAuthUI, T>
    static TAuthUIClass Of() {
        TAuthUIClass result(
            typeid(T), [] { return std::unique_ptr<TAuthUI>(std::make_unique<T>()); }, &T::Supports);
        if constexpr (requires { T::LoopbackOnly(); }) result.FLoopbackOnly = T::LoopbackOnly();
        return result;
    }

    explicit operator bool() const { return FCreate != nullptr; }
    bool operator==(const TAuthUIClass& AOther) const { return FType == AOther.FType; }

    // A new window of the class. The class must not be none.
    std::unique_ptr<TAuthUI> Create() const;
    TAuthEvents Supports() const;
    // True when every event of ARequired is among the events the class supports.
    bool Supports(TAuthEvents ARequired) const { return Supports().ContainsAll(ARequired); }
    // True for a class that serves only sign-ins through a loopback listener.
    bool LoopbackOnly() const { return FLoopbackOnly; }

private:
    using TCreate = std::unique_ptr<TAuthUI> (*)();
    using TSupports = TAuthEvents (*)();

    TAuthUIClass(std::type_index AType, TCreate ACreate, TSupports ASupports)
        : FType(AType), FCreate(ACreate), FSupports(ASupports) {}

    std::type_index FType = typeid(void);
    TCreate FCreate = nullptr;
    TSupports FSupports = nullptr;
    bool FLoopbackOnly = false;
};

}  // namespace Nimbo::Connection
