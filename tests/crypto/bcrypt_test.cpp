#include <crypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "utils/bcrypt.h"

namespace {

// Hash through the system's libcrypt.
std::string systemCrypt(const std::string& password, const std::string& salt) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(password.c_str(), salt.c_str(), data.get());
    return out ? std::string(out) : std::string();
}

std::string ourHash(const std::string& password, const std::string& salt) {
    char hash[BCRYPT_BUFFER_SIZE];
    std::memset(hash, 'x', sizeof hash);
    if (bcrypt_hashpw(password.c_str(), salt.c_str(), hash) != 0) return "<failed>";
    return hash;
}

std::string newSalt(int cost) {
    char salt[BCRYPT_BUFFER_SIZE];
    EXPECT_EQ(bcrypt_gensalt(cost, salt), 0);
    return salt;
}

// The text in a heap block of exactly its size: AddressSanitizer reports any read past its end.
std::unique_ptr<char[]> exact(const std::string& text) {
    auto block = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(block.get(), text.c_str(), text.size() + 1);
    return block;
}

std::vector<std::string> samplePasswords() {
    std::vector<std::string> pw = {"",
                                   "a",
                                   "password",
                                   "U*U",
                                   "U*U*U",
                                   "0123456789abcdefghijklmnopqrstuvwxyz",
                                   "p\xc3\xa4ssw\xc3\xb6rd \xe2\x82\xac",  // UTF-8 text
                                   "\xff\xa3\x80\x01",
                                   std::string(71, 'x'),
                                   std::string(72, 'y'),
                                   std::string(73, 'z'),
                                   std::string(200, 'q')};
    std::mt19937 rng(1234);
    for (int i = 0; i < 10; ++i) {
        std::string s;
        size_t len = rng() % 90 + 1;
        for (size_t k = 0; k < len; ++k) s.push_back(static_cast<char>(rng() % 255 + 1));
        pw.push_back(s);
    }
    return pw;
}

TEST(Blowfish, PublishedCipherVectors) {
    // Plain Blowfish: constants, the key schedule (the unsalted one is the standard schedule)
    // and the cipher against the published test vectors.
    struct Vec {
        uint8_t key[8];
        uint32_t pl, pr, cl, cr;
    } vectors[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0x4EF99745, 0x6198DD78},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0xFFFFFFFF, 0xFFFFFFFF, 0x51866FD5, 0xB85ECB8A},
        {{0x30, 0, 0, 0, 0, 0, 0, 0}, 0x10000000, 0x00000001, 0x7D856F9A, 0x613063F2},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 0x11111111, 0x11111111, 0x61F9C380, 0x2281B096},
    };
    auto state = std::make_unique<BlowfishState>();
    for (const auto& v : vectors) {
        Blowfish_init(state.get());
        Blowfish_expand0state(state.get(), v.key, 8);
        uint32_t l = v.pl, r = v.pr;
        Blowfish_encipher(state.get(), &l, &r);
        EXPECT_EQ(l, v.cl);
        EXPECT_EQ(r, v.cr);
    }
}

TEST(Bcrypt, AgreesWithSystemCryptOverPasswordsAndCosts) {
    auto passwords = samplePasswords();
    for (int cost : {4, 5, 6}) {
        for (const auto& pw : passwords) {
            std::string salt = newSalt(cost);
            std::string mine = ourHash(pw, salt);
            EXPECT_EQ(mine, systemCrypt(pw, salt)) << "cost " << cost << " password length " << pw.size();
            EXPECT_EQ(mine.size(), BCRYPT_HASH_LENGTH);
            EXPECT_EQ(mine.substr(0, BCRYPT_SALT_LENGTH), salt);
        }
    }
    // The account store's cost, and a few more.
    for (int cost : {7, 8, 10}) {
        std::string salt = newSalt(cost);
        EXPECT_EQ(ourHash("admin123", salt), systemCrypt("admin123", salt));
    }
}

TEST(Bcrypt, ChecksAgreeWithSystemCryptBothWays) {
    for (const auto& pw : samplePasswords()) {
        std::string salt = newSalt(4);
        std::string theirs = systemCrypt(pw, salt);
        ASSERT_EQ(theirs.size(), BCRYPT_HASH_LENGTH);
        EXPECT_TRUE(bcrypt_checkpw(pw.c_str(), theirs.c_str()));
        EXPECT_FALSE(bcrypt_checkpw(("!" + pw).c_str(), theirs.c_str()));
        // A complete hash used as salt reproduces itself for the right password only.
        EXPECT_EQ(ourHash(pw, theirs), theirs);
        std::string mine = ourHash(pw, salt);
        EXPECT_EQ(systemCrypt(pw, mine), mine);
        EXPECT_NE(ourHash("x" + pw, mine), mine);
        // The output buffer may be the salt buffer itself.
        char inPlace[BCRYPT_BUFFER_SIZE];
        std::memcpy(inPlace, salt.c_str(), salt.size() + 1);
        ASSERT_EQ(bcrypt_hashpw(pw.c_str(), inPlace, inPlace), 0);
        EXPECT_EQ(std::string(inPlace), mine);
    }
}

TEST(Bcrypt, SeventyTwoByteLimit) {
    std::string salt = newSalt(4);
    std::string base(72, 'k');
    std::string h72 = ourHash(base, salt);
    EXPECT_EQ(ourHash(base + "tail", salt), h72);
    EXPECT_EQ(ourHash(base + std::string(500, 'w'), salt), h72);
    EXPECT_EQ(systemCrypt(base + "tail", salt), h72);
    std::string changed71 = base;
    changed71[71] = 'j';
    EXPECT_NE(ourHash(changed71, salt), h72);
    EXPECT_EQ(ourHash(changed71, salt), systemCrypt(changed71, salt));
    // 71 bytes plus the terminating zero is a different key from 72 bytes.
    EXPECT_NE(ourHash(base.substr(0, 71), salt), h72);
    EXPECT_EQ(ourHash(base.substr(0, 71), salt), systemCrypt(base.substr(0, 71), salt));
}

