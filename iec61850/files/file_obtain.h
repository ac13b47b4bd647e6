#pragma once
// ObtainFile: the client asks the server to fetch a file from the client.
// The server becomes the client of FileOpen, FileRead and FileClose over the
// same association, writes the data under a temporary name in the file
// store and answers the ObtainFile request once the file is complete (or
// with the error that stopped it).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "iec61850/files/file_store.h"
#include "iec61850/mms/mms_services.h"

namespace iec61850::files {

// Largest file the server takes in: the device keeps uploads on a small
// flash file system.
constexpr uint64_t kMaxObtainedFileSize = 16u * 1024u * 1024u;

// Sends one confirmed request to the client of the association.
using ConfirmedRequestSender = std::function<bool(unsigned serviceTag, std::vector<uint8_t> content,
                                                  bool constructed, MmsClientResponseHandler onResponse)>;
// Delivers the answer of a request whose handler has already returned.
using DeferredResponder = std::function<void(MmsServiceResult result)>;

class ObtainFileTransfer : public std::enable_shared_from_this<ObtainFileTransfer> {
public:
    // store: where the file goes (file was begun there); every piece must
    // fit its limits.
    ObtainFileTransfer(ConfirmedRequestSender send, DeferredResponder respond, IncomingFile file,
                       std::string sourceFile, std::shared_ptr<FileStore> store);
    ObtainFileTransfer(const ObtainFileTransfer&) = delete;
    ObtainFileTransfer& operator=(const ObtainFileTransfer&) = delete;

    // Sends the FileOpen; the answer to the client follows through respond.
    void start();
    // The association is gone: no further request, no answer, no file.
    void cancel();
    bool finished() const { return finished_; }

private:
    void opened(bool success, std::span<const uint8_t> content);
    void requestRead();
    void received(bool success, std::span<const uint8_t> content);
    // Closes the client's file and then answers with outcome.
    void requestClose(MmsError outcome);
    void finish(MmsError outcome);
    // Closes with kNoRoomError when bytes more do not fit the store; true then.
    bool refusedForRoom(uint64_t bytes);

    ConfirmedRequestSender send_;
    DeferredResponder respond_;
    std::shared_ptr<FileStore> store_;  // before file_: outlives it
    IncomingFile file_;
    std::string sourceFile_;
    std::string refusal_;  // why the store had no room, for the log
    int32_t frsmId_ = 0;
    uint64_t received_ = 0;
    bool finished_ = false;
};

}  // namespace iec61850::files
