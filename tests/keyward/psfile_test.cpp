// PS files and command streams through CKeyWarder on a simulated chip: the line syntax, query
// mode, the answers of the error handler, dumps byte for byte and the round trips.
#include "support.h"
#include "tempdir.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace {

using keyward_test::ChipTest;
using keyward_test::ReadFile;
using keyward_test::Report;
using keyward_test::TempDir;
using keyward_test::WriteFile;
using kvcmdsim::STORE_FACTORY;
using kvcmdsim::STORE_IMPLEMENTATION;
using Words = std::vector<uint16_t>;

constexpr uint16_t kBdaddr = 0x0001;
constexpr uint16_t kLocalName = 0x00DC;
constexpr uint16_t kUartBlock = 0x0191;     // PSKEY_HOSTIO_UART_PS_BLOCK
constexpr uint16_t kUartBaudrate = 0x01BE;  // enumeration list 5
constexpr uint16_t kUsbForce = 0x01F3;      // identifier stored with a trailing blank
constexpr uint16_t kHostInterface = 0x01F9;
constexpr uint16_t kUartConfig = 0x0205;  // presentation key: bits 16 to 31 of 0x0191
constexpr uint16_t kUsr0 = 0x028A;
constexpr uint16_t kUsr1 = 0x028B;
constexpr uint16_t kNotInDatabase = 0x0206;

// Opens the protected line interpreter to the tests.
class StreamKeys : public CKeyWarder {
  public:
    using CKeyWarder::perform_operation;
    using CKeyWarder::RunCommandStream;
};

std::wstring Label(uint16_t key) {
    return CKeyWarder::GetKeyDetails(key)->label;
}

class PsFile : public ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        Open();
        stream.SetServer(server.get());
    }

    // Runs `text` as a command stream; query answers go to `output`.
    bool Run(const std::string& text, FileFormat format = PS_FILE_PLAIN) {
        std::istringstream input(text);
        output.str("");
        return stream.RunCommandStream(input, output, format);
    }
    std::optional<Words> Stored(uint16_t key) { return chip->ReadKey(key); }
    // PS set requests received since the last Open or ResetCounters (the log keeps 256).
    int Writes() {
        int writes = 0;
        for (const auto& request : chip->RequestLog()) {
            const auto words = keyward_test::Words(request);
            writes += words[3] == KVCMD_PS_PDU::VARID && words[0] == KVCMD_PDU::TYPE_SET_REQ;
        }
        return writes;
    }
    std::vector<Report> Errors() const {
        std::vector<Report> errors;
        for (const Report& r : handler.reports) {
            if (r.type != -1) {
                errors.push_back(r);
            }
        }
        return errors;
    }
    std::vector<std::wstring> Progress() const {
        std::vector<std::wstring> notes;
        for (const Report& r : handler.reports) {
            if (r.type == -1) {
                notes.push_back(r.text);
            }
        }
        return notes;
    }
    // A chip with keys of every kind a dump writes.
    void FillChip() {
        chip->SetKey(STORE_IMPLEMENTATION, kBdaddr, {0x0078, 0x9abc, 0x0056, 0x1234});
        chip->SetKey(STORE_IMPLEMENTATION, kUartBaudrate, {0x001f});
        chip->SetKey(STORE_IMPLEMENTATION, kUsbForce, {0x0001});
        chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {0x0003});
        chip->SetKey(STORE_IMPLEMENTATION, kUsr0, {});
        chip->SetKey(STORE_FACTORY, kUsr1, {0xbeef, 0x0001});
        chip->SetKey(STORE_IMPLEMENTATION, 0x9999, {0x0001});  // unknown to the database
        ASSERT_TRUE(server->open());                           // the key list now holds 0x9999 too
        handler.reports.clear();
    }

    StreamKeys stream;
    std::ostringstream output;
    TempDir dir;
};

// ---------------------------------------------------------------- line syntax

