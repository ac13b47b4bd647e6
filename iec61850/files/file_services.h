#pragma once
// The MMS file services of one server: FileDirectory, FileOpen, FileRead,
// FileClose, FileDelete, FileRename and ObtainFile on the file store below
// sIedServer::filestoreBasepath.
//
// Every request first goes to the installed MmsFileAccessHandler with the
// names exactly as the client sent them; then the file store refuses names
// that lead out of the base directory. Open files live in a table per
// association and are closed when the association ends.
//
// All methods run on the thread that processes incoming data.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "iec61850/files/file_codec.h"
#include "iec61850/files/file_obtain.h"
#include "iec61850/files/file_store.h"
#include "iec61850/mms/mms_services.h"

namespace iec61850::files {

// ServiceError class "file" and the confirmed-request reject for a request
// that is no valid encoding of its service.
constexpr int kErrorClassFile = 11;
constexpr int kErrorClassResource = 3;
constexpr int kResourceCapabilityUnavailable = 4;
constexpr int kRejectInvalidArgument = 4;

// Files one association may hold open at a time, ObtainFile transfers
// included (each writes a file of its own): with the 100 associations
// the server admits this stays well inside the process's descriptor limit
// (1024 by default, one socket per association besides).
constexpr size_t kMaxOpenFilesPerAssociation = 5;

// Octets a FileRead response adds around its data within the MMS PDU:
// confirmed-ResponsePDU tag and length (5), invoke id (7), service tag and
// length (6), fileData tag and length (5), moreFollows (3).
constexpr uint32_t kFileReadResponseOverhead = 26;
// The same for a FileDirectory response: PDU (5), invoke id (7), service (6),
// listOfDirectoryEntry [0] (5) and its SEQUENCE (5), moreFollows (3).
constexpr uint32_t kDirectoryResponseOverhead = 31;

// The MMS result of a refused file service.
MmsServiceResult fileError(MmsError error);

// The open files of one association, by FRSM id.
class FileTable {
public:
    // Lowest free id, or -1 when the table is full.
    int32_t add(UniqueFd fd);
    UniqueFd* find(int32_t frsmId);
    bool close(int32_t frsmId);
    size_t size() const { return files_.size(); }

private:
    std::map<int32_t, UniqueFd> files_;
};

class FileServices {
public:
    // basePath and limits: the server's file-store base directory and the
    // room it may take (both may change later; a new base path takes effect
    // at the next request).
    explicit FileServices(const std::string& basePath, const FilestoreLimits& limits = kDefaultLimits)
        : basePath_(basePath), limits_(limits) {}
    FileServices(const FileServices&) = delete;
    FileServices& operator=(const FileServices&) = delete;

    void setAccessHandler(MmsFileAccessHandler handler, void* parameter);

    // Service handlers with the signature of MmsServiceHandler.
    MmsServiceResult fileDirectory(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);
    MmsServiceResult fileOpen(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);
    MmsServiceResult fileRead(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);
    MmsServiceResult fileClose(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);
    MmsServiceResult fileDelete(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);
    MmsServiceResult fileRename(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed);

    // Starts an ObtainFile: the refusal at once, or nullopt when the answer
    // follows through respond after the file has come over with send.
    std::optional<MmsServiceResult> obtainFile(MmsServiceContext& ctx, std::span<const uint8_t> content,
                                               bool constructed, ConfirmedRequestSender send,
                                               DeferredResponder respond);

    // Drops the association's open files and stops its ObtainFile transfers.
    void connectionClosed(sMmsServerConnection* connection);

    size_t openFileCount(sMmsServerConnection* connection) const;
    size_t openFileCount() const;

    // The handler's verdict, MMS_ERROR_NONE without a handler.
    MmsError askAccessHandler(sMmsServerConnection* connection, MmsFileServiceType service,
                              const std::string& localName, const std::string& otherName) const;

    // The server's file store with the current limits. Opened at the first
    // call, which MmsFileServices_install makes when the server starts, and
    // again only when the configured base path changes (or while it could
    // not be opened): the base directory is resolved then, not per request.
    FileStore& store();

    // Logs a refusal and gives its MMS result.
    MmsServiceResult refuse(const char* service, const std::string& name, MmsError error) const;

private:
    // The refusal of a request that did not decode or that the access
    // handler does not allow; nullopt when the service may go on.
    std::optional<MmsServiceResult> admit(MmsServiceContext& ctx, DecodeStatus status, const char* service,
                                          MmsFileServiceType type, const std::string& localName,
                                          const std::string& otherName) const;

    // The refusal of a service that would open one more file than an
    // association may hold (open files and running ObtainFile transfers).
    std::optional<MmsServiceResult> refuseWhenFull(sMmsServerConnection* connection, const char* service,
                                                   const std::string& name);

    static constexpr FilestoreLimits kDefaultLimits{};

    const std::string& basePath_;
    const FilestoreLimits& limits_;
    std::shared_ptr<FileStore> store_;  // shared with the running transfers
    std::string storePath_;             // the basePath_ store_ was opened with
    MmsFileAccessHandler accessHandler_ = nullptr;
    void* accessHandlerParameter_ = nullptr;
    std::unordered_map<sMmsServerConnection*, FileTable> tables_;
    std::unordered_multimap<sMmsServerConnection*, std::weak_ptr<ObtainFileTransfer>> transfers_;
};

// The server's file services, created on first use.
FileServices& fileServicesOf(sIedServer* server);

}  // namespace iec61850::files
