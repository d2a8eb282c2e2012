#include "settingsmodel.h"

#include <cstdio>

namespace halyard {

namespace {

const ItemList kPressAndHoldItems =
    MakeItemList({"(Disabled)", "Radio PTT", "Talk Around PTT", "Emergency"});
const ItemList kPTTPressAndHoldItems = MakeItemList({"(Disabled)", "Radio PTT", "Talk Around PTT"});
const ItemList kAccPTTPressAndHoldItems = MakeItemList({"Radio PTT", "Talk Around PTT"});
const ItemList kShortPressItems = MakeItemList({"(Disabled)", "Volume Up", "Volume Down", "Aux 1",
                                                "Aux 2", "Emergency", "HF On/Off", "Relay On/Off"});
const ItemList kRight1ShortPressItems =
    MakeItemList({"(Disabled)", "Volume Up", "Volume Down", "Aux 1", "Aux 2", "Emergency",
                  "Relay On/Off", "Search"});
const ItemList kPTTShortPressItems =
    MakeItemList({"(Disabled)", "Volume Up", "Volume Down", "Aux 1", "Aux 2", "Emergency"});
const ItemList kLongPressItems =
    MakeItemList({"(Disabled)", "Volume Up", "Volume Down", "Aux 1", "Aux 2", "On / Off",
                  "Emergency", "HF On/Off", "Relay On/Off"});
const ItemList kShortLongPressItems =
    MakeItemList({"(Disabled)", "Volume Up", "Volume Down", "Aux 1", "Aux 2", "On / Off",
                  "Emergency", "HF On/Off"});
const ItemList kHirosePin2Items = MakeItemList({"Speaker -ve", "Battery +ve"});
const ItemList kRelayModeItems = MakeItemList({"Command", "Automatic"});
const ItemList kDirectionItems = MakeItemList({"Input", "Output"});
const ItemList kActiveItems = MakeItemList({"Low", "High"});
const ItemList kInputFunctions = MakeItemList({"Disabled", "Radio COR", "Remote PTT", "Find Me"});
const std::vector<std::string> kOutputFunctionTexts = {
    "Disabled", "Radio PTT", "Emergency",         "Talk around",
    "Aux 1",    "Aux 2",     "Handset in Cradle", "Handset out of Range"};
const ItemList kOutputFunctions = MakeItemList(kOutputFunctionTexts);
// The function lines' outputs can also show that handsfree is active.
const ItemList kFunctionLineOutputs = [] {
    std::vector<std::string> items = kOutputFunctionTexts;
    items.push_back("Handsfree active");
    return MakeItemList(std::move(items));
}();

// Handset function codes 0..10 and their texts.
const char* const kHSCodeTexts[] = {"Disabled",  "On / Off",    "Radio PTT",   "Talk Around PTT",
                                    "Volume Up", "Volume Down", "Emergency",   "Aux 1",
                                    "Aux 2",     "HF On/Off",   "Relay On/Off"};
constexpr int kHSCodeCount = 11;
// The order in which a combo box text is tested against the handset function texts.
const int kHSTextSearchOrder[] = {2, 3, 4, 5, 6, 7, 8, 1, 9, 10, 0};

struct TextCode {
    const char* text;
    int code;
};
// The order in which a combo box text is tested against the gateway function texts.
const TextCode kGWTextSearchOrder[] = {{"Radio COR", 1},
                                       {"Remote PTT", 2},
                                       {"Find Me", 3},
                                       {"Radio PTT", 1},
                                       {"Emergency", 2},
                                       {"Talk around", 3},
                                       {"Aux 1", 4},
                                       {"Aux 2", 5},
                                       {"Handset in Cradle", 6},
                                       {"Handset out of Range", 7},
                                       {"Handsfree active", 8},
                                       {"Disabled", 0}};
const char* const kGWInputTexts[] = {"Disabled", "Radio COR", "Remote PTT", "Find Me"};
const char* const kGWOutputTexts[] = {
    "Disabled",        "Radio PTT", "Emergency",         "Talk around",
    "Aux 1",           "Aux 2",     "Handset in Cradle", "Handset out of Range",
    "Handsfree active"};
constexpr int kGWMaxCode = 8;

struct FlagBit {
    int bit;
    CheckBox SettingsModel::*box;
};
const FlagBit kHandsetFlags[] = {
    {15, &SettingsModel::TATalkPermitToneCheckBox},
    {14, &SettingsModel::RadioTalkPermitToneCheckBox},
    {13, &SettingsModel::EmergencyToneCheckBox},
    {12, &SettingsModel::StealthModeAlwaysActiveCheckBox},
    {11, &SettingsModel::MuteSpeakerOnPTTCheckBox},
    {10, &SettingsModel::MuteSpeakerOnChargeCheckBox},
    {9, &SettingsModel::LEDChargeIndicateCheckBox},
    {8, &SettingsModel::AutoTurnOnWhenChargingCheckBox},
    {7, &SettingsModel::FixedAlertToneVolumeCheckBox},
    {6, &SettingsModel::TransmitAudibleEmergencyToneCheckBox},
    {4, &SettingsModel::HandsfreeFunctionCheckBox},
    {3, &SettingsModel::MinimumVolumeIs0CheckBox},
    {1, &SettingsModel::InternalMicOnlyCheckBox},
    {0, &SettingsModel::OptionBoardCheckBox},
};
constexpr int kHirosePin2Bit = 5;

const FlagBit kGatewayFlags[] = {
    {15, &SettingsModel::GWEmergencyAlertToneCheckBox},
    {14, &SettingsModel::GWMultiOperationalMicsCheckBox},
    {13, &SettingsModel::GWVOXEnabledCORCheckBox},
    {12, &SettingsModel::GWPublicAddressModeCheckBox},
    {11, &SettingsModel::GWFindMeFunctionCheckBox},
    {9, &SettingsModel::GWRemoteFindMeCheckBox},
};

// Every up-down of the handset record: its word, range, step and factory value.
struct UpDownRange {
    UpDown SettingsModel::*control;
    int word;
    int min;
    int max;
    int step;
    int preset;
};
const UpDownRange kHandsetUpDowns[] = {
    {&SettingsModel::AutoTurnOffTimerUpDown, HS_AUTO_TURN_OFF_HOURS, 0, 24, 1, 8},
    {&SettingsModel::LowBatteryBeepVoltageUpDown, HS_LOW_BATTERY_MILLIVOLTS, 2500, 4000, 100, 3500},
    {&SettingsModel::LowBatteryBeepIntervalTimerUpDown, HS_LOW_BATTERY_INTERVAL, 1, 10, 1, 5},
    {&SettingsModel::InternalMicGainUpDown, HS_INTERNAL_MIC_GAIN, -24, 21, 3, 0},
    {&SettingsModel::InternalMicHighGainBoostUpDown, HS_INTERNAL_MIC_BOOST, 0, 12, 3, 6},
    {&SettingsModel::ExternalMicGainUpDown, HS_EXTERNAL_MIC_GAIN, -24, 21, 3, 9},
    {&SettingsModel::ExternalMicHighGainBoostUpDown, HS_EXTERNAL_MIC_BOOST, 0, 12, 3, 6},
    {&SettingsModel::RemotePTTGainBoostUpDown, HS_REMOTE_PTT_BOOST, 0, 12, 3, 9},
    {&SettingsModel::AlertToneVolumeUpDown, HS_ALERT_TONE_VOLUME, 0, 5, 1, 5},
    {&SettingsModel::AudioLinkActiveTimeUpDown, HS_AUDIO_LINK_ACTIVE_TIME, 0, 255, 1, 0},
    {&SettingsModel::TransmitTimeUpDown, HS_TRANSMIT_TIME, 0, 60, 1, 0},
    {&SettingsModel::ReceiveTimeUpDown, HS_RECEIVE_TIME, 0, 60, 1, 0},
    {&SettingsModel::EmergencyRepeatCyclesUpDown, HS_EMERGENCY_REPEAT_CYCLES, 1, 10, 1, 1},
    {&SettingsModel::LongPressDurationUpDown, HS_LONG_PRESS_DURATION, 1000, 5000, 100, 2000},
    {&SettingsModel::AudioIntegrityUpDown, HS_AUDIO_INTEGRITY, 100, 255, 1, 200},
    {&SettingsModel::MinimumLinkQualityUpDown, HS_MINIMUM_LINK_QUALITY, 0, 100, 1, 75},
};
// The gateway up-downs; the receive gain (word 2) is stored as a signed byte.
const UpDownRange kGatewayUpDowns[] = {
    {&SettingsModel::GWTalkAroundOutputGainUpDown, GW_TALK_AROUND_GAIN, -24, 21, 3, 9},
    {&SettingsModel::GWReceiveInputGainUpDown, GW_RECEIVE_GAIN, -24, 21, 3, 3},
    {&SettingsModel::GWTransmitOutputGainUpDown, GW_TRANSMIT_GAIN, -24, 21, 3, 0},
    {&SettingsModel::GWVOXTriggerLevelUpDown, GW_VOX_TRIGGER_LEVEL, 0, 100, 1, 70},
};

constexpr int kPulseStep = 10;

// The record word of each handset button's key word.
constexpr int kButtonWord[kHandsetButtonCount] = {HS_KEY_PTT,   HS_KEY_ACC_PTT, HS_KEY_TOP1,
                                                  HS_KEY_TOP2,  HS_KEY_LEFT1,   HS_KEY_LEFT2,
                                                  HS_KEY_RIGHT1};

// Factory button assignments: press and hold, short press, long press (Veltra Plus; Left 1's
// long press is "Disabled" on Kordo Plus).
struct ButtonDefault {
    const char* pressAndHold;
    const char* shortPress;
    const char* longPress;
};
const ButtonDefault kButtonDefaults[kHandsetButtonCount] = {
    {"Radio PTT", "Disabled", "Disabled"},        // PTT
    {"Radio PTT", "Disabled", "Disabled"},        // Acc PTT
    {"Emergency", "Disabled", "Disabled"},        // Top 1
    {"Talk Around PTT", "Disabled", "Disabled"},  // Top 2
    {"Disabled", "Volume Up", "Relay On/Off"},    // Left 1
    {"Disabled", "Volume Down", "Disabled"},      // Left 2
    {"Disabled", "Search", "On / Off"},           // Right 1
};

// Factory lines: output, active high, function.
struct LineDefault {
    bool output;
    bool high;
    const char* function;
};
const LineDefault kLineDefaults[kGatewayLineCount] = {
    {true, false, "Radio PTT"},         // Radio PTT
    {true, false, "Emergency"},         // Radio Emergency
    {false, false, "Radio COR"},        // Radio COR
    {false, false, "Disabled"},         // Function 1
    {false, false, "Disabled"},         // Function 2
    {true, false, "Disabled"},          // Function 3
    {true, false, "Disabled"},          // Function 4
    {true, true, "Handsfree active"},   // Function 5 ("Disabled" on Kordo Plus)
    {true, true, "Handset in Cradle"},  // Function 6
};

uint16_t Signed16(int value) {
    return static_cast<uint16_t>(static_cast<int16_t>(value));
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The key word fields: press and hold bits 15..11, short press 10..6, long press 5..0.
constexpr int kPressAndHoldShift = 11;
constexpr int kShortPressShift = 6;
constexpr unsigned kFiveBits = 0x1F;
constexpr unsigned kSixBits = 0x3F;
constexpr uint16_t kLineOutputBit = 0x8000;
constexpr uint16_t kLineActiveBit = 0x4000;
constexpr uint16_t kLineFunctionMask = 0x3FFF;

}  // namespace

SettingsModel::SettingsModel(IUserDialogs& dialogs) : mDialogs(dialogs) {
    for (const UpDownRange& range : kHandsetUpDowns) {
        UpDown& u = this->*range.control;
        u.min = range.min;
        u.max = range.max;
        u.step = range.step;
        u.position = range.preset;
    }
    for (const UpDownRange& range : kGatewayUpDowns) {
        UpDown& u = this->*range.control;
        u.min = range.min;
        u.max = range.max;
        u.step = range.step;
        u.position = range.preset;
    }
    HirosePin2FunctionComboBox.SetItems(kHirosePin2Items);
    RelayModeComboBox.SetItems(kRelayModeItems);
    for (int i = 0; i < kHandsetButtonCount; ++i) {
        const auto b = static_cast<HandsetButton>(i);
        ButtonCombos& combos = buttons[i];
        switch (b) {
            case HandsetButton::PTT:
                combos.pressAndHold.SetItems(kPTTPressAndHoldItems);
                combos.shortPress.SetItems(kPTTShortPressItems);
                combos.longPress.SetItems(kShortLongPressItems);
                break;
            case HandsetButton::AccPTT:
                combos.pressAndHold.SetItems(kAccPTTPressAndHoldItems);
                combos.shortPress.SetItems(kPTTShortPressItems);
                combos.longPress.SetItems(kShortLongPressItems);
                break;
            case HandsetButton::Right1:
                combos.pressAndHold.SetItems(kPressAndHoldItems);
                combos.shortPress.SetItems(kRight1ShortPressItems);
                combos.longPress.SetItems(kShortLongPressItems);
                break;
            default:
                combos.pressAndHold.SetItems(kPressAndHoldItems);
                combos.shortPress.SetItems(kShortPressItems);
                combos.longPress.SetItems(kLongPressItems);
                break;
        }
    }
    for (int i = 0; i < kGatewayLineCount; ++i) {
        LineControls& line = lines[i];
        line.io.SetItems(kDirectionItems);
        line.active.SetItems(kActiveItems);
        line.pulse.min = 0;
        line.pulse.max = 5000;
        line.pulse.step = kPulseStep;
        line.pulse.position = 0;
        RebuildFunctionList(static_cast<GatewayLine>(i));
    }
    // Start-up switches the "Veltra Plus" model button on.
    model = DeviceModel::Veltra;
    ApplyModelRules(model);
    SetDefaults();
}

const char* SettingsModel::ButtonName(HandsetButton b) {
    static const char* const names[] = {"PTT",   "AccPTT", "Top1",  "Top2",
                                        "Left1", "Left2",  "Right1"};
    return names[static_cast<int>(b)];
}

const char* SettingsModel::ButtonCaption(HandsetButton b) {
    static const char* const names[] = {"PTT",    "Acc PTT", "Top 1",  "Top 2",
                                        "Left 1", "Left 2",  "Right 1"};
    return names[static_cast<int>(b)];
}

const char* SettingsModel::LineName(GatewayLine l) {
    static const char* const names[] = {"PTT",       "Emergency", "COR",
                                        "Function1", "Function2", "Function3",
                                        "Function4", "Function5", "Function6"};
    return names[static_cast<int>(l)];
}

const char* SettingsModel::LineCaption(GatewayLine l) {
    static const char* const names[] = {"Radio PTT",  "Radio Emergency", "Radio COR",
                                        "Function 1", "Function 2",      "Function 3",
                                        "Function 4", "Function 5",      "Function 6"};
    return names[static_cast<int>(l)];
}

bool SettingsModel::LineDirectionFixed(GatewayLine l) {
    return l == GatewayLine::RadioPTT || l >= GatewayLine::Function3;
}

std::string SettingsModel::VoltageText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", LowBatteryBeepVoltageUpDown.position * 0.001);
    return text;
}

void SettingsModel::SelectModel(DeviceModel m) {
    if (m == model) {
        return;
    }
    model = m;
    ApplyModelRules(m);
    SetDefaults();
}

void SettingsModel::ApplyModelRules(DeviceModel m) {
    if (m == DeviceModel::Veltra) {
        for (CheckBox* box : {&GWEmergencyAlertToneCheckBox, &GWFindMeFunctionCheckBox,
                              &GWMultiOperationalMicsCheckBox, &GWRemoteFindMeCheckBox,
                              &GWPublicAddressModeCheckBox, &TransmitAudibleEmergencyToneCheckBox,
                              &HandsfreeFunctionCheckBox, &InternalMicOnlyCheckBox}) {
            box->enabled = true;
        }
        TransmitTimeUpDown.enabled = true;
        ReceiveTimeUpDown.enabled = true;
        EmergencyRepeatCyclesUpDown.enabled = true;
    } else {
        GWFindMeFunctionCheckBox.enabled = true;
        TransmitAudibleEmergencyToneCheckBox.enabled = true;
        for (CheckBox* box : {&GWMultiOperationalMicsCheckBox, &GWRemoteFindMeCheckBox,
                              &HandsfreeFunctionCheckBox, &InternalMicOnlyCheckBox}) {
            box->enabled = false;
        }
    }
    RelayModeComboBox.enabled = false;
}

void SettingsModel::SetHandsetDefaults() {
    const bool veltra = model == DeviceModel::Veltra;
    for (const FlagBit& flag : kHandsetFlags) {
        (this->*flag.box).checked = false;
    }
    TATalkPermitToneCheckBox.checked = true;
    EmergencyToneCheckBox.checked = true;
    MuteSpeakerOnChargeCheckBox.checked = true;
    LEDChargeIndicateCheckBox.checked = true;
    AutoTurnOnWhenChargingCheckBox.checked = true;
    HirosePin2FunctionComboBox.SelectIndex(0);
    for (const UpDownRange& range : kHandsetUpDowns) {
        (this->*range.control).SetPosition(range.preset);
    }
    for (int i = 0; i < kHandsetButtonCount; ++i) {
        const ButtonDefault& d = kButtonDefaults[i];
        ButtonCombos& combos = buttons[i];
        combos.pressAndHold.SelectContaining(d.pressAndHold);
        combos.shortPress.SelectContaining(d.shortPress);
        const bool kordoLeft1 = !veltra && static_cast<HandsetButton>(i) == HandsetButton::Left1;
        combos.longPress.SelectContaining(kordoLeft1 ? "Disabled" : d.longPress);
    }
    RelayModeComboBox.SelectIndex(0);
    PTTToggleCheckBox.checked = false;
    RelayModeComboBox.enabled = veltra;
    PTTToggleCheckBox.enabled = veltra;
    HandsfreeFunctionCheckBox.enabled = veltra;
}

void SettingsModel::SetGatewayDefaults() {
    GWEmergencyAlertToneCheckBox.checked = false;
    if (model == DeviceModel::Veltra) {
        GWMultiOperationalMicsCheckBox.checked = true;
    }
    GWVOXEnabledCORCheckBox.checked = true;
    GWPublicAddressModeCheckBox.checked = false;
    GWFindMeFunctionCheckBox.checked = false;
    GWRemoteFindMeCheckBox.checked = false;
    for (const UpDownRange& range : kGatewayUpDowns) {
        (this->*range.control).SetPosition(range.preset);
    }
    for (int i = 0; i < kGatewayLineCount; ++i) {
        const LineDefault& d = kLineDefaults[i];
        LineControls& line = lines[i];
        line.io.SelectIndex(d.output ? 1 : 0);
        RebuildFunctionList(static_cast<GatewayLine>(i));
        line.active.SelectIndex(d.high ? 1 : 0);
        const bool kordoFunction5 =
            model == DeviceModel::Kordo && static_cast<GatewayLine>(i) == GatewayLine::Function5;
        line.function.SelectContaining(kordoFunction5 ? "Disabled" : d.function);
        line.pulse.SetPosition(0);
    }
}

void SettingsModel::SetDefaults() {
    SetHandsetDefaults();
    SetGatewayDefaults();
    for (int i = 0; i < kGatewayLineCount; ++i) {
        ApplyPulseRule(static_cast<GatewayLine>(i));
    }
    RememberLineIndices();
    ApplyEnablingRules();
}

void SettingsModel::ApplyEnablingRules() {
    AlertToneVolumeUpDown.enabled = FixedAlertToneVolumeCheckBox.checked;
    for (HandsetButton b : {HandsetButton::AccPTT, HandsetButton::PTT, HandsetButton::Top1,
                            HandsetButton::Top2, HandsetButton::Left1, HandsetButton::Left2}) {
        ButtonCombos& combos = Button(b);
        const bool assigned = MapComboBoxToHSKeyPress(combos.pressAndHold) != 0;
        if (assigned) {
            combos.shortPress.SelectContaining("Disabled");
            combos.longPress.SelectContaining("Disabled");
        }
        combos.shortPress.enabled = !assigned;
        combos.longPress.enabled = !assigned;
    }
    ButtonCombos& right1 = Button(HandsetButton::Right1);
    right1.pressAndHold.enabled = false;
    right1.shortPress.enabled = false;
    right1.longPress.enabled = false;
    GWVOXTriggerLevelUpDown.enabled = GWVOXEnabledCORCheckBox.checked;
    for (int i = 0; i < kGatewayLineCount; ++i) {
        const auto l = static_cast<GatewayLine>(i);
        LineControls& line = lines[i];
        if (l == GatewayLine::RadioPTT) {
            line.io.enabled = line.active.enabled = line.function.enabled = false;
            line.pulse.enabled = false;
            continue;
        }
        line.io.enabled = !LineDirectionFixed(l);
        line.active.enabled = line.function.enabled = true;
        line.pulse.enabled = Contains(line.io.Text(), "Output");
    }
}

void SettingsModel::LineDirectionChanged(GatewayLine l, int index) {
    if (!LineDirectionFixed(l)) {
        SetLineDirection(l, index);
    }
}

void SettingsModel::SetLineDirection(GatewayLine l, int index) {
    LineControls& line = Line(l);
    if (!line.io.SelectIndex(index) || index == line.lastIo) {
        return;
    }
    line.lastIo = index;
    RebuildFunctionList(l);
    line.lastFunction = line.function.index;
    ApplyEnablingRules();
}

void SettingsModel::LineFunctionChanged(GatewayLine l, int index) {
    LineControls& line = Line(l);
    if (!line.function.SelectIndex(index) || index == line.lastFunction) {
        return;
    }
    line.lastFunction = index;
    ApplyPulseRule(l);
}

void SettingsModel::RebuildFunctionList(GatewayLine l) {
    LineControls& line = Line(l);
    if (IsOutput(line)) {
        line.function.SetItems(l >= GatewayLine::Function1 ? kFunctionLineOutputs
                                                           : kOutputFunctions);
    } else {
        line.function.SetItems(kInputFunctions);
    }
    line.function.SelectContaining("Disabled");
}

void SettingsModel::ApplyPulseRule(GatewayLine l) {
    LineControls& line = Line(l);
    if (!IsOutput(line)) {
        return;
    }
    const std::string& function = line.function.Text();
    if (Contains(function, "Aux 1") || Contains(function, "Aux 2")) {
        line.pulse.SetRange(10, 30000);
        line.pulse.SetPosition(500);
    } else {
        line.pulse.SetRange(0, 5000);
        line.pulse.SetPosition(0);
    }
}

void SettingsModel::RememberLineIndices() {
    for (LineControls& line : lines) {
        line.lastIo = line.io.index;
        line.lastFunction = line.function.index;
    }
}

void SettingsModel::ForceRadioPTTLine() {
    LineControls& line = Line(GatewayLine::RadioPTT);
    line.io.SelectIndex(1);
    RebuildFunctionList(GatewayLine::RadioPTT);
    line.active.SelectIndex(0);
    line.function.SelectContaining("Radio PTT");
    ApplyPulseRule(GatewayLine::RadioPTT);
    line.pulse.SetPosition(0);
    line.lastIo = line.io.index;
    line.lastFunction = line.function.index;
}

void SettingsModel::ToggleSettingsLock() {
    settingsLocked = !settingsLocked;
    BatchProgramButtonCaption = settingsLocked ? "UNLOCK SETTINGS" : "LOCK SETTINGS";
}

void SettingsModel::ToggleHiddenControls() {
    const bool show = !AudioIntegrityUpDown.visible;
    AudioIntegrityUpDown.visible = show;
    MinimumLinkQualityUpDown.visible = show;
}

void SettingsModel::ToggleLog() {
    logVisible = !logVisible;
}

int SettingsModel::MapComboBoxToHSKeyPress(const ComboBox& box) {
    const std::string& text = box.Text();
    for (int code : kHSTextSearchOrder) {
        if (Contains(text, kHSCodeTexts[code])) {
            return code;
        }
    }
    ShowError(mDialogs, "Text '" + text + "' is not matched in MapComboBoxToHSKeyPress()!");
    return 0;
}

void SettingsModel::MapHSKeyPressToComboBox(int code, ComboBox& box) {
    const char* text = kHSCodeTexts[0];
    if (code >= 0 && code < kHSCodeCount) {
        text = kHSCodeTexts[code];
    } else {
        ShowError(mDialogs, "KeyPress '" + std::to_string(code) +
                                "' is not matched in MapHSKeyPressToComboBox()\nIf you recently "
                                "upgraded firmware, please program device to activate new "
                                "features.");
    }
    box.SelectContaining(text);
}

int SettingsModel::MapComboBoxToGWKeyPress(const ComboBox& box) {
    const std::string& text = box.Text();
    for (const TextCode& entry : kGWTextSearchOrder) {
        if (Contains(text, entry.text)) {
            return entry.code;
        }
    }
    ShowError(mDialogs, "Text '" + text + "' is not matched in MapComboBoxToGWKeyPress()!");
    return 0;
}

void SettingsModel::MapGWKeyPressToComboBox(int code, ComboBox& box) {
    if (code < 0 || code > kGWMaxCode) {
        ShowError(mDialogs, "KeyPress '" + std::to_string(code) +
                                "' is not matched in MapGWKeyPressToComboBox()!");
        box.SelectContaining("Disabled");
        return;
    }
    if (code == 0) {
        box.SelectContaining("Disabled");
        return;
    }
    if (code <= 3) {
        box.SelectContaining(kGWInputTexts[code]);
    }
    box.SelectContaining(kGWOutputTexts[code]);
}

hs_xsettings_t SettingsModel::HandsetRecordFromControls() {
    hs_xsettings_t record;
    uint16_t flags = 0;
    for (const FlagBit& flag : kHandsetFlags) {
        if ((this->*flag.box).checked) {
            flags |= static_cast<uint16_t>(1u << flag.bit);
        }
    }
    if (HirosePin2FunctionComboBox.index == 1) {
        flags |= 1u << kHirosePin2Bit;
    }
    record.word[HS_FLAGS] = flags;
    for (const UpDownRange& range : kHandsetUpDowns) {
        record.word[range.word] = Signed16((this->*range.control).position);
    }
    for (int i = 0; i < kHandsetButtonCount; ++i) {
        ButtonCombos& combos = buttons[i];
        const unsigned pressAndHold = MapComboBoxToHSKeyPress(combos.pressAndHold) & kFiveBits;
        // Right 1 has no short press on the device; its box only shows "Search".
        const unsigned shortPress = static_cast<HandsetButton>(i) == HandsetButton::Right1
                                        ? 0
                                        : MapComboBoxToHSKeyPress(combos.shortPress) & kFiveBits;
        const unsigned longPress = MapComboBoxToHSKeyPress(combos.longPress) & kSixBits;
        record.word[kButtonWord[i]] = static_cast<uint16_t>(
            (pressAndHold << kPressAndHoldShift) | (shortPress << kShortPressShift) | longPress);
    }
    uint16_t relay = 0;
    if (RelayModeComboBox.index == 1) {
        relay |= 0x8000;
    }
    if (PTTToggleCheckBox.checked) {
        relay |= 0x4000;
    }
    record.word[HS_RELAY_AND_TOGGLE] = relay;
    return record;
}

void SettingsModel::ShowHandsetRecord(const hs_xsettings_t& record) {
    const uint16_t flags = record.word[HS_FLAGS];
    for (const FlagBit& flag : kHandsetFlags) {
        (this->*flag.box).checked = (flags >> flag.bit) & 1u;
    }
    HirosePin2FunctionComboBox.SelectIndex((flags >> kHirosePin2Bit) & 1u);
    for (const UpDownRange& range : kHandsetUpDowns) {
        (this->*range.control).SetPosition(static_cast<int16_t>(record.word[range.word]));
    }
    for (int i = 0; i < kHandsetButtonCount; ++i) {
        ButtonCombos& combos = buttons[i];
        const unsigned key = record.word[kButtonWord[i]];
        MapHSKeyPressToComboBox(static_cast<int>((key >> kPressAndHoldShift) & kFiveBits),
                                combos.pressAndHold);
        if (static_cast<HandsetButton>(i) != HandsetButton::Right1) {
            MapHSKeyPressToComboBox(static_cast<int>((key >> kShortPressShift) & kFiveBits),
                                    combos.shortPress);
        }
        MapHSKeyPressToComboBox(static_cast<int>(key & kSixBits), combos.longPress);
    }
    const uint16_t relay = record.word[HS_RELAY_AND_TOGGLE];
    PTTToggleCheckBox.checked = (relay & 0x4000) != 0;
    RelayModeComboBox.SelectIndex((relay & 0x8000) ? 1 : 0);
    ApplyEnablingRules();
}

gw_xsettings_t SettingsModel::GatewayRecordFromControls() {
    gw_xsettings_t record;
    uint16_t flags = 0;
    for (const FlagBit& flag : kGatewayFlags) {
        if ((this->*flag.box).checked) {
            flags |= static_cast<uint16_t>(1u << flag.bit);
        }
    }
    record.word[GW_FLAGS] = flags;
    record.word[GW_TALK_AROUND_GAIN] = Signed16(GWTalkAroundOutputGainUpDown.position);
    record.word[GW_RECEIVE_GAIN] = static_cast<uint8_t>(GWReceiveInputGainUpDown.position);
    record.word[GW_TRANSMIT_GAIN] = Signed16(GWTransmitOutputGainUpDown.position);
    record.word[GW_VOX_TRIGGER_LEVEL] = Signed16(GWVOXTriggerLevelUpDown.position);
    for (int i = 0; i < kGatewayLineCount; ++i) {
        LineControls& line = lines[i];
        uint16_t word = 0;
        if (line.io.index == 1) {
            word |= kLineOutputBit;
        }
        if (line.active.index == 1) {
            word |= kLineActiveBit;
        }
        word |= static_cast<uint16_t>(MapComboBoxToGWKeyPress(line.function)) & kLineFunctionMask;
        if (IsOutput(line)) {
            word ^= kLineActiveBit;  // outputs store their active level inverted
        }
        record.word[GW_LINES + 2 * i] = word;
        record.word[GW_LINES + 2 * i + 1] = Signed16(line.pulse.position);
    }
    return record;
}

void SettingsModel::ShowGatewayRecord(const gw_xsettings_t& record) {
    const uint16_t flags = record.word[GW_FLAGS];
    for (const FlagBit& flag : kGatewayFlags) {
        (this->*flag.box).checked = (flags >> flag.bit) & 1u;
    }
    GWTalkAroundOutputGainUpDown.SetPosition(
        static_cast<int16_t>(record.word[GW_TALK_AROUND_GAIN]));
    GWReceiveInputGainUpDown.SetPosition(static_cast<int8_t>(record.word[GW_RECEIVE_GAIN] & 0xFF));
    GWTransmitOutputGainUpDown.SetPosition(static_cast<int16_t>(record.word[GW_TRANSMIT_GAIN]));
    GWVOXTriggerLevelUpDown.SetPosition(static_cast<int16_t>(record.word[GW_VOX_TRIGGER_LEVEL]));
    for (int i = 0; i < kGatewayLineCount; ++i) {
        const auto l = static_cast<GatewayLine>(i);
        LineControls& line = lines[i];
        const uint16_t word = record.word[GW_LINES + 2 * i];
        line.io.SelectIndex((word & kLineOutputBit) ? 1 : 0);
        RebuildFunctionList(l);
        line.active.SelectIndex((word & kLineActiveBit) ? 1 : 0);
        MapGWKeyPressToComboBox(word & kLineFunctionMask, line.function);
        if (IsOutput(line)) {
            line.active.SelectIndex(1 - line.active.index);
        }
        ApplyPulseRule(l);
        line.pulse.SetPosition(static_cast<int16_t>(record.word[GW_LINES + 2 * i + 1]));
    }
    ApplyEnablingRules();
    RememberLineIndices();
}

}  // namespace halyard
