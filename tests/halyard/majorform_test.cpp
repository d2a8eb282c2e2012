#include <gtest/gtest.h>
#include <halyard/majorform.h>

#include <QApplication>
#include <QScreen>
#include <QTest>

#include <cstdlib>
#include <fstream>
#include <regex>

#include <velorum/devicefile.h>

#include "support.h"

namespace halyard {
namespace {

using test::RecordingDialogs;
using test::TempDeviceDir;

// A window whose dialogs are recorded instead of shown.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/halyard_window_XXXXXX";
        folder = mkdtemp(name);
    }
    void TearDown() override {
        form.reset();
        std::filesystem::remove_all(folder);
    }
    void Create(const std::filesystem::path& ini = {}) {
        TMajorForm::Options options;
        options.iniPath = ini;
        options.messageHook = [this](const DialogRequest& r) { return recorder.ShowMessage(r); };
        form = std::make_unique<TMajorForm>(options);
    }
    template <typename W>
    W* Find(const char* name) {
        W* w = form->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QStringList LogLines() const {
        return form->InfoMemo->toPlainText().split('\n', Qt::SkipEmptyParts);
    }

    TempDeviceDir devices;
    std::filesystem::path folder;
    RecordingDialogs recorder;
    std::unique_ptr<TMajorForm> form;
};

TEST_F(WindowTest, StartUpState) {
    Create();
    EXPECT_EQ(form->windowTitle(), "Varnak Plus User Programmer, v3.04E");
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 300);
    EXPECT_FALSE(form->AutoCloseMsgDlgTimer->isActive());
    EXPECT_EQ(form->AutoCloseMsgDlgTimer->interval(), 1000);

    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 3);
    const std::regex stamp(R"(<\d\d:\d\d:\d\d\.\d\d>\| .*)");
    for (const QString& line : log) {
        EXPECT_TRUE(std::regex_match(line.toStdString(), stamp)) << line.toStdString();
    }
    EXPECT_TRUE(log[0].contains("| Velorum version = Velorum "));
    EXPECT_TRUE(log[1].endsWith("| sizeof(hs_xsettings_t)/int16 = 25"));
    EXPECT_TRUE(log[2].endsWith("| sizeof(gw_xsettings_t)/int16 = 25"));
    EXPECT_TRUE(recorder.requests.empty());

    EXPECT_EQ(form->ReadDeviceButton->text(), "&READ\nDEVICE");
    EXPECT_EQ(form->ProgramDeviceButton->text(), "&PROGRAM\nDEVICE");
    EXPECT_EQ(form->RestartButton->text(), "RESTAR&T\nDEVICE");
    EXPECT_EQ(form->BatchProgramButton->text(), "LOC&K\nSETTINGS");
    EXPECT_EQ(form->MasterPageControl->currentIndex(), 0);
    EXPECT_EQ(form->MasterPageControl->tabText(0), "Handset");
    EXPECT_EQ(form->HandsetPageControl->tabText(form->HandsetPageControl->currentIndex()),
              "User Experience");
    EXPECT_EQ(form->CradlePageControl->tabText(form->CradlePageControl->currentIndex()),
              "Audio Levels");
    EXPECT_TRUE(form->butModelVeltra->isChecked());
    EXPECT_TRUE(form->InfoMemo->isHidden());
    EXPECT_EQ(form->height(), 650);
    EXPECT_TRUE(Find<QSpinBox>("AudioIntegrityUpDown")->isHidden());
    EXPECT_TRUE(Find<QSpinBox>("MinimumLinkQualityUpDown")->isHidden());
    EXPECT_EQ(Find<QSpinBox>("LowBatteryBeepVoltageUpDown")->text(), "3.5");
    EXPECT_TRUE(Find<QCheckBox>("TATalkPermitToneCheckBox")->isChecked());
    EXPECT_EQ(Find<QCheckBox>("TATalkPermitToneCheckBox")->text(), "Talk Around PTT Key Beep");
    EXPECT_EQ(Find<QComboBox>("Right1ShortPressComboBox")->currentText(), "Search");
    EXPECT_FALSE(Find<QComboBox>("Right1ShortPressComboBox")->isEnabled());
    EXPECT_EQ(Find<QComboBox>("GWRadioFunction5FunctionComboBox")->currentText(),
              "Handsfree active");

    form->Timer1Timer();
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_TRUE(
        form->windowTitle().startsWith("Varnak Plus User Programmer, v3.04E, Transport = "));
}

