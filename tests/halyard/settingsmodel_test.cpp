#include <gtest/gtest.h>
#include <halyard/settingsmodel.h>

#include <algorithm>
#include <vector>

#include "support.h"

namespace halyard {
namespace {

using test::RecordingDialogs;

std::vector<uint16_t> Words(const hs_xsettings_t& r) {
    return {r.word, r.word + kRecordWords};
}
std::vector<uint16_t> Words(const gw_xsettings_t& r) {
    return {r.word, r.word + kRecordWords};
}

using test::kVeltraGatewayRecord;
using test::kVeltraHandsetRecord;

class SettingsModelTest : public ::testing::Test {
  protected:
    RecordingDialogs dialogs;
    SettingsModel model{dialogs};
};

TEST_F(SettingsModelTest, VeltraDefaultsGiveTheFactoryRecords) {
    EXPECT_EQ(model.model, DeviceModel::Veltra);
    EXPECT_EQ(Words(model.HandsetRecordFromControls()), kVeltraHandsetRecord);
    EXPECT_EQ(Words(model.GatewayRecordFromControls()), kVeltraGatewayRecord);
    EXPECT_TRUE(dialogs.requests.empty());

    EXPECT_EQ(model.Button(HandsetButton::Right1).shortPress.Text(), "Search");
    EXPECT_EQ(model.Button(HandsetButton::Left1).longPress.Text(), "Relay On/Off");
    EXPECT_EQ(model.HirosePin2FunctionComboBox.Text(), "Speaker -ve");
    EXPECT_EQ(model.RelayModeComboBox.Text(), "Command");
    EXPECT_EQ(model.VoltageText(), "3.5");
    EXPECT_TRUE(model.RelayModeComboBox.enabled);
    EXPECT_TRUE(model.PTTToggleCheckBox.enabled);
    EXPECT_TRUE(model.HandsfreeFunctionCheckBox.enabled);
    EXPECT_TRUE(model.GWMultiOperationalMicsCheckBox.checked);
    const LineControls& f5 = model.Line(GatewayLine::Function5);
    EXPECT_EQ(f5.io.Text(), "Output");
    EXPECT_EQ(f5.active.Text(), "High");
    EXPECT_EQ(f5.function.Text(), "Handsfree active");
}

TEST_F(SettingsModelTest, KordoDefaultsAndModelRules) {
    model.GWMultiOperationalMicsCheckBox.checked = false;
    model.SelectModel(DeviceModel::Kordo);
    EXPECT_EQ(model.Button(HandsetButton::Left1).longPress.Text(), "(Disabled)");
    EXPECT_EQ(model.Line(GatewayLine::Function5).function.Text(), "Disabled");
    EXPECT_EQ(model.Line(GatewayLine::Function6).function.Text(), "Handset in Cradle");
    EXPECT_FALSE(model.GWMultiOperationalMicsCheckBox.checked) << "left unchanged on Kordo Plus";
    for (const CheckBox* box : {&model.GWMultiOperationalMicsCheckBox,
                                &model.GWRemoteFindMeCheckBox, &model.HandsfreeFunctionCheckBox,
                                &model.InternalMicOnlyCheckBox, &model.PTTToggleCheckBox}) {
        EXPECT_FALSE(box->enabled);
    }
    EXPECT_FALSE(model.RelayModeComboBox.enabled);
    EXPECT_TRUE(model.GWFindMeFunctionCheckBox.enabled);
    EXPECT_TRUE(model.TransmitAudibleEmergencyToneCheckBox.enabled);
    // Kordo defaults differ from Veltra only in Left 1's long press and the Function 5 line.
    std::vector<uint16_t> hs = kVeltraHandsetRecord;
    hs[HS_KEY_LEFT1] = 0x0100;
    EXPECT_EQ(Words(model.HandsetRecordFromControls()), hs);
    std::vector<uint16_t> gw = kVeltraGatewayRecord;
    gw[GW_FLAGS] = 0x2000;
    gw[GW_LINES + 2 * 7] = 0x8000;
    EXPECT_EQ(Words(model.GatewayRecordFromControls()), gw);

    model.SelectModel(DeviceModel::Veltra);
    for (const CheckBox* box :
         {&model.GWMultiOperationalMicsCheckBox, &model.GWRemoteFindMeCheckBox,
          &model.HandsfreeFunctionCheckBox, &model.InternalMicOnlyCheckBox}) {
        EXPECT_TRUE(box->enabled);
    }
    EXPECT_EQ(Words(model.HandsetRecordFromControls()), kVeltraHandsetRecord);
}

TEST_F(SettingsModelTest, SwitchingModelDiscardsEditsOnBothPagesButReselectingDoesNot) {
    model.StealthModeAlwaysActiveCheckBox.checked = true;
    model.GWVOXTriggerLevelUpDown.SetPosition(12);
    model.SelectModel(DeviceModel::Veltra);  // already on: nothing happens
    EXPECT_TRUE(model.StealthModeAlwaysActiveCheckBox.checked);
    model.SelectModel(DeviceModel::Kordo);
    EXPECT_FALSE(model.StealthModeAlwaysActiveCheckBox.checked);
    EXPECT_EQ(model.GWVOXTriggerLevelUpDown.position, 70);
}

TEST_F(SettingsModelTest, HandsetTextToCodeCoversEveryListItem) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"(Disabled)", 0}, {"On / Off", 1},    {"Radio PTT", 2},    {"Talk Around PTT", 3},
        {"Volume Up", 4},  {"Volume Down", 5}, {"Emergency", 6},    {"Aux 1", 7},
        {"Aux 2", 8},      {"HF On/Off", 9},   {"Relay On/Off", 10}};
    for (int b = 0; b < kHandsetButtonCount; ++b) {
        for (ComboBox* box : {&model.buttons[b].pressAndHold, &model.buttons[b].shortPress,
                              &model.buttons[b].longPress}) {
            for (int i = 0; i < static_cast<int>(box->Items().size()); ++i) {
                if (box->Items()[i] == "Search") {
                    continue;
                }
                box->index = i;
                const auto it = std::find_if(expected.begin(), expected.end(), [&](const auto& e) {
                    return e.first == box->Items()[i];
                });
                ASSERT_NE(it, expected.end()) << box->Items()[i];
                EXPECT_EQ(model.MapComboBoxToHSKeyPress(*box), it->second) << box->Items()[i];
            }
        }
    }
    EXPECT_TRUE(dialogs.requests.empty());
}

