#include "majorform.h"

#include <velorum/velorum.h>
#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "inifile.h"
#include "settingsfile.h"

namespace halyard {

namespace {

constexpr int kBannerHeight = 64;
constexpr int kMemoHeight = kClientHeightWithLog - kClientHeightWithoutLog - 6;

// The banner: a dark band with the product name and three arcs of a radio signal.
QPixmap MakeBanner(int width) {
    QPixmap pixmap(width, kBannerHeight);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient band(0, 0, width, kBannerHeight);
    band.setColorAt(0.0, QColor(0x0B, 0x2A, 0x4A));
    band.setColorAt(1.0, QColor(0x1F, 0x5F, 0x8B));
    p.fillRect(pixmap.rect(), band);
    p.setPen(QPen(QColor(0xF2, 0xA9, 0x00), 3));
    const QPointF centre(34, kBannerHeight / 2.0);
    for (int r = 8; r <= 24; r += 8) {
        p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
    }
    p.setBrush(QColor(0xF2, 0xA9, 0x00));
    p.drawEllipse(centre, 3.5, 3.5);
    QFont title("DejaVu Sans", 24, QFont::Bold);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRect(72, 0, width - 72, kBannerHeight), Qt::AlignVCenter | Qt::AlignLeft, "VARNAK");
    return pixmap;
}

QLabel* Caption(QWidget* parent, const char* text) {
    return new QLabel(QString::fromUtf8(text), parent);
}

}  // namespace

BannerImage::BannerImage(QWidget* parent) : QLabel(parent) {}

void BannerImage::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        emit clicked(event->modifiers());
    }
    QLabel::mouseReleaseEvent(event);
}

ValueUpDown::ValueUpDown(QWidget* parent, bool showsVolts)
    : QSpinBox(parent), mShowsVolts(showsVolts) {
    setAlignment(Qt::AlignRight);
    setFixedWidth(78);
}

QString ValueUpDown::textFromValue(int value) const {
    return mShowsVolts ? QString::number(value * 0.001, 'f', 1) : QSpinBox::textFromValue(value);
}

int ValueUpDown::valueFromText(const QString& text) const {
    return mShowsVolts ? qRound(text.toDouble() * 1000.0) : QSpinBox::valueFromText(text);
}

