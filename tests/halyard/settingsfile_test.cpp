#include <gtest/gtest.h>
#include <halyard/catalogue.h>
#include <halyard/settingsfile.h>

#include <fstream>
#include <random>
#include <sstream>

#include "support.h"

namespace halyard {
namespace {

using test::RecordingDialogs;

// Every control is in a state the window could show: selections inside their lists and
// positions inside their ranges.
void ExpectConsistent(SettingsModel& model) {
    for (const CatalogueEntry& entry : SettingsCatalogue()) {
        const auto control = entry.Resolve(model);
        if (const auto* combo = std::get_if<ComboBox*>(&control)) {
            EXPECT_GE((*combo)->index, 0) << entry.name;
            EXPECT_LT((*combo)->index, static_cast<int>((*combo)->Items().size())) << entry.name;
        } else if (const auto* upDown = std::get_if<UpDown*>(&control)) {
            EXPECT_GE((*upDown)->position, (*upDown)->min) << entry.name;
            EXPECT_LE((*upDown)->position, (*upDown)->max) << entry.name;
        }
    }
    for (const LineControls& line : model.lines) {
        EXPECT_EQ(line.function.Items().size() == 4, line.io.index == 0)
            << "the function list matches the direction";
    }
}

class SettingsFileTest : public ::testing::Test {
  protected:
    LoadResult Load(const std::string& text) {
        std::istringstream in(text);
        return LoadSettings(model, in);
    }
    std::string Temp(const std::string& name) {
        if (folder.empty()) {
            char path[] = "/tmp/halyard_wpx_XXXXXX";
            folder = mkdtemp(path);
        }
        return (folder / name).string();
    }
    ~SettingsFileTest() override {
        if (!folder.empty()) {
            std::filesystem::remove_all(folder);
        }
    }

    RecordingDialogs dialogs;
    SettingsModel model{dialogs};
    std::filesystem::path folder;
};

TEST_F(SettingsFileTest, FileHoldsEveryEntryInOrderWithCrLf) {
    const std::string text = FormatSettingsFile(model);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    ASSERT_EQ(lines.size(), 2u + 54u + 55u);
    EXPECT_EQ(lines[0], "9999=304");
    EXPECT_EQ(lines[1], "9000=3");
    EXPECT_EQ(lines[2], "0001=1");  // talk-around beep
    EXPECT_EQ(lines[14], "0013=3500");
    EXPECT_EQ(lines[16], "0015=1");  // PTT press and hold: "Radio PTT"
    EXPECT_EQ(lines[34], "0033=0");
    EXPECT_EQ(lines[55], "0054=75");
    EXPECT_EQ(lines[56], "1001=0");
    EXPECT_EQ(lines[63], "1008=0");
    EXPECT_EQ(lines[66], "1011=1");  // Radio PTT line: Output, Low, "Radio PTT", 0, 0
    EXPECT_EQ(lines[67], "1012=0");
    EXPECT_EQ(lines[68], "1013=1");
    EXPECT_EQ(lines[110], "1055=0");  // the last: a file does not carry the remote find-me box
    model.SelectModel(DeviceModel::Kordo);
    EXPECT_EQ(FormatSettingsFile(model).substr(10, 8), "9000=2\r\n");
}

TEST_F(SettingsFileTest, SavedFileReloadsEveryControl) {
    // Change every stored control away from its default.
    model.SelectModel(DeviceModel::Kordo);
    for (const CatalogueEntry& entry : SettingsCatalogue()) {
        const auto control = entry.Resolve(model);
        if (auto* const* check = std::get_if<CheckBox*>(&control)) {
            (*check)->checked = !(*check)->checked;
        } else if (auto* const* upDown = std::get_if<UpDown*>(&control)) {
            (*upDown)->SetPosition((*upDown)->position == (*upDown)->max ? (*upDown)->min
                                                                         : (*upDown)->max);
        } else if (entry.button >= 0 || entry.combo) {
            auto* combo = std::get<ComboBox*>(control);
            combo->SelectIndex((combo->index + 1) % static_cast<int>(combo->Items().size()));
        }
    }
    model.SetLineDirection(GatewayLine::Function1, 1);
    model.LineFunctionChanged(GatewayLine::Function1, 5);  // "Aux 2"
    model.Line(GatewayLine::Function1).pulse.SetPosition(25000);
    model.LineFunctionChanged(GatewayLine::Function6, 2);
    model.Line(GatewayLine::Function2).active.SelectIndex(1);
    model.ForceRadioPTTLine();  // loading forces it whatever the file holds
    const std::string path = Temp("all.wpx");
    ASSERT_TRUE(SaveSettingsFile(model, path));
    const std::string saved = FormatSettingsFile(model);

    RecordingDialogs otherDialogs;
    SettingsModel other(otherDialogs);
    EXPECT_EQ(LoadSettingsFile(other, path), LoadResult::Loaded);
    EXPECT_TRUE(otherDialogs.requests.empty()) << otherDialogs.Texts().front();
    // Load applies the enabling rules, so compare with the saved model after the same rules.
    model.ApplyEnablingRules();
    EXPECT_EQ(FormatSettingsFile(other), FormatSettingsFile(model));
    EXPECT_EQ(other.model, DeviceModel::Kordo);
    EXPECT_EQ(other.Line(GatewayLine::Function1).function.Text(), "Aux 2");
    EXPECT_EQ(other.Line(GatewayLine::Function1).pulse.position, 25000);
    EXPECT_FALSE(other.GWRemoteFindMeCheckBox.checked) << "not carried by a settings file";
    ExpectConsistent(other);
}

TEST_F(SettingsFileTest, FileWithoutVersionWarnsWithVersionTwo) {
    EXPECT_EQ(Load("0004=1\r\n"), LoadResult::Loaded);
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].text,
              "Warning: This file is from v2 and some newer features may not be updated correctly. "
              "Please check carefully.");
    EXPECT_EQ(dialogs.requests[0].caption, "ERROR");
    dialogs.Clear();
    Load("9999=303\n");
    EXPECT_NE(dialogs.requests.at(0).text.find("from v303 "), std::string::npos);
}

