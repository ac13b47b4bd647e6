#pragma once
// The client's side of an ObtainFile over the MMS test client: it sends the
// request and answers the server's own FileOpen, FileRead and FileClose
// requests from a file in memory until the ObtainFile answer comes.

#include <optional>
#include <string>
#include <vector>

#include "iec61850/files/file_codec.h"
#include "tests/mms/MmsTestClient.h"

namespace obtainclient {

struct ObtainExchange {
    std::vector<unsigned> asked;  // the services of the server's requests, in order
    bool closedBeforeAnswer = false;
    std::optional<mmstest::Answer> answer;
};

enum class ClientFault { None, RefuseOpen, DropAfterFirstRead };

// Sends the ObtainFile (invoke id 1) and plays the client's file in pieces
// of chunk octets; gtest failures when the server stops half way.
void obtainFile(mmstest::MmsTestClient& client, const iec61850::files::ObtainFileRequest& request,
                const std::string& file, ClientFault fault, ObtainExchange& exchange, size_t chunk = 1000);

}  // namespace obtainclient