TEST_F(SettingsModelTest, UnmatchedTextIsShownVerbatimAndGivesZero) {
    ComboBox box;
    box.SetItems({"100%s %n %d"});
    EXPECT_EQ(model.MapComboBoxToHSKeyPress(box), 0);
    EXPECT_EQ(model.MapComboBoxToGWKeyPress(box), 0);
    ASSERT_EQ(dialogs.requests.size(), 2u);
    EXPECT_EQ(dialogs.requests[0].text,
              "Text '100%s %n %d' is not matched in MapComboBoxToHSKeyPress()!");
    EXPECT_EQ(dialogs.requests[0].caption, "ERROR");
    EXPECT_EQ(dialogs.requests[0].icon, DialogIcon::Error);
    EXPECT_EQ(dialogs.requests[0].buttons, mbOK);
    EXPECT_EQ(dialogs.requests[1].text,
              "Text '100%s %n %d' is not matched in MapComboBoxToGWKeyPress()!");
}

TEST_F(SettingsModelTest, HandsetCodeToTextSelectsByContainment) {
    ComboBox& longPress = model.Button(HandsetButton::Top1).longPress;
    const char* const texts[] = {"(Disabled)", "On / Off",    nullptr,       nullptr,
                                 "Volume Up",  "Volume Down", "Emergency",   "Aux 1",
                                 "Aux 2",      "HF On/Off",   "Relay On/Off"};
    for (int code = 0; code <= 10; ++code) {
        if (!texts[code]) {
            continue;
        }
        model.MapHSKeyPressToComboBox(code, longPress);
        EXPECT_EQ(longPress.Text(), texts[code]) << code;
    }
    // A valid code the list does not hold leaves the selection as it was.
    ComboBox& hold = model.Button(HandsetButton::Top2).pressAndHold;
    hold.SelectContaining("Emergency");
    model.MapHSKeyPressToComboBox(4, hold);
    EXPECT_EQ(hold.Text(), "Emergency");
    EXPECT_TRUE(dialogs.requests.empty());

    model.MapHSKeyPressToComboBox(17, hold);
    EXPECT_EQ(hold.Text(), "(Disabled)");
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].text,
              "KeyPress '17' is not matched in MapHSKeyPressToComboBox()\nIf you recently upgraded "
              "firmware, please program device to activate new features.");
}

