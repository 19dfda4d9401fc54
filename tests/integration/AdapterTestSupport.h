#pragma once

// What the adapter tests share: one emulator for the whole program, reached with the services' real
// URLs, the headless sign-in window, and the list of adapters the storage contract suite runs over.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Nimbo/Connection/Storage.h"
#include "emulator/CloudEmulator.h"

namespace AdapterTest {

using Nimbo::Emulator::Cloud;

// The emulator shared by the whole test program, started on first use; the HTTP transport maps
// every real host to it and trusts its CA, and the headless sign-in window is registered.
Nimbo::Emulator::CloudEmulator& Emulator();

inline constexpr char ClientId[] = "test-client";
inline constexpr char ClientSecret[] = "test-secret";

struct TAdapterKind {
    std::string Name;         // test-name suffix, e.g. "GoogleDrive"
    Cloud Service;            // the emulated service
    std::string RedirectUrl;  // set on the component and registered for the emulator's client
    std::function<std::unique_ptr<Nimbo::Connection::TNimboStorage>()> Create;  // new component, no credentials
    int PageSize = 0;                    // children per listing page the adapter asks for; 0: one answer per folder
    std::string HashAlgorithm{};         // of the content hashes the service gives files; empty: none
    bool UniqueNames = true;             // whether a folder's children have different names
    bool CopiesFolders = true;           // whether the service copies a folder with what it holds
    bool PublicClient = false;           // registered and set up without a secret
    int MissingStatus = 404;             // the status of the answer about an item that is gone
    std::string DownloadMethod = "GET";  // of the request that brings a file's bytes
};

// Adds an adapter to the storage contract suite. Call from the adapter's own test file:
//   static const bool registered = AdapterTest::RegisterAdapterKind({...});
bool RegisterAdapterKind(TAdapterKind AKind);
const std::vector<TAdapterKind>& AdapterKinds();
// The registered kind of that name; fails the test when there is none.
const TAdapterKind& AdapterKind(const std::string& AName);

// SetUp resets every service, registers ClientId/ClientSecret with the kind's redirect URL, creates
// the component with those credentials, sets the headless decision to Allow and clears the request
// log. The first operation signs in through the headless window.
class TAdapterFixture : public ::testing::Test {
protected:
    explicit TAdapterFixture(TAdapterKind AKind) : FKind(std::move(AKind)) {}
    void SetUp() override;
    void TearDown() override;

    Nimbo::Emulator::CloudEmulator& Emu() { return Emulator(); }
    Nimbo::Connection::TNimboStorage& Storage() { return *FStorage; }
    const TAdapterKind& Kind() const { return FKind; }
    // A second component of the same kind with the same credentials (e.g. for sharing or reloading state).
    std::unique_ptr<Nimbo::Connection::TNimboStorage> NewStorage() const;
    // The child of that name in the folder's listing; fails the test when there is none.
    Nimbo::Connection::TNimboCloudFile Child(const Nimbo::Connection::TNimboCloudFile& AFolder,
                                             const std::string& AName);
    // The requests that arrived since the log was last cleared, to AHost only when given.
    std::vector<Nimbo::Emulator::RecordedRequest> Requests(const std::string& AHost = "") const;

private:
    TAdapterKind FKind;
    std::unique_ptr<Nimbo::Connection::TNimboStorage> FStorage;
};

// A fixture over the kind named by the test's parameter.
class TAdapterFixtureFor : public TAdapterFixture, public ::testing::WithParamInterface<TAdapterKind> {
protected:
    TAdapterFixtureFor() : TAdapterFixture(GetParam()) {}
};

// Failure messages name the adapter rather than dumping its bytes.
inline void PrintTo(const TAdapterKind& AKind, std::ostream* AOut) { *AOut << AKind.Name; }

// Test names after the adapter: "GoogleDrive", "Dropbox", ...
std::string KindName(const ::testing::TestParamInfo<TAdapterKind>& AInfo);

// The value of a request's first header of this name (in any case), or empty.
std::string HeaderOf(const Nimbo::Emulator::RecordedRequest& ARequest, const std::string& AName);

// Faults the emulator injects: the connection dropped once the request is in, an answer cut short,
// and an answer damaged.
inline Nimbo::Emulator::Fault Dropped() {
    Nimbo::Emulator::Fault fault;
    fault.dropConnection = true;
    return fault;
}

inline Nimbo::Emulator::Fault Truncated() {
    Nimbo::Emulator::Fault fault;
    fault.truncateBody = true;
    return fault;
}

// The whole answer with its first byte changed, as a copy damaged on the way would arrive.
inline Nimbo::Emulator::Fault Corrupted() {
    Nimbo::Emulator::Fault fault;
    fault.corruptBody = true;
    return fault;
}

}  // namespace AdapterTest
