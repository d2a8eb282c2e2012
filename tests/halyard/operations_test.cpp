#include <gtest/gtest.h>
#include <halyard/operations.h>
#include <velorum/devicefile.h>

#include <fstream>

#include "support.h"

namespace halyard {
namespace {

using test::RecordingDialogs;
using test::TempDeviceDir;
using varnak::sim::DeviceImage;

const std::vector<uint16_t>& kHandsetRecord = test::kVeltraHandsetRecord;
// A Veltra Plus gateway's record: the programmer's defaults and the device's Veltra flag.
const std::vector<uint16_t> kGatewayRecord = [] {
    std::vector<uint16_t> record = test::kVeltraGatewayRecord;
    record[GW_FLAGS] |= kGatewayVeltraBit;
    return record;
}();

// A model and a programmer on a private device folder, with recorded dialogs and sleeps.
class OperationsTest : public ::testing::Test {
  protected:
    OperationsTest() {
        programmer.sleep = [this](int ms) { sleeps.push_back(ms); };
    }
    // Writes a device and chooses it as the port.
    void Device(const std::string& name, int kind, int modelByte,
                const std::vector<uint16_t>& handset = kHandsetRecord,
                const std::vector<uint16_t>& gateway = kGatewayRecord,
                const std::string& extra = "") {
        DeviceImage image;
        image.keys[PSKEY_USR31] = {static_cast<uint16_t>((kind << 8) | modelByte)};
        image.keys[PSKEY_USR35] = {0x0304};
        if (!handset.empty()) {
            image.keys[PSKEY_USR33] = handset;
        }
        if (!gateway.empty()) {
            image.keys[PSKEY_USR32] = gateway;
        }
        ASSERT_TRUE(varnak::sim::SaveDevice(dir.File(name), image, nullptr));
        if (!extra.empty()) {
            std::ofstream(dir.File(name), std::ios::app) << extra;
        }
        programmer.SetPort(ChosenPort::From({name, "SIM:" + name}));
    }
    DeviceImage Image(const std::string& name) {
        DeviceImage image;
        EXPECT_TRUE(varnak::sim::LoadDevice(dir.File(name), image, nullptr));
        return image;
    }
    std::vector<uint16_t> Key(const std::string& name, uint16_t key) {
        return Image(name).keys[key];
    }

    TempDeviceDir dir;
    RecordingDialogs dialogs;
    SettingsModel model{dialogs};
    DeviceProgrammer programmer{model};
    std::vector<int> sleeps;
};

TEST_F(OperationsTest, NoDeviceShowsNotDetectedAndNothingElse) {
    programmer.SetPort(ChosenPort::From({"GONE", "SIM:GONE"}));
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_FALSE(programmer.RestartDevice());
    ASSERT_EQ(dialogs.requests.size(), 2u);
    EXPECT_EQ(dialogs.requests[0].text,
              "Varnak not detected. Check cables and ensure Varnak is in programming mode.");
    EXPECT_EQ(dialogs.requests[0].caption, "ERROR");
    // The log says why, for each of the three operations.
    const std::string why =
        "Device access: cannot open " + dir.File("GONE").string() + ": No such file or directory";
    EXPECT_EQ(dialogs.log, std::vector<std::string>(3, why));
    EXPECT_EQ(programmer.Handle(), 0u);
}

TEST_F(OperationsTest, WrongChipEndsTheProgram) {
    Device("P", kKindHandset, 2);
    std::ofstream(dir.File("P"), std::ios::app) << "chip CSR8670\n";
    EXPECT_FALSE(programmer.ReadDevice());
    ASSERT_EQ(dialogs.Texts(),
              std::vector<std::string>{"The chip is not MVT 4120. This program will terminate."});
    EXPECT_TRUE(dialogs.closeRequested);
    EXPECT_EQ(programmer.Handle(), 0u);
}

TEST_F(OperationsTest, ChipNameIsComparedInUpperCase) {
    Device("P", kKindHandset, 2);
    std::ofstream(dir.File("P"), std::ios::app) << "chip bc-mvt4120-a2\n";
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_FALSE(dialogs.closeRequested);
}

TEST_F(OperationsTest, EarlierSeriesAndUnknownKindsAreRefused) {
    for (int kind : {kKindOldHandset, kKindOldGateway}) {
        Device("P", kind, 2);
        dialogs.Clear();
        EXPECT_FALSE(programmer.ReadDevice());
        EXPECT_EQ(
            dialogs.Texts(),
            std::vector<std::string>{"This programmer is for Plus series only. Please use version "
                                     "2.xx for this Varnak model."});
    }
    Device("P", 0x51, 2);
    dialogs.Clear();
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Unknown Varnak found. Please see "
                                       "www.varnakplus.example for correct programmer."});
    EXPECT_TRUE(dialogs.log.empty());
}