TEST_F(SettingsFileTest, ModelOneStopsTheLoadKeepingEarlierEntries) {
    EXPECT_EQ(Load("9999=304\r\n0004=1\r\n9000=1\r\n0005=1\r\n"), LoadResult::Stopped);
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    EXPECT_FALSE(model.MuteSpeakerOnPTTCheckBox.checked);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"This file not for Plus series models."});
}

TEST_F(SettingsFileTest, ModelHeaderResetsWhatCameBefore) {
    EXPECT_EQ(Load("9999=304\r\n0004=1\r\n9000=2\r\n0005=1\r\n"), LoadResult::Loaded);
    EXPECT_EQ(model.model, DeviceModel::Kordo);
    EXPECT_FALSE(model.StealthModeAlwaysActiveCheckBox.checked) << "lost in the reset";
    EXPECT_TRUE(model.MuteSpeakerOnPTTCheckBox.checked);
    // The same model again does not reset.
    Load("9999=304\r\n0006=0\r\n9000=2\r\n");
    EXPECT_FALSE(model.MuteSpeakerOnChargeCheckBox.checked);
    EXPECT_TRUE(dialogs.requests.empty());
}

TEST_F(SettingsFileTest, ValuesAreReadLikeDecimalNumbers) {
    Load("9999=304\r\n0013=   2700\r\n  0012 =\t7 junk\r\n0033=-24=99\r\n0039=+3\r\n0001=2\r\n");
    EXPECT_EQ(model.LowBatteryBeepVoltageUpDown.position, 2700);
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 7);
    EXPECT_EQ(model.InternalMicGainUpDown.position, -24);
    EXPECT_EQ(model.AlertToneVolumeUpDown.position, 3);
    EXPECT_FALSE(model.TATalkPermitToneCheckBox.checked) << "only 1 checks a box";
    EXPECT_TRUE(dialogs.requests.empty());
}