TEST_F(SettingsModelTest, GatewayCodeToTextOnInputAndOutputLists) {
    LineControls& cor = model.Line(GatewayLine::RadioCOR);     // input
    LineControls& f1out = model.Line(GatewayLine::Function3);  // output
    const char* const input[] = {"Disabled", "Radio COR", "Remote PTT", "Find Me"};
    for (int code = 0; code <= 3; ++code) {
        model.MapGWKeyPressToComboBox(code, cor.function);
        EXPECT_EQ(cor.function.Text(), input[code]);
        EXPECT_EQ(model.MapComboBoxToGWKeyPress(cor.function), code);
    }
    const char* const output[] = {
        "Disabled",        "Radio PTT", "Emergency",         "Talk around",
        "Aux 1",           "Aux 2",     "Handset in Cradle", "Handset out of Range",
        "Handsfree active"};
    for (int code = 0; code <= 8; ++code) {
        model.MapGWKeyPressToComboBox(code, f1out.function);
        EXPECT_EQ(f1out.function.Text(), output[code]);
        EXPECT_EQ(model.MapComboBoxToGWKeyPress(f1out.function), code);
    }
    EXPECT_TRUE(dialogs.requests.empty());
    model.MapGWKeyPressToComboBox(9, f1out.function);
    EXPECT_EQ(f1out.function.Text(), "Disabled");
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].text,
              "KeyPress '9' is not matched in MapGWKeyPressToComboBox()!");
}

TEST_F(SettingsModelTest, HandsetRecordRoundTripBitForBit) {
    hs_xsettings_t in;
    in.word[HS_FLAGS] = 0xFFFB;  // every editable flag on; bit 2 belongs to the device
    in.word[HS_AUTO_TURN_OFF_HOURS] = 24;
    in.word[HS_LOW_BATTERY_MILLIVOLTS] = 2800;
    in.word[HS_LOW_BATTERY_INTERVAL] = 10;
    in.word[HS_INTERNAL_MIC_GAIN] = 0xFFE8;  // -24
    in.word[HS_INTERNAL_MIC_BOOST] = 12;
    in.word[HS_EXTERNAL_MIC_GAIN] = 0xFFFD;  // -3
    in.word[HS_EXTERNAL_MIC_BOOST] = 3;
    in.word[HS_REMOTE_PTT_BOOST] = 0;
    in.word[HS_ALERT_TONE_VOLUME] = 2;
    in.word[HS_AUDIO_LINK_ACTIVE_TIME] = 255;
    in.word[HS_TRANSMIT_TIME] = 60;
    in.word[HS_RECEIVE_TIME] = 30;
    in.word[HS_EMERGENCY_REPEAT_CYCLES] = 10;
    in.word[HS_LONG_PRESS_DURATION] = 5000;
    in.word[HS_KEY_PTT] = (3 << 11);                  // Talk Around PTT
    in.word[HS_KEY_TOP1] = (0 << 11) | (7 << 6) | 9;  // Aux 1, HF On/Off
    in.word[HS_KEY_TOP2] = (0 << 11) | (10 << 6) | 8;
    in.word[HS_KEY_LEFT1] = (0 << 11) | (6 << 6) | 1;
    in.word[HS_KEY_LEFT2] = (0 << 11) | (9 << 6) | 10;
    in.word[HS_KEY_RIGHT1] = (6 << 11) | 5;  // Emergency, Volume Down
    in.word[HS_AUDIO_INTEGRITY] = 150;
    in.word[HS_KEY_ACC_PTT] = (3 << 11);
    in.word[HS_RELAY_AND_TOGGLE] = 0xC000;
    in.word[HS_MINIMUM_LINK_QUALITY] = 42;
    model.ShowHandsetRecord(in);
    EXPECT_TRUE(dialogs.requests.empty());
    EXPECT_EQ(model.HirosePin2FunctionComboBox.Text(), "Battery +ve");
    EXPECT_EQ(model.InternalMicGainUpDown.position, -24);
    EXPECT_EQ(model.VoltageText(), "2.8");
    EXPECT_EQ(model.RelayModeComboBox.Text(), "Automatic");
    EXPECT_TRUE(model.PTTToggleCheckBox.checked);

    hs_xsettings_t expected = in;
    expected.word[HS_FLAGS] = 0xFFFB;
    const hs_xsettings_t out = model.HandsetRecordFromControls();
    EXPECT_EQ(Words(out), Words(expected));
    EXPECT_EQ(out.word[HS_INTERNAL_MIC_GAIN], 0xFFE8);
}

