#pragma once
// What Drive v3 answers with: the keys its resources can have (for "fields" selections) and the
// File and About resources of the emulator's items and account.

#include "emulator/FieldMask.h"
#include "emulator/Tree.h"

namespace Nimbo::Emulator::DriveV3 {

inline const std::string FolderMime = "application/vnd.google-apps.folder";
inline const std::string UserEmail = "user@example.com";
inline const std::string PermissionId = "03308875192974461129";

const FieldSchema& FileSchema();
const FieldSchema& FileListSchema();
const FieldSchema& AboutSchema();

// Google Docs, Sheets, Slides... (not folders): items without bytes of their own.
bool IsGoogleDocument(const std::string& mimeType);
bool HasContent(const Node& node);  // a file with bytes: size and checksums apply

// Every key of the File resource the emulator has a value for, in Drive's order.
Json FileResource(const Tree& tree, const Node& node, const std::string& accountName);
Json AboutResource(const Tree& tree, const std::string& accountName);

}  // namespace Nimbo::Emulator::DriveV3
