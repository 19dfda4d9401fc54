// Our side of the transfer and listing benchmarks: one operation through one storage adapter, as a
// process of its own, so that its time and peak memory compare with a curl process doing the same.
//
//   nimbo_transfer SERVICE signin   --state FILE [connection options]   (prints the access token)
//   nimbo_transfer SERVICE download --state FILE --item RECORD --out FILE [--durable] [--no-check]
//   nimbo_transfer SERVICE upload   --state FILE --item RECORD --in FILE [--no-check]
//   nimbo_transfer SERVICE list     --state FILE --item RECORD          (prints the number of children)
//
// SERVICE is google, dropbox, live or box, or gdrive3, graph and dropbox2 for
// the current interfaces of Drive, OneDrive and Dropbox. RECORD is a file holding the
// item's metadata as the service describes it (its JSON record), so the operation starts from the item as a caller
// holding it would, without looking it up first. --no-check goes to the adapter directly, past the storage model's
// check of the content against its hash, to measure what that check costs. Connection options: --ca FILE,
// --connect-to HOST:443:ADDRESS:PORT (repeated), --client-id, --secret, --redirect-url.

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OneDriveGraph.h"

using namespace Nimbo::Connection;

namespace {

struct TOptions {
    std::string Service, Operation;
    std::string StateFile, ItemFile, InFile, OutFile;
    std::string ClientId, Secret, RedirectUrl;
    THttpTransportSettings Transport;
    bool Durable = false;
    bool NoCheck = false;
};

// Item data made from the service's own record of the item.
template <class TStorage, class TData, class TInfo = typename TStorage::TFileInfo>
AutoFree<TNimboCloudFileData> ItemFromRecord(TNimboStorage& AStorage, const std::string& ARecord) {
    TInfo info;
    TJsonDecoder(ARecord).Decode(info);
    return std::make_shared<TData>(static_cast<TStorage&>(AStorage), info);
}

struct TAdapter {
    std::function<std::unique_ptr<TNimboStorage>()> Create;
    std::function<AutoFree<TNimboCloudFileData>(TNimboStorage&, const std::string&)> Item;
};

const std::map<std::string, TAdapter>& Adapters() {
    static const std::map<std::string, TAdapter> adapters = {
        {"google",
         {[] { return std::make_unique<TNimboGDrive>(); }, ItemFromRecord<TNimboGDrive, TNimboGDriveFileData>}},
        {"dropbox",
         {[] { return std::make_unique<TNimboDropBox>(); }, ItemFromRecord<TNimboDropBox, TNimboDropBoxData>}},
        {"live",
         {[] { return std::make_unique<TNimboOneDrive>(); }, ItemFromRecord<TNimboOneDrive, TNimboOneDriveData>}},
        {"box", {[] { return std::make_unique<TNimboBoxNet>(); }, ItemFromRecord<TNimboBoxNet, TNimboBoxNetData>}},
        {"gdrive3",
         {[] { return std::make_unique<TNimboGDrive3>(); }, ItemFromRecord<TNimboGDrive3, TNimboGDrive3Data>}},
        {"graph",
         {[] { return std::make_unique<TNimboOneDriveGraph>(); },
          ItemFromRecord<TNimboOneDriveGraph, TNimboOneDriveGraphData, TNimboOneDriveGraph::TItem>}},
        {"dropbox2",
         {[] { return std::make_unique<TNimboDropBox2>(); },
          [](TNimboStorage& AStorage, const std::string& ARecord) -> AutoFree<TNimboCloudFileData> {
              TNimboDropBox2::TFileInfo info;
              TJsonDecoder(ARecord).Decode(info);
              const bool folder = info.rev.empty();
              return std::make_shared<TNimboDropBox2Data>(static_cast<TNimboDropBox2&>(AStorage), info, folder);
          }}},
    };
    return adapters;
}

[[noreturn]] void Usage(const std::string& AProblem) {
    std::cerr
        << "nimbo_transfer: " << AProblem << "\n"
        << "usage: nimbo_transfer google|dropbox|live|box|gdrive3|graph|dropbox2 signin|download|upload|list --state "
           "FILE\n"
           "         [--item RECORD] [--in FILE] [--out FILE] [--durable] [--no-check] [--ca FILE]\n"
           "         [--connect-to HOST:443:ADDRESS:PORT]... [--client-id ID] [--secret S] [--redirect-url URL]\n";
    std::exit(2);
}

TOptions ParseOptions(int argc, char** argv) {
    if (argc < 3) Usage("a service and an operation are needed");
    TOptions options;
    options.Service = argv[1];
    options.Operation = argv[2];
    const std::map<std::string, std::string TOptions::*> texts = {{"--state", &TOptions::StateFile},
                                                                  {"--item", &TOptions::ItemFile},
                                                                  {"--in", &TOptions::InFile},
                                                                  {"--out", &TOptions::OutFile},
                                                                  {"--client-id", &TOptions::ClientId},
                                                                  {"--secret", &TOptions::Secret},
                                                                  {"--redirect-url", &TOptions::RedirectUrl}};
    for (int i = 3; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--durable" || name == "--no-check") {
            (name == "--durable" ? options.Durable : options.NoCheck) = true;
            continue;
        }
        if (i + 1 >= argc) Usage(name + " needs a value");
        const std::string value = argv[++i];
        if (auto field = texts.find(name); field != texts.end())
            options.*(field->second) = value;
        else if (name == "--ca")
            options.Transport.CaFile = value;
        else if (name == "--connect-to")
            options.Transport.ConnectTo.push_back(value);
        else
            Usage("unknown option " + name);
    }
    if (!Adapters().count(options.Service)) Usage("unknown service " + options.Service);
    if (options.StateFile.empty()) Usage("--state is needed");
    return options;
}