TEST_F(PsFile, AcceptedLineShapesSetTheirWords) {
    EXPECT_TRUE(Run("&01f9 = 3\n"));
    EXPECT_EQ(Stored(kHostInterface), Words{3});
    EXPECT_TRUE(Run("&1F9=0004\n"));
    EXPECT_EQ(Stored(kHostInterface), Words{4});
    EXPECT_TRUE(Run("&000001f9\t=\t5 ; leading zeros do not make a key too long\n"));
    EXPECT_EQ(Stored(kHostInterface), Words{5});

    const Words address{0x0078, 0x9abc, 0x0056, 0x1234};
    EXPECT_TRUE(Run("&0001 = 0078 9abc 0056 1234 // address\n"));
    EXPECT_EQ(Stored(kBdaddr), address);
    chip->EraseKey(STORE_IMPLEMENTATION, kBdaddr);
    EXPECT_TRUE(Run("&0001 = 00789abc00561234\n"));
    EXPECT_EQ(Stored(kBdaddr), address);
    EXPECT_TRUE(Run("&028a = 12345# a fifth digit starts a word\n"));
    EXPECT_EQ(Stored(kUsr0), (Words{0x1234, 0x0005}));
    EXPECT_TRUE(Run("&028a =;empty data\n"));
    EXPECT_EQ(Stored(kUsr0), Words{});
    EXPECT_TRUE(Errors().empty()) << Errors()[0].text;
}

TEST_F(PsFile, CommentsBlankLinesAndLineEndsAreSkipped) {
    EXPECT_TRUE(Run("# comment\n; comment\n  // comment\n\n \t \n&01f9 = 2\r\n&028a = 7"));
    EXPECT_EQ(Stored(kHostInterface), Words{2});
    EXPECT_EQ(Stored(kUsr0), Words{7});  // the last line needs no line end
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PsFile, RejectedLinesAreReportedWithTheirNumberAndStopTheStream) {
    const struct {
        const char* line;
        const wchar_t* message;
    } cases[] = {
        {"&01f9 3", L"invalid operator"},
        {"&01f9 # comment", L"invalid operator"},
        {"&01f9", L"missing operator"},
        {"&01f9   \t", L"missing operator"},
        {"&0 = 1", L"invalid key"},
        {"&10000 = 1", L"invalid key"},
        // A number that does not fit in 16 bits names no key; cut to its low bits it would
        // change another one (0003, 01f9).
        {"&10003 = 7", L"invalid key"},
        {"&ffff01f9 = 5", L"invalid key"},
        {"?101f9 =", L"invalid key"},
        {"& 01f9 = 1", L"invalid key"},
        {"?x = 1", L"invalid key"},
        {"&01f9 = 3 x", L"non-comment text at end of line"},
        {"&01f9 = 3 / x", L"non-comment text at end of line"},
        {"&01f9 = 12345g", L"non-comment text at end of line"},
        {"&01f9 = 12\xe9", L"non-comment text at end of line"},
        {"&01f\xc9 = 1", L"invalid operator"},
        {"&01f9 = 3 \"x", L"non-comment text at end of line"},
        {"x", L"line is not an operation or a comment"},
        {"/ single slash", L"line is not an operation or a comment"},
        {"01f9 = 3", L"line is not an operation or a comment"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        handler.reports.clear();
        chip->ClearStore(STORE_IMPLEMENTATION);
        EXPECT_FALSE(Run(std::string("&028a = 1\n# two\n") + c.line + "\n&01f9 = 7\n"));
        EXPECT_EQ(Stored(kUsr0), Words{1});                // lines before the error stay applied
        EXPECT_FALSE(Stored(kHostInterface).has_value());  // lines after it are not run
        const auto errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text, std::wstring(L"Error on line 3 - ") + c.message);
        EXPECT_EQ(errors[0].caption, L"Error");
        EXPECT_EQ(errors[0].code, 3);
        EXPECT_EQ(errors[0].type, 0);
    }
}

TEST_F(PsFile, QuotedDataIsOneSignExtendedWordPerCharacter) {
    EXPECT_TRUE(Run("&00dc = \"Abc\n"));
    EXPECT_EQ(Stored(kLocalName), (Words{0x0041, 0x0062, 0x0063}));
    // Everything after the quote counts, a closing quote, blanks and comment characters too.
    EXPECT_TRUE(Run("&028a =\"a\" #\xe9\n"));
    EXPECT_EQ(Stored(kUsr0), (Words{0x0061, 0x0022, 0x0020, 0x0023, 0xffe9}));
    EXPECT_TRUE(Run("&028a = \"\n"));
    EXPECT_EQ(Stored(kUsr0), Words{});
}

