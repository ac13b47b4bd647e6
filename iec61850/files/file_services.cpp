// The MMS file services on the server's file store.
#include "iec61850/files/file_services.h"

#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "iec61850/files/file_codec.h"
#include "iec61850/core/log.h"

namespace iec61850::files {

namespace {

MmsServiceResult malformed() { return MmsServiceResult::reject(kRejectInvalidArgument); }

uint32_t budgetOf(uint32_t maxPduSize, uint32_t overhead) {
    return maxPduSize > overhead ? maxPduSize - overhead : 1;
}

}  // namespace

MmsServiceResult fileError(MmsError error) {
    int code = error >= MMS_ERROR_FILE_OTHER && error <= MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE
                   ? static_cast<int>(error) - MMS_ERROR_FILE_OTHER
                   : 0;
    return MmsServiceResult::error(kErrorClassFile, code);
}

int32_t FileTable::add(UniqueFd fd) {
    if (files_.size() >= kMaxOpenFilesPerAssociation) return -1;
    int32_t id = 0;
    for (const auto& [used, file] : files_) {
        if (used != id) break;
        ++id;
    }
    files_.emplace(id, std::move(fd));
    return id;
}

UniqueFd* FileTable::find(int32_t frsmId) {
    auto it = files_.find(frsmId);
    return it == files_.end() ? nullptr : &it->second;
}

bool FileTable::close(int32_t frsmId) { return files_.erase(frsmId) > 0; }

void FileServices::setAccessHandler(MmsFileAccessHandler handler, void* parameter) {
    accessHandler_ = handler;
    accessHandlerParameter_ = parameter;
}

MmsError FileServices::askAccessHandler(sMmsServerConnection* connection, MmsFileServiceType service,
                                        const std::string& localName, const std::string& otherName) const {
    if (accessHandler_ == nullptr) return MMS_ERROR_NONE;
    return accessHandler_(accessHandlerParameter_, connection, service, localName.c_str(), otherName.c_str());
}

MmsServiceResult FileServices::refuse(const char* service, const std::string& name, MmsError error) const {
    iecLog(LOG_NOTICE, "MMS files: %s of \"%s\" refused (%d)", service, name.c_str(), static_cast<int>(error));
    return fileError(error);
}

std::optional<MmsServiceResult> FileServices::admit(MmsServiceContext& ctx, DecodeStatus status, const char* service,
                                                   MmsFileServiceType type, const std::string& localName,
                                                   const std::string& otherName) const {
    if (status == DecodeStatus::Malformed) return malformed();
    if (status == DecodeStatus::BadName) return refuse(service, localName, MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR);
    MmsError verdict = askAccessHandler(ctx.connection, type, localName, otherName);
    if (verdict != MMS_ERROR_NONE) return refuse(service, localName, verdict);
    return std::nullopt;
}

MmsServiceResult FileServices::fileDirectory(MmsServiceContext& ctx, std::span<const uint8_t> content,
                                             bool constructed) {
    FileDirectoryRequest request;
    DecodeStatus status = constructed ? decodeFileDirectoryRequest(content, request) : DecodeStatus::Malformed;
    std::string fileSpec = request.fileSpec.value_or("");
    if (auto refusal = admit(ctx, status, "FileDirectory", MMS_FILE_ACCESS_TYPE_READ_DIRECTORY, fileSpec,
                             request.continueAfter.value_or(""))) {
        return *refusal;
    }

    std::vector<DirectoryEntry> entries;
    MmsError listed = store().listDirectory(fileSpec, entries);
    if (listed != MMS_ERROR_NONE) return refuse("FileDirectory", fileSpec, listed);

    auto first = entries.begin();
    if (request.continueAfter) {
        first = std::upper_bound(entries.begin(), entries.end(), *request.continueAfter,
                                 [](const std::string& name, const DirectoryEntry& e) { return name < e.name; });
    }
    uint32_t budget = budgetOf(ctx.maxPduSize, kDirectoryResponseOverhead);
    std::vector<std::vector<uint8_t>> page;
    size_t used = 0;
    bool moreFollows = false;
    for (auto it = first; it != entries.end(); ++it) {
        std::vector<uint8_t> encoded = encodeDirectoryEntry(*it);
        if (used + encoded.size() > budget) {
            if (page.empty()) {
                // Not even alone would this entry fit into a response.
                iecLog(LOG_WARNING, "MMS files: directory entry \"%s\" too long for a PDU", it->name.c_str());
                continue;
            }
            moreFollows = true;
            break;
        }
        used += encoded.size();
        page.push_back(std::move(encoded));
    }
    return MmsServiceResult::response(encodeFileDirectoryResponse(page, moreFollows));
}

MmsServiceResult FileServices::fileOpen(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
    FileOpenRequest request;
    DecodeStatus status = constructed ? decodeFileOpenRequest(content, request) : DecodeStatus::Malformed;
    if (auto refusal = admit(ctx, status, "FileOpen", MMS_FILE_ACCESS_TYPE_OPEN, request.name, "")) return *refusal;

    if (auto full = refuseWhenFull(ctx.connection, "FileOpen", request.name)) return *full;
    FileTable& table = tables_[ctx.connection];
    OpenedFile opened = store().openForRead(request.name, request.initialPosition);
    if (opened.error != MMS_ERROR_NONE) return refuse("FileOpen", request.name, opened.error);

    FileOpenResponse response;
    response.attributes = opened.attributes;
    response.frsmId = table.add(std::move(opened.fd));
    return MmsServiceResult::response(encodeFileOpenResponse(response));
}

MmsServiceResult FileServices::fileRead(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
    int32_t frsmId = 0;
    if (constructed || decodeFrsmId(content, frsmId) != DecodeStatus::Ok) return malformed();
    auto table = tables_.find(ctx.connection);
    UniqueFd* fd = table == tables_.end() ? nullptr : table->second.find(frsmId);
    if (fd == nullptr) return fileError(MMS_ERROR_FILE_OTHER);

    std::vector<uint8_t> chunk(budgetOf(ctx.maxPduSize, kFileReadResponseOverhead));
    size_t filled = 0;
    while (filled < chunk.size()) {
        ssize_t n = ::read(fd->get(), chunk.data() + filled, chunk.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            MmsError error = fileErrorFromErrno(errno);
            iecLog(LOG_WARNING, "MMS files: FileRead of FRSM %d failed (%d)", frsmId, static_cast<int>(error));
            return fileError(error);
        }
        if (n == 0) break;
        filled += static_cast<size_t>(n);
    }
    chunk.resize(filled);

    struct stat st {};
    off_t position = ::lseek(fd->get(), 0, SEEK_CUR);
    bool moreFollows = ::fstat(fd->get(), &st) == 0 && position >= 0 && position < st.st_size;
    return MmsServiceResult::response(encodeFileReadResponse(chunk, moreFollows));
}

MmsServiceResult FileServices::fileClose(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
    int32_t frsmId = 0;
    if (constructed || decodeFrsmId(content, frsmId) != DecodeStatus::Ok) return malformed();
    auto table = tables_.find(ctx.connection);
    if (table == tables_.end() || !table->second.close(frsmId)) return fileError(MMS_ERROR_FILE_OTHER);
    return MmsServiceResult::response({}, false);
}

MmsServiceResult FileServices::fileDelete(MmsServiceContext& ctx, std::span<const uint8_t> content,
                                          bool constructed) {
    std::string name;
    DecodeStatus status = constructed ? decodeFileDeleteRequest(content, name) : DecodeStatus::Malformed;
    if (auto refusal = admit(ctx, status, "FileDelete", MMS_FILE_ACCESS_TYPE_DELETE, name, "")) return *refusal;
    MmsError removed = store().remove(name);
    if (removed != MMS_ERROR_NONE) return refuse("FileDelete", name, removed);
    iecLog(LOG_INFO, "MMS files: \"%s\" deleted", name.c_str());
    return MmsServiceResult::response({}, false);
}

MmsServiceResult FileServices::fileRename(MmsServiceContext& ctx, std::span<const uint8_t> content,
                                          bool constructed) {
    FileRenameRequest request;
    DecodeStatus status = constructed ? decodeFileRenameRequest(content, request) : DecodeStatus::Malformed;
    if (auto refusal = admit(ctx, status, "FileRename", MMS_FILE_ACCESS_TYPE_RENAME, request.currentName,
                             request.newName)) {
        return *refusal;
    }
    MmsError renamed = store().rename(request.currentName, request.newName);
    if (renamed != MMS_ERROR_NONE) return refuse("FileRename", request.currentName, renamed);
    iecLog(LOG_INFO, "MMS files: \"%s\" renamed to \"%s\"", request.currentName.c_str(), request.newName.c_str());
    return MmsServiceResult::response({}, false);
}

std::optional<MmsServiceResult> FileServices::obtainFile(MmsServiceContext& ctx, std::span<const uint8_t> content,
                                                        bool constructed, ConfirmedRequestSender send,
                                                        DeferredResponder respond) {
    ObtainFileRequest request;
    DecodeStatus status = constructed ? decodeObtainFileRequest(content, request) : DecodeStatus::Malformed;
    if (auto refusal = admit(ctx, status, "ObtainFile", MMS_FILE_ACCESS_TYPE_OBTAIN, request.destinationFile,
                             request.sourceFile)) {
        return refusal;
    }
    if (auto full = refuseWhenFull(ctx.connection, "ObtainFile", request.destinationFile)) return full;
    FileStore& target = store();
    if (std::string why = target.roomForNewFile(); !why.empty()) {
        iecLog(LOG_WARNING, "MMS files: ObtainFile of \"%s\" refused: %s", request.destinationFile.c_str(), why.c_str());
        return fileError(kNoRoomError);
    }
    IncomingFile file;
    MmsError begun = target.beginIncoming(request.destinationFile, file);
    if (begun != MMS_ERROR_NONE) return refuse("ObtainFile", request.destinationFile, begun);

    // An answer that comes while the transfer starts (the first request
    // could not be sent) is the handler's own answer.
    auto starting = std::make_shared<bool>(true);
    auto immediate = std::make_shared<std::optional<MmsServiceResult>>();
    DeferredResponder deliver = [starting, immediate, respond = std::move(respond)](MmsServiceResult result) {
        if (*starting) {
            *immediate = std::move(result);
        } else {
            respond(std::move(result));
        }
    };
    auto transfer = std::make_shared<ObtainFileTransfer>(std::move(send), std::move(deliver), std::move(file),
                                                         request.sourceFile, store_);
    transfers_.emplace(ctx.connection, transfer);
    transfer->start();
    *starting = false;
    return *immediate;
}

std::optional<MmsServiceResult> FileServices::refuseWhenFull(sMmsServerConnection* connection, const char* service,
                                                            const std::string& name) {
    std::erase_if(transfers_, [](const auto& entry) {
        auto transfer = entry.second.lock();
        return !transfer || transfer->finished();
    });
    const size_t open = openFileCount(connection) + transfers_.count(connection);
    if (open < kMaxOpenFilesPerAssociation) return std::nullopt;
    iecLog(LOG_NOTICE, "MMS files: %s of \"%s\" refused, %zu files open", service, name.c_str(), open);
    return MmsServiceResult::error(kErrorClassResource, kResourceCapabilityUnavailable);
}

void FileServices::connectionClosed(sMmsServerConnection* connection) {
    tables_.erase(connection);
    auto [first, last] = transfers_.equal_range(connection);
    for (auto it = first; it != last; ++it) {
        if (auto transfer = it->second.lock()) transfer->cancel();
    }
    transfers_.erase(first, last);
}

size_t FileServices::openFileCount(sMmsServerConnection* connection) const {
    auto it = tables_.find(connection);
    return it == tables_.end() ? 0 : it->second.size();
}

size_t FileServices::openFileCount() const {
    size_t count = 0;
    for (const auto& [connection, table] : tables_) count += table.size();
    return count;
}

FileStore& FileServices::store() {
    if (!store_ || storePath_ != basePath_ || !store_->opened()) {
        storePath_ = basePath_;
        store_ = std::make_shared<FileStore>(basePath_, limits_);
    }
    store_->setLimits(limits_);
    return *store_;
}

FileServices& fileServicesOf(sIedServer* server) {
    if (!server->fileServices) {
        server->fileServices = std::make_shared<FileServices>(server->filestoreBasepath, server->filestoreLimits);
    }
    return *static_cast<FileServices*>(server->fileServices.get());
}

}  // namespace iec61850::files