TEST_F(SettingsFileTest, BadLinesAreSkippedAndNothingLeavesItsRange) {
    const std::string bad =
        "9999=304\r\n"
        "no equals sign\r\n"
        "0004=\r\n"    // no value
        "=1\r\n"       // no key
        "0005= x\r\n"  // no digits
        "0012=99999999999999999999\r\n"
        "0013=-99999999999999999999\r\n"
        "0014=65539\r\n"  // 3 as a 16-bit number
        "0044=40000\r\n"  // negative as a 16-bit number
        "0011=7\r\n"
        "0015=-1\r\n"
        "0030=2\r\n"  // Right 1 press and hold: an index in its list
        "0052=2147483647\r\n"
        "1013=5\r\n"  // the Radio PTT line stays forced
        "1014=900\r\n"
        "1021=5\r\n"  // no such direction
        "1023=9\r\n"  // outside the input list
        "1036=7\r\n"  // no such direction
        "1039=-20\r\n"
        "7777=1\r\n";
    EXPECT_EQ(Load(bad), LoadResult::Loaded);
    EXPECT_TRUE(dialogs.requests.empty());
    EXPECT_FALSE(model.StealthModeAlwaysActiveCheckBox.checked);
    EXPECT_FALSE(model.MuteSpeakerOnPTTCheckBox.checked);
    // Held at the int range, then taken as a signed 16-bit number (-1), then held to 0..24.
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 0);
    EXPECT_EQ(model.LowBatteryBeepVoltageUpDown.position, 2500);
    EXPECT_EQ(model.LowBatteryBeepIntervalTimerUpDown.position, 3);
    EXPECT_EQ(model.LongPressDurationUpDown.position, 1000);
    EXPECT_EQ(model.HirosePin2FunctionComboBox.index, 0);
    EXPECT_EQ(model.Button(HandsetButton::PTT).pressAndHold.Text(), "Radio PTT");
    EXPECT_EQ(model.Button(HandsetButton::Right1).pressAndHold.Text(), "Talk Around PTT");
    EXPECT_EQ(model.RelayModeComboBox.index, 0);
    const LineControls& ptt = model.Line(GatewayLine::RadioPTT);
    EXPECT_EQ(ptt.function.Text(), "Radio PTT");
    EXPECT_EQ(ptt.pulse.position, 0);
    EXPECT_EQ(model.Line(GatewayLine::RadioCOR).function.Text(), "Radio COR");
    EXPECT_EQ(model.Line(GatewayLine::Function3).io.Text(), "Output");
    EXPECT_EQ(model.Line(GatewayLine::Function3).pulse.position, 0);
    ExpectConsistent(model);
}

TEST_F(SettingsFileTest, OverlongLinesAreReadInPieces) {
    // The piece after the first 99 characters is read as a line of its own.
    const std::string text = "9999=304\r\n" + std::string(97, ' ') + "xx0004=1\r\n";
    Load(text);
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    Load("9999=304\r\n" + std::string(5000, '7') + "\r\n");
    EXPECT_TRUE(dialogs.requests.empty());
    ExpectConsistent(model);
}

TEST_F(SettingsFileTest, EmptyLinesLineEndsAtThePieceLimitAndNulBytesKeepTheLineNumbers) {
    std::string text = "0004=1\n\n\r\n77\n";         // lines 1 to 4
    text += std::string(93, ' ') + "0005=1" + "\n";  // line 5: 99 characters, then its end
    text += "xx\n";                                  // line 6
    text += std::string("0006=0\0junk=5\n", 14);     // line 7: nothing after the NUL counts
    text += "0007";                                  // line 8, with no line end
    std::istringstream in(text);
    const LoadReport report = LoadSettingsQuietly(model, in);
    EXPECT_EQ(report.settingsApplied, 3);
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    EXPECT_TRUE(model.MuteSpeakerOnPTTCheckBox.checked);
    EXPECT_FALSE(model.MuteSpeakerOnChargeCheckBox.checked);
    ASSERT_EQ(report.warnings.size(), 5u) << "and the missing entries, and the version";
    EXPECT_EQ(report.warnings[0], "line 4: not a KEY=VALUE entry; skipped");
    EXPECT_EQ(report.warnings[1], "line 6: not a KEY=VALUE entry; skipped");
    EXPECT_EQ(report.warnings[2], "line 8: not a KEY=VALUE entry; skipped");
}

// Another program's file: twenty lines' warnings and a line for the rest, and the file's own
// warnings after them still.
TEST_F(SettingsFileTest, ACappedReportKeepsTheMissingEntriesAndTheVersion) {
    std::string text = "0004=1\r\n";
    for (int i = 0; i < 30; ++i) {
        text += "junk\r\n";
    }
    std::istringstream in(text);
    const LoadReport report = LoadSettingsQuietly(model, in);
    ASSERT_EQ(report.warnings.size(), 23u);
    EXPECT_EQ(report.warnings[19], "line 21: not a KEY=VALUE entry; skipped");
    EXPECT_EQ(report.warnings[20], "... and more lines like these");
    EXPECT_TRUE(report.warnings[21].starts_with("108 of the 109 settings entries are missing"))
        << report.warnings[21];
    EXPECT_EQ(report.warnings[22], VersionWarning(2));
}