TEST_F(PsFile, LinesLongerThanTheLimitAreReportedAndNotApplied) {
    // 1999 characters: accepted whole (498 words, the last of three digits).
    const std::string longest = "&028a = " + std::string(1991, '1');
    ASSERT_EQ(longest.size(), 1999u);
    EXPECT_TRUE(Run(longest + "\n&01f9 = 1\n"));
    ASSERT_TRUE(Stored(kUsr0).has_value());
    EXPECT_EQ(Stored(kUsr0)->size(), 498u);
    EXPECT_EQ(Stored(kUsr0)->back(), 0x0111);
    EXPECT_EQ(Stored(kHostInterface), Words{1});

    // A longer line that is not a whole key line: nothing of it is written and the stream ends.
    const std::string digits(2100, '2');
    for (const std::string& line : {"# " + digits, "&028b + " + digits, "&028b ~ " + digits,
                                    "&028b = " + digits + " x", "?028b = " + digits}) {
        SCOPED_TRACE(line.substr(0, 8));
        handler.reports.clear();
        EXPECT_FALSE(Run("&01f9 = 2\n" + line + "\n&01f9 = 3\n"));
        EXPECT_FALSE(Stored(kUsr1).has_value());
        EXPECT_EQ(Stored(kHostInterface), Words{2});
        const auto errors = Errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].text, L"Error on line 2 - line is longer than 1999 characters");
    }
    // A long key line cut off by the end of the file may be a part of a longer value.
    handler.reports.clear();
    EXPECT_FALSE(Run("&028b = " + digits));
    EXPECT_FALSE(Stored(kUsr1).has_value());
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].text, L"Error on line 1 - line is longer than 1999 characters");
}

TEST_F(PsFile, LongKeyLinesAreReadWhole) {
    EXPECT_TRUE(Run("&01f9 = 2\n&028b = " + std::string(1992, '2') + "\r\n&01f9 = 3\n"));
    EXPECT_EQ(Stored(kUsr1), Words(498, 0x2222));
    EXPECT_EQ(Stored(kHostInterface), Words{3});

    // With blanks and a trailing comment, as an annotated dump writes them.
    std::string line = "&028a =";
    for (int i = 0; i < 3000; ++i) {
        line += " " + std::to_string(1000 + i % 9000);
    }
    EXPECT_TRUE(Run(line + "// words\n"));
    ASSERT_TRUE(Stored(kUsr0).has_value());
    EXPECT_EQ(Stored(kUsr0)->size(), 3000u);
    EXPECT_EQ(Stored(kUsr0)->at(2999), 0x3999);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PsFile, BytesThatAreNotTextStopAtTheFirstLine) {
    EXPECT_FALSE(
        Run(std::string("\x7f"
                        "ELF\x02\x01\x01\0\0\0&01f9 = 3\n",
                        17)));
    EXPECT_FALSE(Run(std::string("&01f9 = 3\0\n", 11)));
    EXPECT_FALSE(Stored(kHostInterface).has_value());
    const auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].text, L"Error on line 1 - line is not an operation or a comment");
    EXPECT_EQ(errors[1].text, L"Error on line 1 - non-comment text at end of line");
}

// ---------------------------------------------------------------- applied operations

TEST_F(PsFile, AddAndUpdateDependOnAValueBeingThere) {
    EXPECT_TRUE(Run("&028a ~ 1\n&028b + 2\n"));
    EXPECT_FALSE(Stored(kUsr0).has_value());  // update: no value, nothing to do
    EXPECT_EQ(Stored(kUsr1), Words{2});       // add: no value, so added
    EXPECT_TRUE(Run("&028b + 3\n&028b ~ 4\n"));
    EXPECT_EQ(Stored(kUsr1), Words{4});
    EXPECT_EQ(Progress().size(), 4u);  // skipped lines count as done
}