TEST(Bcrypt, VersionLetters) {
    std::string salt = newSalt(5);
    std::string tail = salt.substr(3);  // "$05$" + 22 characters
    std::string b = ourHash("secret", "$2b" + tail);
    EXPECT_EQ(ourHash("secret", "$2a" + tail), b);
    EXPECT_EQ(ourHash("secret", "$2y" + tail), b);
    // libcrypt writes the letter it was given; the rest agrees.
    EXPECT_EQ(systemCrypt("secret", "$2a" + tail).substr(3), b.substr(3));
    EXPECT_EQ(systemCrypt("secret", "$2y" + tail).substr(3), b.substr(3));
    EXPECT_TRUE(bcrypt_checkpw("secret", ("$2a" + b.substr(3)).c_str()));
    EXPECT_TRUE(bcrypt_checkpw("secret", ("$2y" + b.substr(3)).c_str()));

    // Without a letter the terminating zero is left out of the key: another hash, still "$2b$".
    std::string none = ourHash("secret", "$2" + tail);
    ASSERT_EQ(none.size(), BCRYPT_HASH_LENGTH);
    EXPECT_EQ(none.substr(0, 4), "$2b$");
    EXPECT_EQ(none.substr(0, 29), b.substr(0, 29));
    EXPECT_NE(none, b);
    // ... and nothing to cycle over for an empty password: refused.
    EXPECT_EQ(ourHash("", "$2" + tail), "<failed>");
    EXPECT_NE(ourHash("", "$2b" + tail), "<failed>");
}

TEST(Bcrypt, GeneratedSalts) {
    char salt[BCRYPT_BUFFER_SIZE];
    ASSERT_EQ(bcrypt_gensalt(10, salt), 0);
    std::string s = salt;
    EXPECT_EQ(s.size(), BCRYPT_SALT_LENGTH);
    EXPECT_EQ(s.substr(0, 7), "$2b$10$");
    EXPECT_EQ(s.find_first_not_of("./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 7),
              std::string::npos);
    // The last character carries 2 bits of the 16th byte only.
    EXPECT_NE(std::string(".Oeu").find(s[28]), std::string::npos);
    EXPECT_NE(newSalt(10), newSalt(10));
    EXPECT_EQ(newSalt(2).substr(0, 7), "$2b$04$");
    EXPECT_EQ(newSalt(-5).substr(0, 7), "$2b$04$");
    EXPECT_EQ(newSalt(31).substr(0, 7), "$2b$31$");
    EXPECT_EQ(newSalt(40).substr(0, 7), "$2b$31$");
    EXPECT_EQ(bcrypt_gensalt(10, nullptr), -1);
}

TEST(Bcrypt, RefusesMalformedSaltsWithoutReadingPastThem) {
    std::string good = newSalt(4);
    std::string tail = good.substr(7);
    const std::vector<std::string> bad = {
        "",
        "$",
        "$2",
        "$2b",
        "$2b$",
        "$2b$0",
        "$2b$04",
        "$2b$04$",
        "$2c$04$" + tail,
        "$3b$04$" + tail,
        "$2bb$04$" + tail,
        "$2b$4$" + tail,
        "$2b$03$" + tail,
        "$2b$32$" + tail,
        "$2b$99$" + tail,
        "$2b$0a$" + tail,
        "$2b$04" + tail,
        "$2b$04$" + tail.substr(0, 21),
        "$2b$04$" + tail.substr(0, 10),
        "$2b$04$" + tail.substr(0, 21) + "*",
        "$2b$04$" + tail.substr(0, 5) + "=" + tail.substr(6),
        "x2b$04$" + tail,
    };
    char hash[BCRYPT_BUFFER_SIZE];
    for (const auto& s : bad) {
        auto block = exact(s);
        std::memcpy(hash, "unchanged", 10);
        EXPECT_EQ(bcrypt_hashpw("pw", block.get(), hash), -1) << s;
        EXPECT_STREQ(hash, "unchanged") << s;
        EXPECT_FALSE(bcrypt_checkpw("pw", block.get())) << s;
    }
    // A salt of exactly 29 characters at the very end of its block is fine.
    auto block = exact(good);
    EXPECT_EQ(bcrypt_hashpw("pw", block.get(), hash), 0);
    EXPECT_EQ(bcrypt_hashpw(nullptr, good.c_str(), hash), -1);
    EXPECT_EQ(bcrypt_hashpw("pw", nullptr, hash), -1);
    EXPECT_EQ(bcrypt_hashpw("pw", good.c_str(), nullptr), -1);
}

TEST(Bcrypt, CheckRefusesMalformedHashes) {
    std::string h = ourHash("pw", newSalt(4));
    EXPECT_TRUE(bcrypt_checkpw("pw", h.c_str()));
    for (const std::string& bad : {h.substr(0, 59), h + "A", h.substr(0, 29), h.substr(0, 50) + "*********",
                                   std::string("$2") + h.substr(3) + "A", std::string()}) {
        auto block = exact(bad);
        EXPECT_FALSE(bcrypt_checkpw("pw", block.get())) << bad;
    }
    EXPECT_FALSE(bcrypt_checkpw(nullptr, h.c_str()));
    EXPECT_FALSE(bcrypt_checkpw("pw", nullptr));
}

}  // namespace
