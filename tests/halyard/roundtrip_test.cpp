// Settings files give back what they saved: for many generated device records of both kinds
// and both models, read the device, save the settings to a file, load the file into a fresh
// programmer and program the device; the device then holds its original record word for word.
#include <gtest/gtest.h>
#include <halyard/operations.h>
#include <halyard/settingsfile.h>
#include <velorum/devicefile.h>

#include <random>
#include <sstream>

#include "support.h"

namespace halyard {
namespace {

using test::RecordingDialogs;
using varnak::sim::DeviceImage;

constexpr int kRecordsPerCase = 1000;  // per kind and model: 4000 records in all
constexpr unsigned kSeed = 20240614;

int Pick(std::mt19937& rng, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
}
int PickOf(std::mt19937& rng, const std::vector<int>& values) {
    return values[static_cast<size_t>(Pick(rng, 0, static_cast<int>(values.size()) - 1))];
}
bool Coin(std::mt19937& rng) {
    return Pick(rng, 0, 1) == 1;
}

// The function codes each handset combo box lists, and the record word of each button.
struct ButtonCodes {
    int word;
    std::vector<int> pressAndHold;
    std::vector<int> shortPress;
    std::vector<int> longPress;
    bool assignedHoldDisablesPresses;
};
const std::vector<int> kHold = {0, 2, 3, 6};
const std::vector<int> kShort = {0, 4, 5, 7, 8, 6, 9, 10};
const std::vector<int> kLong = {0, 4, 5, 7, 8, 1, 6, 9, 10};
const std::vector<int> kPttShort = {0, 4, 5, 7, 8, 6};
const std::vector<int> kPttLong = {0, 4, 5, 7, 8, 1, 6, 9};
const ButtonCodes kButtons[] = {
    {HS_KEY_PTT, {0, 2, 3}, kPttShort, kPttLong, true},
    {HS_KEY_ACC_PTT, {2, 3}, kPttShort, kPttLong, true},
    {HS_KEY_TOP1, kHold, kShort, kLong, true},
    {HS_KEY_TOP2, kHold, kShort, kLong, true},
    {HS_KEY_LEFT1, kHold, kShort, kLong, true},
    {HS_KEY_LEFT2, kHold, kShort, kLong, true},
    {HS_KEY_RIGHT1, kHold, {0}, kPttLong, false},  // no short press on the device
};

// Every up-down of the handset record with its word; the ranges are the controls'.
const std::pair<int, UpDown SettingsModel::*> kHandsetUpDowns[] = {
    {HS_AUTO_TURN_OFF_HOURS, &SettingsModel::AutoTurnOffTimerUpDown},
    {HS_LOW_BATTERY_MILLIVOLTS, &SettingsModel::LowBatteryBeepVoltageUpDown},
    {HS_LOW_BATTERY_INTERVAL, &SettingsModel::LowBatteryBeepIntervalTimerUpDown},
    {HS_INTERNAL_MIC_GAIN, &SettingsModel::InternalMicGainUpDown},
    {HS_INTERNAL_MIC_BOOST, &SettingsModel::InternalMicHighGainBoostUpDown},
    {HS_EXTERNAL_MIC_GAIN, &SettingsModel::ExternalMicGainUpDown},
    {HS_EXTERNAL_MIC_BOOST, &SettingsModel::ExternalMicHighGainBoostUpDown},
    {HS_REMOTE_PTT_BOOST, &SettingsModel::RemotePTTGainBoostUpDown},
    {HS_ALERT_TONE_VOLUME, &SettingsModel::AlertToneVolumeUpDown},
    {HS_AUDIO_LINK_ACTIVE_TIME, &SettingsModel::AudioLinkActiveTimeUpDown},
    {HS_TRANSMIT_TIME, &SettingsModel::TransmitTimeUpDown},
    {HS_RECEIVE_TIME, &SettingsModel::ReceiveTimeUpDown},
    {HS_EMERGENCY_REPEAT_CYCLES, &SettingsModel::EmergencyRepeatCyclesUpDown},
    {HS_LONG_PRESS_DURATION, &SettingsModel::LongPressDurationUpDown},
    {HS_AUDIO_INTEGRITY, &SettingsModel::AudioIntegrityUpDown},
    {HS_MINIMUM_LINK_QUALITY, &SettingsModel::MinimumLinkQualityUpDown},
};

// A handset record whose every field holds a value its control can show.
std::vector<uint16_t> HandsetRecord(std::mt19937& rng, bool veltra, const SettingsModel& ranges) {
    std::vector<uint16_t> r(kRecordWords, 0);
    r[HS_FLAGS] = static_cast<uint16_t>(Pick(rng, 0, 0xFFFF));  // bit 2 is the device's
    if (!veltra) {
        r[HS_FLAGS] &= ~0x0002;  // internal mic only is a Veltra Plus option
    }
    for (const auto& [word, control] : kHandsetUpDowns) {
        const UpDown& u = ranges.*control;
        r[word] = static_cast<uint16_t>(Pick(rng, u.min, u.max));
    }
    for (const ButtonCodes& b : kButtons) {
        const int hold = PickOf(rng, b.pressAndHold);
        const bool presses = !(b.assignedHoldDisablesPresses && hold != 0);
        const int shortPress = presses ? PickOf(rng, b.shortPress) : 0;
        const int longPress = presses ? PickOf(rng, b.longPress) : 0;
        r[b.word] = static_cast<uint16_t>((hold << 11) | (shortPress << 6) | longPress);
    }
    r[HS_RELAY_AND_TOGGLE] =
        static_cast<uint16_t>((Coin(rng) ? 0x8000 : 0) | (Coin(rng) ? 0x4000 : 0));
    return r;
}

// A gateway record whose every field holds a value its control can show.
std::vector<uint16_t> GatewayRecord(std::mt19937& rng, bool veltra) {
    std::vector<uint16_t> r(kRecordWords, 0);
    uint16_t flags = veltra ? kGatewayVeltraBit : 0;
    // Multi mics, public address and remote find-me are Veltra Plus options.
    for (int bit :
         veltra ? std::vector<int>{15, 14, 13, 12, 11, 9} : std::vector<int>{15, 13, 11}) {
        flags |= Coin(rng) ? static_cast<uint16_t>(1u << bit) : 0;
    }
    r[GW_FLAGS] = flags;
    r[GW_TALK_AROUND_GAIN] = static_cast<uint16_t>(Pick(rng, -24, 21));
    r[GW_RECEIVE_GAIN] = static_cast<uint8_t>(Pick(rng, -24, 21));
    r[GW_TRANSMIT_GAIN] = static_cast<uint16_t>(Pick(rng, -24, 21));
    r[GW_VOX_TRIGGER_LEVEL] = static_cast<uint16_t>(Pick(rng, 0, 100));
    r[GW_LINES] = 0xC001;  // Radio PTT: always written as output, low, "Radio PTT", pulse 0
    for (int line = 1; line < kGatewayLineCount; ++line) {
        const bool output = Coin(rng);
        const int maxCode = !output ? 3 : line >= static_cast<int>(GatewayLine::Function1) ? 8 : 7;
        const int code = Pick(rng, 0, maxCode);
        const bool aux = output && (code == 4 || code == 5);
        r[GW_LINES + 2 * line] =
            static_cast<uint16_t>((output ? 0x8000 : 0) | (Coin(rng) ? 0x4000 : 0) | code);
        r[GW_LINES + 2 * line + 1] =
            static_cast<uint16_t>(aux ? Pick(rng, 10, 30000) : Pick(rng, 0, 5000));
    }
    return r;
}

class RoundTripTest : public ::testing::TestWithParam<std::pair<bool, bool>> {
  protected:
    void WriteDevice(int kind, bool veltra, uint16_t key, const std::vector<uint16_t>& record) {
        DeviceImage image;
        image.keys[PSKEY_USR31] = {static_cast<uint16_t>((kind << 8) | (veltra ? 2 : 1))};
        image.keys[PSKEY_USR35] = {0x0304};
        image.keys[key] = record;
        ASSERT_TRUE(varnak::sim::SaveDevice(dir.File("P"), image, nullptr));
    }
    std::vector<uint16_t> DeviceRecord(uint16_t key) {
        DeviceImage image;
        EXPECT_TRUE(varnak::sim::LoadDevice(dir.File("P"), image, nullptr));
        return image.keys[key];
    }