TEST_F(PsFile, DeleteRemovesOneKeyAndFf00RestoresTheFactoryValues) {
    chip->SetKey(STORE_FACTORY, kHostInterface, {1});
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    chip->SetKey(STORE_IMPLEMENTATION, kUsr0, {5});
    chip->SetKey(STORE_IMPLEMENTATION, kUsr1, {6});
    EXPECT_TRUE(Run("&028a - 1 2 3 # data after '-' is ignored\n"));
    EXPECT_FALSE(Stored(kUsr0).has_value());
    EXPECT_EQ(Stored(kUsr1), Words{6});

    EXPECT_TRUE(Run("&ff00 -\n"));
    EXPECT_EQ(Stored(kHostInterface), Words{1});
    EXPECT_FALSE(Stored(kUsr1).has_value());
    EXPECT_EQ(chip->RequestCount(KVCMD_PS_FACTORY_RESTORE_ALL_PDU::VARID), 1u);
    EXPECT_EQ(Progress().back(), L"Altered key 65280, Unknown key");
}

TEST_F(PsFile, AppliedLinesAreReportedAsProgress) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    EXPECT_TRUE(Run("&01f9 = 3\n"));
    EXPECT_EQ(Writes(), 0);  // equal: nothing written, yet reported as done
    ASSERT_EQ(handler.reports.size(), 1u);
    EXPECT_EQ(handler.reports[0].text, L"Altered key 505, " + Label(kHostInterface));
    EXPECT_EQ(handler.reports[0].caption, L"Operation performed");
    EXPECT_EQ(handler.reports[0].code, 0);

    // The chip refuses a key its firmware does not know; the server reports that, and with the
    // handler letting it pass the line counts as done.
    EXPECT_TRUE(Run("&9999 = 1\n"));
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].caption, L"Communication error");
    EXPECT_EQ(Progress().back(), L"Altered key 39321, Unknown key");
}

TEST_F(PsFile, TheHandlersAnswerStopsRepeatsOrAcceptsAFailedLine) {
    // A presentation key whose base key has no value cannot be set.
    const std::wstring cannot =
        L"Cannot set this presentation key because the base key (0x0191) "
        L"is not set";
    const std::wstring failed = L"Failed to update key 0x0205, " + Label(kUartConfig);

    // 0: reported, and the stream goes on.
    EXPECT_TRUE(Run("&0205 = 00a8\n&01f9 = 1\n"));
    ASSERT_EQ(Errors().size(), 2u);
    EXPECT_EQ(Errors()[0].text, cannot);
    EXPECT_EQ(Errors()[1].text, failed);
    EXPECT_EQ(Errors()[1].caption, L"Error");
    EXPECT_EQ(Stored(kHostInterface), Words{1});

    // 1: the stream stops.
    handler.reports.clear();
    handler.reply = KVCMD_RESPONSE_ABORT;
    EXPECT_FALSE(Run("&0205 = 00a8\n&01f9 = 2\n"));
    EXPECT_EQ(Stored(kHostInterface), Words{1});

    // 2: the line is repeated; here the base key has been given a value meanwhile.
    handler.reports.clear();
    handler.answerFor = [this, &failed](const Report& r) {
        if (r.text == failed) {
            chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
            return KVCMD_RESPONSE_RETRY;
        }
        return KVCMD_RESPONSE_NONE;
    };
    EXPECT_TRUE(Run("&0205 = 00a8\n&01f9 = 3\n"));
    EXPECT_EQ(chip->ReadKey(kUartBlock).value()[1], 0x00a8);
    EXPECT_EQ(Stored(kHostInterface), Words{3});
    EXPECT_EQ(Progress().front(), L"Altered key 517, " + Label(kUartConfig));

    // 4: the failure counts as success.
    chip->EraseKey(STORE_IMPLEMENTATION, kUartBlock);
    handler.reports.clear();
    handler.answerFor = nullptr;
    handler.reply = KVCMD_RESPONSE_ACCEPT;
    EXPECT_TRUE(Run("&0205 = 00a8\n"));
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Errors()[0].text, cannot);
    EXPECT_EQ(Progress().size(), 1u);
}

TEST_F(PsFile, ACancelStopsTheStreamBetweenLines) {
    handler.answerFor = [this](const Report& r) {
        if (r.type == -1) {
            server->do_cancel();
        }
        return KVCMD_RESPONSE_NONE;
    };
    EXPECT_FALSE(Run("&028a = 1\n&028b = 2\n"));
    EXPECT_EQ(Stored(kUsr0), Words{1});
    EXPECT_FALSE(Stored(kUsr1).has_value());
}

// ---------------------------------------------------------------- queries

