#pragma once

// Sign-in window classes for tests: they replay a scripted list of events in ShowModal.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"

namespace Nimbo::Connection::Testing {

// Empties the window class registry for one test and restores it afterwards.
class TAuthUIRegistryIsolation {
public:
    TAuthUIRegistryIsolation() : FSaved(TAuthUI::RegisteredClasses()) { Clear(); }
    ~TAuthUIRegistryIsolation() {
        Clear();
        for (const TAuthUIClass& saved : FSaved) TAuthUI::Register(saved);
    }
    TAuthUIRegistryIsolation(const TAuthUIRegistryIsolation&) = delete;
    TAuthUIRegistryIsolation& operator=(const TAuthUIRegistryIsolation&) = delete;

private:
    static void Clear() {
        for (const TAuthUIClass& registered : TAuthUI::RegisteredClasses()) TAuthUI::Unregister(registered);
    }

    std::vector<TAuthUIClass> FSaved;
};

// What a scripted window does, and what happened to windows of its class.
struct TWindowScript {
    std::vector<std::pair<TAuthEvent, std::string>> Events;
    bool UserClosesAtEnd = true;  // when the script runs out without Close: aeCanceled, like a user closing it
    bool FailInShowModal = false;

    int Created = 0;
    int Destroyed = 0;
    int Delivered = 0;
    int Closed = 0;
    bool DetachedBeforeClose = false;
    TAuthEvents Required;
    std::string Url;
};

template <class TTag>
class TScriptedWindow : public TAuthUI {
public:
    static TWindowScript& Script() {
        static TWindowScript script;
        return script;
    }
    static TAuthEvents Supports() { return TTag::Events; }

    TScriptedWindow() { ++Script().Created; }
    ~TScriptedWindow() override { ++Script().Destroyed; }

    void ShowModal(TAuthEvents ARequired, const std::string& AUrl) override {
        TWindowScript& script = Script();
        script.Required = ARequired;
        script.Url = AUrl;
        if (script.FailInShowModal) throw std::runtime_error("the window could not be shown");
        for (const auto& [event, text] : script.Events) {
            if (FClosed) return;
            ++script.Delivered;
            DoEvent(event, text);
        }
        if (!FClosed && script.UserClosesAtEnd) DoEvent(aeCanceled, "");
    }

    void Close() override {
        FClosed = true;
        ++Script().Closed;
        Script().DetachedBeforeClose = !GetOnEvent();
    }

private:
    bool FClosed = false;
};

struct TAllEventsTag {
    static constexpr TAuthEvents Events{aeNavigateComplete, aeTitleChanged, aeCanceled};
};
struct TNavigateOnlyTag {
    static constexpr TAuthEvents Events{aeNavigateComplete, aeCanceled};
};
struct TOtherAllEventsTag {
    static constexpr TAuthEvents Events{aeNavigateComplete, aeTitleChanged, aeCanceled};
};

using TFullWindow = TScriptedWindow<TAllEventsTag>;
using TNavigateOnlyWindow = TScriptedWindow<TNavigateOnlyTag>;
using TOtherFullWindow = TScriptedWindow<TOtherAllEventsTag>;

}  // namespace Nimbo::Connection::Testing
