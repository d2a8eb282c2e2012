// The settings pages of the main window: one builder per tab page, and the helpers that create
// a control bound to its state in the settings model.
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "majorform.h"

namespace halyard {

namespace {

QLabel* Caption(QWidget* parent, const char* text) {
    return new QLabel(QString::fromUtf8(text), parent);
}

}  // namespace

QCheckBox* TMajorForm::AddCheckBox(QWidget* parent, const char* name, const char* caption,
                                   CheckBox& state) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    CheckBox* s = &state;
    connect(box, &QCheckBox::clicked, this, [this, s](bool checked) {
        s->checked = checked;
        AfterEdit();
    });
    mChecks.push_back({box, s});
    return box;
}

QComboBox* TMajorForm::AddComboBox(QWidget* parent, const char* name, ComboBox& state,
                                   QLabel* label) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ComboBox* s = &state;
    connect(box, &QComboBox::activated, this, [this, s](int index) {
        s->SelectIndex(index);
        AfterEdit();
    });
    mCombos.push_back({box, s, label});
    return box;
}

ValueUpDown* TMajorForm::AddUpDown(QWidget* parent, const char* name, UpDown& state, QLabel* label,
                                   bool volts) {
    auto* box = new ValueUpDown(parent, volts);
    box->setObjectName(name);
    UpDown* s = &state;
    connect(box, &QSpinBox::valueChanged, this, [this, s](int value) {
        s->SetPosition(value);
        AfterEdit();
    });
    mUpDowns.push_back({box, s, label});
    return box;
}

QWidget* TMajorForm::BuildUserExperiencePage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const std::pair<const char*, std::pair<const char*, CheckBox*>> checks[] = {
        {"RadioTalkPermitToneCheckBox", {"Radio PTT Key Beep", &m.RadioTalkPermitToneCheckBox}},
        {"EmergencyToneCheckBox", {"Emergency Key Beep", &m.EmergencyToneCheckBox}},
        {"TATalkPermitToneCheckBox", {"Talk Around PTT Key Beep", &m.TATalkPermitToneCheckBox}},
        {"StealthModeAlwaysActiveCheckBox",
         {"Stealth Mode Always Active", &m.StealthModeAlwaysActiveCheckBox}},
        {"MuteSpeakerOnPTTCheckBox", {"Mute Speaker On PTT", &m.MuteSpeakerOnPTTCheckBox}},
        {"MuteSpeakerOnChargeCheckBox", {"Mute Speaker On Charge", &m.MuteSpeakerOnChargeCheckBox}},
        {"LEDChargeIndicateCheckBox", {"LED Charge Indicate", &m.LEDChargeIndicateCheckBox}},
        {"AutoTurnOnWhenChargingCheckBox",
         {"Auto Turn On When Charging", &m.AutoTurnOnWhenChargingCheckBox}},
        {"MinimumVolumeIs0CheckBox", {"Minimum Volume Is Off", &m.MinimumVolumeIs0CheckBox}},
        {"OptionBoardCheckBox", {"Mandown Monitor (when fitted)", &m.OptionBoardCheckBox}},
    };
    int row = 0;
    for (const auto& [name, entry] : checks) {
        grid->addWidget(AddCheckBox(page, name, entry.first, *entry.second), row++, 0);
    }
    const std::pair<const char*, std::pair<const char*, UpDown*>> upDowns[] = {
        {"AutoTurnOffTimerUpDown",
         {"Out of Range Auto Turn Off Timer (in hours)", &m.AutoTurnOffTimerUpDown}},
        {"LowBatteryBeepVoltageUpDown",
         {"Low Battery Beep Voltage (in volts)", &m.LowBatteryBeepVoltageUpDown}},
        {"LowBatteryBeepIntervalTimerUpDown",
         {"Low Battery Beep Interval Timer (in minutes)", &m.LowBatteryBeepIntervalTimerUpDown}},
        {"MinimumLinkQualityUpDown", {"Minimum Link Quality", &m.MinimumLinkQualityUpDown}},
    };
    auto* right = new QGridLayout;
    int r = 0;
    for (const auto& [name, entry] : upDowns) {
        QLabel* label = Caption(page, entry.first);
        label->setWordWrap(true);
        right->addWidget(label, r, 0);
        const bool volts = entry.second == &m.LowBatteryBeepVoltageUpDown;
        // The voltage up-down shows its value in volts ("%.1f"), refreshed with every change.
        ValueUpDown* box = AddUpDown(page, name, *entry.second, label, volts);
        right->addWidget(box, r++, 1);
    }
    auto* veltra = new QGroupBox(" Veltra Only Options  ", page);
    auto* options = new QGridLayout(veltra);
    options->addWidget(AddCheckBox(veltra, "HandsfreeFunctionCheckBox", "Handsfree Function",
                                   m.HandsfreeFunctionCheckBox),
                       0, 0, 1, 2);
    options->addWidget(AddCheckBox(veltra, "InternalMicOnlyCheckBox", "Internal Mic Only Operation",
                                   m.InternalMicOnlyCheckBox),
                       1, 0, 1, 2);
    options->addWidget(
        AddCheckBox(veltra, "PTTToggleCheckBox", "PTT Toggle Function", m.PTTToggleCheckBox), 2, 0,
        1, 2);
    QLabel* relayLabel = Caption(veltra, "Relay Mode");
    relayLabel->setObjectName("RelayModeLabel");
    options->addWidget(relayLabel, 3, 0);
    options->addWidget(AddComboBox(veltra, "RelayModeComboBox", m.RelayModeComboBox, relayLabel), 3,
                       1);
    right->addWidget(veltra, r++, 0, 1, 2);
    right->setRowStretch(r, 1);
    grid->addLayout(right, 0, 1, row, 1);
    grid->setRowStretch(row, 1);
    return page;
}