TEST_F(PsFile, QueryModeStartsAtTheFirstQuestionMarkAndChangesNothing) {
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {0, 0x00a8, 0, 0, 0, 0, 0, 0, 0, 0});
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    chip->ResetCounters();
    EXPECT_TRUE(Run("&028a = 5\n?0205 =\n&0206 =\n&028a = 6\n&01f9 -\n"));
    EXPECT_EQ(output.str(), "&0205 = 00a8\n&0206 -\n&028a = 0005\n");
    EXPECT_EQ(Stored(kUsr0), Words{5});  // applied before the first query only
    EXPECT_EQ(Stored(kHostInterface), Words{3});
    EXPECT_EQ(Writes(), 1);
}

// Takes nothing, as a full disk would.
class FullBuffer : public std::streambuf {
  protected:
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    int_type overflow(int_type) override { return traits_type::eof(); }
};

// Counts the flushes it is asked for.
class CountingBuffer : public std::stringbuf {
  public:
    int syncs = 0;

  protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

TEST_F(PsFile, AnswersGoStraightToTheBufferAndAFailedWriteLeavesTheStreamBad) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    std::istringstream input("?01f9 =\n?01f9 =\n");
    FullBuffer full;
    std::ostream refused(&full);
    stream.RunCommandStream(input, refused, PS_FILE_PLAIN);
    EXPECT_TRUE(refused.bad()) << "a line the buffer refused is not taken for written";

    // A stream tied to another flushes that one first, as write does.
    CountingBuffer firstBuffer;
    std::ostream first(&firstBuffer);
    std::ostringstream answers;
    answers.tie(&first);
    std::istringstream again("?01f9 =\n?01f9 =\n");
    stream.RunCommandStream(again, answers, PS_FILE_PLAIN);
    EXPECT_EQ(answers.str(), "&01f9 = 0003\n&01f9 = 0003\n");
    EXPECT_TRUE(answers.good());
    EXPECT_GE(firstBuffer.syncs, 2) << "the tied stream is flushed before each line";
}

TEST_F(PsFile, QueryAddAndUpdateAnswerOnlyKeysOfTheDatabase) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    chip->SetKey(STORE_IMPLEMENTATION, 0x9999, {1});
    ASSERT_TRUE(server->open());
    EXPECT_TRUE(Run("?01f9 +\n?028a +\n?9999 +\n?9999 =\n"));
    EXPECT_EQ(output.str(), "&01f9 = 0003\n&9999 = 0001\n");
    EXPECT_TRUE(Run("?01f9 ~ 3\n?01f9 ~ 3 3\n?01f9 ~ 4\n?9999 ~ 2\n?028a ~ 1\n"));
    EXPECT_EQ(output.str(), "&01f9 = 0003\n&01f9 = 0003\n");
}

TEST_F(PsFile, AnnotatedQueryAnswers) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {3});
    EXPECT_TRUE(Run("?01f9 =\n?0206 =\n?028a =\n", PS_FILE_ANNOTATED));
    EXPECT_EQ(output.str(),
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0003// UART link running H4\n"
              "&0206 - // Delete\n"
              "// PSKEY_USR0\n&028a - // Delete\n");
}

// ---------------------------------------------------------------- dumps and files

TEST_F(PsFile, PlainDumpByteForByte) {
    FillChip();
    ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "plain.ps").c_str(), PS_FILE_PLAIN));
    EXPECT_EQ(ReadFile(dir / "plain.ps"),
              "&0001 = 0078 9abc 0056 1234\n"
              "&01be = 001f\n"
              "&01f3 = 0001\n"
              "&01f9 = 0003\n"
              "&028a = \n"
              "&028b = beef 0001\n"
              "&9999 = 0001\n");
    const auto notes = Progress();
    ASSERT_EQ(notes.size(), 7u);
    EXPECT_EQ(notes[0], L"Dumped key 1, " + Label(kBdaddr));
    EXPECT_EQ(notes[6], L"Dumped key 39321, Unknown key");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PsFile, AnnotatedDumpByteForByte) {
    FillChip();
    ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "annotated.ps").c_str(), PS_FILE_ANNOTATED));
    EXPECT_EQ(ReadFile(dir / "annotated.ps"),
              "// PSKEY_BDADDR\n&0001 = 0078 9abc 0056 1234\n"
              "// PSKEY_UART_BAUDRATE\n&01be = 001f// Unrecognised value 1f\n"
              "// PSKEY_USB_FORCE_ENABLE_HARDWARE \n&01f3 = 0001// Enabled\n"
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0003// UART link running H4\n"
              "// PSKEY_USR0\n&028a = \n"
              "// PSKEY_USR1\n&028b = beef 0001\n"
              "&9999 = 0001\n");
}