TEST_F(OperationsTest, HandsetReadShowsLogsAndClosesItsNote) {
    std::vector<uint16_t> record = kHandsetRecord;
    record[HS_LOW_BATTERY_MILLIVOLTS] = 3100;
    Device("P", kKindHandset, 2, record, {});
    model.masterPage = GatewayTab;
    model.GWSwVersionLabel = "old";
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(model.masterPage, HandsetTab);
    ASSERT_EQ(dialogs.log.size(), 2u);
    EXPECT_EQ(dialogs.log[0], "HS: V3.04 Veltra Plus");
    EXPECT_EQ(dialogs.log[1],
              "Read  - A700 0008 0C1C 0005 0000 0006 0009 0006 0009 0005 0000 0000 0000 0001 07D0 "
              "1000 3000 1800 010A 0140 0001 00C8 1000 0000 004B ");
    EXPECT_EQ(model.HSSwVersionLabel, "HS: V3.04 Veltra Plus");
    EXPECT_EQ(model.GWSwVersionLabel, "");
    EXPECT_EQ(model.VoltageText(), "3.1");
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].text, "Success to read Varnak Handset settings.");
    EXPECT_EQ(dialogs.requests[0].caption, "NOTE");
    EXPECT_EQ(dialogs.requests[0].icon, DialogIcon::Information);
    EXPECT_TRUE(dialogs.requests[0].autoClose);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(programmer.Handle(), 0u);
}

TEST_F(OperationsTest, KordoHandsetReadSwitchesTheModelAndEnablesTheVeltraOptions) {
    std::vector<uint16_t> record = kHandsetRecord;
    record[HS_KEY_LEFT1] = 0x0100;
    Device("P", kKindHandset, 1, record, {});
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(model.model, DeviceModel::Kordo);
    EXPECT_EQ(dialogs.log[0], "HS: V3.04 Kordo Plus");
    EXPECT_TRUE(model.HandsfreeFunctionCheckBox.enabled);
    EXPECT_TRUE(model.InternalMicOnlyCheckBox.enabled);
    EXPECT_TRUE(model.PTTToggleCheckBox.enabled);
    EXPECT_TRUE(model.RelayModeComboBox.enabled);
}

TEST_F(OperationsTest, ReadLogListsTheWordsTheDeviceReturned) {
    Device("P", kKindHandset, 2, {0x0001, 0x0002, 0x0003}, {});
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.log[1], "Read  - 0001 0002 0003 ");
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 2);
    EXPECT_EQ(model.LowBatteryBeepIntervalTimerUpDown.position, 1) << "missing words read as 0";
}

TEST_F(OperationsTest, FailedHandsetReadShowsTheZeroedRecordAfterThreeTries) {
    Device("P", kKindHandset, 2, kHandsetRecord, {}, "fail-read 02ab 3\n");
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_EQ(sleeps, (std::vector<int>{250, 500, 750}));
    EXPECT_EQ(dialogs.log.back(), "Read  - ");
    EXPECT_EQ(dialogs.Texts().back(), "Fail to read Varnak Handset settings.");
    EXPECT_EQ(dialogs.requests.back().caption, "ERROR");
    EXPECT_FALSE(model.TATalkPermitToneCheckBox.checked);
    EXPECT_EQ(model.LowBatteryBeepVoltageUpDown.position, 2500);
}

