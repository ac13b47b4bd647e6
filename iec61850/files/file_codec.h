#pragma once
// Coding of the MMS file-management services (ISO 9506-2): the request and
// response contents of FileDirectory, FileOpen, FileRead, FileClose,
// FileDelete, FileRename and ObtainFile, on both sides, since ObtainFile
// makes the server the client of FileOpen/FileRead/FileClose.
//
// The contents are those of the service choice element, without its own tag
// and length (what the protocol machine hands a service handler).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "iec61850/files/file_store.h"

namespace iec61850::files {

// Longest file name taken from a request (all components joined).
constexpr size_t kMaxFileNameLength = 1024;

enum class DecodeStatus {
    Ok,
    Malformed,  // not the BER the service defines: rejected
    BadName,    // a well-formed but unusable file name: filename-syntax-error
};

struct FileDirectoryRequest {
    std::optional<std::string> fileSpec;
    std::optional<std::string> continueAfter;
};

struct FileOpenRequest {
    std::string name;
    uint32_t initialPosition = 0;
};

struct FileRenameRequest {
    std::string currentName;
    std::string newName;
};

struct ObtainFileRequest {
    std::string sourceFile;       // on the client
    std::string destinationFile;  // in our file store
};

struct FileOpenResponse {
    int32_t frsmId = 0;
    FileAttributes attributes;
};

struct FileReadResponse {
    std::vector<uint8_t> data;
    bool moreFollows = true;
};

// Requests received.
DecodeStatus decodeFileDirectoryRequest(std::span<const uint8_t> content, FileDirectoryRequest& out);
DecodeStatus decodeFileOpenRequest(std::span<const uint8_t> content, FileOpenRequest& out);
// FileRead and FileClose carry the FRSM id as their whole (primitive) content.
DecodeStatus decodeFrsmId(std::span<const uint8_t> content, int32_t& out);
DecodeStatus decodeFileDeleteRequest(std::span<const uint8_t> content, std::string& name);
DecodeStatus decodeFileRenameRequest(std::span<const uint8_t> content, FileRenameRequest& out);
DecodeStatus decodeObtainFileRequest(std::span<const uint8_t> content, ObtainFileRequest& out);

// Responses sent (constructed contents; FileClose, FileDelete, FileRename and
// ObtainFile answer an empty primitive NULL).
// One DirectoryEntry as it stands inside listOfDirectoryEntry.
std::vector<uint8_t> encodeDirectoryEntry(const DirectoryEntry& entry);
// entries: already encoded DirectoryEntry elements.
std::vector<uint8_t> encodeFileDirectoryResponse(const std::vector<std::vector<uint8_t>>& entries, bool moreFollows);
std::vector<uint8_t> encodeFileOpenResponse(const FileOpenResponse& response);
std::vector<uint8_t> encodeFileReadResponse(std::span<const uint8_t> data, bool moreFollows);

// The server's side of ObtainFile: requests sent, responses received.
std::vector<uint8_t> encodeFileOpenRequest(const FileOpenRequest& request);  // constructed
std::vector<uint8_t> encodeFrsmId(int32_t frsmId);                           // primitive
DecodeStatus decodeFileOpenResponse(std::span<const uint8_t> content, FileOpenResponse& out);
DecodeStatus decodeFileReadResponse(std::span<const uint8_t> content, FileReadResponse& out);

// Requests a client sends (used by tests and tools that play the client).
std::vector<uint8_t> encodeFileDirectoryRequest(const FileDirectoryRequest& request);
std::vector<uint8_t> encodeFileDeleteRequest(const std::string& name);
std::vector<uint8_t> encodeFileRenameRequest(const FileRenameRequest& request);
std::vector<uint8_t> encodeObtainFileRequest(const ObtainFileRequest& request);
// A FileDirectory response as a client reads it.
struct FileDirectoryResponse {
    std::vector<DirectoryEntry> entries;
    bool moreFollows = false;
};
DecodeStatus decodeFileDirectoryResponse(std::span<const uint8_t> content, FileDirectoryResponse& out);

}  // namespace iec61850::files