    test::TempDeviceDir dir{std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp"};
    RecordingDialogs rangesDialogs;
    SettingsModel ranges{rangesDialogs};
};

TEST_P(RoundTripTest, ReadSaveLoadProgramKeepsEveryWord) {
    const auto [gateway, veltra] = GetParam();
    const uint16_t key = gateway ? PSKEY_USR32 : PSKEY_USR33;
    const uint16_t deviceOwned = gateway ? kGatewayVeltraBit : kHandsetDeviceOwnedBit;
    std::mt19937 rng(kSeed + (gateway ? 2 : 0) + (veltra ? 1 : 0));
    for (int n = 0; n < kRecordsPerCase; ++n) {
        const std::vector<uint16_t> original =
            gateway ? GatewayRecord(rng, veltra) : HandsetRecord(rng, veltra, ranges);
        WriteDevice(gateway ? kKindGateway : kKindHandset, veltra, key, original);
        // Each record is read by a fresh programmer, as halyard-cli reads each device.
        RecordingDialogs readDialogs;
        SettingsModel readModel(readDialogs);
        DeviceProgrammer reader(readModel);
        reader.sleep = nullptr;
        reader.SetPort(ChosenPort::From({"P", "SIM:P"}));
        ASSERT_TRUE(reader.ReadDevice()) << n;
        ASSERT_EQ(readDialogs.requests.size(), 1u) << n << ": " << readDialogs.Texts().front();
        const std::string file = FormatSettingsFile(readModel);

        // A fresh programmer loads the file, the device's record is overwritten (its own bits
        // aside), and the settings are programmed back.
        RecordingDialogs dialogs;
        SettingsModel model(dialogs);
        std::istringstream in(file);
        ASSERT_EQ(LoadSettings(model, in), LoadResult::Loaded) << n;
        ASSERT_TRUE(dialogs.requests.empty()) << n << ": " << dialogs.Texts().front();
        std::vector<uint16_t> other(kRecordWords, 0);
        other[0] = original[0] & deviceOwned;
        WriteDevice(gateway ? kKindGateway : kKindHandset, veltra, key, other);
        model.ToggleSettingsLock();
        DeviceProgrammer programmer(model);
        programmer.sleep = nullptr;
        programmer.SetPort(ChosenPort::From({"P", "SIM:P"}));
        dialogs.answers = {mbNo};
        ASSERT_TRUE(programmer.ProgramDevice()) << n << ": " << dialogs.Texts().front();
        // A settings file does not carry the remote find-me function (gateway flag bit 9): the
        // device keeps what it held, here the programmer's default, off.
        std::vector<uint16_t> expected = original;
        if (gateway) {
            expected[GW_FLAGS] &= static_cast<uint16_t>(~kGatewayRemoteFindMeBit);
        }
        ASSERT_EQ(DeviceRecord(key), expected) << "record " << n << "\nfile:\n" << file;
    }
}

INSTANTIATE_TEST_SUITE_P(KindsAndModels, RoundTripTest,
                         ::testing::Values(std::pair{false, true}, std::pair{false, false},
                                           std::pair{true, true}, std::pair{true, false}),
                         [](const auto& info) {
                             return std::string(info.param.first ? "Gateway" : "Handset") +
                                    (info.param.second ? "Veltra" : "Kordo");
                         });

// The fault the round trip found: a line whose direction the window keeps fixed as an output
// can be an input on the device. The remote find-me function is not in the file.
TEST(RoundTripFaults, FixedLinesAsInputsSurviveAFileButNotRemoteFindMe) {
    RecordingDialogs dialogs;
    SettingsModel read(dialogs);
    gw_xsettings_t record;
    std::copy(test::kVeltraGatewayRecord.begin(), test::kVeltraGatewayRecord.end(), record.word);
    record.word[GW_FLAGS] |= kGatewayRemoteFindMeBit;
    const int function3 = GW_LINES + 2 * static_cast<int>(GatewayLine::Function3);
    record.word[function3] = 0x0001;  // input, "Radio COR", active low
    read.ShowGatewayRecord(record);
    ASSERT_EQ(read.Line(GatewayLine::Function3).io.Text(), "Input");
    std::istringstream in(FormatSettingsFile(read));
    SettingsModel loaded(dialogs);
    ASSERT_EQ(LoadSettings(loaded, in), LoadResult::Loaded);
    EXPECT_EQ(loaded.Line(GatewayLine::Function3).io.Text(), "Input");
    EXPECT_EQ(loaded.Line(GatewayLine::Function3).function.Text(), "Radio COR");
    const gw_xsettings_t written = loaded.GatewayRecordFromControls();
    EXPECT_EQ(written.word[function3], 0x0001) << "not 0xC001, an output with another function";
    EXPECT_FALSE(written.word[GW_FLAGS] & kGatewayRemoteFindMeBit);
    EXPECT_EQ(FormatSettingsFile(read).find("1056="), std::string::npos);
    // A file of an earlier build that held it loads without a word, and it is not applied.
    std::istringstream earlier(FormatSettingsFile(read) + "1056=1\r\n");
    SettingsModel old(dialogs);
    ASSERT_EQ(LoadSettings(old, earlier), LoadResult::Loaded);
    EXPECT_FALSE(old.GWRemoteFindMeCheckBox.checked);
    std::istringstream quiet(FormatSettingsFile(read) + "1056=1\r\n");
    EXPECT_TRUE(LoadSettingsQuietly(old, quiet).warnings.empty());
    EXPECT_TRUE(dialogs.requests.empty());
}

}  // namespace
}  // namespace halyard
