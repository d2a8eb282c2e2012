// The table generator run as the build runs it, on small data files: good data gives tables,
// every kind of bad data fails with a message naming the file and line, and leaves no output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Two good enumeration lists and the first lines of a good keys file (a block key and one
// presentation key in it); cases append or swap lines.
constexpr const char* kEnums =
    "# test lists\n"
    "list 0\n"
    "    1 \"True\"\n"
    "    0 \"False\"\n"
    "list 1\n"
    "    0 \"Dedicated pin \"\n";
constexpr const char* kHeader = "# key kind identifier struct aux base offset width c min max p\n";
constexpr const char* kBlock =  // line 2
    "0x0002 0 \"PSKEY_UART_PS_BLOCK\" 3 0 0x0000 0 0 0 0 0 1\n";
constexpr const char* kField =  // line 3
    "0x0005 2 \"PSKEY_UART_STOP_BITS\" 14 0 0x0002 16 1 4 1 0 0\n";

class Generator : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "psdb_gen_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(mDir, ignored);
    }

    // Runs the generator on the given files (a missing one is not written) and returns its
    // exit status; its messages are in mOutput.
    int Run(const std::optional<std::string>& keys, const std::optional<std::string>& enums) {
        if (keys) {
            std::ofstream(mDir / "keys.txt") << *keys;
        }
        if (enums) {
            std::ofstream(mDir / "enums.txt") << *enums;
        }
        const std::string command =
            std::string("'") + KEYWARD_PSDB_GEN + "' '" + (mDir / "keys.txt").string() + "' '" +
            (mDir / "enums.txt").string() + "' '" + Output().string() + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot run " << command;
            return -1;
        }
        mOutput.clear();
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            mOutput.append(buffer, n);
        }
        const int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path Output() const { return mDir / "tables.cpp"; }

    std::string ReadOutput() const {
        std::ifstream in(Output());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path mDir;
    std::string mOutput;
};

TEST_F(Generator, WritesTablesFromGoodData) {
    ASSERT_EQ(Run(std::string(kHeader) + kBlock + kField, kEnums), 0) << mOutput;
    EXPECT_EQ(mOutput, "");
    const std::string tables = ReadOutput();
    EXPECT_THAT(tables, HasSubstr("{0x0002, 0, L\"PSKEY_UART_PS_BLOCK\", L\"UART PS block\", 3, "
                                  "0, 0x0000, 0, 0, 0, 0, 0u, 1, kDescriptions + 0}"));
    EXPECT_THAT(tables, HasSubstr("{0x0005, 2, L\"PSKEY_UART_STOP_BITS\", L\"UART stop bits\", 14, "
                                  "0, 0x0002, 16, 1, 4, 1, 0u, 0, kDescriptions + "));
    EXPECT_THAT(tables, HasSubstr("{L\"Dedicated pin \", 0}"));
    EXPECT_THAT(tables, HasSubstr("0 = Dedicated pin."));
    EXPECT_THAT(tables, HasSubstr("PSKEY_UART_STOP_BITS (0x0005, bit 0 of word 1)"));
    EXPECT_FALSE(fs::exists(Output().string() + ".tmp"));
}

TEST_F(Generator, KeepsTextsAndExtremeValuesExactly) {
    const std::string keys = std::string(kHeader) + kBlock +
                             "0xFFFF 0 \"PSKEY_EDGE\" 25 0 0x0000 0 0 1 -2147483648 0x7FFFFFFF 0\n";
    const std::string enums = "list 0\n  7 \"say \\\"hi\\\" \\\\ bye\"\n  -2147483648 \"low\"\n";
    ASSERT_EQ(Run(keys, enums), 0) << mOutput;
    const std::string tables = ReadOutput();
    EXPECT_THAT(tables, HasSubstr("{L\"say \\\"hi\\\" \\\\ bye\", 7}"));
    EXPECT_THAT(tables, HasSubstr("{L\"low\", (-2147483647 - 1)}"));
    EXPECT_THAT(tables, HasSubstr("{0xFFFF, 0, L\"PSKEY_EDGE\", L\"Edge\", 25, 0, 0x0000, 0, 0, 1, "
                                  "(-2147483647 - 1), 2147483647u, 0, "));
}

