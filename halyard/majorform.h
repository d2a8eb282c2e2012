// TMajorForm: the programmer's main window. It shows the settings model as widgets, starts
// the device and file operations from its buttons and shows their messages as dialogs.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dialogs.h"
#include "operations.h"
#include "ports.h"
#include "settingsmodel.h"

namespace halyard {

// The product banner; reports clicks with the keyboard modifiers held.
class BannerImage : public QLabel {
    Q_OBJECT
  public:
    explicit BannerImage(QWidget* parent);
  signals:
    void clicked(Qt::KeyboardModifiers modifiers);

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// An up-down with its value in a box; the low-battery voltage shows volts.
class ValueUpDown : public QSpinBox {
    Q_OBJECT
  public:
    ValueUpDown(QWidget* parent, bool showsVolts);

  protected:
    QString textFromValue(int value) const override;
    int valueFromText(const QString& text) const override;
    QValidator::State validate(QString& text, int& pos) const override;

  private:
    bool mShowsVolts;
};

class TMajorForm : public QWidget, public IUserDialogs {
    Q_OBJECT
  public:
    struct Options {
        std::filesystem::path iniPath;  // the program's own INI file
        // Answers message dialogs in place of showing them, from the start-up on (tests).
        std::function<DialogButton(const DialogRequest&)> messageHook;
        // Lists the programming ports in place of the port-listing library (tests).
        ListPortsFunction listPorts;
    };
    // FormCreate: builds the window and runs the start-up sequence.
    explicit TMajorForm(const Options& options, QWidget* parent = nullptr);
    ~TMajorForm() override;

    SettingsModel& Model() { return *mModel; }
    DeviceProgrammer& Programmer() { return *mProgrammer; }
    const PortTable& Ports() const { return mPorts; }
    // Pushes the model's state into the widgets.
    void SyncFromModel();

    // IUserDialogs: the message dialog routine and its relatives.
    DialogButton ShowMessage(const DialogRequest& request) override;
    void ShowPlainMessage(const std::string& text) override;
    void AddLogLine(const std::string& text) override;
    void CloseProgram() override;

    // Tests replace the dialogs: a hook that is set answers in place of the dialog.
    std::function<DialogButton(const DialogRequest&)> messageHook;
    std::function<void(const std::string&)> plainMessageHook;
    // Answers the open (save false) and save (save true) file dialogs; nothing is "Cancel".
    std::function<std::optional<std::string>(bool save)> fileNameHook;

    static constexpr const char* kDesignCaption = "Varnak Plus User Programmer";
    static constexpr int kClientWidth = 660;

    BannerImage* MainImage = nullptr;
    QLabel* lblPlusSeries = nullptr;
    QPlainTextEdit* InfoMemo = nullptr;
    QLabel* HSSwVersionLabel = nullptr;
    QLabel* GWSwVersionLabel = nullptr;
    QPushButton* LoadFileButton = nullptr;
    QPushButton* SaveFileButton = nullptr;
    QPushButton* FactoryButton = nullptr;
    QPushButton* ExitButton = nullptr;
    QPushButton* ReadDeviceButton = nullptr;
    QPushButton* ProgramDeviceButton = nullptr;
    QPushButton* RestartButton = nullptr;
    QPushButton* BatchProgramButton = nullptr;
    QGroupBox* grpModelBox = nullptr;
    QRadioButton* butModelVeltra = nullptr;
    QRadioButton* butModelKordo = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* AutoCloseMsgDlgTimer = nullptr;
    QTabWidget* MasterPageControl = nullptr;
    QWidget* HandsetTabSheet = nullptr;
    QWidget* CradleTabSheet = nullptr;
    QTabWidget* HandsetPageControl = nullptr;
    QTabWidget* CradlePageControl = nullptr;

    // The dialog showing now, if any (the auto-close timer closes it).
    QMessageBox* LatestDialog() const { return mLatestDialog; }

