#include "shell/content_hash.h"

namespace {

constexpr uint64_t PRIME_1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t PRIME_2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t PRIME_3 = 0x165667B19E3779F9ULL;

uint64_t rotate_left(uint64_t value, int bits) {
    return value << bits | value >> (64 - bits);
}

}  // namespace

void ContentHash::mix(uint64_t word) {
    state_ = rotate_left(state_ + word * PRIME_2, 31) * PRIME_1;
}

void ContentHash::add(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    length_ += length;
    while (pendingBytes_ != 0 && length > 0) {
        pending_ |= static_cast<uint64_t>(*bytes++) << (8 * pendingBytes_);
        --length;
        if (++pendingBytes_ == 8) {
            mix(pending_);
            pending_ = 0;
            pendingBytes_ = 0;
        }
    }
    for (; length >= 8; bytes += 8, length -= 8) {
        uint64_t word = 0;
        for (int i = 7; i >= 0; --i) word = word << 8 | bytes[i];
        mix(word);
    }
    for (; length > 0; --length)
        pending_ |= static_cast<uint64_t>(*bytes++) << (8 * pendingBytes_++);
}

uint64_t ContentHash::value() const {
    uint64_t h = state_;
    if (pendingBytes_ != 0) h = rotate_left(h + pending_ * PRIME_2, 31) * PRIME_1;
    h ^= length_;  // so that trailing zero bytes count
    h ^= h >> 33;
    h *= PRIME_2;
    h ^= h >> 29;
    h *= PRIME_3;
    h ^= h >> 32;
    return h;
}