QWidget* TMajorForm::BuildHandsetAudioPage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const std::pair<const char*, std::pair<const char*, UpDown*>> upDowns[] = {
        {"InternalMicGainUpDown", {"Internal Mic Gain", &m.InternalMicGainUpDown}},
        {"InternalMicHighGainBoostUpDown",
         {"Internal Mic High Gain Boost", &m.InternalMicHighGainBoostUpDown}},
        {"ExternalMicGainUpDown", {"External Mic Gain", &m.ExternalMicGainUpDown}},
        {"ExternalMicHighGainBoostUpDown",
         {"External Mic High Gain Boost", &m.ExternalMicHighGainBoostUpDown}},
        {"RemotePTTGainBoostUpDown", {"Remote PTT Gain Boost", &m.RemotePTTGainBoostUpDown}},
        {"AudioIntegrityUpDown", {"Audio Integrity (per second)", &m.AudioIntegrityUpDown}},
        {"AlertToneVolumeUpDown", {"Alert Tone Volume", &m.AlertToneVolumeUpDown}},
    };
    int row = 0;
    for (const auto& [name, entry] : upDowns) {
        QLabel* label = Caption(page, entry.first);
        grid->addWidget(label, row, 0);
        grid->addWidget(AddUpDown(page, name, *entry.second, label), row++, 1);
    }
    QCheckBox* fixed = AddCheckBox(page, "FixedAlertToneVolumeCheckBox", "Fixed Alert Tone Volume",
                                   m.FixedAlertToneVolumeCheckBox);
    connect(fixed, &QCheckBox::clicked, this, &TMajorForm::FixedAlertToneVolumeCheckBoxClick);
    grid->addWidget(fixed, row++, 0, 1, 2);
    grid->setRowStretch(row, 1);
    grid->setColumnStretch(2, 1);
    return page;
}

QWidget* TMajorForm::BuildEmergencyPage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* grid = new QVBoxLayout(page);
    grid->addWidget(AddCheckBox(page, "TransmitAudibleEmergencyToneCheckBox",
                                "Transmit Audible Emergency Tone",
                                m.TransmitAudibleEmergencyToneCheckBox));
    auto* hold = new QGroupBox(" Press and Hold Emergency Function  ", page);
    auto* holdGrid = new QGridLayout(hold);
    QLabel* linkLabel = Caption(hold, "Audio Link Active Time (in second)");
    holdGrid->addWidget(linkLabel, 0, 0);
    holdGrid->addWidget(
        AddUpDown(hold, "AudioLinkActiveTimeUpDown", m.AudioLinkActiveTimeUpDown, linkLabel), 0, 1);
    holdGrid->setColumnStretch(2, 1);
    grid->addWidget(hold);
    auto* press = new QGroupBox(" Short or Long Press Emergency Function  ", page);
    auto* pressGrid = new QGridLayout(press);
    const std::pair<const char*, std::pair<const char*, UpDown*>> upDowns[] = {
        {"TransmitTimeUpDown", {"Transmit Time (in second)", &m.TransmitTimeUpDown}},
        {"ReceiveTimeUpDown", {"Receive Time (in second)", &m.ReceiveTimeUpDown}},
        {"EmergencyRepeatCyclesUpDown",
         {"Emergency Repeat Cycles", &m.EmergencyRepeatCyclesUpDown}},
    };
    int row = 0;
    for (const auto& [name, entry] : upDowns) {
        QLabel* label = Caption(press, entry.first);
        pressGrid->addWidget(label, row, 0);
        pressGrid->addWidget(AddUpDown(press, name, *entry.second, label), row++, 1);
    }
    pressGrid->setColumnStretch(2, 1);
    grid->addWidget(press);
    grid->addStretch();
    return page;
}

