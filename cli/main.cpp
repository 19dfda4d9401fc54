// nimbo: the files of a cloud storage account from the command line.

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <iostream>

#include "Commands.h"
#include "Errors.h"
#include "Interrupt.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/RangedDownload.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Cli;

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

struct TArguments {
    TGlobalOptions Global;
    std::string Path, Path2, Local;
    TListOptions List;
    TCopyOptions Copy;
    bool Recursive = false;
    bool Json = false;
    TSession::TLoginOptions Login;
};

// What the chosen command does, given a context.
using TRun = std::function<void(TContext&, TSession&)>;

std::string Names() {
    std::string names;
    for (const TRemoteKind& kind : RemoteKinds()) names += (names.empty() ? "" : ", ") + kind.Name;
    return names;
}

void AddCommands(CLI::App& AApp, TArguments& A, TRun& ARun) {
    auto transfers = [&](CLI::App* ACommand) {
        ACommand->add_flag("-r,--recursive", A.Copy.Recursive, "Copy a folder with everything in it");
        ACommand->add_option("--transfers", A.Copy.Transfers, "Files copied at once for a folder")
            ->default_val(4)
            ->check(CLI::Range(1, 64));
    };

    CLI::App* ls = AApp.add_subcommand("ls", "List a folder (or show a file)");
    ls->add_option("path", A.Path, "REMOTE:PATH")->required();
    ls->add_flag("-l,--long", A.List.Long, "Size, modification time and content hash");
    ls->add_flag("--json", A.List.Json, "One JSON object per line");
    ls->callback([&] { ARun = [&](TContext& C, TSession&) { ListCommand(C, A.Path, A.List); }; });

    CLI::App* get = AApp.add_subcommand("get", "Download a file (or a folder with -r)");
    get->add_option("path", A.Path, "REMOTE:PATH")->required();
    get->add_option("local", A.Local, "Local file or folder (default: the name in the current folder)");
    transfers(get);
    get->add_option("--streams", A.Copy.Streams, "Connections at once for each file of 64 MiB or more (1: one)")
        ->default_val(4)
        ->check(CLI::Range(1, Nimbo::Connection::MaxDownloadStreams));
    get->callback([&] { ARun = [&](TContext& C, TSession&) { GetCommand(C, A.Path, A.Local, A.Copy); }; });

    CLI::App* put = AApp.add_subcommand("put", "Upload a file (or a folder with -r)");
    put->add_option("local", A.Local, "Local file or folder")->required();
    put->add_option("path", A.Path, "REMOTE:PATH")->required();
    transfers(put);
    put->callback([&] { ARun = [&](TContext& C, TSession&) { PutCommand(C, A.Local, A.Path, A.Copy); }; });

    CLI::App* mkdir = AApp.add_subcommand("mkdir", "Make a folder, and the folders above it that are missing");
    mkdir->add_option("path", A.Path, "REMOTE:PATH")->required();
    mkdir->callback([&] { ARun = [&](TContext& C, TSession&) { MakeFolderCommand(C, A.Path); }; });

    CLI::App* rm = AApp.add_subcommand("rm", "Remove a file (or a folder with -r)");
    rm->add_option("path", A.Path, "REMOTE:PATH")->required();
    rm->add_flag("-r,--recursive", A.Recursive, "Remove a folder with everything in it");
    rm->callback([&] { ARun = [&](TContext& C, TSession&) { RemoveCommand(C, A.Path, A.Recursive); }; });

    CLI::App* mv = AApp.add_subcommand("mv", "Move or rename an item within a remote");
    mv->add_option("from", A.Path, "REMOTE:PATH")->required();
    mv->add_option("to", A.Path2, "REMOTE:PATH (a folder: into it)")->required();
    mv->callback([&] { ARun = [&](TContext& C, TSession&) { MoveCommand(C, A.Path, A.Path2); }; });

    CLI::App* cp = AApp.add_subcommand("cp", "Copy an item within a remote");
    cp->add_option("from", A.Path, "REMOTE:PATH")->required();
    cp->add_option("to", A.Path2, "REMOTE:PATH (a folder: into it)")->required();
    cp->callback([&] { ARun = [&](TContext& C, TSession&) { CopyCommand(C, A.Path, A.Path2); }; });

    CLI::App* cat = AApp.add_subcommand("cat", "Write a file's content to standard output");
    cat->add_option("path", A.Path, "REMOTE:PATH")->required();
    cat->callback([&] { ARun = [&](TContext& C, TSession&) { CatCommand(C, A.Path); }; });

    CLI::App* about = AApp.add_subcommand("about", "Space used and total of an account");
    about->add_option("remote", A.Path, "REMOTE")->required();
    about->add_flag("--json", A.Json, "As one JSON object");
    about->callback([&] { ARun = [&](TContext& C, TSession&) { AboutCommand(C, A.Path, A.Json); }; });

    CLI::App* login = AApp.add_subcommand("login", "Sign in to a service through the browser");
    login->add_option("remote", A.Path, "REMOTE")->required();
    login->add_option("--client-id", A.Login.ClientId, "The application's client id at the service");
    login->add_option("--client-secret", A.Login.Secret, "The application's client secret");
    login->add_flag("--no-browser", A.Login.NoBrowser, "Print the address to open instead of opening a browser");
    login->callback([&] {
        ARun = [&](TContext& C, TSession& S) {
            const TRemoteKind& kind = RemoteKind(A.Path);
            S.Login(kind, A.Login);
            if (!C.Quiet) std::cerr << "Signed in to " << kind.Title << "\n";
        };
    });

    CLI::App* logout = AApp.add_subcommand("logout", "Forget the sign-in to a service");
    logout->add_option("remote", A.Path, "REMOTE")->required();
    logout->callback([&] {
        ARun = [&](TContext& C, TSession& S) {
            const TRemoteKind& kind = RemoteKind(A.Path);
            const bool signedIn = S.Logout(kind);
            if (!C.Quiet) std::cerr << (signedIn ? "Signed out of " : "Not signed in to ") << kind.Title << "\n";
        };
    });
}

