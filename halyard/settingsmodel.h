// The programmer's settings without widgets: every control of the handset and gateway pages
// as state, the factory defaults of both models, the conversions between the controls and the
// two settings records, and the rules that decide which controls can be edited. The window
// shows this state; the device operations, settings files and halyard-cli work on it directly.
#pragma once

#include <array>
#include <string>

#include "controls.h"
#include "dialogs.h"
#include "records.h"

namespace halyard {

enum class DeviceModel { Veltra, Kordo };

// The handset buttons in the order of their combo boxes on the "Hardware" page.
enum class HandsetButton { PTT, AccPTT, Top1, Top2, Left1, Left2, Right1 };
inline constexpr int kHandsetButtonCount = 7;

struct ButtonCombos {
    ComboBox pressAndHold;
    ComboBox shortPress;
    ComboBox longPress;
};

// The gateway I/O lines in record order.
enum class GatewayLine {
    RadioPTT,
    RadioEmergency,
    RadioCOR,
    Function1,
    Function2,
    Function3,
    Function4,
    Function5,
    Function6,
};
inline constexpr int kGatewayLineCount = 9;

struct LineControls {
    ComboBox io;        // "Input", "Output"
    ComboBox active;    // "Low", "High"
    ComboBox function;  // the input or output functions, by direction
    UpDown pulse;       // milliseconds
    // The last item indices seen, so that change events act only on a real change.
    int lastIo = 0;
    int lastFunction = 0;
};

// Pages of the window: the tabs of MasterPageControl and of the two page controls under it.
enum MasterPage : int { HandsetTab = 0, GatewayTab = 1 };
enum HandsetPage : int {
    UserExperiencePage = 0,
    HandsetAudioPage,
    EmergencyPage,
    HandsetHardwarePage
};
enum CradlePage : int { GatewayAudioPage = 0, GatewayHardwarePage };

inline constexpr int kClientHeightWithLog = 744;
inline constexpr int kClientHeightWithoutLog = 650;

class SettingsModel {
  public:
    // Sets up every control and switches the "Veltra Plus" model on with its defaults.
    explicit SettingsModel(IUserDialogs& dialogs);
    SettingsModel(const SettingsModel&) = delete;
    SettingsModel& operator=(const SettingsModel&) = delete;

    IUserDialogs& Dialogs() { return mDialogs; }

    // --- Handset, "User Experience"
    CheckBox RadioTalkPermitToneCheckBox;
    CheckBox EmergencyToneCheckBox;
    CheckBox TATalkPermitToneCheckBox;
    CheckBox StealthModeAlwaysActiveCheckBox;
    CheckBox MuteSpeakerOnPTTCheckBox;
    CheckBox MuteSpeakerOnChargeCheckBox;
    CheckBox LEDChargeIndicateCheckBox;
    CheckBox AutoTurnOnWhenChargingCheckBox;
    CheckBox MinimumVolumeIs0CheckBox;
    CheckBox OptionBoardCheckBox;
    UpDown AutoTurnOffTimerUpDown;
    UpDown LowBatteryBeepVoltageUpDown;
    UpDown LowBatteryBeepIntervalTimerUpDown;
    UpDown MinimumLinkQualityUpDown;
    CheckBox HandsfreeFunctionCheckBox;
    CheckBox InternalMicOnlyCheckBox;
    CheckBox PTTToggleCheckBox;
    ComboBox RelayModeComboBox;
    // --- Handset, "Audio Levels"
    UpDown InternalMicGainUpDown;
    UpDown InternalMicHighGainBoostUpDown;
    UpDown ExternalMicGainUpDown;
    UpDown ExternalMicHighGainBoostUpDown;
    UpDown RemotePTTGainBoostUpDown;
    UpDown AudioIntegrityUpDown;
    UpDown AlertToneVolumeUpDown;
    CheckBox FixedAlertToneVolumeCheckBox;
    // --- Handset, "Emergency"
    CheckBox TransmitAudibleEmergencyToneCheckBox;
    UpDown AudioLinkActiveTimeUpDown;
    UpDown TransmitTimeUpDown;
    UpDown ReceiveTimeUpDown;
    UpDown EmergencyRepeatCyclesUpDown;
    // --- Handset, "Hardware"
    ComboBox HirosePin2FunctionComboBox;
    std::array<ButtonCombos, kHandsetButtonCount> buttons;
    UpDown LongPressDurationUpDown;
    // --- Gateway, "Audio Levels"
    UpDown GWTalkAroundOutputGainUpDown;
    UpDown GWReceiveInputGainUpDown;
    UpDown GWTransmitOutputGainUpDown;
    UpDown GWVOXTriggerLevelUpDown;
    CheckBox GWVOXEnabledCORCheckBox;
    CheckBox GWFindMeFunctionCheckBox;
    CheckBox GWPublicAddressModeCheckBox;
    CheckBox GWEmergencyAlertToneCheckBox;
    CheckBox GWMultiOperationalMicsCheckBox;
    CheckBox GWRemoteFindMeCheckBox;
    // --- Gateway, "Hardware"
    std::array<LineControls, kGatewayLineCount> lines;

