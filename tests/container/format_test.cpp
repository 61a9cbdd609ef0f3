#include "container/format.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <string>

#include "cipher/mixer.h"
#include "support/test_support.h"

namespace quorvel {
namespace {

struct ProbeCase {
    const char* name;
    std::string contents;
    InputKind kind;
};

TEST(SignatureProbe, ChoosesModeBySignatureOnly) {
    const ProbeCase cases[] = {
        {"exact signature", "%quorvel%", InputKind::encrypted},
        {"signature then anything", "%quorvel%whatever follows", InputKind::encrypted},
        {"ninth byte differs", "%quorvelX", InputKind::plain},
        {"too short", "%quorvel", InputKind::plain},
        {"empty", "", InputKind::plain},
        {"plain text", "hello world, plain text", InputKind::plain},
    };
    test::ScratchDir dir;
    for (const auto& c : cases) {
        test::write_file(dir / "probe", c.contents);
        const auto probed = probe_signature(dir / "probe");
        EXPECT_EQ(probed.kind, c.kind) << c.name;
        EXPECT_EQ(probed.encrypted(), c.kind == InputKind::encrypted) << c.name;
        EXPECT_TRUE(probed.input) << c.name;
    }
}

// A folder is a plain input, which the archiver packs; a missing file does not open.
TEST(SignatureProbe, MissingFileAndFolder) {
    test::ScratchDir dir;
    const auto missing = probe_signature(dir / "missing");
    EXPECT_EQ(missing.kind, InputKind::unopenable);
    EXPECT_FALSE(missing.input);

    const auto folder = probe_signature(dir.path());
    EXPECT_EQ(folder.kind, InputKind::plain);
}

test::Bytes read_to_end(ByteSource& source) {
    test::Bytes all;
    std::uint8_t buffer[5];  // shorter than the signature: the probed bytes come in pieces
    while (const auto got = source.read(buffer)) {
        if (*got == 0) break;
        all.insert(all.end(), buffer, buffer + *got);
    }
    return all;
}

// The probe and the cipher stage share one open input: what the probe read is read again,
// from a file and from a pipe, which gives its bytes only once.
TEST(SignatureProbe, ProbedInputStillGivesEveryByte) {
    const std::string contents[] = {"%quorvel%" + std::string(300, 'x'), "%quorv", "",
                                    "plain text that is longer than a signature"};
    test::ScratchDir dir;
    for (const auto& text : contents) {
        const test::Bytes bytes = test::to_bytes(text);
        test::write_file(dir / "probe", bytes);
        auto file = probe_signature(dir / "probe");
        ASSERT_TRUE(file.input) << text;
        EXPECT_EQ(file.encrypted(), text.starts_with("%quorvel%")) << text;
        EXPECT_EQ(read_to_end(*file.input), bytes) << text;
        ASSERT_TRUE(file.input->rewind()) << text;
        EXPECT_EQ(read_to_end(*file.input), bytes) << text << ", rewound";
#ifndef _WIN32
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(ends[1]);
        auto pipe = probe_signature("/dev/fd/" + std::to_string(ends[0]));
        ::close(ends[0]);
        ASSERT_TRUE(pipe.input) << text;
        EXPECT_EQ(pipe.kind, file.kind) << text;
        EXPECT_FALSE(pipe.input->size()) << text;
        EXPECT_EQ(read_to_end(*pipe.input), bytes) << text << ", from a pipe";
        EXPECT_FALSE(pipe.input->rewind()) << text;
#endif
    }
}

// The last block of "abc": 61 62 63 FF, 251 bytes '0', then the count 3.
TEST(CheckBlock, KnownAnswerForAbc) {
    Block check;
    check.fill('0');
    check[0] = 0x61;
    check[1] = 0x62;
    check[2] = 0x63;
    check[3] = 0xFF;
    check[255] = 0x03;
    mix_block(check, 1);

    const std::uint8_t row_tail[15] = {0x02, 0xAC, 0xBF, 0x18, 0x1C, 0xF6, 0xC7, 0xBD,
                                       0xFD, 0x53, 0x40, 0xE7, 0xE3, 0x09, 0x38};
    for (std::size_t row = 0; row < 16; ++row) {
        const std::uint8_t first = row == 0 ? 0x97 : 0x42;
        EXPECT_EQ(check[row * 16], first) << "row " << row;
        for (std::size_t i = 1; i < 16; ++i) {
            const std::uint8_t expected = (row == 15 && i == 15) ? 0x08 : row_tail[i - 1];
            EXPECT_EQ(check[row * 16 + i], expected) << "row " << row << " byte " << i;
        }
    }
}

}  // namespace
}  // namespace quorvel
