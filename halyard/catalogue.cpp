#include "catalogue.h"

namespace halyard {

namespace {

using M = SettingsModel;

CatalogueEntry Check(int key, const char* name, CheckBox M::*member) {
    CatalogueEntry e;
    e.key = key;
    e.name = name;
    e.check = member;
    return e;
}
CatalogueEntry Combo(int key, const char* name, ComboBox M::*member) {
    CatalogueEntry e;
    e.key = key;
    e.name = name;
    e.combo = member;
    return e;
}
CatalogueEntry Up(int key, const char* name, UpDown M::*member) {
    CatalogueEntry e;
    e.key = key;
    e.name = name;
    e.upDown = member;
    return e;
}
void AddButton(std::vector<CatalogueEntry>& out, int firstKey, HandsetButton b) {
    static const char* const parts[] = {"PressAndHoldComboBox", "ShortPressComboBox",
                                        "LongPressComboBox"};
    for (int part = 0; part < 3; ++part) {
        CatalogueEntry e;
        e.key = firstKey + part;
        e.name = std::string(SettingsModel::ButtonName(b)) + parts[part];
        e.button = static_cast<int>(b);
        e.comboPart = part;
        out.push_back(e);
    }
}

std::vector<CatalogueEntry> Build() {
    std::vector<CatalogueEntry> c;
    c.push_back(Check(1, "TATalkPermitToneCheckBox", &M::TATalkPermitToneCheckBox));
    c.push_back(Check(2, "RadioTalkPermitToneCheckBox", &M::RadioTalkPermitToneCheckBox));
    c.push_back(Check(3, "EmergencyToneCheckBox", &M::EmergencyToneCheckBox));
    c.push_back(Check(4, "StealthModeAlwaysActiveCheckBox", &M::StealthModeAlwaysActiveCheckBox));
    c.push_back(Check(5, "MuteSpeakerOnPTTCheckBox", &M::MuteSpeakerOnPTTCheckBox));
    c.push_back(Check(6, "MuteSpeakerOnChargeCheckBox", &M::MuteSpeakerOnChargeCheckBox));
    c.push_back(Check(7, "LEDChargeIndicateCheckBox", &M::LEDChargeIndicateCheckBox));
    c.push_back(Check(8, "AutoTurnOnWhenChargingCheckBox", &M::AutoTurnOnWhenChargingCheckBox));
    c.push_back(Check(9, "FixedAlertToneVolumeCheckBox", &M::FixedAlertToneVolumeCheckBox));
    c.push_back(Check(10, "TransmitAudibleEmergencyToneCheckBox",
                      &M::TransmitAudibleEmergencyToneCheckBox));
    c.push_back(Combo(11, "HirosePin2FunctionComboBox", &M::HirosePin2FunctionComboBox));
    c.push_back(Up(12, "AutoTurnOffTimerUpDown", &M::AutoTurnOffTimerUpDown));
    c.push_back(Up(13, "LowBatteryBeepVoltageUpDown", &M::LowBatteryBeepVoltageUpDown));
    c.push_back(Up(14, "LowBatteryBeepIntervalTimerUpDown", &M::LowBatteryBeepIntervalTimerUpDown));
    AddButton(c, 15, HandsetButton::PTT);
    AddButton(c, 18, HandsetButton::Top1);
    AddButton(c, 21, HandsetButton::Top2);
    AddButton(c, 24, HandsetButton::Left1);
    AddButton(c, 27, HandsetButton::Left2);
    AddButton(c, 30, HandsetButton::Right1);
    c.push_back(Up(33, "InternalMicGainUpDown", &M::InternalMicGainUpDown));
    c.push_back(Up(34, "InternalMicHighGainBoostUpDown", &M::InternalMicHighGainBoostUpDown));
    c.push_back(Up(35, "ExternalMicGainUpDown", &M::ExternalMicGainUpDown));
    c.push_back(Up(36, "ExternalMicHighGainBoostUpDown", &M::ExternalMicHighGainBoostUpDown));
    c.push_back(Up(37, "RemotePTTGainBoostUpDown", &M::RemotePTTGainBoostUpDown));
    c.push_back(Up(38, "AudioIntegrityUpDown", &M::AudioIntegrityUpDown));
    c.push_back(Up(39, "AlertToneVolumeUpDown", &M::AlertToneVolumeUpDown));
    c.push_back(Up(40, "AudioLinkActiveTimeUpDown", &M::AudioLinkActiveTimeUpDown));
    c.push_back(Up(41, "TransmitTimeUpDown", &M::TransmitTimeUpDown));
    c.push_back(Up(42, "ReceiveTimeUpDown", &M::ReceiveTimeUpDown));
    c.push_back(Up(43, "EmergencyRepeatCyclesUpDown", &M::EmergencyRepeatCyclesUpDown));
    c.push_back(Up(44, "LongPressDurationUpDown", &M::LongPressDurationUpDown));
    AddButton(c, 45, HandsetButton::AccPTT);
    c.push_back(Check(48, "MinimumVolumeIs0CheckBox", &M::MinimumVolumeIs0CheckBox));
    c.push_back(Check(49, "HandsfreeFunctionCheckBox", &M::HandsfreeFunctionCheckBox));
    c.push_back(Check(50, "InternalMicOnlyCheckBox", &M::InternalMicOnlyCheckBox));
    c.push_back(Check(51, "OptionBoardCheckBox", &M::OptionBoardCheckBox));
    c.push_back(Combo(52, "RelayModeComboBox", &M::RelayModeComboBox));
    c.push_back(Check(53, "PTTToggleCheckBox", &M::PTTToggleCheckBox));
    c.push_back(Up(54, "MinimumLinkQualityUpDown", &M::MinimumLinkQualityUpDown));

    c.push_back(Check(1001, "GWFindMeFunctionCheckBox", &M::GWFindMeFunctionCheckBox));
    c.push_back(Check(1002, "GWPublicAddressModeCheckBox", &M::GWPublicAddressModeCheckBox));
    c.push_back(Check(1003, "GWVOXEnabledCORCheckBox", &M::GWVOXEnabledCORCheckBox));
    c.push_back(Check(1004, "GWMultiOperationalMicsCheckBox", &M::GWMultiOperationalMicsCheckBox));
    c.push_back(Check(1005, "GWEmergencyAlertToneCheckBox", &M::GWEmergencyAlertToneCheckBox));
    c.push_back(Up(1006, "GWTalkAroundOutputGainUpDown", &M::GWTalkAroundOutputGainUpDown));
    c.push_back(Up(1007, "GWReceiveInputGainUpDown", &M::GWReceiveInputGainUpDown));
    CatalogueEntry reserved;
    reserved.key = 1008;
    c.push_back(reserved);
    c.push_back(Up(1009, "GWTransmitOutputGainUpDown", &M::GWTransmitOutputGainUpDown));
    c.push_back(Up(1010, "GWVOXTriggerLevelUpDown", &M::GWVOXTriggerLevelUpDown));
    static const char* const parts[] = {"IOComboBox", "ActiveComboBox", "FunctionComboBox",
                                        "PulseUpDown", ""};
    for (int line = 0; line < kGatewayLineCount; ++line) {
        for (int part = 0; part < 5; ++part) {
            CatalogueEntry e;
            e.key = 1011 + 5 * line + part;
            e.line = line;
            e.linePart = static_cast<LinePart>(part);
            if (e.linePart != LinePart::Reserved) {
                e.name = std::string("GWRadio") +
                         SettingsModel::LineName(static_cast<GatewayLine>(line)) + parts[part];
            }
            c.push_back(e);
        }
    }
    // The remote find-me check box has no entry: settings files do not carry it.
    return c;
}

}  // namespace

CatalogueEntry::Control CatalogueEntry::Resolve(SettingsModel& model) const {
    if (check) {
        return &(model.*check);
    }
    if (combo) {
        return &(model.*combo);
    }
    if (upDown) {
        return &(model.*upDown);
    }
    if (button >= 0) {
        ButtonCombos& combos = model.Button(static_cast<HandsetButton>(button));
        ComboBox* parts[] = {&combos.pressAndHold, &combos.shortPress, &combos.longPress};
        return parts[comboPart];
    }
    if (line >= 0) {
        LineControls& l = model.Line(static_cast<GatewayLine>(line));
        switch (linePart) {
            case LinePart::Direction:
                return &l.io;
            case LinePart::Active:
                return &l.active;
            case LinePart::Function:
                return &l.function;
            case LinePart::Pulse:
                return &l.pulse;
            case LinePart::Reserved:
                break;
        }
    }
    return std::monostate{};
}

const std::vector<CatalogueEntry>& SettingsCatalogue() {
    static const std::vector<CatalogueEntry> catalogue = Build();
    return catalogue;
}

std::string DescribeControl(const CatalogueEntry::Control& control) {
    if (const auto* check = std::get_if<CheckBox*>(&control)) {
        return (*check)->checked ? "on" : "off";
    }
    if (const auto* combo = std::get_if<ComboBox*>(&control)) {
        return (*combo)->Text();
    }
    if (const auto* upDown = std::get_if<UpDown*>(&control)) {
        return std::to_string((*upDown)->position);
    }
    return "0";
}

}  // namespace halyard
