#include "majorform.h"

#include <velorum/velorum.h>
#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

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
    if (const auto& leftOut = mPorts.LeftOut(); !leftOut.empty()) {
        std::string names;
        for (const PortEntry& port : leftOut) {
            names += (names.empty() ? "" : ", ") + port.name;
        }
        AddLogLine("The port table holds " + std::to_string(PortTable::kCapacity) + " entries: " +
                   std::to_string(leftOut.size()) + " more port(s) left out: " + names);
    }
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
    CentreOnScreen();
}

void TMajorForm::CentreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    const QRect available = screen->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(available.center());
    // A screen smaller than the window keeps the title bar reachable.
    move(std::max(frame.left(), available.left()), std::max(frame.top(), available.top()));
}

void TMajorForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!mShown) {
        mShown = true;
        CentreOnScreen();  // again, now that the frame around the window is known
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
        bool same = b.widget->count() == static_cast<int>(b.state->Items().size());
        for (int i = 0; same && i < b.widget->count(); ++i) {
            same = b.widget->itemText(i).toStdString() == b.state->Items()[i];
        }
        if (!same) {
            b.widget->clear();
            for (const std::string& item : b.state->Items()) {
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
    if (request.autoClose) {
        // The timer belongs to this note: closed by hand, the note must not leave it running to
        // answer the next dialog.
        AutoCloseMsgDlgTimer->stop();
    }
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