// A failed try leaves the buffer filled with ffff (the simulated library does what a broken-off
// transfer can); nothing of it reaches the record.
TEST_F(OperationsTest, EveryTryStartsFromACleanBuffer) {
    Device("P", kKindHandset, 2, {0x0001, 0x0002, 0x0003}, {}, "fail-read 02ab 1\n");
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.log[1], "Read  - 0001 0002 0003 ");
    EXPECT_EQ(model.InternalMicGainUpDown.position, 0) << "word 4 reads 0, not ffff (-1)";
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Success to read Varnak Handset settings."})
        << "no key word reads as the unknown code 31";
    EXPECT_EQ(programmer.WordsRead(), (std::vector<uint16_t>{1, 2, 3}));

    Device("P", kKindHandset, 2, kHandsetRecord, {}, "fail-read 02ad 3\nfail-read 02ab 3\n");
    dialogs.Clear();
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.log, (std::vector<std::string>{
                               "Device access: the read of key 02ad broke off",
                               "HS: V0.00 Veltra Plus",  // a failed version read gives 0
                               "Device access: the read of key 02ab broke off", "Read  - "}));
    EXPECT_FALSE(model.TATalkPermitToneCheckBox.checked) << "the final failure leaves zeros";
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 0);
    ASSERT_TRUE(programmer.Identity());
    EXPECT_EQ(programmer.Identity()->version, 0);
}

TEST_F(OperationsTest, TheLastOperationsIdentityAndWordsAreKept) {
    Device("G", kKindGateway, 2);
    ASSERT_TRUE(programmer.ReadDevice());
    ASSERT_TRUE(programmer.Identity());
    EXPECT_EQ(programmer.Identity()->kind, kKindGateway);
    EXPECT_EQ(programmer.Identity()->modelByte, 2);
    EXPECT_EQ(programmer.Identity()->version, 0x0304);
    EXPECT_EQ(programmer.WordsRead(), kGatewayRecord);
    EXPECT_TRUE(programmer.WordsWritten().empty());

    model.GWVOXTriggerLevelUpDown.SetPosition(12);
    ASSERT_TRUE(programmer.ProgramDevice());
    std::vector<uint16_t> expected = kGatewayRecord;
    expected[GW_VOX_TRIGGER_LEVEL] = 12;
    EXPECT_EQ(programmer.WordsRead(), kGatewayRecord) << "the device's record before";
    EXPECT_EQ(programmer.WordsWritten(), expected);
    EXPECT_TRUE(programmer.WordsReadBack().empty()) << "the window does not verify";

    programmer.SetPort(ChosenPort::From({"GONE", "SIM:GONE"}));
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_FALSE(programmer.Identity());
    EXPECT_TRUE(programmer.WordsRead().empty());
    EXPECT_TRUE(programmer.WordsWritten().empty());
}

TEST_F(OperationsTest, VerifyReadsTheRecordBackBeforeTheResetQuestion) {
    Device("H", kKindHandset, 2);
    programmer.verifyAfterWrite = true;
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    dialogs.answers = {mbYes};
    EXPECT_TRUE(programmer.ProgramDevice());
    EXPECT_EQ(programmer.WordsReadBack(), programmer.WordsWritten());
    EXPECT_EQ(dialogs.log.back().substr(0, 18), "Check - B700 0008 ");
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Success writing Varnak Handset settings.\nReset device?"});
    EXPECT_EQ(Image("H").restarts, 1);
}