QWidget* TMajorForm::BuildHandsetHardwarePage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* outer = new QVBoxLayout(page);
    auto* top = new QHBoxLayout;
    QLabel* hiroseLabel = Caption(page, "Hirose Pin 2 Function");
    top->addWidget(hiroseLabel);
    top->addWidget(
        AddComboBox(page, "HirosePin2FunctionComboBox", m.HirosePin2FunctionComboBox, hiroseLabel));
    top->addStretch();
    outer->addLayout(top);
    auto* group = new QGroupBox(" Button Assignments  ", page);
    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(3);
    grid->addWidget(Caption(group, "Press and Hold"), 0, 1);
    grid->addWidget(Caption(group, "Short Press"), 0, 2);
    grid->addWidget(Caption(group, "Long Press"), 0, 3);
    using Slot = void (TMajorForm::*)();
    const Slot pressAndHoldSlots[kHandsetButtonCount] = {
        &TMajorForm::PTTPressAndHoldComboBoxChange,   &TMajorForm::AccPTTPressAndHoldComboBoxChange,
        &TMajorForm::Top1PressAndHoldComboBoxChange,  &TMajorForm::Top2PressAndHoldComboBoxChange,
        &TMajorForm::Left1PressAndHoldComboBoxChange, &TMajorForm::Left2PressAndHoldComboBoxChange,
        &TMajorForm::Right1PressAndHoldComboBoxChange};
    for (int i = 0; i < kHandsetButtonCount; ++i) {
        const auto b = static_cast<HandsetButton>(i);
        const std::string prefix = SettingsModel::ButtonName(b);
        ButtonCombos& combos = m.Button(b);
        grid->addWidget(Caption(group, SettingsModel::ButtonCaption(b)), i + 1, 0);
        QComboBox* hold = AddComboBox(group, (prefix + "PressAndHoldComboBox").c_str(),
                                      combos.pressAndHold, nullptr);
        connect(hold, &QComboBox::activated, this, pressAndHoldSlots[i]);
        grid->addWidget(hold, i + 1, 1);
        grid->addWidget(
            AddComboBox(group, (prefix + "ShortPressComboBox").c_str(), combos.shortPress, nullptr),
            i + 1, 2);
        grid->addWidget(
            AddComboBox(group, (prefix + "LongPressComboBox").c_str(), combos.longPress, nullptr),
            i + 1, 3);
    }
    outer->addWidget(group);
    auto* bottom = new QHBoxLayout;
    QLabel* longLabel = Caption(page, "Long Press Duration");
    bottom->addWidget(longLabel);
    bottom->addWidget(
        AddUpDown(page, "LongPressDurationUpDown", m.LongPressDurationUpDown, longLabel));
    bottom->addWidget(Caption(page, "ms"));
    bottom->addStretch();
    outer->addLayout(bottom);
    outer->addStretch();
    return page;
}

QWidget* TMajorForm::BuildGatewayAudioPage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const std::pair<const char*, std::pair<const char*, UpDown*>> upDowns[] = {
        {"GWTalkAroundOutputGainUpDown",
         {"Talk Around Output Gain To Other Varnaks", &m.GWTalkAroundOutputGainUpDown}},
        {"GWReceiveInputGainUpDown",
         {"Receive Input Gain From Radio", &m.GWReceiveInputGainUpDown}},
        {"GWTransmitOutputGainUpDown",
         {"Transmit Output Gain To Radio", &m.GWTransmitOutputGainUpDown}},
        {"GWVOXTriggerLevelUpDown", {"VOX Trigger Level ", &m.GWVOXTriggerLevelUpDown}},
    };
    int row = 0;
    for (const auto& [name, entry] : upDowns) {
        QLabel* label = Caption(page, entry.first);
        grid->addWidget(label, row, 0);
        grid->addWidget(AddUpDown(page, name, *entry.second, label), row++, 1);
    }
    QCheckBox* vox = AddCheckBox(page, "GWVOXEnabledCORCheckBox", "Radio Receive VOX COR",
                                 m.GWVOXEnabledCORCheckBox);
    connect(vox, &QCheckBox::clicked, this, &TMajorForm::GWVOXEnabledCORCheckBoxClick);
    grid->addWidget(vox, row++, 0, 1, 2);
    grid->addWidget(AddCheckBox(page, "GWFindMeFunctionCheckBox", "Find-Me Function",
                                m.GWFindMeFunctionCheckBox),
                    row++, 0, 1, 2);
    grid->addWidget(AddCheckBox(page, "GWPublicAddressModeCheckBox", "Public Address Mode",
                                m.GWPublicAddressModeCheckBox),
                    row++, 0, 1, 2);
    grid->addWidget(
        AddCheckBox(page, "GWEmergencyAlertToneCheckBox", "Monitor Emergency Input Alert Tone",
                    m.GWEmergencyAlertToneCheckBox),
        row++, 0, 1, 2);
    auto* veltra = new QGroupBox(" Veltra Only Options  ", page);
    auto* options = new QVBoxLayout(veltra);
    options->addWidget(AddCheckBox(veltra, "GWMultiOperationalMicsCheckBox",
                                   "Multi Operational Mics", m.GWMultiOperationalMicsCheckBox));
    options->addWidget(AddCheckBox(veltra, "GWRemoteFindMeCheckBox", "Remote FindMe Function",
                                   m.GWRemoteFindMeCheckBox));
    grid->addWidget(veltra, row++, 0, 1, 2);
    grid->setRowStretch(row, 1);
    grid->setColumnStretch(2, 1);
    return page;
}