TEST_F(PsFile, ALongKeyIsDumpedWhole) {
    Words value(300);
    std::string line = "// PSKEY_USR0\n&028a =";
    for (uint16_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<uint16_t>(0x1000 + i);
        char word[8];
        std::snprintf(word, sizeof word, " %04x", value[i]);
        line += word;
    }
    chip->SetKey(STORE_IMPLEMENTATION, kUsr0, value);
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {0x0003});
    ASSERT_TRUE(server->open());
    ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "long.ps").c_str(), PS_FILE_ANNOTATED));
    EXPECT_EQ(ReadFile(dir / "long.ps"),
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0003// UART link running H4\n" + line + "\n");
}

TEST_F(PsFile, ADumpAppliedToTheSameChipWritesNothing) {
    FillChip();
    for (FileFormat format : {PS_FILE_PLAIN, PS_FILE_ANNOTATED}) {
        const std::wstring path = keyward::Widen(dir / "dump.ps");
        ASSERT_TRUE(keys.dump_ps(path.c_str(), format));
        chip->ResetCounters();
        EXPECT_TRUE(keys.apply_file(path.c_str()));
        EXPECT_EQ(Writes(), 0);
    }
    // Unless the server asks for every write to be made.
    chip->SetVar("SPIDEBUG_REPRODUCIBLE", "on");
    chip->ResetCounters();
    const std::wstring path = keyward::Widen(dir / "dump.ps");
    EXPECT_TRUE(keys.apply_file(path.c_str()));
    EXPECT_EQ(Writes(), 7);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PsFile, ADumpAppliedToABlankChipDumpsTheSame) {
    FillChip();
    for (FileFormat format : {PS_FILE_PLAIN, PS_FILE_ANNOTATED}) {
        SCOPED_TRACE(format);
        ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "first.ps").c_str(), format));

        auto blank = std::make_shared<kvcmdsim::SimChip>();
        blank->AddFirmwareKeys({0x9999, 0x9999});
        PsKvcmd other(new kvcmdsim::SimTransport(blank));
        other.set_error_handler(&handler);
        CKeyWarder copy(&other);
        ASSERT_TRUE(copy.apply_file(keyward::Widen(dir / "first.ps").c_str()));
        ASSERT_TRUE(copy.dump_ps(keyward::Widen(dir / "second.ps").c_str(), format));
        EXPECT_EQ(ReadFile(dir / "second.ps"), ReadFile(dir / "first.ps"));
    }
    EXPECT_TRUE(Errors().empty());
}

TEST_F(PsFile, EveryKeyTheChipCanHoldRoundTripsThroughDumpAndApply) {
    // The longest value a chip can carry is its largest PDU less the 8 words of the header.
    chip->SetMaxPduWords(0xFFFF);
    const std::map<uint16_t, uint16_t> lengths = {
        {kBdaddr, 399}, {kUartBaudrate, 2000}, {kUsr0, 4088}, {kUsr1, 0xFFF7}};
    for (const auto& [key, length] : lengths) {
        Words value(length);
        for (uint16_t i = 0; i < length; ++i) {
            value[i] = static_cast<uint16_t>(key + 7 * i);
        }
        chip->SetKey(STORE_IMPLEMENTATION, key, value);
    }
    ASSERT_TRUE(server->open());
    for (FileFormat format : {PS_FILE_PLAIN, PS_FILE_ANNOTATED}) {
        SCOPED_TRACE(format);
        const std::wstring path = keyward::Widen(dir / "long.ps");
        ASSERT_TRUE(keys.dump_ps(path.c_str(), format));

        chip->ResetCounters();
        EXPECT_TRUE(keys.apply_file(path.c_str()));
        EXPECT_EQ(Writes(), 0) << "the same chip is given back as it is";

        auto blank = std::make_shared<kvcmdsim::SimChip>();
        blank->SetMaxPduWords(0xFFFF);
        PsKvcmd other(new kvcmdsim::SimTransport(blank));
        other.set_error_handler(&handler);
        CKeyWarder copy(&other);
        ASSERT_TRUE(copy.apply_file(path.c_str()));
        for (const auto& [key, length] : lengths) {
            EXPECT_EQ(blank->ReadKey(key), chip->ReadKey(key)) << key;
        }
    }
    EXPECT_TRUE(Errors().empty()) << keyward::Narrow(Errors()[0].text);
}