QValidator::State ValueUpDown::validate(QString& text, int& pos) const {
    if (!mShowsVolts) {
        return QSpinBox::validate(text, pos);
    }
    bool ok = false;
    const double volts = text.toDouble(&ok);
    if (!ok) {
        return text.isEmpty() ? QValidator::Intermediate : QValidator::Invalid;
    }
    const int mv = qRound(volts * 1000.0);
    return mv >= minimum() && mv <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

TMajorForm::TMajorForm(const Options& options, QWidget* parent)
    : QWidget(parent), messageHook(options.messageHook), mOptions(options) {
    // Step 1 of the start-up: the model starts with "Veltra Plus" switched on and its defaults.
    mModel = std::make_unique<SettingsModel>(*this);
    mProgrammer = std::make_unique<DeviceProgrammer>(*mModel);
    BuildWindow();
    StartUp();
}

TMajorForm::~TMajorForm() = default;

void TMajorForm::BuildWindow() {
    setObjectName("TMajorForm");
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->setSpacing(6);

    // Banner with the series name on it.
    MainImage = new BannerImage(this);
    MainImage->setObjectName("MainImage");
    MainImage->setPixmap(MakeBanner(kClientWidth - 12));
    MainImage->setFixedHeight(kBannerHeight);
    connect(MainImage, &BannerImage::clicked, this, &TMajorForm::MainImageClick);
    lblPlusSeries = new QLabel("Plus Series", MainImage);
    lblPlusSeries->setObjectName("lblPlusSeries");
    lblPlusSeries->setStyleSheet("color: #F2A900; font: italic bold 15pt 'DejaVu Sans';");
    lblPlusSeries->setGeometry(kClientWidth - 190, 0, 160, kBannerHeight);
    lblPlusSeries->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    outer->addWidget(MainImage);

    // The settings pages.
    MasterPageControl = new QTabWidget(this);
    MasterPageControl->setObjectName("MasterPageControl");
    HandsetTabSheet = new QWidget;
    HandsetTabSheet->setObjectName("HandsetTabSheet");
    HandsetPageControl = new QTabWidget(HandsetTabSheet);
    HandsetPageControl->setObjectName("HandsetPageControl");
    HandsetPageControl->addTab(BuildUserExperiencePage(), "User Experience");
    HandsetPageControl->addTab(BuildHandsetAudioPage(), "Audio Levels");
    HandsetPageControl->addTab(BuildEmergencyPage(), "Emergency");
    HandsetPageControl->addTab(BuildHandsetHardwarePage(), "Hardware");
    (new QVBoxLayout(HandsetTabSheet))->addWidget(HandsetPageControl);
    CradleTabSheet = new QWidget;
    CradleTabSheet->setObjectName("CradleTabSheet");
    CradlePageControl = new QTabWidget(CradleTabSheet);
    CradlePageControl->setObjectName("CradlePageControl");
    CradlePageControl->addTab(BuildGatewayAudioPage(), "Audio Levels");
    CradlePageControl->addTab(BuildGatewayHardwarePage(), "Hardware");
    (new QVBoxLayout(CradleTabSheet))->addWidget(CradlePageControl);
    MasterPageControl->addTab(HandsetTabSheet, "Handset");
    MasterPageControl->addTab(CradleTabSheet, "Gateway");
    connect(MasterPageControl, &QTabWidget::currentChanged, this,
            &TMajorForm::MasterPageControlChange);
    connect(HandsetPageControl, &QTabWidget::currentChanged, this,
            [this](int index) { mModel->handsetPage = index; });
    connect(CradlePageControl, &QTabWidget::currentChanged, this,
            [this](int index) { mModel->cradlePage = index; });
    outer->addWidget(MasterPageControl, 1);

    // Version texts.
    auto* versions = new QHBoxLayout;
    HSSwVersionLabel = new QLabel(this);
    HSSwVersionLabel->setObjectName("HSSwVersionLabel");
    GWSwVersionLabel = new QLabel(this);
    GWSwVersionLabel->setObjectName("GWSwVersionLabel");
    versions->addWidget(HSSwVersionLabel);
    versions->addStretch();
    versions->addWidget(GWSwVersionLabel);
    outer->addLayout(versions);

    // Device buttons, the model group and the file buttons.
    auto* buttons = new QHBoxLayout;
    auto deviceButton = [this, buttons](QPushButton*& button, const char* name) {
        button = new QPushButton(this);
        button->setObjectName(name);
        button->setFixedSize(104, 52);
        buttons->addWidget(button);
    };
    deviceButton(ReadDeviceButton, "ReadDeviceButton");
    deviceButton(ProgramDeviceButton, "ProgramDeviceButton");
    deviceButton(RestartButton, "RestartButton");
    deviceButton(BatchProgramButton, "BatchProgramButton");
    connect(ReadDeviceButton, &QPushButton::clicked, this, &TMajorForm::ReadDeviceButtonClick);
    connect(ProgramDeviceButton, &QPushButton::clicked, this,
            &TMajorForm::ProgramDeviceButtonClick);
    connect(RestartButton, &QPushButton::clicked, this, &TMajorForm::RestartButtonClick);
    connect(BatchProgramButton, &QPushButton::clicked, this, &TMajorForm::BatchProgramButtonClick);

    grpModelBox = new QGroupBox(" Model  ", this);
    grpModelBox->setObjectName("grpModelBox");
    auto* models = new QVBoxLayout(grpModelBox);
    models->setContentsMargins(8, 2, 8, 2);
    butModelVeltra = new QRadioButton("Veltra Plus", grpModelBox);
    butModelVeltra->setObjectName("butModelVeltra");
    butModelKordo = new QRadioButton("Kordo Plus", grpModelBox);
    butModelKordo->setObjectName("butModelKordo");
    models->addWidget(butModelVeltra);
    models->addWidget(butModelKordo);
    connect(butModelVeltra, &QRadioButton::clicked, this, &TMajorForm::butModelVeltraClick);
    connect(butModelKordo, &QRadioButton::clicked, this, &TMajorForm::butModelKordoClick);
    buttons->addStretch();
    buttons->addWidget(grpModelBox);
    outer->addLayout(buttons);

    auto* fileButtons = new QHBoxLayout;
    auto fileButton = [this, fileButtons](QPushButton*& button, const char* name,
                                          const char* caption) {
        button = new QPushButton(caption, this);
        button->setObjectName(name);
        button->setFixedSize(104, 30);
        fileButtons->addWidget(button);
    };
    fileButton(LoadFileButton, "LoadFileButton", "&LOAD FILE");
    fileButton(SaveFileButton, "SaveFileButton", "&SAVE FILE");
    fileButton(FactoryButton, "FactoryButton", "&DEFAULTS");
    fileButtons->addStretch();
    fileButton(ExitButton, "ExitButton", "E&XIT");
    connect(LoadFileButton, &QPushButton::clicked, this, &TMajorForm::LoadFileButtonClick);
    connect(SaveFileButton, &QPushButton::clicked, this, &TMajorForm::SaveFileButtonClick);
    connect(FactoryButton, &QPushButton::clicked, this, &TMajorForm::FactoryButtonClick);
    connect(ExitButton, &QPushButton::clicked, this, &TMajorForm::ExitButtonClick);
    outer->addLayout(fileButtons);

    InfoMemo = new QPlainTextEdit(this);
    InfoMemo->setObjectName("InfoMemo");
    InfoMemo->setReadOnly(true);
    InfoMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    InfoMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    InfoMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    InfoMemo->setFont(QFont("DejaVu Sans Mono", 8));
    InfoMemo->setFixedHeight(kMemoHeight);
    outer->addWidget(InfoMemo);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(300);
    connect(Timer1, &QTimer::timeout, this, &TMajorForm::Timer1Timer);
    Timer1->start();
    AutoCloseMsgDlgTimer = new QTimer(this);
    AutoCloseMsgDlgTimer->setObjectName("AutoCloseMsgDlgTimer");
    AutoCloseMsgDlgTimer->setInterval(1000);
    connect(AutoCloseMsgDlgTimer, &QTimer::timeout, this, &TMajorForm::AutoCloseMsgDlgTimerTimer);
}

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

void TMajorForm::StartUp() {
    // Step 2: the device-access library's version and the record sizes.
    char version[VELORUM_VERSION_BUFFER] = {};
    GetLibraryVersion(version);
    version[sizeof version - 1] = '\0';
    AddLogLine(std::string("Velorum version = ") + version);
    AddLogLine("sizeof(hs_xsettings_t)/int16 = " + std::to_string(sizeof(hs_xsettings_t) / 2));
    AddLogLine("sizeof(gw_xsettings_t)/int16 = " + std::to_string(sizeof(gw_xsettings_t) / 2));
    // Steps 3 to 5: the caption and the two-line device buttons.
    mCaption = QString::fromUtf8(kDesignCaption) + ", " + kProgramVersion;
    setWindowTitle(mCaption);
    QApplication::setApplicationDisplayName(mCaption);
    ReadDeviceButton->setText("&READ\nDEVICE");
    ProgramDeviceButton->setText("&PROGRAM\nDEVICE");
    RestartButton->setText("RESTAR&T\nDEVICE");
    // Step 6: an INI file of another version is moved aside.
    if (!mOptions.iniPath.empty()) {
        CheckIniVersion(mOptions.iniPath, *this);
    }
    // Step 7: the port table; the first tick of Timer1 chooses from it.
    mPorts.List(mOptions.listPorts);
    // Steps 8 to 11: defaults, first pages, hidden controls, lock off, log hidden.
    mModel->SetDefaults();
    mModel->masterPage = HandsetTab;
    mModel->handsetPage = UserExperiencePage;
    mModel->cradlePage = GatewayAudioPage;
    mModel->AudioIntegrityUpDown.visible = false;
    mModel->MinimumLinkQualityUpDown.visible = false;
    mModel->settingsLocked = false;
    mModel->logVisible = false;
    SyncFromModel();
}

void TMajorForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!mShown) {
        mShown = true;
        if (!mPortChosen && !Timer1->isActive()) {
            Timer1->start();
        }
        mModel->ApplyEnablingRules();
        SyncFromModel();
    }
}