TEST_F(WindowTest, IniFileOfAnotherVersionIsMovedWithANote) {
    const auto ini = folder / "halyard.INI";
    std::ofstream(ini) << "[Other]\nProgramVersion=v9\n[Setting]\nProgramVersion = v3.03\n";
    std::ofstream(folder / "halyard_v3.03.INI") << "older copy";
    Create(ini);
    const auto moved = folder / "halyard_v3.03.INI";
    EXPECT_FALSE(std::filesystem::exists(ini));
    ASSERT_TRUE(std::filesystem::exists(moved));
    std::ifstream in(moved);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "[Other]") << "the older copy was replaced";
    ASSERT_EQ(recorder.requests.size(), 1u);
    EXPECT_EQ(recorder.requests[0].text,
              "'" + ini.string() + "' is saved as\n\n'" + moved.string() + "'");
    EXPECT_EQ(recorder.requests[0].caption, "NOTE");
    EXPECT_EQ(recorder.requests[0].icon, DialogIcon::Information);
}

TEST_F(WindowTest, IniFileOfThisVersionOrWithoutTheKeyIsLeftAlone) {
    const auto ini = folder / "halyard.INI";
    for (const char* text : {"[Setting]\nProgramVersion=v3.04E\n", "[Setting]\nOther=1\n",
                             "[Setting]\nProgramVersion=\n"}) {
        std::ofstream(ini) << text;
        Create(ini);
        EXPECT_TRUE(std::filesystem::exists(ini)) << text;
        EXPECT_TRUE(recorder.requests.empty()) << text;
    }
}

TEST_F(WindowTest, IniVersionWithSlashesStaysInTheSameFolder) {
    const auto ini = folder / "halyard.INI";
    std::ofstream(ini) << "[setting]\nprogramversion=../../x\n";
    Create(ini);
    EXPECT_TRUE(std::filesystem::exists(folder / "halyard_.._.._x.INI"));
}