TEST_F(SettingsModelTest, RightOneShortPressIsAlwaysWrittenAsZero) {
    ComboBox& shortPress = model.Button(HandsetButton::Right1).shortPress;
    for (int i = 0; i < static_cast<int>(shortPress.Items().size()); ++i) {
        shortPress.index = i;
        EXPECT_EQ((model.HandsetRecordFromControls().word[HS_KEY_RIGHT1] >> 6) & 0x1F, 0) << i;
    }
    EXPECT_TRUE(dialogs.requests.empty()) << "\"Search\" is never mapped";
}

TEST_F(SettingsModelTest, UnknownKeyCodesRaiseOneMessagePerField) {
    hs_xsettings_t in = model.HandsetRecordFromControls();
    in.word[HS_KEY_TOP1] = (11 << 11) | (12 << 6) | 63;  // three unknown codes
    in.word[HS_KEY_LEFT2] = (0 << 11) | (5 << 6) | 40;   // one unknown code
    model.ShowHandsetRecord(in);
    ASSERT_EQ(dialogs.requests.size(), 4u);
    EXPECT_NE(dialogs.requests[0].text.find("KeyPress '11'"), std::string::npos);
    EXPECT_NE(dialogs.requests[1].text.find("KeyPress '12'"), std::string::npos);
    EXPECT_NE(dialogs.requests[2].text.find("KeyPress '63'"), std::string::npos);
    EXPECT_NE(dialogs.requests[3].text.find("KeyPress '40'"), std::string::npos);
    EXPECT_EQ(model.Button(HandsetButton::Top1).pressAndHold.Text(), "(Disabled)");
    EXPECT_EQ(model.Button(HandsetButton::Left2).longPress.Text(), "(Disabled)");
    EXPECT_EQ(model.Button(HandsetButton::Left2).shortPress.Text(), "Volume Down");
}

TEST_F(SettingsModelTest, GatewayGainsAndLinesBitForBit) {
    model.GWReceiveInputGainUpDown.SetPosition(-24);
    model.GWTalkAroundOutputGainUpDown.SetPosition(-24);
    model.GWTransmitOutputGainUpDown.SetPosition(-3);
    model.GWEmergencyAlertToneCheckBox.checked = true;
    model.GWRemoteFindMeCheckBox.checked = true;
    gw_xsettings_t out = model.GatewayRecordFromControls();
    EXPECT_EQ(out.word[GW_RECEIVE_GAIN], 0x00E8);
    EXPECT_EQ(out.word[GW_TALK_AROUND_GAIN], 0xFFE8);
    EXPECT_EQ(out.word[GW_TRANSMIT_GAIN], 0xFFFD);
    EXPECT_EQ(out.word[GW_FLAGS], 0xE200);  // bits 15, 14, 13, 9
    EXPECT_EQ(out.word[23], 0);
    EXPECT_EQ(out.word[24], 0);

    // Reading: the receive gain's high byte is ignored, outputs show the inverted level.
    out.word[GW_RECEIVE_GAIN] = 0xABE8;
    out.word[GW_FLAGS] |= kGatewayVeltraBit | 0x01FF;
    out.word[GW_LINES + 2 * 3] = 0xC004;  // Function 1: output, stored 1 = "Low", Aux 1
    out.word[GW_LINES + 2 * 3 + 1] = 1200;
    out.word[23] = 0x1234;
    model.ShowGatewayRecord(out);
    EXPECT_EQ(model.GWReceiveInputGainUpDown.position, -24);
    const LineControls& f1 = model.Line(GatewayLine::Function1);
    EXPECT_EQ(f1.io.Text(), "Output");
    EXPECT_EQ(f1.active.Text(), "Low");
    EXPECT_EQ(f1.function.Text(), "Aux 1");
    EXPECT_EQ(f1.pulse.position, 1200);
    EXPECT_EQ(f1.pulse.min, 10);
    EXPECT_TRUE(f1.pulse.enabled);
    const gw_xsettings_t back = model.GatewayRecordFromControls();
    EXPECT_EQ(back.word[GW_FLAGS], 0xE200) << "the Veltra flag and bits 8..0 are never set";
    EXPECT_EQ(back.word[GW_RECEIVE_GAIN], 0x00E8);
    EXPECT_EQ(back.word[GW_LINES + 2 * 3], 0xC004);
    EXPECT_EQ(back.word[GW_LINES + 2 * 3 + 1], 1200);
    EXPECT_EQ(back.word[23], 0);
    EXPECT_EQ(back.word[24], 0);
    // An output set to High is stored with bit 14 clear.
    model.Line(GatewayLine::Function1).active.SelectIndex(1);
    EXPECT_EQ(model.GatewayRecordFromControls().word[GW_LINES + 2 * 3], 0x8004);
}

