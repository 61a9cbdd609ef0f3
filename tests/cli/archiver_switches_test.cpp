// Extra archiver switches from QUORVEL_PACK_SWITCHES and QUORVEL_UNPACK_SWITCHES: where they
// reach the archiver, what the real archiver does with the documented examples, words that
// are not switches, and switches that would delete the input or put the plaintext archive
// where the run cannot remove it.
#include <gtest/gtest.h>

#include <regex>

#include "cli/cli_fixture.h"
#include "cli/file_checks.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

const std::string PACK = "QUORVEL_PACK_SWITCHES";
const std::string UNPACK = "QUORVEL_UNPACK_SWITCHES";

class ArchiverSwitchesTest : public CliTest {
protected:
    ArchiverSwitchesTest() { write_file(enc() / "plan.txt", plan_); }

    RunOptions with(const std::string& variable, const std::string& value,
                    const std::optional<std::string>& path_env = std::nullopt) const {
        RunOptions result = options(path_env);
        result.environment = {{variable, value}};
        return result;
    }

    // Encrypts plan.txt into dec()/out.qv with `environment` set.
    void encrypt_into_dec(const RunOptions& run_options) {
        const auto result = run_program({"plan.txt", "../dec/out.qv", "pw"}, enc(), run_options);
        ASSERT_EQ(result.output, encrypt_output("plan.txt"));
        ASSERT_EQ(result.exit_code, 0);
    }

    // Highly compressible, so that packing without compression shows in the output's size.
    const std::string plan_ = [] {
        std::string text;
        for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i % 10) + " of the plan\n";
        return text;
    }();
};

TEST_F(ArchiverSwitchesTest, SwitchesComeAfterTheFixedOnesAndBeforeTheInput) {
    const std::string path = stand_in_archiver(
        "recording-bin",
        "printf '%s\\n' \"$@\" > ../args-$1.txt\n"
        "if [ \"$1\" = a ]; then for last; do :; done; exec cp -- \"$last\" \"$2\"; fi");
    const auto encrypted = run_program({"plan.txt", "../dec/out.qv", "pw"}, enc(),
                                       with(PACK, " \t-mx1  -ms=off\t", path));
    EXPECT_EQ(encrypted.output, encrypt_output("plan.txt"));
    const auto decrypted =
        run_program({"out.qv", "x", "pw"}, dec(), with(UNPACK, "-aos -ofolder", path));
    EXPECT_EQ(decrypted.output, DECRYPT_OK);

    const auto pack_args = read_file(root() / "args-a.txt");
    const std::string pack(pack_args.begin(), pack_args.end());
    // The archive goes into the run's private packing folder, under its usual name.
    EXPECT_TRUE(
        std::regex_search(pack, std::regex("^a\n\\.quorvel-pack-[^/\n]+/quorvelxxxfilo\\.7z\n")))
        << pack;
    EXPECT_TRUE(pack.ends_with("\n-mx1\n-ms=off\n--\nplan.txt\n")) << pack;
    const auto unpack_args = read_file(root() / "args-x.txt");
    const std::string unpack(unpack_args.begin(), unpack_args.end());
    EXPECT_TRUE(unpack.starts_with("x\nquorvelxxxfilo.7z\n")) << unpack;
    EXPECT_TRUE(unpack.ends_with("\n-aos\n-ofolder\n")) << unpack;
}

TEST_F(ArchiverSwitchesTest, FastAndStoredPackingRoundTrip) {
    for (const std::string level : {"-mx1", "-mx0"}) {
        SCOPED_TRACE(level);
        fs::remove(dec() / "out.qv");
        fs::remove(dec() / "plan.txt");
        encrypt_into_dec(with(PACK, level));
        const auto size = fs::file_size(dec() / "out.qv");
        if (level == "-mx0") {
            EXPECT_GT(size, plan_.size());  // stored as it is
        } else {
            EXPECT_LT(size, plan_.size() / 4);
        }
        const auto decrypted = run({"out.qv", "x", "pw"}, dec());
        EXPECT_EQ(decrypted.output, DECRYPT_OK);
        EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(plan_));
    }
}

