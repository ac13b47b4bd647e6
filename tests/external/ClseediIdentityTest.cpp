#include "external/ClseediIdentity.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "tests/external/ClseediFixture.h"

namespace {

TEST(ClseediIdentityTest, ClientIdsByHostNameLength) {
    struct Case {
        std::string host;
        std::string id;
    };
    const Case cases[] = {
        {"box1", "Tavelmarck_CLSEEDI_Client_box1"},
        {"abcdefghijklmn", "Tavelmarck_CLSEEDI_Client_abcdefghijklmn"},  // 14 characters: 40 in all
        // 15 characters: the hashed form, the first 16 decimal digits of the hash.
        {"abcdefghijklmno", "Tavelmarck_CLSEEDI_Client_" + std::to_string(clseedi::hostNameHash("abcdefghijklmno")).substr(0, 16)},
        {"", "Tavelmarck_CLSEEDI_Client_"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clseedi::clientIdFor(c.host), c.id) << c.host;
    }
    EXPECT_EQ(clseedi::clientIdFor("abcdefghijklmno").size(), 42u);
    EXPECT_EQ(clseedi::clientIdFor("box-0123456789-long.example.net"),
              clseedi::clientIdFor("box-0123456789-long.example.net"));
}

TEST(ClseediIdentityTest, HashIsTheFixedMurmurHash64A) {
    // Fixed values, the same on every target width.
    EXPECT_EQ(clseedi::hostNameHash(""), 6142509188972423790ULL);
    EXPECT_EQ(clseedi::hostNameHash("abcdefghijklmno"), 14639152421998547408ULL);
    EXPECT_EQ(clseedi::clientIdFor("steuerbox-0123456789"), "Tavelmarck_CLSEEDI_Client_1779907730949417");
    // Where size_t has 64 bits, the GNU C++ library's string hash is the same function.
    if constexpr (sizeof(size_t) == 8) {
        for (const char* text : {"", "a", "box1", "abcdefgh", "abcdefghi", "steuerbox-0123456789", "\xff\x80zz"}) {
            EXPECT_EQ(clseedi::hostNameHash(text), std::hash<std::string>{}(text)) << text;
        }
    }
}

TEST(ClseediIdentityTest, RepliesGetFreshVersion4Uuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string uuid = clseedi::randomUuidV4();
        EXPECT_TRUE(clseeditest::isUuidV4(uuid)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