TEST_F(OperationsTest, VerifyNamesTheWordsTheDeviceDidNotKeep) {
    Device("H", kKindHandset, 2, kHandsetRecord, {}, "lose-write 02ab 1\n");
    programmer.verifyAfterWrite = true;
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    model.InternalMicGainUpDown.SetPosition(-6);
    dialogs.answers = {mbYes};
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{
                  "Verify failed: the device does not hold the settings written: word 0 (flags) "
                  "reads A700, written B700; word 4 (internal mic gain) reads 0000, written "
                  "FFFA."});
    EXPECT_EQ(dialogs.requests[0].caption, "ERROR");
    EXPECT_EQ(Image("H").restarts, 0) << "no reset question after a failed verify";
    EXPECT_EQ(Key("H", PSKEY_USR33), kHandsetRecord);

    // The device's own bit is not the programmer's to compare.
    std::vector<uint16_t> owned = kHandsetRecord;
    owned[HS_FLAGS] |= kHandsetDeviceOwnedBit;
    Device("H", kKindHandset, 2, owned, {}, "lose-write 02ab 1\n");
    model.SetDefaults();
    dialogs.Clear();
    EXPECT_TRUE(programmer.ProgramDevice()) << dialogs.Texts().front();

    // A record the device keeps shorter than written.
    Device("H", kKindHandset, 2, {0xA700, 0x0008, 0x0DAC}, {}, "lose-write 02ab 1\n");
    dialogs.Clear();
    EXPECT_FALSE(programmer.ProgramDevice());
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].text.rfind("Verify failed: the device does not hold the "
                                             "settings written: the device holds 3 words, not "
                                             "25; word 3 (low-battery beep interval) reads 0000, "
                                             "written 0005;",
                                             0),
              0u)
        << dialogs.requests[0].text;
    EXPECT_EQ(programmer.WordsReadBack().size(), 3u);
}

TEST_F(OperationsTest, AKeyThatNeverAnswersCostsThreeTriesAndTheSleeps) {
    Device("P", kKindHandset, 2, kHandsetRecord, {}, "fail-read 02a9 5\n");
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_EQ(sleeps, (std::vector<int>{250, 500, 750}));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Fail to read pskey"});
    EXPECT_EQ(Image("P").failRead.at(PSKEY_USR31), 2) << "exactly three reads were tried";
}

TEST_F(OperationsTest, GatewayReadsVeltraAndKordo) {
    Device("G", kKindGateway, 2);
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(model.masterPage, GatewayTab);
    EXPECT_EQ(programmer.GatewayModel(), 2);
    EXPECT_EQ(dialogs.log[0], "GW: V3.04 Veltra Plus");
    EXPECT_EQ(dialogs.log[1].substr(0, 13), "Read  - 6400 ");
    EXPECT_EQ(model.GWSwVersionLabel, "GW: V3.04 Veltra Plus");
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Success to read Varnak Gateway settings."});
    EXPECT_TRUE(dialogs.requests[0].autoClose);

    std::vector<uint16_t> kordo = kGatewayRecord;
    kordo[GW_FLAGS] = 0x7000;  // multi mics and public address on, Veltra flag off
    Device("G", kKindGateway, 1, {}, kordo);
    dialogs.Clear();
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(programmer.GatewayModel(), 1);
    EXPECT_EQ(model.model, DeviceModel::Kordo);
    EXPECT_EQ(dialogs.log[0], "GW: V3.04 Kordo Plus");
    EXPECT_FALSE(model.GWMultiOperationalMicsCheckBox.checked);
    EXPECT_FALSE(model.GWPublicAddressModeCheckBox.checked);
    EXPECT_TRUE(model.GWVOXEnabledCORCheckBox.checked);
}

TEST_F(OperationsTest, FailedGatewayReadIsReported) {
    Device("G", kKindGateway, 2, {}, kGatewayRecord, "fail-read 02aa 3\n");
    EXPECT_FALSE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.Texts().back(), "Fail to read Varnak Gateway settings.");
    EXPECT_EQ(programmer.GatewayModel(), 1) << "a zeroed record has no Veltra flag";
}

TEST_F(OperationsTest, ProgramOnTheWrongTabWritesNothing) {
    Device("G", kKindGateway, 2);
    model.masterPage = HandsetTab;
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"The device is not Varnak Handset."});
    EXPECT_EQ(Key("G", PSKEY_USR32), kGatewayRecord);
    Device("H", kKindHandset, 2);
    model.masterPage = GatewayTab;
    dialogs.Clear();
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"The device is not Varnak Gateway."});
}