TEST_F(PsFile, ADumpLeavesPresentationKeysToTheLineOfTheirBaseKey) {
    // The firmware lists its presentation keys, but their bits are already on the base key's
    // line; a second line for them would undo an edit of that line when the file is applied.
    chip->SetKey(STORE_IMPLEMENTATION, kUartBlock, {1, 0x00a8, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(server->open());
    ASSERT_TRUE(server->key_exists(kUartConfig));
    ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "uart.ps").c_str(), PS_FILE_ANNOTATED));
    EXPECT_EQ(ReadFile(dir / "uart.ps"),
              "// PSKEY_HOSTIO_UART_PS_BLOCK\n"
              "&0191 = 0001 00a8 0000 0000 0000 0000 0000 0000 0000 0000\n");
    WriteFile(dir / "edited.ps", "&0191 = 0001 0006 0000 0000 0000 0000 0000 0000 0000 0000\n");
    EXPECT_TRUE(keys.apply_file(keyward::Widen(dir / "edited.ps").c_str()));
    uint16_t config = 0;
    ASSERT_TRUE(keys.pskv_get_uint16(kUartConfig, config));
    EXPECT_EQ(config, 0x0006);
}

TEST_F(PsFile, AQueryAnswersWithTheWholeKey) {
    Words value(2500);
    for (uint16_t i = 0; i < value.size(); ++i) {
        value[i] = i;
    }
    chip->SetKey(STORE_IMPLEMENTATION, kUsr0, value);
    std::string expected = "&028a =";
    char word[8];
    for (uint16_t w : value) {
        std::snprintf(word, sizeof word, " %04x", w);
        expected += word;
    }
    EXPECT_TRUE(Run("?028a =\n"));
    EXPECT_EQ(output.str(), expected + "\n");
}

TEST_F(PsFile, ACancelOrAnAbortStopsADumpBetweenKeys) {
    FillChip();
    handler.answerFor = [this](const Report& r) {
        if (r.type == -1) {
            server->do_cancel();
        }
        return KVCMD_RESPONSE_NONE;
    };
    EXPECT_FALSE(keys.dump_ps(keyward::Widen(dir / "cut.ps").c_str(), PS_FILE_PLAIN));
    EXPECT_EQ(ReadFile(dir / "cut.ps"), "&0001 = 0078 9abc 0056 1234\n");

    server->clear_cancel();
    // A read the chip answers with a bad status: the key is not written and the abort stops.
    handler.answerFor = [](const Report& r) {
        return r.type == -1 ? KVCMD_RESPONSE_NONE : KVCMD_RESPONSE_ABORT;
    };
    chip->FailRequests(KVCMD_PS_PDU::VARID, kUartBaudrate, KVCMD_PDU::STATUS_NO_VALUE);
    EXPECT_FALSE(keys.dump_ps(keyward::Widen(dir / "cut.ps").c_str(), PS_FILE_PLAIN));
    EXPECT_EQ(ReadFile(dir / "cut.ps"), "&0001 = 0078 9abc 0056 1234\n");
}

TEST_F(PsFile, FilesThatCannotBeOpenedAreReported) {
    const std::string missing = dir / "no/such/file.ps";
    const std::wstring wide = keyward::Widen(missing);
    EXPECT_FALSE(keys.dump_ps(wide.c_str(), PS_FILE_PLAIN));
    EXPECT_FALSE(keys.apply_file(wide.c_str()));
    WriteFile(dir / "query.ps", "?01f9 =\n");
    EXPECT_FALSE(keys.run_query(wide.c_str(), wide.c_str(), PS_FILE_PLAIN));
    const auto errors = Errors();
    ASSERT_EQ(errors.size(), 4u);
    for (const Report& r : errors) {
        EXPECT_EQ(r.text, L"Couldn't open " + wide);
        EXPECT_EQ(r.caption, L"Error");
    }
}