// Every request on its own line: method, address and the status answered.
void LogExchanges(TProgressBoard& ABoard) {
    Nimbo::Connection::THttpTransportSettings settings = Nimbo::Connection::THttpTransport::Settings();
    settings.OnExchange = [&ABoard](const std::string& AMethod, const std::string& AUrl, int AStatus) {
        ABoard.Print(AMethod + " " + AUrl + " -> " +
                     (AStatus == 0 ? std::string("no answer") : std::to_string(AStatus)));
    };
    Nimbo::Connection::THttpTransport::Configure(settings);
}

// The main thread's exchanges stop on an interrupt too (listings, removals, cat).
bool KeepGoing(const Nimbo::Connection::THttpProgress&) { return !InterruptRequested(); }

}  // namespace

int main(int argc, char** argv) {
    TArguments arguments;
    TRun run;
    CLI::App app("The files of cloud storage accounts from the command line.\nRemotes: " + Names() +
                     " (e.g. gdrive:Documents/a.txt).",
                 "nimbo");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--sandbox", arguments.Global.Sandbox,
                 "Work with the emulator inside the program and its sample accounts");
    app.add_option("--connect-to", arguments.Global.ConnectTo, "HOST:PORT of an emulator to send every request to");
    app.add_option("--ca-file", arguments.Global.CaFile, "A PEM file of certificates to trust besides the system's");
    app.add_flag("-q,--quiet", arguments.Global.Quiet, "No progress and no messages but errors");
    app.add_flag("-v,--verbose", arguments.Global.Verbose, "Print the requests made");
    app.add_flag("--progress", arguments.Global.Progress, "Show progress even when standard error is no terminal");
    AddCommands(app, arguments, run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& E) {
        return app.exit(E);
    } catch (const CLI::CallForAllHelp& E) {
        return app.exit(E);
    } catch (const CLI::ParseError& E) {
        std::cerr << "nimbo: " << E.what() << " (see nimbo --help)\n";
        return ExitUsage;
    }

    const TGlobalOptions& global = arguments.Global;
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    const bool progress = !global.Quiet && (global.Progress || terminal);
    InstallInterruptHandler();
    std::ios::sync_with_stdio(false);
    try {
        TProgressBoard board(progress, terminal);
        TSession session(global);
        if (global.Verbose) LogExchanges(board);
        TContext context{.Session = session, .Board = board, .Out = std::cout, .Quiet = global.Quiet};
        const Nimbo::Connection::THttpProgressScope interruptible(KeepGoing);
        run(context, session);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "nimbo: cannot write to standard output\n";
            return ExitFailed;
        }
    } catch (const EUsageError& E) {
        std::cerr << "nimbo: " << E.what() << "\n";
        return ExitUsage;
    } catch (const Nimbo::Connection::EAbort&) {
        std::cerr << "nimbo: interrupted\n";
        return InterruptRequested() ? ExitInterrupted : ExitFailed;
    } catch (const std::exception& E) {
        std::cerr << "nimbo: " << ErrorLine(E) << "\n";
        return InterruptRequested() ? ExitInterrupted : ExitFailed;
    }
    return InterruptRequested() ? ExitInterrupted : 0;
}