TEST_F(OperationsTest, ProgramRefusesTheOtherModel) {
    Device("H", kKindHandset, 2);
    model.SelectModel(DeviceModel::Kordo);
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Veltra Plus detected, not Kordo Plus as selected."});
    Device("H", kKindHandset, 1);
    model.SelectModel(DeviceModel::Veltra);
    dialogs.Clear();
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Kordo Plus detected, not Veltra Plus as selected."});
    Device("G", kKindGateway, 1);
    model.masterPage = GatewayTab;
    dialogs.Clear();
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Kordo Plus detected, not Veltra Plus as selected."});
    EXPECT_EQ(Key("H", PSKEY_USR33), kHandsetRecord);
    EXPECT_EQ(Key("G", PSKEY_USR32), kGatewayRecord);
}

TEST_F(OperationsTest, HandsetProgramKeepsTheDeviceBitAndAsksToReset) {
    std::vector<uint16_t> current = kHandsetRecord;
    current[HS_FLAGS] = 0x0004;  // only the device's own bit
    Device("H", kKindHandset, 2, current, {});
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    dialogs.answers = {mbNo};
    EXPECT_TRUE(programmer.ProgramDevice());
    std::vector<uint16_t> expected = kHandsetRecord;
    expected[HS_FLAGS] = 0xA700 | 0x1000 | 0x0004;
    EXPECT_EQ(Key("H", PSKEY_USR33), expected);
    ASSERT_EQ(dialogs.log.size(), 2u);
    EXPECT_EQ(dialogs.log[0], "HS: V3.04 Veltra Plus");
    EXPECT_EQ(dialogs.log[1].substr(0, 18), "Write - B704 0008 ");
    ASSERT_EQ(dialogs.requests.size(), 1u);
    const DialogRequest& question = dialogs.requests[0];
    EXPECT_EQ(question.text, "Success writing Varnak Handset settings.\nReset device?");
    EXPECT_EQ(question.caption, "NOTE");
    EXPECT_EQ(question.buttons, static_cast<unsigned>(mbYes | mbNo));
    EXPECT_EQ(question.focusIndex, 1) << "\"&No\" has the focus";
    EXPECT_EQ(Image("H").restarts, 0) << "answered No";

    model.StealthModeAlwaysActiveCheckBox.checked = false;
    dialogs.answers = {mbYes};
    EXPECT_TRUE(programmer.ProgramDevice());
    EXPECT_EQ(Key("H", PSKEY_USR33)[HS_FLAGS], 0xA704);
    EXPECT_EQ(Image("H").restarts, 1) << "answered Yes";
}

TEST_F(OperationsTest, KordoHandsetProgramClearsInternalMicOnly) {
    Device("H", kKindHandset, 1);
    model.SelectModel(DeviceModel::Kordo);
    model.InternalMicOnlyCheckBox.checked = true;
    EXPECT_TRUE(programmer.ProgramDevice());
    EXPECT_FALSE(model.InternalMicOnlyCheckBox.checked);
    EXPECT_EQ(Key("H", PSKEY_USR33)[HS_FLAGS] & 0x0002, 0);
}

TEST_F(OperationsTest, GatewayProgramKeepsTheVeltraFlagAsTheDeviceHasIt) {
    model.masterPage = GatewayTab;
    for (const uint16_t flag : {kGatewayVeltraBit, uint16_t{0}}) {
        std::vector<uint16_t> current(25, 0);
        current[GW_FLAGS] = flag;
        Device("G", kKindGateway, 2, {}, current);
        model.GWMultiOperationalMicsCheckBox.checked = true;
        EXPECT_TRUE(programmer.ProgramDevice());
        const uint16_t written = Key("G", PSKEY_USR32)[GW_FLAGS];
        EXPECT_EQ(written & kGatewayVeltraBit, flag);
        EXPECT_EQ(programmer.GatewayModel(), flag ? 2 : 1);
        // A gateway without the flag counts as Kordo Plus: its Veltra-only options are cleared.
        EXPECT_EQ((written & 0x4000) != 0, flag != 0);
        EXPECT_EQ(model.GWMultiOperationalMicsCheckBox.enabled, flag != 0);
    }
}