TEST_F(SettingsFileTest, DirectionEntriesBringTheirFunctionList) {
    // Function 1 switched to an output by the file picks its function from the output list.
    Load("9999=304\r\n1026=1\r\n1027=0\r\n1028=4\r\n1029=1500\r\n");
    const LineControls& f1 = model.Line(GatewayLine::Function1);
    EXPECT_EQ(f1.io.Text(), "Output");
    EXPECT_EQ(f1.function.Text(), "Aux 1");
    EXPECT_EQ(f1.pulse.position, 1500);
    EXPECT_TRUE(f1.pulse.enabled);
    EXPECT_EQ(model.GatewayRecordFromControls().word[GW_LINES + 2 * 3], 0xC004);
}

TEST_F(SettingsFileTest, AQuietLoadReportsWhatWasNotTakenAsWritten) {
    std::istringstream in(
        "9999=304\r\n"
        "0004=1\r\n"
        "hello\r\n"
        "\r\n"
        "0011=7\r\n"
        "7777=1\r\n"
        "1014=900\r\n"
        "0005= x\r\n"
        "1008=3\r\n");
    const LoadReport report = LoadSettingsQuietly(model, in);
    EXPECT_EQ(report.result, LoadResult::Loaded);
    EXPECT_EQ(report.version, 304);
    EXPECT_EQ(report.settingsApplied, 3);
    EXPECT_EQ(report.warnings, (std::vector<std::string>{
                                   "line 3: not a KEY=VALUE entry; skipped",
                                   "line 5: 0011 (HirosePin2FunctionComboBox) = 7 taken as 0",
                                   "line 6: unknown key 7777; ignored",
                                   "line 7: 1014 (GWRadioPTTPulseUpDown) = 900 taken as 0",
                                   "line 8: not a KEY=VALUE entry of numbers; skipped",
                                   "105 of the 109 settings entries are missing; those "
                                   "settings keep the model's defaults",
                               }));
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    EXPECT_TRUE(dialogs.requests.empty());
}

TEST_F(SettingsFileTest, AQuietLoadKeepsItsStopAndVersionWarningInTheReport) {
    std::istringstream stopped("0004=1\r\n9000=1\r\n0005=1\r\n");
    LoadReport report = LoadSettingsQuietly(model, stopped);
    EXPECT_EQ(report.result, LoadResult::Stopped);
    EXPECT_EQ(report.stopMessage, "This file not for Plus series models.");
    EXPECT_TRUE(report.warnings.empty()) << "no version warning after a stop";
    EXPECT_FALSE(model.MuteSpeakerOnPTTCheckBox.checked);

    std::istringstream old("0004=1\r\n9000=2\r\n");
    report = LoadSettingsQuietly(model, old);
    EXPECT_EQ(report.warnings,
              (std::vector<std::string>{
                  "line 2: the model entry resets the 1 settings before it to the model's "
                  "defaults",
                  "108 of the 109 settings entries are missing; those settings keep the "
                  "model's defaults",
                  "Warning: This file is from v2 and some newer features may not be updated "
                  "correctly. Please check carefully."}));
    EXPECT_TRUE(dialogs.requests.empty());

    // Files of other programs load nothing.
    std::istringstream ini("[Setting]\nProgramVersion=v3.04E\n");
    report = LoadSettingsQuietly(model, ini);
    EXPECT_EQ(report.settingsApplied, 0);
    EXPECT_EQ(report.warnings,
              (std::vector<std::string>{"line 1: not a KEY=VALUE entry; skipped",
                                        "line 2: not a KEY=VALUE entry of numbers; skipped"}))
        << "a file without an entry has no version to warn about";
    // One long line read in pieces is one line: one warning.
    std::istringstream garbage(std::string(20000, 'x') + "\n" + std::string(500, 'y'));
    report = LoadSettingsQuietly(model, garbage);
    EXPECT_EQ(report.settingsApplied, 0);
    EXPECT_EQ(report.warnings,
              (std::vector<std::string>{"line 1: not a KEY=VALUE entry; skipped",
                                        "line 2: not a KEY=VALUE entry; skipped"}));
    std::istringstream empty("");
    EXPECT_TRUE(LoadSettingsQuietly(model, empty).warnings.empty());
}