TEST_F(SettingsModelTest, PressAndHoldAssignmentDisablesAndClearsTheOtherPresses) {
    ButtonCombos& left1 = model.Button(HandsetButton::Left1);
    EXPECT_EQ(left1.shortPress.Text(), "Volume Up");
    EXPECT_TRUE(left1.shortPress.enabled);
    left1.pressAndHold.SelectContaining("Radio PTT");
    model.ApplyEnablingRules();
    EXPECT_EQ(left1.shortPress.Text(), "(Disabled)");
    EXPECT_EQ(left1.longPress.Text(), "(Disabled)");
    EXPECT_FALSE(left1.shortPress.enabled);
    EXPECT_FALSE(left1.longPress.enabled);
    left1.pressAndHold.SelectIndex(0);
    model.ApplyEnablingRules();
    EXPECT_TRUE(left1.shortPress.enabled);
    EXPECT_TRUE(left1.longPress.enabled);
    EXPECT_EQ(left1.shortPress.Text(), "(Disabled)") << "earlier choices are not restored";

    const ButtonCombos& acc = model.Button(HandsetButton::AccPTT);
    EXPECT_FALSE(acc.shortPress.enabled);
    EXPECT_FALSE(acc.longPress.enabled);
    const ButtonCombos& right1 = model.Button(HandsetButton::Right1);
    EXPECT_FALSE(right1.pressAndHold.enabled || right1.shortPress.enabled ||
                 right1.longPress.enabled);
}

TEST_F(SettingsModelTest, CheckBoxesEnableTheirUpDowns) {
    EXPECT_FALSE(model.AlertToneVolumeUpDown.enabled);
    model.FixedAlertToneVolumeCheckBox.checked = true;
    model.GWVOXEnabledCORCheckBox.checked = false;
    model.ApplyEnablingRules();
    EXPECT_TRUE(model.AlertToneVolumeUpDown.enabled);
    EXPECT_FALSE(model.GWVOXTriggerLevelUpDown.enabled);
}

TEST_F(SettingsModelTest, LineEnablingFollowsDirection) {
    const LineControls& ptt = model.Line(GatewayLine::RadioPTT);
    EXPECT_FALSE(ptt.io.enabled || ptt.active.enabled || ptt.function.enabled || ptt.pulse.enabled);
    EXPECT_TRUE(model.Line(GatewayLine::RadioEmergency).pulse.enabled);
    EXPECT_FALSE(model.Line(GatewayLine::RadioCOR).pulse.enabled);
    EXPECT_TRUE(model.Line(GatewayLine::Function2).io.enabled);
    for (GatewayLine l : {GatewayLine::Function3, GatewayLine::Function4, GatewayLine::Function5,
                          GatewayLine::Function6}) {
        EXPECT_FALSE(model.Line(l).io.enabled);
        EXPECT_TRUE(model.Line(l).pulse.enabled);
    }
}

TEST_F(SettingsModelTest, PulseRulesForOutputFunctions) {
    const GatewayLine l = GatewayLine::Function3;
    LineControls& line = model.Line(l);
    line.pulse.SetPosition(300);
    model.LineFunctionChanged(l, 5);  // "Aux 2"
    EXPECT_EQ(line.function.Text(), "Aux 2");
    EXPECT_EQ(line.pulse.min, 10);
    EXPECT_EQ(line.pulse.max, 30000);
    EXPECT_EQ(line.pulse.step, 10);
    EXPECT_EQ(line.pulse.position, 500);
    line.pulse.SetPosition(20000);
    model.LineFunctionChanged(l, 5);  // same choice again: nothing happens
    EXPECT_EQ(line.pulse.position, 20000);
    model.LineFunctionChanged(l, 6);  // "Handset in Cradle"
    EXPECT_EQ(line.pulse.max, 5000);
    EXPECT_EQ(line.pulse.position, 0);

    // Input lines keep their pulse whatever function is chosen.
    LineControls& cor = model.Line(GatewayLine::RadioCOR);
    cor.pulse.SetPosition(40);
    model.LineFunctionChanged(GatewayLine::RadioCOR, 2);
    EXPECT_EQ(cor.pulse.position, 40);
}