TEST_F(OperationsTest, GatewayProgramForcesTheRadioPTTLine) {
    std::vector<uint16_t> odd = kGatewayRecord;
    odd[GW_LINES] = 0x0002;  // Radio PTT as an input, "Remote PTT"
    odd[GW_LINES + 1] = 70;
    Device("G", kKindGateway, 2, {}, odd);
    ASSERT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(model.Line(GatewayLine::RadioPTT).io.Text(), "Input");
    ASSERT_TRUE(programmer.ProgramDevice());
    const std::vector<uint16_t> written = Key("G", PSKEY_USR32);
    EXPECT_EQ(written[GW_LINES], 0xC001);
    EXPECT_EQ(written[GW_LINES + 1], 0);
    EXPECT_EQ(written, kGatewayRecord);
}

TEST_F(OperationsTest, ProgramWritesNothingWhenTheDeviceRecordCannotBeRead) {
    Device("H", kKindHandset, 2, kHandsetRecord, {}, "fail-read 02ab 3\n");
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Fail to read pskey"});
    EXPECT_EQ(Key("H", PSKEY_USR33), kHandsetRecord);
    EXPECT_EQ(dialogs.log,
              std::vector<std::string>{"Device access: the read of key 02ab broke off"});
}

TEST_F(OperationsTest, FailedWriteIsReportedAfterThreeTries) {
    Device("H", kKindHandset, 2, kHandsetRecord, {}, "fail-write 02ab 3\n");
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(sleeps, (std::vector<int>{250, 500, 750}));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Fail to write Varnak Handset settings."});
    EXPECT_EQ(Key("H", PSKEY_USR33), kHandsetRecord);
}

TEST_F(OperationsTest, LockedSettingsGoToWhicheverDeviceIsConnected) {
    Device("G1", kKindGateway, 2);
    ASSERT_TRUE(programmer.ReadDevice());
    model.GWVOXTriggerLevelUpDown.SetPosition(33);
    model.ToggleSettingsLock();
    model.masterPage = HandsetTab;
    Device("G2", kKindGateway, 2, {}, std::vector<uint16_t>(25, 0x0400));
    EXPECT_TRUE(programmer.ProgramDevice());
    EXPECT_EQ(model.masterPage, GatewayTab);
    EXPECT_EQ(Key("G2", PSKEY_USR32)[GW_VOX_TRIGGER_LEVEL], 33);
    Device("H", kKindHandset, 2);
    EXPECT_TRUE(programmer.ProgramDevice());
    EXPECT_EQ(model.masterPage, HandsetTab);
    // Unknown kinds go to the gateway page and are refused there.
    Device("U", 0x51, 2);
    dialogs.Clear();
    EXPECT_FALSE(programmer.ProgramDevice());
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"The device is not Varnak Gateway."});
}

TEST_F(OperationsTest, RestartResetsTheChipWithoutMessages) {
    Device("H", kKindHandset, 2);
    EXPECT_TRUE(programmer.RestartDevice());
    EXPECT_TRUE(programmer.RestartDevice());
    EXPECT_EQ(Image("H").restarts, 2);
    EXPECT_TRUE(dialogs.requests.empty());
    EXPECT_EQ(programmer.Handle(), 0u);
}

TEST_F(OperationsTest, UsbDevicePathIsOpenedByPath) {
    programmer.SetPort(ChosenPort::From({PortTable::kUsbDevicePath, PortTable::kUsbDevicePath}));
    EXPECT_TRUE(programmer.Port().devicePath);
    EXPECT_TRUE(programmer.ReadDevice());
    EXPECT_EQ(dialogs.log[0], "HS: V3.04 Veltra Plus");
}

}  // namespace
}  // namespace halyard
