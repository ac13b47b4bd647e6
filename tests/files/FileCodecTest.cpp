// Coding of the file services against the contents of a reference exchange
// (directory, open, read and close of the 17-byte "anchor.txt") and against
// malformed requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iec61850/files/file_codec.h"

using namespace iec61850::files;

namespace {

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

// Service contents of the reference exchange.
const std::string kAttributes = "a118800111811332303236313231303130303833372e3030305a";
const std::string kDirectoryResponse = "a02c302a3028a00c190a616e63686f722e747874" + kAttributes;
const std::string kOpenRequest = "a00c190a616e63686f722e747874810100";
const std::string kOpenResponse = "800100" + kAttributes;
const std::string kReadResponse = "8011616e63686f7220746573742066696c650a810100";
constexpr int64_t kAnchorModified = 1796897317;  // 2026-12-10 10:08:37 UTC

TEST(FileCodecTest, ResponsesMatchTheReferenceExchange) {
    const DirectoryEntry anchor{"anchor.txt", {17, kAnchorModified}};
    EXPECT_EQ(encodeFileDirectoryResponse({encodeDirectoryEntry(anchor)}, false), hex(kDirectoryResponse));
    EXPECT_EQ(encodeFileOpenResponse({0, anchor.attributes}), hex(kOpenResponse));
    const std::string text = "anchor test file\n";
    EXPECT_EQ(encodeFileReadResponse({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, false),
              hex(kReadResponse));

    FileDirectoryResponse listed;
    ASSERT_EQ(decodeFileDirectoryResponse(hex(kDirectoryResponse), listed), DecodeStatus::Ok);
    ASSERT_EQ(listed.entries.size(), 1u);
    EXPECT_EQ(listed.entries[0].name, "anchor.txt");
    EXPECT_EQ(listed.entries[0].attributes.size, 17u);
    EXPECT_EQ(listed.entries[0].attributes.lastModified, kAnchorModified);
    EXPECT_FALSE(listed.moreFollows);
}

TEST(FileCodecTest, RequestsOfTheReferenceExchangeDecode) {
    FileDirectoryRequest directory;
    ASSERT_EQ(decodeFileDirectoryRequest({}, directory), DecodeStatus::Ok);
    EXPECT_FALSE(directory.fileSpec.has_value());
    EXPECT_FALSE(directory.continueAfter.has_value());

    FileOpenRequest open;
    ASSERT_EQ(decodeFileOpenRequest(hex(kOpenRequest), open), DecodeStatus::Ok);
    EXPECT_EQ(open.name, "anchor.txt");
    EXPECT_EQ(open.initialPosition, 0u);
    EXPECT_EQ(encodeFileOpenRequest(open), hex(kOpenRequest));

    int32_t frsm = -1;
    ASSERT_EQ(decodeFrsmId(hex("00"), frsm), DecodeStatus::Ok);
    EXPECT_EQ(frsm, 0);
    EXPECT_EQ(encodeFrsmId(0), hex("00"));
    EXPECT_EQ(encodeFrsmId(300), hex("012c"));
}

TEST(FileCodecTest, ClientSideRequestsRoundTrip) {
    FileDirectoryRequest directory{"sub", "sub/b.txt"};
    FileDirectoryRequest decodedDirectory;
    ASSERT_EQ(decodeFileDirectoryRequest(encodeFileDirectoryRequest(directory), decodedDirectory), DecodeStatus::Ok);
    EXPECT_EQ(decodedDirectory.fileSpec, "sub");
    EXPECT_EQ(decodedDirectory.continueAfter, "sub/b.txt");

    std::string deleted;
    ASSERT_EQ(decodeFileDeleteRequest(encodeFileDeleteRequest("iedserver.bin"), deleted), DecodeStatus::Ok);
    EXPECT_EQ(deleted, "iedserver.bin");

    FileRenameRequest rename;
    ASSERT_EQ(decodeFileRenameRequest(encodeFileRenameRequest({"a", "b"}), rename), DecodeStatus::Ok);
    EXPECT_EQ(rename.currentName, "a");
    EXPECT_EQ(rename.newName, "b");

    ObtainFileRequest obtain;
    ASSERT_EQ(decodeObtainFileRequest(encodeObtainFileRequest({"client.cfg", "server.cfg"}), obtain),
              DecodeStatus::Ok);
    EXPECT_EQ(obtain.sourceFile, "client.cfg");
    EXPECT_EQ(obtain.destinationFile, "server.cfg");

    FileReadResponse read;
    ASSERT_EQ(decodeFileReadResponse(hex("8003010203"), read), DecodeStatus::Ok);
    EXPECT_EQ(read.data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(read.moreFollows) << "moreFollows defaults to true";
}

TEST(FileCodecTest, MalformedRequestsAndBadNamesAreTold) {
    struct Case {
        const char* what;
        std::string bytes;
        DecodeStatus open;    // as FileOpen content
        DecodeStatus remove;  // as FileDelete content
    };
    const Case cases[] = {
        {"truncated", "a00c190a616e63", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"name not a GraphicString", "a003040161810100", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"position missing", "a003190161", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"position too large", "a0031901618105010000000000", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"unknown element", "a003190161810100820100", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"control character", "a0031901" "0a" "810100", DecodeStatus::BadName, DecodeStatus::Malformed},
        {"primitive name", "800161810100", DecodeStatus::Malformed, DecodeStatus::Malformed},
        {"bare GraphicString", "190161", DecodeStatus::Malformed, DecodeStatus::Ok},
        {"newline in name", "19020a41", DecodeStatus::Malformed, DecodeStatus::BadName},
    };
    for (const auto& c : cases) {
        FileOpenRequest open;
        EXPECT_EQ(decodeFileOpenRequest(hex(c.bytes), open), c.open) << c.what;
        std::string name;
        EXPECT_EQ(decodeFileDeleteRequest(hex(c.bytes), name), c.remove) << c.what;
    }

    std::string longName(kMaxFileNameLength + 1, 'x');
    std::string name;
    EXPECT_EQ(decodeFileDeleteRequest(encodeFileDeleteRequest(longName), name), DecodeStatus::BadName);
    int32_t frsm = 0;
    EXPECT_EQ(decodeFrsmId({}, frsm), DecodeStatus::Malformed);
    EXPECT_EQ(decodeFrsmId(hex("0100000000"), frsm), DecodeStatus::Malformed);
    FileRenameRequest rename;
    EXPECT_EQ(decodeFileRenameRequest(hex("a003190161"), rename), DecodeStatus::Malformed);
}

}  // namespace

namespace {

// Every cut and every changed octet of valid contents decodes to some
// status, never past the input (the build's address sanitizer watches).
TEST(FileCodecTest, CutAndAlteredContentsStayInsideTheirBytes) {
    const std::vector<std::vector<uint8_t>> valid = {
        hex(kOpenRequest),
        encodeFileDirectoryRequest({"sub", "sub/b.txt"}),
        encodeFileRenameRequest({"a", "b"}),
        encodeObtainFileRequest({"client.cfg", "server.cfg"}),
        hex(kDirectoryResponse),
        hex(kOpenResponse),
        hex(kReadResponse),
    };
    auto decodeAll = [](const std::vector<uint8_t>& bytes) {
        FileDirectoryRequest directory;
        FileOpenRequest open;
        FileRenameRequest rename;
        ObtainFileRequest obtain;
        FileDirectoryResponse listed;
        FileOpenResponse opened;
        FileReadResponse read;
        std::string name;
        int32_t frsm = 0;
        (void)decodeFileDirectoryRequest(bytes, directory);
        (void)decodeFileOpenRequest(bytes, open);
        (void)decodeFileRenameRequest(bytes, rename);
        (void)decodeObtainFileRequest(bytes, obtain);
        (void)decodeFileDeleteRequest(bytes, name);
        (void)decodeFileDirectoryResponse(bytes, listed);
        (void)decodeFileOpenResponse(bytes, opened);
        (void)decodeFileReadResponse(bytes, read);
        (void)decodeFrsmId(bytes, frsm);
    };
    for (const auto& bytes : valid) {
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            decodeAll(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
        }
        for (size_t at = 0; at < bytes.size(); ++at) {
            for (uint8_t value : {0x00, 0x7f, 0x80, 0xff}) {
                auto altered = bytes;
                altered[at] = value;
                decodeAll(altered);
            }
        }
    }
}

}  // namespace