TEST_F(WindowTest, HiddenTogglesOnTheBanner) {
    Create();
    QTest::mouseClick(form->MainImage, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_FALSE(form->InfoMemo->isHidden());
    EXPECT_EQ(form->height(), 744);
    QTest::mouseClick(form->MainImage, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_TRUE(form->InfoMemo->isHidden());
    EXPECT_EQ(form->height(), 650);

    QTest::mouseClick(form->MainImage, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_FALSE(Find<QSpinBox>("AudioIntegrityUpDown")->isHidden());
    EXPECT_FALSE(Find<QSpinBox>("MinimumLinkQualityUpDown")->isHidden());
    EXPECT_TRUE(form->InfoMemo->isHidden());
    QTest::mouseClick(form->MainImage, Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_TRUE(Find<QSpinBox>("AudioIntegrityUpDown")->isHidden());
    EXPECT_FALSE(form->InfoMemo->isHidden());
    QTest::mouseClick(form->MainImage, Qt::LeftButton);
    EXPECT_FALSE(form->InfoMemo->isHidden()) << "a plain click changes nothing";
}

TEST_F(WindowTest, SuccessNotesCloseThemselves) {
    Create();
    form->messageHook = nullptr;
    bool sawDialog = false;
    QTimer::singleShot(0, form.get(), [&]() {
        QMessageBox* box = form->LatestDialog();
        ASSERT_NE(box, nullptr);
        sawDialog = box->isVisible() && form->AutoCloseMsgDlgTimer->isActive();
        EXPECT_EQ(box->windowTitle(), "NOTE");
        EXPECT_EQ(box->text(), "Success to read Varnak Handset settings.");
        form->AutoCloseMsgDlgTimerTimer();  // as the timer does one second later
    });
    const DialogButton answer = form->ShowMessage({"Success to read Varnak Handset settings.",
                                                   "NOTE", DialogIcon::Information, mbOK, 0, true});
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(answer, mbOK);
    EXPECT_FALSE(form->AutoCloseMsgDlgTimer->isActive());
    EXPECT_EQ(form->LatestDialog(), nullptr);
    form->AutoCloseMsgDlgTimerTimer();  // a late tick with no dialog does nothing
}

// A note closed by hand before its second is up takes its timer with it: the next dialog is
// answered by the user, not by the note's leftover timer.
TEST_F(WindowTest, ANoteClosedByHandTakesItsTimerWithIt) {
    Create();
    form->messageHook = nullptr;
    QObject guard;  // the single shots below end with the test
    QTimer::singleShot(0, &guard, [&]() {
        QMessageBox* note = form->LatestDialog();
        ASSERT_NE(note, nullptr);
        note->buttons().front()->click();
    });
    form->ShowMessage({"Success to read Varnak Gateway settings.", "NOTE", DialogIcon::Information,
                       mbOK, 0, true});
    EXPECT_FALSE(form->AutoCloseMsgDlgTimer->isActive());

    bool stillAsking = false;
    QTimer::singleShot(1300, &guard, [&]() {
        QMessageBox* question = form->LatestDialog();
        stillAsking = question != nullptr && question->isVisible();
        if (question) {
            for (QAbstractButton* b : question->buttons()) {
                if (b->text() == "&Yes") {
                    b->click();
                }
            }
        }
    });
    const DialogButton answer =
        form->ShowMessage({"Success writing Varnak Gateway settings.\nReset device?", "NOTE",
                           DialogIcon::Information, mbYes | mbNo, 1, false});
    EXPECT_TRUE(stillAsking) << "the question was still waiting for its answer after a second";
    EXPECT_EQ(answer, mbYes);
}

TEST_F(WindowTest, QuestionDialogHasTheCustomCaptionsAndFocus) {
    Create();
    form->messageHook = nullptr;
    QStringList captions;
    QString focused;
    QTimer::singleShot(0, form.get(), [&]() {
        QMessageBox* box = form->LatestDialog();
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* b : box->buttons()) {
            captions << b->text();
        }
        focused = box->defaultButton()->text();
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == "&Yes") {
                b->click();
            }
        }
    });
    const DialogButton answer =
        form->ShowMessage({"Success writing Varnak Gateway settings.\nReset device?", "NOTE",
                           DialogIcon::Information, mbYes | mbNo, 1, false});
    EXPECT_EQ(answer, mbYes);
    EXPECT_TRUE(captions.contains("&Yes"));
    EXPECT_TRUE(captions.contains("&No"));
    EXPECT_EQ(focused, "&No");
    EXPECT_FALSE(form->AutoCloseMsgDlgTimer->isActive());
}

TEST_F(WindowTest, ModelSwitchResetsBothPages) {
    Create();
    QCheckBox* stealth = Find<QCheckBox>("StealthModeAlwaysActiveCheckBox");
    stealth->click();
    EXPECT_TRUE(form->Model().StealthModeAlwaysActiveCheckBox.checked);
    QSpinBox* vox = Find<QSpinBox>("GWVOXTriggerLevelUpDown");
    vox->setValue(20);
    EXPECT_EQ(form->Model().GWVOXTriggerLevelUpDown.position, 20);

    form->butModelKordo->click();
    EXPECT_EQ(form->Model().model, DeviceModel::Kordo);
    EXPECT_FALSE(stealth->isChecked());
    EXPECT_EQ(vox->value(), 70);
    EXPECT_EQ(Find<QComboBox>("Left1LongPressComboBox")->currentText(), "(Disabled)");
    EXPECT_FALSE(Find<QCheckBox>("HandsfreeFunctionCheckBox")->isEnabled());
    EXPECT_FALSE(Find<QComboBox>("RelayModeComboBox")->isEnabled());
    EXPECT_EQ(Find<QComboBox>("GWRadioFunction5FunctionComboBox")->currentText(), "Disabled");
}

TEST_F(WindowTest, WidgetEditsRunTheRules) {
    Create();
    QComboBox* hold = Find<QComboBox>("Left2PressAndHoldComboBox");
    QComboBox* shortPress = Find<QComboBox>("Left2ShortPressComboBox");
    EXPECT_EQ(shortPress->currentText(), "Volume Down");
    hold->setCurrentIndex(1);
    emit hold->activated(1);
    EXPECT_EQ(shortPress->currentText(), "(Disabled)");
    EXPECT_FALSE(shortPress->isEnabled());

    QComboBox* io = Find<QComboBox>("GWRadioFunction2IOComboBox");
    QComboBox* function = Find<QComboBox>("GWRadioFunction2FunctionComboBox");
    QSpinBox* pulse = Find<QSpinBox>("GWRadioFunction2PulseUpDown");
    EXPECT_EQ(function->count(), 4);
    EXPECT_FALSE(pulse->isEnabled());
    io->setCurrentIndex(1);
    emit io->activated(1);
    EXPECT_EQ(function->count(), 9);
    EXPECT_TRUE(pulse->isEnabled());
    function->setCurrentIndex(4);
    emit function->activated(4);  // "Aux 1"
    EXPECT_EQ(pulse->value(), 500);
    EXPECT_EQ(pulse->maximum(), 30000);

    QCheckBox* fixed = Find<QCheckBox>("FixedAlertToneVolumeCheckBox");
    EXPECT_FALSE(Find<QSpinBox>("AlertToneVolumeUpDown")->isEnabled());
    fixed->click();
    EXPECT_TRUE(Find<QSpinBox>("AlertToneVolumeUpDown")->isEnabled());

    QSpinBox* voltage = Find<QSpinBox>("LowBatteryBeepVoltageUpDown");
    voltage->stepUp();
    EXPECT_EQ(voltage->text(), "3.6");
    EXPECT_EQ(form->Model().LowBatteryBeepVoltageUpDown.position, 3600);
}

TEST_F(WindowTest, LockDisablesPagesReadDefaultsAndModel) {
    Create();
    form->BatchProgramButton->click();
    EXPECT_EQ(form->BatchProgramButton->text(), "UNLOCK SETTINGS");
    EXPECT_FALSE(form->HandsetPageControl->isEnabled());
    EXPECT_FALSE(form->CradlePageControl->isEnabled());
    EXPECT_FALSE(form->ReadDeviceButton->isEnabled());
    EXPECT_FALSE(form->FactoryButton->isEnabled());
    EXPECT_FALSE(form->grpModelBox->isEnabled());
    EXPECT_TRUE(form->ProgramDeviceButton->isEnabled());
    EXPECT_TRUE(form->LoadFileButton->isEnabled());
    form->BatchProgramButton->click();
    EXPECT_EQ(form->BatchProgramButton->text(), "LOCK SETTINGS");
    EXPECT_TRUE(form->HandsetPageControl->isEnabled());
}

TEST_F(WindowTest, OpensCentredOnTheScreen) {
    Create();
    form->show();
    QApplication::processEvents();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame = form->frameGeometry();
    EXPECT_NEAR(frame.center().x(), screen.center().x(), 1);
    if (frame.height() <= screen.height()) {
        EXPECT_NEAR(frame.center().y(), screen.center().y(), 1);
    } else {
        EXPECT_EQ(frame.top(), screen.top()) << "a window taller than the screen keeps its top";
    }
}

TEST_F(WindowTest, PortsThatDoNotFitTheTableAreLogged) {
    for (int i = 1; i <= 14; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "P%02d", i);
        std::ofstream(devices.File(name)) << "chip MVT4120\n";
    }
    Create();
    ASSERT_EQ(form->Ports().Entries().size(), PortTable::kCapacity);
    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 4);
    EXPECT_TRUE(log[3].endsWith(
        "| The port table holds 12 entries: 3 more port(s) left out: P12, P13, P14"))
        << log[3].toStdString();
}

