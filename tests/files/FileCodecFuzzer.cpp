// libFuzzer target on the coding of the MMS file services: every decoder of
// a request or response content the outside can send, and for each decoded
// request that has an encoder, a round trip that must give the same request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "iec61850/files/file_codec.h"

using namespace iec61850::files;

namespace {

template <class Request, class Decode, class Encode, class Same>
void roundTrip(std::span<const uint8_t> content, Decode decode, Encode encode, Same same) {
    Request first{};
    if (decode(content, first) != DecodeStatus::Ok) return;
    const std::vector<uint8_t> encoded = encode(first);
    Request second{};
    if (decode(std::span<const uint8_t>(encoded), second) != DecodeStatus::Ok || !same(first, second)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> content(data + 1, size - 1);
    switch (data[0] % 8) {
        case 0:
            roundTrip<FileDirectoryRequest>(content, decodeFileDirectoryRequest, encodeFileDirectoryRequest,
                                            [](const auto& a, const auto& b) {
                                                return a.fileSpec == b.fileSpec && a.continueAfter == b.continueAfter;
                                            });
            break;
        case 1:
            roundTrip<FileOpenRequest>(content, decodeFileOpenRequest, encodeFileOpenRequest,
                                       [](const auto& a, const auto& b) {
                                           return a.name == b.name && a.initialPosition == b.initialPosition;
                                       });
            break;
        case 2: {
            int32_t frsm = 0;
            if (decodeFrsmId(content, frsm) == DecodeStatus::Ok) {
                int32_t again = 0;
                const auto encoded = encodeFrsmId(frsm);
                if (decodeFrsmId(encoded, again) != DecodeStatus::Ok || again != frsm) std::abort();
            }
            break;
        }
        case 3:
            roundTrip<std::string>(content, decodeFileDeleteRequest, encodeFileDeleteRequest,
                                   [](const auto& a, const auto& b) { return a == b; });
            break;
        case 4:
            roundTrip<FileRenameRequest>(content, decodeFileRenameRequest, encodeFileRenameRequest,
                                         [](const auto& a, const auto& b) {
                                             return a.currentName == b.currentName && a.newName == b.newName;
                                         });
            break;
        case 5:
            roundTrip<ObtainFileRequest>(content, decodeObtainFileRequest, encodeObtainFileRequest,
                                         [](const auto& a, const auto& b) {
                                             return a.sourceFile == b.sourceFile &&
                                                    a.destinationFile == b.destinationFile;
                                         });
            break;
        case 6: {
            FileOpenResponse open;
            (void)decodeFileOpenResponse(content, open);
            FileReadResponse read;
            (void)decodeFileReadResponse(content, read);
            break;
        }
        case 7: {
            FileDirectoryResponse directory;
            (void)decodeFileDirectoryResponse(content, directory);
            break;
        }
    }
    return 0;
}