// With the real archiver: by default a file of the same name in the folder is overwritten by
// the extracted one, without a question; "-aos" keeps it and "-oDIR" extracts elsewhere. A
// file of another name stays either way.
TEST_F(ArchiverSwitchesTest, ExtractionOverwritesSameNamesUnlessKeptOrSentElsewhere) {
    encrypt_into_dec(options());
    const struct {
        const char* switches;  // none: the variable is not set
        std::string plan_after;
        const char* extracted_to;  // where the plan comes out
    } cases[] = {
        {nullptr, plan_, "plan.txt"},
        {"-aos", "my own plan", nullptr},
        {"-oelsewhere", "my own plan", "elsewhere/plan.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.switches == nullptr ? "no switches" : c.switches);
        write_file(dec() / "plan.txt", "my own plan");
        write_file(dec() / "notes.txt", "my notes");
        fs::remove_all(dec() / "elsewhere");
        const auto result =
            run_program({"out.qv", "x", "pw"}, dec(),
                        c.switches == nullptr ? options() : with(UNPACK, c.switches));
        EXPECT_EQ(result.output, DECRYPT_OK);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(c.plan_after));
        EXPECT_EQ(read_file(dec() / "notes.txt"), to_bytes("my notes"));
        if (c.extracted_to != nullptr) {
            EXPECT_EQ(read_file(dec() / c.extracted_to), to_bytes(plan_));
        }
        EXPECT_TRUE(leftovers(dec()).empty());
    }
}

TEST_F(ArchiverSwitchesTest, AWordThatIsNotASwitchStopsTheRunBeforeAnything) {
    encrypt_into_dec(options());
    write_file(dec() / "plan.txt", "my own plan");
    const struct {
        std::string variable;
        std::string value;
        std::string word;
    } cases[] = {
        {PACK, "-mx1 xyz", "xyz"}, {PACK, "--", "--"},          {PACK, "-mx1\t-", "-"},
        {PACK, "@list", "@list"},  {UNPACK, "-aos out", "out"}, {UNPACK, "-y -- -x", "--"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable + "=" + c.value);
        const std::string message =
            "Error! " + c.variable + " holds '" + c.word + "', which is not a switch.\n";
        if (c.variable == PACK) {
            const auto result =
                run_program({"plan.txt", "out.qv", "pw", "new.key"}, enc(), with(PACK, c.value));
            EXPECT_EQ(result.output, "Crypt run\n" + message);
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_FALSE(exists(enc() / "out.qv"));
            EXPECT_FALSE(exists(enc() / "new.key"));
            EXPECT_FALSE(exists(enc() / TEMP_ARCHIVE));
        } else {
            const auto result = run_program({"out.qv", "x", "pw"}, dec(), with(UNPACK, c.value));
            EXPECT_EQ(result.output, message);
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_FALSE(exists(dec() / TEMP_ARCHIVE));
            EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes("my own plan"));
        }
    }
}