TEST_F(WindowTest, FirstTimerTickChoosesTheFirstPort) {
    std::ofstream(devices.File("Bench")) << "chip MVT4120\n";
    Create();
    ASSERT_EQ(form->Ports().Entries().size(), 2u);
    form->Timer1Timer();
    EXPECT_EQ(form->windowTitle(), "Varnak Plus User Programmer, v3.04E, Transport = Bench");
    EXPECT_EQ(form->Programmer().Port().entry.connection, "SIM:Bench");
    EXPECT_FALSE(form->Programmer().Port().devicePath);
}

TEST_F(WindowTest, WithoutPortsTheUsbDeviceIsChosenAndRead) {
    Create();
    form->Timer1Timer();
    EXPECT_TRUE(form->windowTitle().endsWith(", Transport = \\\\.\\MVT0"));
    EXPECT_TRUE(form->Programmer().Port().devicePath);
    form->ReadDeviceButton->click();
    EXPECT_EQ(recorder.Texts(),
              std::vector<std::string>{"Success to read Varnak Handset settings."});
    EXPECT_EQ(form->HSSwVersionLabel->text(), "HS: V3.04 Veltra Plus");
    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 5);
    EXPECT_TRUE(log[3].endsWith("| HS: V3.04 Veltra Plus"));
    EXPECT_TRUE(log[4].contains("| Read  - A700 0008 0DAC "));
}