std::string ReadFile(const std::string& AFileName) {
    std::ifstream in(AFileName, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + AFileName);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int Perform(const TOptions& AOptions) {
    THttpTransport::Configure(AOptions.Transport);
    const TAdapter& adapter = Adapters().at(AOptions.Service);
    std::unique_ptr<TNimboStorage> storage = adapter.Create();
    storage->SetClientId(AOptions.ClientId);
    storage->SetSecret(AOptions.Secret);
    storage->SetRedirectUrl(AOptions.RedirectUrl);

    if (AOptions.Operation == "signin") {
        TAuthUI::Register(TAuthUIClass::Of<TNimboHeadlessAuth>());
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        storage->RefreshAccess();
        storage->SaveState(AOptions.StateFile);
        std::cout << storage->GetToken() << "\n";
        return 0;
    }

    storage->LoadState(AOptions.StateFile);
    if (AOptions.ItemFile.empty()) Usage("--item is needed");
    const TNimboCloudFile item(adapter.Item(*storage, ReadFile(AOptions.ItemFile)));
    if (AOptions.Operation == "download") {
        if (AOptions.OutFile.empty()) Usage("--out is needed");
        if (AOptions.Durable) {
            item.Download(AOptions.OutFile);
        } else {
            std::ofstream out(AOptions.OutFile, std::ios::binary | std::ios::trunc);
            if (!out) throw std::runtime_error("cannot write " + AOptions.OutFile);
            if (AOptions.NoCheck)
                storage->Download(*item.Data(), out);
            else
                item.Download(out);
            out.close();
            if (!out) throw std::runtime_error("cannot write " + AOptions.OutFile);
        }
    } else if (AOptions.Operation == "upload") {
        if (AOptions.InFile.empty()) Usage("--in is needed");
        if (AOptions.NoCheck) {
            std::ifstream in(AOptions.InFile, std::ios::binary);
            if (!in) throw std::runtime_error("cannot read " + AOptions.InFile);
            storage->Upload(*item.Data(), in);
        } else {
            item.Upload(AOptions.InFile);
        }
    } else if (AOptions.Operation == "list") {
        std::size_t count = 0;
        item.Files([&](const TNimboCloudFile&) { ++count; });
        std::cout << count << "\n";
    } else {
        Usage("unknown operation " + AOptions.Operation);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseOptions(argc, argv);
    try {
        return Perform(options);
    } catch (const std::exception& e) {
        std::cerr << "nimbo_transfer: " << options.Service << " " << options.Operation << ": " << e.what() << "\n";
        return 1;
    }
}
