#include "cipher/secure_wipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>

#include "cipher/key_schedule.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// What these tests can catch: a wipe that covers too little or too much (a wrong length or
// unit between the two overloads and the system call, a hand-written loop's bounds), and a
// null pointer handed to the C library for an empty span (the sanitizer build reports it).
// What no test can: that the compiler keeps the stores when the memory is dead afterwards.
// Behind a call into another file that holds for a plain memset too; it is the system calls
// (explicit_bzero, SecureZeroMemory) that keep it so under inlining and link-time
// optimisation.

// Wipes a window inside a larger buffer of non-zero bytes: the window must be all zero and
// the guard bytes on both sides untouched, for lengths around the word sizes and the
// key-file size, at aligned and unaligned starts, through both overloads.
TEST(SecureWipe, ZeroesExactlyTheGivenBytes) {
    constexpr std::size_t GUARD = 16;
    for (const std::size_t length : {1u, 7u, 8u, 9u, 31u, 64u, 255u, 256u, 3072u}) {
        for (const std::size_t offset : {0u, 1u, 3u}) {
            test::Bytes buffer = test::random_bytes(GUARD + offset + length + GUARD,
                                                    static_cast<std::uint32_t>(length));
            std::replace(buffer.begin(), buffer.end(), std::uint8_t{0}, std::uint8_t{0x5A});
            const test::Bytes original = buffer;
            const std::size_t start = GUARD + offset;
            const auto window = std::span(buffer).subspan(start, length);
            if (offset % 2 == 0) {
                secure_wipe(window);
            } else {
                secure_wipe(std::as_writable_bytes(window));
            }
            EXPECT_TRUE(all_zero(window)) << "length " << length << " offset " << offset;
            const std::span<const std::uint8_t> kept(original);
            EXPECT_TRUE(std::ranges::equal(std::span(buffer).first(start), kept.first(start)));
            EXPECT_TRUE(std::ranges::equal(std::span(buffer).subspan(start + length),
                                           kept.subspan(start + length)));
        }
    }
}

// An empty span may carry a null pointer; wiping it must be a no-op, not a call into the C
// library with null (which the sanitizer build reports).
TEST(SecureWipe, EmptySpanIsNoOp) {
    secure_wipe(std::span<std::uint8_t>{});
    secure_wipe(std::span<std::byte>{});
    test::Bytes one = {0xAB};
    secure_wipe(std::span(one).first(0));
    EXPECT_EQ(one[0], 0xAB);
}

}  // namespace
}  // namespace quorvel