// Values the loader reads leniently keep their meaning; the report quotes them as written.
TEST_F(SettingsFileTest, AQuietLoadWarnsAboutValuesThatAreNotPlainNumbers) {
    std::string text = FormatSettingsFile(model);
    for (const auto& [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"0012=8\r\n", "0012=0x10\r\n"},
                                                          {"0013=3500\r\n", "0013=3500abc\r\n"},
                                                          {"0014=5\r\n", "0014=9.7\r\n"},
                                                          {"0041=0\r\n", "0041=4294967296\r\n"},
                                                          {"9999=304\r\n", "9999=9999\r\n"}}) {
        ASSERT_NE(text.find(from), std::string::npos) << from;
        text.replace(text.find(from), from.size(), to);
    }
    std::istringstream in(text);
    const LoadReport report = LoadSettingsQuietly(model, in);
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 0);
    EXPECT_EQ(model.LowBatteryBeepIntervalTimerUpDown.position, 9);
    EXPECT_EQ(report.warnings.size(), 5u);
    EXPECT_EQ(report.warnings[0], "line 14: 0012 (AutoTurnOffTimerUpDown) = 0x10 read as 0");
    EXPECT_EQ(report.warnings[1],
              "line 15: 0013 (LowBatteryBeepVoltageUpDown) = 3500abc read as 3500");
    EXPECT_EQ(report.warnings[2],
              "line 16: 0014 (LowBatteryBeepIntervalTimerUpDown) = 9.7 read as 9");
    EXPECT_TRUE(report.warnings[3].starts_with(
        "line 43: 0041 (TransmitTimeUpDown) = 4294967296 read as 2147483647, taken as "))
        << report.warnings[3];
    EXPECT_EQ(report.warnings[4],
              "This file is from v9999, newer than this program's v304: "
              "settings it holds may not be understood.");
    EXPECT_TRUE(report.missingKeys.empty());
}

TEST_F(SettingsFileTest, LinesFixedAsOutputsInTheWindowTakeTheFilesDirection) {
    Load("9999=304\r\n1036=0\r\n1037=0\r\n1038=1\r\n1039=40\r\n1051=0\r\n1052=0\r\n1053=3\r\n");
    const LineControls& f3 = model.Line(GatewayLine::Function3);
    EXPECT_EQ(f3.io.Text(), "Input");
    EXPECT_EQ(f3.function.Text(), "Radio COR");
    EXPECT_EQ(f3.pulse.position, 40);
    EXPECT_FALSE(f3.io.enabled) << "the window still keeps its direction fixed";
    EXPECT_EQ(model.Line(GatewayLine::Function6).function.Text(), "Find Me");
    const gw_xsettings_t record = model.GatewayRecordFromControls();
    EXPECT_EQ(record.word[GW_LINES + 2 * 5], 0x0001);
    EXPECT_EQ(record.word[GW_LINES + 2 * 8], 0x0003);
    EXPECT_TRUE(dialogs.requests.empty());
    ExpectConsistent(model);
}

TEST_F(SettingsFileTest, BinaryAndRandomBytesLeaveAConsistentModel) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(static_cast<size_t>(rng() % 600), '\0');
        for (char& c : bytes) {
            const unsigned r = rng() % 16;
            c = r < 10 ? static_cast<char>('0' + r) : "=\r\n- \0x"[r - 10];
        }
        Load(bytes);
        ExpectConsistent(model);
    }
}

TEST_F(SettingsFileTest, LoadingStillWorksWhileLocked) {
    model.ToggleSettingsLock();
    Load("9999=304\r\n0004=1\r\n");
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
}

TEST_F(SettingsFileTest, OpenAndSaveFailuresUseThePlainMessageBox) {
    EXPECT_EQ(LoadSettingsFile(model, Temp("missing.wpx")), LoadResult::OpenFailed);
    EXPECT_EQ(LoadSettingsFile(model, folder), LoadResult::OpenFailed);
    EXPECT_FALSE(SaveSettingsFile(model, folder / "no/such/folder/x.wpx"));
    EXPECT_EQ(dialogs.plainMessages, (std::vector<std::string>{"The file could not be opened",
                                                               "The file could not be opened",
                                                               "The file could not be saved"}));
    EXPECT_TRUE(dialogs.requests.empty());
}

TEST_F(SettingsFileTest, SavingReplacesTheFileWhole) {
    const std::string path = Temp("keep.wpx");
    std::ofstream(path) << "previous";
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_TRUE(SaveSettingsFile(model, path));
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), FormatSettingsFile(model));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) {
        ++files;
    }
    EXPECT_EQ(files, 1) << "no temporary file is left";
    // A failing save leaves the previous file as it was.
    std::filesystem::create_directory(folder / "dir.wpx");
    EXPECT_FALSE(SaveSettingsFile(model, folder / "dir.wpx"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "dir.wpx"));
}

}  // namespace
}  // namespace halyard