TEST_F(SettingsModelTest, DirectionChangeRebuildsTheFunctionListOnlyOnARealChange) {
    const GatewayLine l = GatewayLine::Function1;
    LineControls& line = model.Line(l);
    model.LineFunctionChanged(l, 3);   // "Find Me"
    model.LineDirectionChanged(l, 0);  // same direction
    EXPECT_EQ(line.function.Text(), "Find Me");
    model.LineDirectionChanged(l, 1);
    EXPECT_EQ(line.function.Items().size(), 9u);
    EXPECT_EQ(line.function.Items().back(), "Handsfree active");
    EXPECT_EQ(line.function.Text(), "Disabled");
    EXPECT_TRUE(line.pulse.enabled);
    model.LineDirectionChanged(l, 0);
    EXPECT_EQ(line.function.Items().size(), 4u);
    EXPECT_FALSE(line.pulse.enabled);

    LineControls& emergency = model.Line(GatewayLine::RadioEmergency);
    EXPECT_EQ(emergency.function.Items().size(), 8u)
        << "no \"Handsfree active\" on Radio Emergency";
    // Fixed lines never change direction.
    model.LineDirectionChanged(GatewayLine::Function4, 0);
    EXPECT_EQ(model.Line(GatewayLine::Function4).io.Text(), "Output");
}

TEST_F(SettingsModelTest, DefaultsButtonRestoresFunctionsAndPulses) {
    model.LineDirectionChanged(GatewayLine::RadioCOR, 1);
    model.LineFunctionChanged(GatewayLine::Function3, 4);
    model.SetDefaults();
    EXPECT_EQ(Words(model.GatewayRecordFromControls()), kVeltraGatewayRecord);
    const LineControls& f3 = model.Line(GatewayLine::Function3);
    EXPECT_EQ(f3.pulse.max, 5000);
    EXPECT_EQ(f3.lastFunction, f3.function.index);
    EXPECT_EQ(model.Line(GatewayLine::RadioCOR).lastIo, 0);
}

TEST_F(SettingsModelTest, UpDownsKeepToTheirRange) {
    hs_xsettings_t in = model.HandsetRecordFromControls();
    in.word[HS_LOW_BATTERY_MILLIVOLTS] = 0;
    in.word[HS_AUTO_TURN_OFF_HOURS] = 0xFFFF;
    in.word[HS_LONG_PRESS_DURATION] = 60000;
    model.ShowHandsetRecord(in);
    EXPECT_EQ(model.LowBatteryBeepVoltageUpDown.position, 2500);
    EXPECT_EQ(model.AutoTurnOffTimerUpDown.position, 0);
    EXPECT_EQ(model.LongPressDurationUpDown.position, 1000) << "60000 is -5536 as a signed word";
}

TEST_F(SettingsModelTest, WindowTogglesAndLock) {
    model.ToggleSettingsLock();
    EXPECT_TRUE(model.settingsLocked);
    EXPECT_EQ(model.BatchProgramButtonCaption, "UNLOCK SETTINGS");
    model.ToggleSettingsLock();
    EXPECT_EQ(model.BatchProgramButtonCaption, "LOCK SETTINGS");
    EXPECT_EQ(model.ClientHeight(), 650);
    model.ToggleLog();
    EXPECT_EQ(model.ClientHeight(), 744);
    model.ToggleHiddenControls();
    EXPECT_EQ(model.AudioIntegrityUpDown.visible, model.MinimumLinkQualityUpDown.visible);
}

TEST(DialogsTest, LogLineFormat) {
    EXPECT_EQ(FormatLogLine(9, 5, 3, 7, "Read  - 0001 "), "<09:05:03.07>| Read  - 0001 ");
    const std::string now = TimestampedLogLine("x");
    ASSERT_EQ(now.size(), 16u);
    EXPECT_EQ(now.substr(13), "| x");
}

}  // namespace
}  // namespace halyard