struct BadCase {
    const char* name;
    std::string keys;
    std::string enums;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class GeneratorRejects : public Generator, public ::testing::WithParamInterface<BadCase> {};

TEST_P(GeneratorRejects, BadDataWithTheLineAndWritesNothing) {
    const BadCase& c = GetParam();
    std::ofstream(Output()) << "previous tables";
    EXPECT_EQ(Run(c.keys, c.enums), 1);
    EXPECT_THAT(mOutput, HasSubstr(c.message));
    EXPECT_THAT(mOutput, HasSubstr("no tables written"));
    EXPECT_EQ(ReadOutput(), "previous tables");
    EXPECT_FALSE(fs::exists(Output().string() + ".tmp"));
}

const std::string kGood = std::string(kHeader) + kBlock + kField;

INSTANTIATE_TEST_SUITE_P(
    Keys, GeneratorRejects,
    ::testing::Values(
        BadCase{"DuplicateKey", kGood + "0x0002 0 \"PSKEY_OTHER\" 41 0 0x0000 0 0 0 0 0 0\n",
                kEnums, "keys.txt:4: duplicate key number 0x0002 (first on line 2)"},
        BadCase{"DuplicateIdentifier",
                kGood + "0x0009 0 \"PSKEY_UART_PS_BLOCK\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: duplicate identifier \"PSKEY_UART_PS_BLOCK\" (first on line 2)"},
        BadCase{"ListIndexOutOfRange", kGood + "0x0009 0 \"PSKEY_FLAG\" 14 0 0x0000 0 0 4 2 0 0\n",
                kEnums,
                "keys.txt:4: constraint 4 (enumeration) names list 2, but the enumeration "
                "lists run from 0 to 1"},
        BadCase{"NegativeListIndex", kGood + "0x0009 0 \"PSKEY_FLAG\" 14 0 0x0000 0 0 4 -1 0 0\n",
                kEnums, "keys.txt:4: constraint 4 (enumeration) names list -1"},
        BadCase{"PresentationKeyWithoutBase",
                kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0000 0 4 0 0 0 0\n", kEnums,
                "keys.txt:4: a presentation key (kind 2) needs a base key"},
        BadCase{"OrdinaryKeyWithBase", kGood + "0x0009 0 \"PSKEY_PLAIN\" 41 0 0x0002 0 0 0 0 0 0\n",
                kEnums,
                "keys.txt:4: an ordinary key (kind 0) takes base 0x0000, offset 0 and width 0"},
        BadCase{"KindOne", kGood + "0x0009 1 \"PSKEY_ODD\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: kind must be 0 (ordinary) or 2 (presentation), found 1"},
        BadCase{"BaseKeyMissing", kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0077 0 4 0 0 0 0\n",
                kEnums, "keys.txt:4: base key 0x0077 is not in the database"},
        BadCase{"BaseKeyIsPresentation",
                kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0005 0 1 0 0 0 0\n", kEnums,
                "keys.txt:4: base key 0x0005 is itself a presentation key"},
        BadCase{"FieldCrossesWord", kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0002 12 8 0 0 0 0\n",
                kEnums, "keys.txt:4: a field of width 8 at bit offset 12 crosses a word boundary"},
        BadCase{"FieldBeyondBaseValue",
                kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0002 64 4 0 0 0 0\n", kEnums,
                "keys.txt:4: the field starts in word 4, but the base key's structure 3 holds "
                "4 word(s)"},
        BadCase{"PresentationKeyOfSeveralWords",
                kGood + "0x0009 2 \"PSKEY_FIELD\" 43 0 0x0002 0 4 0 0 0 0\n", kEnums,
                "keys.txt:4: a presentation key holds one word, but structure 43 is not a "
                "one-word structure"},
        BadCase{"WidthTooLarge", kGood + "0x0009 2 \"PSKEY_FIELD\" 41 0 0x0002 0 17 0 0 0 0\n",
                kEnums, "keys.txt:4: width must be a number from 0 to 16, found \"17\""},
        BadCase{"UnknownStructure", kGood + "0x0009 0 \"PSKEY_PLAIN\" 53 0 0x0000 0 0 0 0 0 0\n",
                kEnums, "keys.txt:4: struct must be a number from 0 to 52, found \"53\""},
        BadCase{"KeyZero", kGood + "0 0 \"PSKEY_PLAIN\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: key must be a number from 1 to 65535, found \"0\""},
        BadCase{"ReservedKey", kGood + "0xFF00 0 \"PSKEY_PLAIN\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: key number 0xFF00 is reserved"},
        BadCase{"NotANumber", kGood + "0x0009 0 \"PSKEY_PLAIN\" 4x1 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: struct must be a number from 0 to 52, found \"4x1\""},
        BadCase{"MissingField", kGood + "0x0009 0 \"PSKEY_PLAIN\" 41 0 0x0000 0 0 0 0 0\n", kEnums,
                "keys.txt:4: expected 12 fields"},
        BadCase{"UnquotedIdentifier", kGood + "0x0009 0 PSKEY_PLAIN 41 0 0x0000 0 0 0 0 0 0\n",
                kEnums, "keys.txt:4: identifier must be in double quotes, found PSKEY_PLAIN"},
        BadCase{"IdentifierWithoutPrefix",
                kGood + "0x0009 0 \"UART_PLAIN\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: identifier \"UART_PLAIN\" must begin with PSKEY_"},
        BadCase{"IdentifierWithInnerBlank",
                kGood + "0x0009 0 \"PSKEY_PL AIN\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: identifier \"PSKEY_PL AIN\" may hold only capital letters"},
        BadCase{"IdentifierInLowerCase",
                kGood + "0x0009 0 \"PSKEY_plain\" 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: identifier \"PSKEY_plain\" may hold only capital letters"},
        BadCase{"IdentifierOnlyPrefix", kGood + "0x0009 0 \"PSKEY_ \" 41 0 0x0000 0 0 0 0 0 0\n",
                kEnums, "keys.txt:4: identifier \"PSKEY_ \" must begin with PSKEY_"},
        BadCase{"UnclosedQuote", kGood + "0x0009 0 \"PSKEY_PLAIN 41 0 0x0000 0 0 0 0 0 0\n", kEnums,
                "keys.txt:4: text in double quotes is not closed"},
        BadCase{"NonAsciiText", kGood + "0x0009 0 \"PSKEY_PL\xC3\x84IN\" 41 0 0x0000 0 0 0 0 0 0\n",
                kEnums, "keys.txt:4: only printable ASCII characters are allowed"},
        BadCase{"RangeUpsideDown", kGood + "0x0009 0 \"PSKEY_PLAIN\" 41 0 0x0000 0 0 1 5 4 0\n",
                kEnums, "keys.txt:4: constraint 1 (range): minimum 5 is above maximum 4"},
        BadCase{"SignedRangeUpsideDown",
                kGood + "0x0009 0 \"PSKEY_PLAIN\" 25 0 0x0000 0 0 1 -8 0xFFFFFFF0 0\n", kEnums,
                "keys.txt:4: constraint 1 (range): minimum -8 is above maximum 4294967280"},
        BadCase{"BoundsWithoutConstraint",
                kGood + "0x0009 0 \"PSKEY_PLAIN\" 41 0 0x0000 0 0 0 0 9 0\n", kEnums,
                "keys.txt:4: constraint 0 (none) takes minimum 0 and maximum 0"},
        BadCase{"NoRecords", std::string(kHeader), kEnums, "keys.txt: holds no records"},
        BadCase{"EmptyFile", "", kEnums, "keys.txt: holds no records"}));

INSTANTIATE_TEST_SUITE_P(
    Enums, GeneratorRejects,
    ::testing::Values(
        BadCase{"ListGap", kGood, std::string(kEnums) + "list 3\n 1 \"One\"\n",
                "enums.txt:7: lists are numbered 0, 1, 2, ... without gaps: expected list 2, "
                "found list 3"},
        BadCase{"EmptyList", kGood, std::string(kEnums) + "list 2\n",
                "enums.txt:7: list 2 holds no enumerators"},
        BadCase{"EnumeratorBeforeList", kGood, "1 \"True\"\n" + std::string(kEnums),
                "enums.txt:1: enumerator before the first \"list N\" line"},
        BadCase{"EnumeratorValueTooLarge", kGood, std::string(kEnums) + " 2147483648 \"Big\"\n",
                "enums.txt:7: enumerator value must be a signed 32-bit number"},
        BadCase{"EnumeratorWithoutText", kGood, std::string(kEnums) + " 5\n",
                "enums.txt:7: expected an enumerator: VALUE \"TEXT\""},
        BadCase{"EmptyText", kGood, std::string(kEnums) + " 5 \"\"\n",
                "enums.txt:7: enumerator text is empty"},
        BadCase{"BadEscape", kGood, std::string(kEnums) + " 5 \"a\\tb\"\n",
                "enums.txt:7: a backslash in quotes must be followed by"}));

TEST_F(Generator, ReportsAMissingFileByName) {
    EXPECT_EQ(Run(kGood, std::nullopt), 1);
    EXPECT_THAT(mOutput, HasSubstr("enums.txt: cannot open: No such file or directory"));
    EXPECT_FALSE(fs::exists(Output()));

    fs::remove(mDir / "keys.txt");
    EXPECT_EQ(Run(std::nullopt, kEnums), 1);
    EXPECT_THAT(mOutput, HasSubstr("keys.txt: cannot open: No such file or directory"));
    EXPECT_FALSE(fs::exists(Output()));
}

TEST_F(Generator, ReportsEveryFaultNotOnlyTheFirst) {
    const std::string keys = kGood + "0x0002 0 \"PSKEY_A\" 41 0 0x0000 0 0 0 0 0 0\n" +
                             "0x0009 0 \"PSKEY_B\" 41 0 0x0000 0 0 4 9 0 0\n";
    EXPECT_EQ(Run(keys, kEnums), 1);
    EXPECT_THAT(mOutput, HasSubstr("keys.txt:4: duplicate key number 0x0002"));
    EXPECT_THAT(mOutput, HasSubstr("keys.txt:5: constraint 4 (enumeration) names list 9"));
    EXPECT_THAT(mOutput, HasSubstr("has 2 fault(s)"));
}

}  // namespace