    // --- Window state
    DeviceModel model = DeviceModel::Veltra;  // which model button is on
    int masterPage = HandsetTab;
    int handsetPage = UserExperiencePage;
    int cradlePage = GatewayAudioPage;
    std::string HSSwVersionLabel;
    std::string GWSwVersionLabel;
    bool settingsLocked = false;
    std::string BatchProgramButtonCaption = "LOC&K\nSETTINGS";
    bool logVisible = false;

    ButtonCombos& Button(HandsetButton b) { return buttons[static_cast<int>(b)]; }
    const ButtonCombos& Button(HandsetButton b) const { return buttons[static_cast<int>(b)]; }
    LineControls& Line(GatewayLine l) { return lines[static_cast<int>(l)]; }
    const LineControls& Line(GatewayLine l) const { return lines[static_cast<int>(l)]; }
    // "PTT", "AccPTT", "Top1", ...: the prefix of the button's combo box names.
    static const char* ButtonName(HandsetButton b);
    // "PTT", "Acc PTT", "Top 1", ...: the caption on the page.
    static const char* ButtonCaption(HandsetButton b);
    // "PTT", "Emergency", "COR", "Function1", ...: the part of the line's control names after
    // "GWRadio".
    static const char* LineName(GatewayLine l);
    // "Radio PTT", "Radio Emergency", ...: the caption on the page.
    static const char* LineCaption(GatewayLine l);
    // Lines Function 3 to Function 6 and Radio PTT are always outputs.
    static bool LineDirectionFixed(GatewayLine l);

    // The low-battery voltage in volts, "%.1f".
    std::string VoltageText() const;
    int ClientHeight() const { return logVisible ? kClientHeightWithLog : kClientHeightWithoutLog; }

    // --- Handlers and rules
    // Switching a model button on: when the model changes, its model rules, then the defaults.
    void SelectModel(DeviceModel m);
    // Handset defaults, then gateway defaults, then every line's pulse rule; the remembered
    // line indices are refreshed and the enabling rules run ("&DEFAULTS").
    void SetDefaults();
    void ApplyEnablingRules();
    void ApplyModelRules(DeviceModel m);
    // A line's direction chosen: on a real change remember it, rebuild the function list
    // ("Disabled" selected) and apply the enabling rules.
    void LineDirectionChanged(GatewayLine l, int index);
    // The same for any line, fixed ones included (the device or a file sets them).
    void SetLineDirection(GatewayLine l, int index);
    // A line's function chosen: on a real change remember it and apply the pulse rule.
    void LineFunctionChanged(GatewayLine l, int index);
    // Rebuilds a line's function list for its direction and selects "Disabled".
    void RebuildFunctionList(GatewayLine l);
    // Output lines: "Aux 1" and "Aux 2" pulse 10..30000 ms at 500, others 0..5000 ms at 0.
    // Input lines are left unchanged.
    void ApplyPulseRule(GatewayLine l);
    void RememberLineIndices();
    // Forces the Radio PTT line to Output, Low, "Radio PTT", pulse 0.
    void ForceRadioPTTLine();
    // "LOCK SETTINGS" / "UNLOCK SETTINGS".
    void ToggleSettingsLock();
    // The banner's hidden toggles: Shift shows or hides the audio integrity and minimum link
    // quality controls; Ctrl shows or hides the log.
    void ToggleHiddenControls();
    void ToggleLog();

    // --- Mappings between combo box texts and function codes; each unmatched text or code
    // raises its error message.
    int MapComboBoxToHSKeyPress(const ComboBox& box);
    void MapHSKeyPressToComboBox(int code, ComboBox& box);
    int MapComboBoxToGWKeyPress(const ComboBox& box);
    void MapGWKeyPressToComboBox(int code, ComboBox& box);

    // --- Records
    hs_xsettings_t HandsetRecordFromControls();
    void ShowHandsetRecord(const hs_xsettings_t& record);
    gw_xsettings_t GatewayRecordFromControls();
    void ShowGatewayRecord(const gw_xsettings_t& record);

  private:
    void SetHandsetDefaults();
    void SetGatewayDefaults();
    bool IsOutput(const LineControls& line) const { return line.io.index == 1; }

    IUserDialogs& mDialogs;
};

}  // namespace halyard