TEST_F(WindowTest, WrongChipClosesTheWindow) {
    std::ofstream(devices.File("Odd")) << "chip OTHER\n";
    Create();
    form->show();
    form->Timer1Timer();
    form->ReadDeviceButton->click();
    EXPECT_EQ(recorder.Texts().back(), "The chip is not MVT 4120. This program will terminate.");
    QApplication::processEvents();
    EXPECT_FALSE(form->isVisible());
}

// Read a gateway, edit, program with a reset, save and load a file, then lock the settings
// and program a second gateway.
TEST_F(WindowTest, GatewayProductionRound) {
    varnak::sim::DeviceImage gateway;
    gateway.keys[PSKEY_USR31] = {0xFD02};
    gateway.keys[PSKEY_USR35] = {0x0304};
    gateway.keys[PSKEY_USR32] = {0x6400, 9,      3, 0,      70, 0xC001, 0, 0xC002, 0, 1, 0, 0, 0, 0,
                                 0,      0xC000, 0, 0xC000, 0,  0x8008, 0, 0x8006, 0, 0, 0};
    ASSERT_TRUE(varnak::sim::SaveDevice(devices.File("GW1"), gateway, nullptr));
    gateway.keys[PSKEY_USR32] = std::vector<uint16_t>(25, 0x0400);
    ASSERT_TRUE(varnak::sim::SaveDevice(devices.File("GW2"), gateway, nullptr));
    Create();
    std::vector<int> sleeps;
    form->Programmer().sleep = [&sleeps](int ms) { sleeps.push_back(ms); };
    form->Timer1Timer();

    form->ReadDeviceButton->click();
    EXPECT_EQ(form->MasterPageControl->currentIndex(), 1);
    EXPECT_EQ(form->GWSwVersionLabel->text(), "GW: V3.04 Veltra Plus");
    QSpinBox* vox = Find<QSpinBox>("GWVOXTriggerLevelUpDown");
    vox->setValue(44);
    recorder.answers = {mbYes};
    form->ProgramDeviceButton->click();
    ASSERT_EQ(recorder.requests.size(), 2u);
    EXPECT_EQ(recorder.requests[1].text, "Success writing Varnak Gateway settings.\nReset device?");
    varnak::sim::DeviceImage image;
    ASSERT_TRUE(varnak::sim::LoadDevice(devices.File("GW1"), image, nullptr));
    EXPECT_EQ(image.keys[PSKEY_USR32][GW_VOX_TRIGGER_LEVEL], 44);
    EXPECT_EQ(image.restarts, 1);
    EXPECT_TRUE(LogLines().back().contains("| Write - 6400 0009 0003 0000 002C "));

    const std::string file = (folder / "gateway.wpx").string();
    form->fileNameHook = [&file](bool) { return std::optional<std::string>(file); };
    form->SaveFileButtonClick();
    ASSERT_TRUE(std::filesystem::exists(file));
    form->FactoryButton->click();
    EXPECT_EQ(vox->value(), 70);
    form->BatchProgramButton->click();  // loading stays possible while locked
    form->LoadFileButton->click();
    EXPECT_EQ(vox->value(), 44);

    form->MasterPageControl->setCurrentIndex(0);
    ASSERT_EQ(form->Model().masterPage, HandsetTab);
    form->Programmer().SetPort(ChosenPort::From({"GW2", "SIM:GW2"}));
    recorder.answers = {mbNo};
    form->ProgramDeviceButton->click();
    EXPECT_EQ(form->MasterPageControl->currentIndex(), 1)
        << "the locked settings follow the device";
    ASSERT_TRUE(varnak::sim::LoadDevice(devices.File("GW2"), image, nullptr));
    EXPECT_EQ(image.keys[PSKEY_USR32][GW_VOX_TRIGGER_LEVEL], 44);
    EXPECT_EQ(image.keys[PSKEY_USR32][GW_FLAGS], 0x6400);
    EXPECT_EQ(image.restarts, 0);
    EXPECT_TRUE(sleeps.empty());

    form->fileNameHook = [](bool) { return std::optional<std::string>(); };
    recorder.Clear();
    form->LoadFileButton->click();  // cancelled
    EXPECT_TRUE(recorder.requests.empty());
}

}  // namespace
}  // namespace halyard

int main(int argc, char** argv) {
    // The window suite needs no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
