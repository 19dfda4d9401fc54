#include "Transfers.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "Errors.h"
#include "Interrupt.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/platform/Exceptions.h"
#include "Remote.h"

namespace Nimbo::Cli {

using namespace Nimbo::Connection;
namespace fs = std::filesystem;

namespace {

// While it lives, the thread's exchanges draw one progress line and stop on an interrupt.
class TTransferScope {
public:
    TTransferScope(TContext& AContext, const std::string& AName, std::int64_t ATotal)
        : FLine(AContext.Board, AName, ATotal), FScope([this, ATotal](const THttpProgress& AProgress) {
              if (InterruptRequested()) return false;
              std::int64_t done = std::max(AProgress.UploadDone, AProgress.DownloadDone);
              if (ATotal > 0) done = std::min(done, ATotal);
              FLine.Update(done);
              return true;
          }) {}

private:
    TProgressBoard::TLine FLine;
    THttpProgressScope FScope;
};

std::int64_t LocalSize(const fs::path& APath) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(APath, error);
    return error ? 0 : std::int64_t(size);
}

// The jobs that copy the remote folder's files into ATarget, its folders made on the way.
void CollectDownloads(TContext& AContext, const TNimboCloudFile& AFolder, const fs::path& ATarget,
                      std::vector<TTransferJob>& AJobs) {
    fs::create_directories(ATarget);
    for (const TNimboCloudFile& child : AFolder.Files()) {
        const std::string name = child.GetName();
        const fs::path target = ATarget / name;
        if (!IsSafeLocalName(name)) {
            AContext.Board.Print("nimbo: skipped \"" + name + "\" in " + ATarget.string() +
                                 ": not a name a local file can have");
            continue;
        }
        if (child.GetIsFolder())
            CollectDownloads(AContext, child, target, AJobs);
        else
            AJobs.push_back({target.string(), [&AContext, child, target] { DownloadFile(AContext, child, target); }});
    }
}

// The jobs that copy the local folder's files into the remote folder, its folders made on the way.
void CollectUploads(TContext& AContext, const fs::path& ALocal, const TNimboCloudFile& AFolder,
                    std::vector<TTransferJob>& AJobs) {
    std::map<std::string, TNimboCloudFile> existing;
    for (const TNimboCloudFile& child : AFolder.Files()) existing.emplace(child.GetName(), child);
    std::vector<fs::directory_entry> entries{fs::directory_iterator(ALocal), fs::directory_iterator()};
    std::sort(entries.begin(), entries.end());
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        const auto found = existing.find(name);
        if (entry.is_directory()) {
            if (found != existing.end() && !found->second.GetIsFolder()) {
                AContext.Board.Print("nimbo: skipped folder " + entry.path().string() +
                                     ": a file of that name is there");
                continue;
            }
            const TNimboCloudFile folder = found != existing.end() ? found->second : AFolder.CreateFolder(name);
            CollectUploads(AContext, entry.path(), folder, AJobs);
        } else if (entry.is_regular_file()) {
            const fs::path local = entry.path();
            if (found == existing.end())
                AJobs.push_back({local.string(),
                                 [&AContext, local, AFolder, name] { UploadFile(AContext, local, AFolder, name); }});
            else if (!found->second.GetIsFolder())
                AJobs.push_back(
                    {local.string(), [&AContext, local, file = found->second] { ReplaceFile(AContext, local, file); }});
            else
                AContext.Board.Print("nimbo: skipped " + local.string() + ": a folder of that name is there");
        } else {
            AContext.Board.Print("nimbo: skipped " + entry.path().string() + ": not a regular file");
        }
    }
}

}  // namespace

void DownloadFile(TContext& AContext, const TNimboCloudFile& AFile, const fs::path& ATarget) {
    TTransferScope scope(AContext, AFile.GetName(), AFile.GetSize());
    AFile.Download(ATarget.string());
}

void UploadFile(TContext& AContext, const fs::path& ALocal, const TNimboCloudFile& AFolder, const std::string& AName) {
    TTransferScope scope(AContext, AName, LocalSize(ALocal));
    AFolder.createFile(AName, ALocal.string());
}

void ReplaceFile(TContext& AContext, const fs::path& ALocal, const TNimboCloudFile& AFile) {
    TTransferScope scope(AContext, AFile.GetName(), LocalSize(ALocal));
    AFile.Upload(ALocal.string());
}

void DownloadTree(TContext& AContext, const TNimboCloudFile& AFolder, const fs::path& ATarget, int ATransfers) {
    std::vector<TTransferJob> jobs;
    CollectDownloads(AContext, AFolder, ATarget, jobs);
    RunTransferJobs(AContext, jobs, ATransfers);
}

void UploadTree(TContext& AContext, const fs::path& ALocal, const TNimboCloudFile& AParent, const std::string& AName,
                int ATransfers) {
    std::optional<TNimboCloudFile> folder = ChildNamed(AParent, AName);
    if (folder && !folder->GetIsFolder()) throw ERestError("a file named \"" + AName + "\" is there already");
    if (!folder) folder = AParent.CreateFolder(AName);
    std::vector<TTransferJob> jobs;
    CollectUploads(AContext, ALocal, *folder, jobs);
    RunTransferJobs(AContext, jobs, ATransfers);
}

void RunTransferJobs(TContext& AContext, const std::vector<TTransferJob>& AJobs, int ATransfers) {
    std::atomic<std::size_t> next{0};
    std::atomic<int> failures{0};
    auto work = [&] {
        for (std::size_t index = next++; index < AJobs.size() && !InterruptRequested(); index = next++) {
            try {
                AJobs[index].Run();
            } catch (const EAbort&) {
                // interrupted: the loop ends
            } catch (const std::exception& E) {
                ++failures;
                AContext.Board.Print("nimbo: " + AJobs[index].Name + ": " + ErrorLine(E));
            }
        }
    };
    const int threads = std::clamp<int>(ATransfers, 1, int(std::max<std::size_t>(AJobs.size(), 1)));
    {
        std::vector<std::jthread> pool;
        for (int i = 1; i < threads; ++i) pool.emplace_back(work);
        work();
    }
    if (InterruptRequested()) throw EAbort();
    if (failures > 0)
        throw ERestError(std::to_string(failures.load()) + " of " + std::to_string(AJobs.size()) + " files failed");
}

}  // namespace Nimbo::Cli