void TMajorForm::SyncFromModel() {
    SettingsModel& m = *mModel;
    for (const CheckBinding& b : mChecks) {
        const QSignalBlocker block(b.widget);
        b.widget->setChecked(b.state->checked);
        b.widget->setEnabled(b.state->enabled);
    }
    for (const ComboBinding& b : mCombos) {
        const QSignalBlocker block(b.widget);
        bool same = b.widget->count() == static_cast<int>(b.state->items.size());
        for (int i = 0; same && i < b.widget->count(); ++i) {
            same = b.widget->itemText(i).toStdString() == b.state->items[i];
        }
        if (!same) {
            b.widget->clear();
            for (const std::string& item : b.state->items) {
                b.widget->addItem(QString::fromStdString(item));
            }
        }
        b.widget->setCurrentIndex(b.state->index);
        b.widget->setEnabled(b.state->enabled);
        if (b.label) {
            b.label->setEnabled(b.state->enabled);
        }
    }
    for (const UpDownBinding& b : mUpDowns) {
        const QSignalBlocker block(b.widget);
        b.widget->setRange(b.state->min, b.state->max);
        b.widget->setSingleStep(b.state->step);
        b.widget->setValue(b.state->position);
        b.widget->setEnabled(b.state->enabled);
        b.widget->setVisible(b.state->visible);
        if (b.label) {
            b.label->setEnabled(b.state->enabled);
            b.label->setVisible(b.state->visible);
        }
    }
    {
        const QSignalBlocker block1(butModelVeltra);
        const QSignalBlocker block2(butModelKordo);
        butModelVeltra->setChecked(m.model == DeviceModel::Veltra);
        butModelKordo->setChecked(m.model == DeviceModel::Kordo);
    }
    {
        const QSignalBlocker block1(MasterPageControl);
        const QSignalBlocker block2(HandsetPageControl);
        const QSignalBlocker block3(CradlePageControl);
        MasterPageControl->setCurrentIndex(m.masterPage);
        HandsetPageControl->setCurrentIndex(m.handsetPage);
        CradlePageControl->setCurrentIndex(m.cradlePage);
    }
    HSSwVersionLabel->setText(QString::fromStdString(m.HSSwVersionLabel));
    GWSwVersionLabel->setText(QString::fromStdString(m.GWSwVersionLabel));
    const bool unlocked = !m.settingsLocked;
    HandsetPageControl->setEnabled(unlocked);
    CradlePageControl->setEnabled(unlocked);
    ReadDeviceButton->setEnabled(unlocked);
    FactoryButton->setEnabled(unlocked);
    grpModelBox->setEnabled(unlocked);
    BatchProgramButton->setText(QString::fromStdString(m.BatchProgramButtonCaption));
    InfoMemo->setVisible(m.logVisible);
    UpdateClientHeight();
}