TEST_F(PsFile, AFolderGivenAsAFileIsReported) {
    const std::wstring folder = keyward::Widen(dir.Path());
    EXPECT_FALSE(keys.apply_file(folder.c_str()));
    EXPECT_FALSE(
        keys.run_query(keyward::Widen(dir / "answer.ps").c_str(), folder.c_str(), PS_FILE_PLAIN));
    EXPECT_FALSE(keys.dump_ps(folder.c_str(), PS_FILE_PLAIN));
    const auto errors = Errors();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].text, L"Couldn't read " + folder);
    EXPECT_EQ(errors[1].text, L"Couldn't read " + folder);
    EXPECT_EQ(errors[2].text, L"Couldn't open " + folder);
}

TEST_F(PsFile, RunQueryWritesTheAnswersToItsOutputFile) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {2});
    WriteFile(dir / "query.ps", "?01f9 =\n?028a =\n");
    WriteFile(dir / "answer.ps", "old content that is replaced\n");
    EXPECT_TRUE(keys.run_query(keyward::Widen(dir / "answer.ps").c_str(),
                               keyward::Widen(dir / "query.ps").c_str(), PS_FILE_ANNOTATED));
    EXPECT_EQ(ReadFile(dir / "answer.ps"),
              "// PSKEY_HOST_INTERFACE\n&01f9 = 0002// USB link\n// PSKEY_USR0\n&028a - // "
              "Delete\n");
}

TEST_F(PsFile, StreamsTheCallerOpenedDumpQueryAndApplyLikeFiles) {
    FillChip();
    ASSERT_TRUE(keys.dump_ps(keyward::Widen(dir / "plain.ps").c_str(), PS_FILE_PLAIN));
    std::ostringstream dump;
    EXPECT_TRUE(keys.dump_ps(dump, PS_FILE_PLAIN));
    EXPECT_EQ(dump.str(), ReadFile(dir / "plain.ps"));

    std::istringstream query("?01f9 =\n&0206 =\n");
    std::ostringstream answer;
    EXPECT_TRUE(keys.run_query(answer, query, PS_FILE_PLAIN));
    EXPECT_EQ(answer.str(), "&01f9 = 0003\n&0206 -\n");

    std::istringstream lines("&01f9 = 0002\n&01f9 3\n&01f9 = 0001\n");
    EXPECT_FALSE(keys.apply_file(lines)) << "stopped at the syntax error";
    EXPECT_EQ(Stored(kHostInterface), Words{2});
    EXPECT_EQ(Errors().back().text, L"Error on line 2 - invalid operator");

    // A stream that refuses what is written fails the dump and the query.
    std::ostringstream refused;
    refused.setstate(std::ios::badbit);
    EXPECT_FALSE(keys.dump_ps(refused, PS_FILE_PLAIN));
    std::istringstream again("?01f9 =\n");
    EXPECT_FALSE(keys.run_query(refused, again, PS_FILE_PLAIN));
}

TEST_F(PsFile, AKeyListIsFetchedBeforeADumpOfAServerNotYetOpen) {
    chip->SetKey(STORE_IMPLEMENTATION, kHostInterface, {2});
    auto fresh = std::make_unique<PsKvcmd>(NewTransport());
    CKeyWarder unopened(fresh.get());
    ASSERT_FALSE(fresh->is_open());
    EXPECT_TRUE(unopened.dump_ps(keyward::Widen(dir / "fresh.ps").c_str(), PS_FILE_PLAIN));
    EXPECT_EQ(ReadFile(dir / "fresh.ps"), "&01f9 = 0002\n");

    chip->SetUnreachable(true);
    auto unreachable = std::make_unique<PsKvcmd>(NewTransport());
    CKeyWarder none(unreachable.get());
    EXPECT_FALSE(none.dump_ps(keyward::Widen(dir / "none.ps").c_str(), PS_FILE_PLAIN));
    ASSERT_FALSE(Errors().empty());
    EXPECT_EQ(Errors().back().text, L"Couldn't connect to the chip to dump its keys");
    std::ostringstream stream;
    EXPECT_FALSE(none.dump_ps(stream, PS_FILE_PLAIN));
    EXPECT_EQ(Errors().back().text, L"Couldn't connect to the chip to dump its keys");
}

}  // namespace