// Each would undo a promise with the real archiver: -sdel deletes the input once packed (and
// a cipher stage that then fails, here on a full disk, leaves nothing), -v leaves plaintext
// volumes quorvelxxxfilo.7z.001..., -so puts the plaintext on standard output, -w makes the
// archive in another folder, -u...!NAME writes a second archive; a double quote, which 7-Zip
// on Windows reads as quoting, would move the boundaries of the words after it there (refused
// on every platform alike). Refused in any case of letters, before anything is made or read.
TEST_F(ArchiverSwitchesTest, SwitchesThatWouldDefeatTheRunAreRefusedBeforeAnything) {
    encrypt_into_dec(options());
    write_file(dec() / "plan.txt", "my own plan");
    write_file(enc() / "big.bin", random_bytes(300000, 91));
    const std::string work = (root() / "work").string();
    fs::create_directories(work);
    const std::vector<std::string> encrypt = {"plan.txt", "out.qv", "pw"};
    const std::vector<std::string> decrypt = {"out.qv", "x", "pw"};
    const std::string deletes = "delete the input";
    const std::string splits = "split the archive into volumes";
    const std::string streams = "pass the archive or its files through standard input or output";
    const std::string moves = "write the archive under another name or in another folder";
    const std::string shifts =
        "move where the archiver's arguments begin and end on Windows: a switch cannot hold a "
        "double quote";
    const struct {
        std::string variable;
        std::string value;
        std::vector<std::string> args;
        std::string word;
        std::string effect;
    } cases[] = {
        {PACK, "-sdel", {"plan.txt", "/dev/full", "pw"}, "-sdel", deletes},
        {PACK, "-mx1 -SDel", encrypt, "-SDel", deletes},
        {PACK, "-v100k", {"big.bin", "out.qv", "pw"}, "-v100k", splits},
        {PACK, "-V1m", encrypt, "-V1m", splits},
        {PACK, "-so", encrypt, "-so", streams},
        {PACK, "-si", encrypt, "-si", streams},
        {PACK, "-siplan.txt", encrypt, "-siplan.txt", streams},
        {PACK, "-sfx", encrypt, "-sfx", moves},
        {PACK, "-SFX7z.sfx", encrypt, "-SFX7z.sfx", moves},
        {PACK, "-saa", encrypt, "-saa", moves},
        {PACK, "-w" + work, encrypt, "-w" + work, moves},
        {PACK, "-W", encrypt, "-W", moves},
        {PACK, "-up0q0!../copy.7z", encrypt, "-up0q0!../copy.7z", moves},
        {PACK, "-x!\"*.bak", encrypt, "-x!\"*.bak", shifts},
        {PACK, "-mx1 -x!foo\"", encrypt, "-x!foo\"", shifts},
        {PACK, "-SDEL\"", encrypt, "-SDEL\"", shifts},
        {UNPACK, "-so", decrypt, "-so", streams},
        {UNPACK, "-aos -SO", decrypt, "-SO", streams},
        {UNPACK, "-si", decrypt, "-si", streams},
        {UNPACK, "-aos -o\"my folder\"", decrypt, "-o\"my", shifts},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable + "=" + c.value + " quorvel " + c.args[0] + " " + c.args[1]);
        const bool packing = c.variable == PACK;
        const auto folder = packing ? enc() : dec();
        const auto before = record_folder(root());
        const auto result = run_program(c.args, folder, with(c.variable, c.value));
        EXPECT_EQ(result.output, (packing ? "Crypt run\n" : "") + ("Error! " + c.variable) +
                                     " holds '" + c.word + "', which would " + c.effect + ".\n");
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(folder_changes(before, record_folder(root())), "");
    }
}

// Switches that only look like refused ones, and the ones that shape a new archive when they
// are given for extraction, where the archiver ignores them.
TEST_F(ArchiverSwitchesTest, LookAlikesAndPackingSwitchesForExtractionRoundTrip) {
    encrypt_into_dec(with(PACK, "-SAe -ssw -up1q1r2x1y2z1w2 -T7Z"));
    const auto decrypted =
        run_program({"out.qv", "x", "pw"}, dec(), with(UNPACK, "-sdel -v100k -sfx -w -saa"));
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(decrypted.exit_code, 0);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(plan_));
    EXPECT_TRUE(leftovers(dec()).empty());
}

// Only the variable of the run's own direction is read.
TEST_F(ArchiverSwitchesTest, TheOtherDirectionsVariableIsNotRead) {
    RunOptions run_options = with(UNPACK, "not-a-switch");
    encrypt_into_dec(run_options);
    run_options.environment = {{PACK, "not-a-switch"}};
    const auto decrypted = run_program({"out.qv", "x", "pw"}, dec(), run_options);
    EXPECT_EQ(decrypted.output, DECRYPT_OK);
    EXPECT_EQ(read_file(dec() / "plan.txt"), to_bytes(plan_));
}

}  // namespace
}  // namespace quorvel::test