void TMajorForm::UpdateClientHeight() {
    setFixedSize(kClientWidth, mModel->ClientHeight());
}

void TMajorForm::AfterEdit() {
    mModel->ApplyEnablingRules();
    SyncFromModel();
}

void TMajorForm::PressAndHoldChange(HandsetButton) {
    AfterEdit();
}

void TMajorForm::DirectionChange(GatewayLine line) {
    mModel->LineDirectionChanged(line, mLines[static_cast<int>(line)].io->currentIndex());
    SyncFromModel();
}

void TMajorForm::FunctionChange(GatewayLine line) {
    mModel->LineFunctionChanged(line, mLines[static_cast<int>(line)].function->currentIndex());
    SyncFromModel();
}

void TMajorForm::Timer1Timer() {
    Timer1->stop();
    mPortChosen = true;
    const PortEntry& first = mPorts.Entries().front();
    mProgrammer->SetPort(ChosenPort::From(first));
    mCaption += ", Transport = " + QString::fromStdString(first.name);
    setWindowTitle(mCaption);
}

void TMajorForm::ReadDeviceButtonClick() {
    mProgrammer->ReadDevice();
    SyncFromModel();
}

void TMajorForm::ProgramDeviceButtonClick() {
    mProgrammer->ProgramDevice();
    SyncFromModel();
}

void TMajorForm::RestartButtonClick() {
    mProgrammer->RestartDevice();
}

std::optional<std::string> TMajorForm::AskFileName(bool save) {
    if (fileNameHook) {
        return fileNameHook(save);
    }
    QFileDialog dialog(this);
    dialog.setNameFilter(kSettingsFileFilter);
    dialog.setDefaultSuffix(kSettingsFileExtension);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front().toStdString();
}

