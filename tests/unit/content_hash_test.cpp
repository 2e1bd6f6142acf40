#include "shell/content_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace {

uint64_t hash_in_pieces(const std::string& bytes, size_t piece) {
    ContentHash hash;
    for (size_t at = 0; at < bytes.size(); at += piece)
        hash.add(bytes.data() + at, std::min(piece, bytes.size() - at));
    return hash.value();
}

TEST(ContentHash, TheSameBytesHashAlikeHoweverTheyAreCut) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7 + i / 13);
    const uint64_t whole = hash_in_pieces(bytes, bytes.size());
    for (size_t piece : {1u, 3u, 8u, 13u, 64u})
        EXPECT_EQ(hash_in_pieces(bytes, piece), whole) << piece;

    // Any byte changed, one more zero byte, one less: another value.
    for (size_t at : {0u, 7u, 8u, 999u}) {
        std::string changed = bytes;
        changed[at] ^= 0x20;
        EXPECT_NE(hash_in_pieces(changed, 64), whole) << at;
    }
    EXPECT_NE(hash_in_pieces(bytes + std::string(1, '\0'), 64), whole);
    EXPECT_NE(hash_in_pieces(bytes.substr(0, 999), 64), whole);
}

}  // namespace
