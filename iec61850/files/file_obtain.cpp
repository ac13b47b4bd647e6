// ObtainFile: pulling a file from the requesting client.
#include "iec61850/files/file_obtain.h"

#include <syslog.h>

#include <cerrno>

#include "iec61850/files/file_codec.h"
#include "iec61850/files/file_services.h"
#include "iec61850/core/log.h"

namespace iec61850::files {

ObtainFileTransfer::ObtainFileTransfer(ConfirmedRequestSender send, DeferredResponder respond, IncomingFile file,
                                       std::string sourceFile, std::shared_ptr<FileStore> store)
    : send_(std::move(send)),
      respond_(std::move(respond)),
      store_(std::move(store)),
      file_(std::move(file)),
      sourceFile_(std::move(sourceFile)) {}

void ObtainFileTransfer::start() {
    auto self = shared_from_this();
    bool sent = send_(MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({sourceFile_, 0}), true,
                      [self](bool success, std::span<const uint8_t> content) { self->opened(success, content); });
    if (!sent) finish(MMS_ERROR_FILE_OTHER);
}

void ObtainFileTransfer::cancel() {
    finished_ = true;
    file_ = IncomingFile();
}

void ObtainFileTransfer::opened(bool success, std::span<const uint8_t> content) {
    if (finished_) return;
    FileOpenResponse response;
    if (!success) {
        iecLog(LOG_NOTICE, "MMS files: client refused to open \"%s\"", sourceFile_.c_str());
        finish(MMS_ERROR_FILE_FILE_NON_EXISTENT);
        return;
    }
    if (decodeFileOpenResponse(content, response) != DecodeStatus::Ok) {
        iecLog(LOG_WARNING, "MMS files: malformed FileOpen answer for \"%s\"", sourceFile_.c_str());
        finish(MMS_ERROR_FILE_OTHER);
        return;
    }
    frsmId_ = response.frsmId;
    if (response.attributes.size > kMaxObtainedFileSize) {
        requestClose(MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE);
        return;
    }
    if (refusedForRoom(response.attributes.size)) return;
    requestRead();
}

void ObtainFileTransfer::requestRead() {
    auto self = shared_from_this();
    bool sent = send_(MMS_SERVICE_FILE_READ, encodeFrsmId(frsmId_), false,
                      [self](bool success, std::span<const uint8_t> content) { self->received(success, content); });
    if (!sent) finish(MMS_ERROR_FILE_OTHER);
}

void ObtainFileTransfer::received(bool success, std::span<const uint8_t> content) {
    if (finished_) return;
    FileReadResponse response;
    if (!success || decodeFileReadResponse(content, response) != DecodeStatus::Ok) {
        iecLog(LOG_WARNING, "MMS files: reading \"%s\" from the client failed", sourceFile_.c_str());
        requestClose(MMS_ERROR_FILE_OTHER);
        return;
    }
    received_ += response.data.size();
    if (received_ > kMaxObtainedFileSize) {
        requestClose(MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE);
        return;
    }
    if (refusedForRoom(response.data.size())) return;
    if (!file_.write(response.data.data(), response.data.size())) {
        requestClose(file_.lastError());
        return;
    }
    if (!response.moreFollows) {
        requestClose(MMS_ERROR_NONE);
    } else if (response.data.empty()) {
        // More to follow but nothing came: the transfer would never end.
        requestClose(MMS_ERROR_FILE_OTHER);
    } else {
        requestRead();
    }
}

bool ObtainFileTransfer::refusedForRoom(uint64_t bytes) {
    refusal_ = store_->roomFor(bytes);
    if (refusal_.empty()) return false;
    requestClose(kNoRoomError);
    return true;
}

void ObtainFileTransfer::requestClose(MmsError outcome) {
    auto self = shared_from_this();
    bool sent = send_(MMS_SERVICE_FILE_CLOSE, encodeFrsmId(frsmId_), false,
                      [self, outcome](bool, std::span<const uint8_t>) { self->finish(outcome); });
    if (!sent) finish(outcome == MMS_ERROR_NONE ? MMS_ERROR_FILE_OTHER : outcome);
}

void ObtainFileTransfer::finish(MmsError outcome) {
    if (finished_) return;
    finished_ = true;
    if (outcome == MMS_ERROR_NONE) outcome = file_.commit();
    file_ = IncomingFile();
    if (outcome == MMS_ERROR_NONE) {
        iecLog(LOG_INFO, "MMS files: obtained \"%s\" (%llu bytes)", sourceFile_.c_str(),
               static_cast<unsigned long long>(received_));
        respond_(MmsServiceResult::response({}, false));
    } else if (!refusal_.empty()) {
        iecLog(LOG_WARNING, "MMS files: ObtainFile of \"%s\" refused: %s", sourceFile_.c_str(), refusal_.c_str());
        respond_(fileError(outcome));
    } else {
        iecLog(LOG_NOTICE, "MMS files: ObtainFile of \"%s\" failed (%d)", sourceFile_.c_str(),
               static_cast<int>(outcome));
        respond_(fileError(outcome));
    }
}

}  // namespace iec61850::files