void TMajorForm::LoadFileButtonClick() {
    if (const auto file = AskFileName(false)) {
        LoadSettingsFile(*mModel, *file);
        SyncFromModel();
    }
}

void TMajorForm::SaveFileButtonClick() {
    if (const auto file = AskFileName(true)) {
        SaveSettingsFile(*mModel, *file);
    }
}

void TMajorForm::BatchProgramButtonClick() {
    mModel->ToggleSettingsLock();
    SyncFromModel();
}

void TMajorForm::FactoryButtonClick() {
    mModel->SetDefaults();
    SyncFromModel();
}

void TMajorForm::ExitButtonClick() {
    close();
}

void TMajorForm::butModelVeltraClick() {
    mModel->SelectModel(DeviceModel::Veltra);
    SyncFromModel();
}

void TMajorForm::butModelKordoClick() {
    mModel->SelectModel(DeviceModel::Kordo);
    SyncFromModel();
}

void TMajorForm::MainImageClick(Qt::KeyboardModifiers modifiers) {
    if (modifiers & Qt::ShiftModifier) {
        mModel->ToggleHiddenControls();
    }
    if (modifiers & Qt::ControlModifier) {
        mModel->ToggleLog();
    }
    SyncFromModel();
}

void TMajorForm::MasterPageControlChange(int index) {
    mModel->masterPage = index;
    AfterEdit();
}

void TMajorForm::FixedAlertToneVolumeCheckBoxClick() {
    AfterEdit();
}

void TMajorForm::GWVOXEnabledCORCheckBoxClick() {
    AfterEdit();
}

DialogButton TMajorForm::ShowMessage(const DialogRequest& request) {
    if (messageHook) {
        return messageHook(request);
    }
    QMessageBox box(this);
    box.setWindowTitle(QString::fromStdString(request.caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(request.text));
    box.setIcon(request.icon == DialogIcon::Error ? QMessageBox::Critical
                                                  : QMessageBox::Information);
    QPalette background = box.palette();
    background.setColor(QPalette::Window, palette().color(QPalette::Window));
    box.setPalette(background);
    std::vector<std::pair<QPushButton*, DialogButton>> shown;
    for (int i = 0; i < kDialogButtonCount; ++i) {
        const auto button = static_cast<DialogButton>(1u << i);
        if (!(request.buttons & button)) {
            continue;
        }
        QPushButton* b = box.addButton(DialogButtonCaption(button), QMessageBox::AcceptRole);
        b->setMinimumHeight(b->sizeHint().height() + 6);
        shown.emplace_back(b, button);
    }
    if (shown.empty()) {
        shown.emplace_back(box.addButton(DialogButtonCaption(mbOK), QMessageBox::AcceptRole), mbOK);
    }
    const size_t focus =
        request.focusIndex >= 0 && static_cast<size_t>(request.focusIndex) < shown.size()
            ? static_cast<size_t>(request.focusIndex)
            : 0;
    box.setDefaultButton(shown[focus].first);
    box.setEscapeButton(shown.back().first);
    mLatestDialog = &box;
    if (request.autoClose) {
        AutoCloseMsgDlgTimer->start();
    }
    box.exec();
    mLatestDialog = nullptr;
    for (const auto& [widget, button] : shown) {
        if (box.clickedButton() == widget) {
            return button;
        }
    }
    return shown.back().second;
}

void TMajorForm::AutoCloseMsgDlgTimerTimer() {
    AutoCloseMsgDlgTimer->stop();
    QMessageBox* box = mLatestDialog;
    if (!box || !box->isVisible()) {
        return;
    }
    const QString ok = DialogButtonCaption(mbOK);
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == ok) {
            button->click();
            return;
        }
    }
    box->reject();
}

void TMajorForm::ShowPlainMessage(const std::string& text) {
    if (plainMessageHook) {
        plainMessageHook(text);
        return;
    }
    QMessageBox box(this);
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void TMajorForm::AddLogLine(const std::string& text) {
    InfoMemo->appendPlainText(QString::fromStdString(TimestampedLogLine(text)));
}

void TMajorForm::CloseProgram() {
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

}  // namespace halyard
