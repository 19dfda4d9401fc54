#pragma once
// One emulator per test suite; every test starts from empty services with one registered client
// and an access token for it.

#include "HttpsClient.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace EmulatorTest {

struct ClientSetup {
    Nimbo::Emulator::Cloud cloud;
    std::string id;
    std::string secret;
    std::vector<std::string> redirects;
};

class EmulatorFixture : public ::testing::Test {
protected:
    explicit EmulatorFixture(ClientSetup setup) : setup_(std::move(setup)) {}

    static void StartEmulator(Nimbo::Emulator::EmulatorOptions options = {}) {
        emulator = new Nimbo::Emulator::CloudEmulator(options);
        emulator->Start();
    }
    static void SetUpTestSuite() { StartEmulator(); }
    static void TearDownTestSuite() {
        delete emulator;
        emulator = nullptr;
    }
    void SetUp() override {
        emulator->ResetAll();
        emulator->RegisterClient(setup_.cloud, setup_.id, setup_.secret, setup_.redirects);
        token = emulator->IssueTokens(setup_.cloud, setup_.id).accessToken;
    }

    inline static Nimbo::Emulator::CloudEmulator* emulator = nullptr;
    HttpsClient client{*emulator};
    std::string token;

private:
    ClientSetup setup_;
};

}  // namespace EmulatorTest