QWidget* TMajorForm::BuildGatewayHardwarePage() {
    SettingsModel& m = *mModel;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setVerticalSpacing(3);
    grid->addWidget(Caption(page, "I/O"), 0, 1);
    grid->addWidget(Caption(page, "Active"), 0, 2);
    grid->addWidget(Caption(page, "Function"), 0, 3);
    grid->addWidget(Caption(page, "Pulse (ms)"), 0, 4);
    using Slot = void (TMajorForm::*)();
    const Slot directionSlots[kGatewayLineCount] = {nullptr,
                                                    &TMajorForm::GWRadioEmergencyIOComboBoxChange,
                                                    &TMajorForm::GWRadioCORIOComboBoxChange,
                                                    &TMajorForm::GWRadioFunction1IOComboBoxChange,
                                                    &TMajorForm::GWRadioFunction2IOComboBoxChange,
                                                    nullptr,
                                                    nullptr,
                                                    nullptr,
                                                    nullptr};
    const Slot functionSlots[kGatewayLineCount] = {
        nullptr,
        &TMajorForm::GWRadioEmergencyFunctionComboBoxChange,
        &TMajorForm::GWRadioCORFunctionComboBoxChange,
        &TMajorForm::GWRadioFunction1FunctionComboBoxChange,
        &TMajorForm::GWRadioFunction2FunctionComboBoxChange,
        &TMajorForm::GWRadioFunction3FunctionComboBoxChange,
        &TMajorForm::GWRadioFunction4FunctionComboBoxChange,
        &TMajorForm::GWRadioFunction5FunctionComboBoxChange,
        &TMajorForm::GWRadioFunction6FunctionComboBoxChange};
    for (int i = 0; i < kGatewayLineCount; ++i) {
        const auto l = static_cast<GatewayLine>(i);
        const std::string prefix = std::string("GWRadio") + SettingsModel::LineName(l);
        LineControls& line = m.Line(l);
        LineWidgets& w = mLines[i];
        grid->addWidget(Caption(page, SettingsModel::LineCaption(l)), i + 1, 0);
        w.io = AddComboBox(page, (prefix + "IOComboBox").c_str(), line.io, nullptr);
        w.active = AddComboBox(page, (prefix + "ActiveComboBox").c_str(), line.active, nullptr);
        w.function =
            AddComboBox(page, (prefix + "FunctionComboBox").c_str(), line.function, nullptr);
        w.function->setSizeAdjustPolicy(QComboBox::AdjustToContentsOnFirstShow);
        w.function->setMinimumWidth(170);
        w.pulse = AddUpDown(page, (prefix + "PulseUpDown").c_str(), line.pulse, nullptr);
        if (directionSlots[i]) {
            connect(w.io, &QComboBox::activated, this, directionSlots[i]);
        }
        if (functionSlots[i]) {
            connect(w.function, &QComboBox::activated, this, functionSlots[i]);
        }
        grid->addWidget(w.io, i + 1, 1);
        grid->addWidget(w.active, i + 1, 2);
        grid->addWidget(w.function, i + 1, 3);
        grid->addWidget(w.pulse, i + 1, 4);
    }
    grid->setRowStretch(kGatewayLineCount + 1, 1);
    grid->setColumnStretch(5, 1);
    return page;
}

}  // namespace halyard