  public slots:
    void Timer1Timer();
    void ReadDeviceButtonClick();
    void ProgramDeviceButtonClick();
    void RestartButtonClick();
    void LoadFileButtonClick();
    void SaveFileButtonClick();
    void BatchProgramButtonClick();
    void FactoryButtonClick();
    void ExitButtonClick();
    void butModelVeltraClick();
    void butModelKordoClick();
    void MainImageClick(Qt::KeyboardModifiers modifiers);
    void MasterPageControlChange(int index);
    void FixedAlertToneVolumeCheckBoxClick();
    void GWVOXEnabledCORCheckBoxClick();
    void AccPTTPressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::AccPTT); }
    void PTTPressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::PTT); }
    void Top1PressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::Top1); }
    void Top2PressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::Top2); }
    void Left1PressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::Left1); }
    void Left2PressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::Left2); }
    void Right1PressAndHoldComboBoxChange() { PressAndHoldChange(HandsetButton::Right1); }
    void GWRadioEmergencyIOComboBoxChange() { DirectionChange(GatewayLine::RadioEmergency); }
    void GWRadioCORIOComboBoxChange() { DirectionChange(GatewayLine::RadioCOR); }
    void GWRadioFunction1IOComboBoxChange() { DirectionChange(GatewayLine::Function1); }
    void GWRadioFunction2IOComboBoxChange() { DirectionChange(GatewayLine::Function2); }
    void GWRadioEmergencyFunctionComboBoxChange() { FunctionChange(GatewayLine::RadioEmergency); }
    void GWRadioCORFunctionComboBoxChange() { FunctionChange(GatewayLine::RadioCOR); }
    void GWRadioFunction1FunctionComboBoxChange() { FunctionChange(GatewayLine::Function1); }
    void GWRadioFunction2FunctionComboBoxChange() { FunctionChange(GatewayLine::Function2); }
    void GWRadioFunction3FunctionComboBoxChange() { FunctionChange(GatewayLine::Function3); }
    void GWRadioFunction4FunctionComboBoxChange() { FunctionChange(GatewayLine::Function4); }
    void GWRadioFunction5FunctionComboBoxChange() { FunctionChange(GatewayLine::Function5); }
    void GWRadioFunction6FunctionComboBoxChange() { FunctionChange(GatewayLine::Function6); }
    void AutoCloseMsgDlgTimerTimer();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    struct CheckBinding {
        QCheckBox* widget;
        CheckBox* state;
    };
    struct ComboBinding {
        QComboBox* widget;
        ComboBox* state;
        QLabel* label;
    };
    struct UpDownBinding {
        ValueUpDown* widget;
        UpDown* state;
        QLabel* label;
    };
    struct LineWidgets {
        QComboBox* io;
        QComboBox* active;
        QComboBox* function;
        ValueUpDown* pulse;
    };

    void BuildWindow();
    QWidget* BuildUserExperiencePage();
    QWidget* BuildHandsetAudioPage();
    QWidget* BuildEmergencyPage();
    QWidget* BuildHandsetHardwarePage();
    QWidget* BuildGatewayAudioPage();
    QWidget* BuildGatewayHardwarePage();
    QCheckBox* AddCheckBox(QWidget* parent, const char* name, const char* caption, CheckBox& state);
    QComboBox* AddComboBox(QWidget* parent, const char* name, ComboBox& state, QLabel* label);
    ValueUpDown* AddUpDown(QWidget* parent, const char* name, UpDown& state, QLabel* label,
                           bool volts = false);
    void StartUp();
    void AfterEdit();
    void PressAndHoldChange(HandsetButton button);
    void DirectionChange(GatewayLine line);
    void FunctionChange(GatewayLine line);
    void UpdateClientHeight();
    void CentreOnScreen();
    std::optional<std::string> AskFileName(bool save);

    Options mOptions;
    std::unique_ptr<SettingsModel> mModel;
    std::unique_ptr<DeviceProgrammer> mProgrammer;
    PortTable mPorts;
    std::vector<CheckBinding> mChecks;
    std::vector<ComboBinding> mCombos;
    std::vector<UpDownBinding> mUpDowns;
    std::array<LineWidgets, kGatewayLineCount> mLines{};
    QString mCaption;
    bool mShown = false;
    bool mPortChosen = false;
    QPointer<QMessageBox> mLatestDialog;
};

}  // namespace halyard
