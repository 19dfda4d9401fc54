#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Nimbo/Connection/Storage.h"

namespace Nimbo::Cli {

// Files are written whole or not at all: a failed or interrupted download leaves no file behind
// and an existing file of that name untouched. Every transfer is checked against the service's
// content hash where it gives one.
void DownloadFile(TContext& AContext, const Connection::TNimboCloudFile& AFile, const std::filesystem::path& ATarget);
// A new file AName in AFolder with the local file's bytes.
void UploadFile(TContext& AContext, const std::filesystem::path& ALocal, const Connection::TNimboCloudFile& AFolder,
                const std::string& AName);
// The local file's bytes as the new content of an existing file.
void ReplaceFile(TContext& AContext, const std::filesystem::path& ALocal, const Connection::TNimboCloudFile& AFile);

// The folder with everything in it as the local folder ATarget (made when missing), ATransfers files
// at once. A failed file does not stop the others; ERestError counting the failures at the end.
void DownloadTree(TContext& AContext, const Connection::TNimboCloudFile& AFolder, const std::filesystem::path& ATarget,
                  int ATransfers);
// The local folder with everything in it as the folder AName in AParent: folders already there are
// used, files already there get the new content.
void UploadTree(TContext& AContext, const std::filesystem::path& ALocal, const Connection::TNimboCloudFile& AParent,
                const std::string& AName, int ATransfers);

// One job of a pool: what to call it in an error, and the work.
struct TTransferJob {
    std::string Name;
    std::function<void()> Run;
};

// Runs the jobs on ATransfers threads (at least one). Stops taking new jobs when interrupted and
// then raises EAbort; otherwise, after every job ran, ERestError when any failed (each failure was
// printed on its own line as it happened).
void RunTransferJobs(TContext& AContext, const std::vector<TTransferJob>& AJobs, int ATransfers);

}  // namespace Nimbo::Cli
