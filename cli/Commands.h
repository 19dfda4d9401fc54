#pragma once

#include <ostream>
#include <string>

#include "Progress.h"
#include "Session.h"

namespace Nimbo::Cli {

// What every command works with.
struct TContext {
    TSession& Session;
    TProgressBoard& Board;
    std::ostream& Out;
    bool Quiet = false;
};

struct TListOptions {
    bool Long = false;  // size, modification time and hash
    bool Json = false;  // one JSON object per line
};

struct TCopyOptions {
    bool Recursive = false;
    int Transfers = 4;  // files at once for a folder
    int Streams = 4;    // connections at once for one large file downloaded
};

// Each raises on failure (EUsageError for bad usage); the program turns that into its exit status.
void ListCommand(TContext& AContext, const std::string& APath, const TListOptions& AOptions);
void GetCommand(TContext& AContext, const std::string& APath, const std::string& ALocal, const TCopyOptions& AOptions);
void PutCommand(TContext& AContext, const std::string& ALocal, const std::string& APath, const TCopyOptions& AOptions);
void MakeFolderCommand(TContext& AContext, const std::string& APath);
void RemoveCommand(TContext& AContext, const std::string& APath, bool ARecursive);
void MoveCommand(TContext& AContext, const std::string& AFrom, const std::string& ATo);
void CopyCommand(TContext& AContext, const std::string& AFrom, const std::string& ATo);
void CatCommand(TContext& AContext, const std::string& APath);
void AboutCommand(TContext& AContext, const std::string& ARemote, bool AJson);

// A moment of the storage model (UTC) as "2017-03-01T10:20:30Z"; empty for MinDateTime.
std::string IsoTime(double ADateTime);
// The same moment in the local time zone, as "2017-03-01 11:20:30"; empty for MinDateTime.
std::string LocalTime(double ADateTime);

}  // namespace Nimbo::Cli
