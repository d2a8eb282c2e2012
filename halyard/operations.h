// The device operations: read the connected device's settings into the model, program the
// model's settings into it, restart it. Each opens its own connection through the
// device-access library and closes it before it returns; every message goes through the
// model's dialogs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports.h"
#include "settingsmodel.h"

namespace halyard {

// Pauses between the tries of a PS key read or write; tests replace it.
using SleepFunction = std::function<void(int milliseconds)>;

// Every PS key read and write is tried this often, sleeping n x 250 ms after the n-th failure.
inline constexpr int kPsKeyTries = 3;
inline constexpr int kRetrySleepStepMs = 250;
// Room for a PS key value read from the device, in words.
inline constexpr uint16_t kReadCapacity = 36;

inline constexpr const char* kProductWebAddress = "www.varnakplus.example";

// The device's identity keys: kind (high byte) and model (low byte) of PSKEY_USR31, and the
// firmware version word of PSKEY_USR35 (0 when that read failed).
struct DeviceIdentity {
    int kind = 0;
    int modelByte = 0;
    uint16_t version = 0;
    bool versionRead = false;  // false: the version read failed and `version` is not the device's
    uint16_t word = 0;         // the identity word itself
};

// The points an operation reaches, in order, for callers that trace a device's progress.
enum class Stage { Connected, IdentityRead, RecordRead, Written, Verified, Restarted };

// What a caller that traces devices (halyard-cli) can hook into an operation; the window sets
// none of them.
struct OperationHooks {
    // Each stage as it is reached.
    std::function<void(Stage)> reached;
    // Program: once the identity is read, and once the device's record is read, before anything
    // is written. A non-empty text stops the operation with that text as its error message.
    std::function<std::string(const DeviceIdentity&)> admitIdentity;
    std::function<std::string(const std::vector<uint16_t>& record)> admitRecord;
};

// "3.04" from the firmware version word (major, minor and sub-minor nibbles).
std::string FirmwareVersionText(uint16_t version);
// "3.04" -> 0x0304: major 0..15, then exactly two digits for minor and sub; false otherwise.
bool ParseFirmwareVersion(const std::string& text, uint16_t& version);

class DeviceProgrammer {
  public:
    explicit DeviceProgrammer(SettingsModel& model);

    void SetPort(const ChosenPort& port) { mPort = port; }
    const ChosenPort& Port() const { return mPort; }

    // "&READ DEVICE": true when the settings were read and shown.
    bool ReadDevice();
    // "&PROGRAM DEVICE": true when the settings were written.
    bool ProgramDevice();
    // "RESTAR&T DEVICE": true when a connection was obtained and the chip reset.
    bool RestartDevice();

    // 2 = Veltra Plus, 1 = Kordo Plus, from the last gateway read or programmed; 0 before.
    int GatewayModel() const { return mGatewayModel; }
    uint32_t Handle() const { return mHandle; }

    // What the last operation learnt, for reports: the identity, if it was read; the settings
    // record as the device returned it; the record written; the record read back to verify.
    const std::optional<DeviceIdentity>& Identity() const { return mIdentity; }
    const std::vector<uint16_t>& WordsRead() const { return mWordsRead; }
    const std::vector<uint16_t>& WordsWritten() const { return mWordsWritten; }
    const std::vector<uint16_t>& WordsReadBack() const { return mWordsReadBack; }

    // Failed tries of each PS key in the last operation (keys that needed none are left out).
    const std::map<uint16_t, int>& Retries() const { return mRetries; }
    // The chip's address (PSKEY_ADDRESS) as read with the identity when readAddress is set;
    // empty when the device does not answer for it.
    const std::vector<uint16_t>& Address() const { return mAddress; }
    // The PS key whose read or write failed every try, when one did.
    const std::optional<uint16_t>& FailedKey() const { return mFailedKey; }

    SleepFunction sleep;
    OperationHooks hooks;
    // Program without writing: every check and the record that would be written, then stop
    // before the write (no verify, no reset question). The window never sets it.
    bool dryRun = false;
    // Read the chip's address after the identity, once, without retries: a device that keeps
    // none costs no retry pauses. The window does not read it.
    bool readAddress = false;
    // After a write that succeeded, read the record back and compare every word the
    // programmer owns; a difference fails the programming, with a message that names the
    // words, and the reset question is not asked. The window does not verify.
    bool verifyAfterWrite = false;

  private:
    void Open();
    void Close();
    bool ChipCheck();
    bool ReadIdentity(DeviceIdentity& id);
    // Reads a key into a zeroed buffer of kReadCapacity words; count gets the words read.
    bool ReadKey(uint16_t key, uint16_t* words, uint16_t& count);
    bool WriteKey(uint16_t key, const uint16_t* words);
    void SleepAfterFailure(int attempt);
    // Adds the device-access library's account of its last failure to the log, where it gives
    // one: the messages keep their own texts ("Varnak not detected. ..."), the log says why.
    void LogDeviceError();
    bool ReadHandset(const DeviceIdentity& id);
    bool ReadGateway(const DeviceIdentity& id);
    // Program steps for each tab: nothing when stopped by a message, else whether the write
    // succeeded.
    std::optional<bool> ProgramHandset(const DeviceIdentity& id);
    std::optional<bool> ProgramGateway(const DeviceIdentity& id);
    bool ReadCurrentRecord(uint16_t key, uint16_t* record);
    // Reads the record back and compares it with the words written, the device-owned bits of
    // word 0 aside; false (after the message) on a difference or a failed read.
    bool VerifyWritten(uint16_t key, const uint16_t* written, uint16_t deviceOwnedBits,
                       const char* const* wordNames);
    void ForgetLastOperation();
    void Reached(Stage stage);
    // A hook's refusal, shown as the operation's error: true when the operation may go on.
    bool Admitted(const std::string& refusal);
    // Model check for Program: false (after the message) when the device is the other model.
    bool ModelMatches(int modelByte);
    void LogWords(const char* prefix, const uint16_t* words, size_t count);
    static std::string VersionText(const char* prefix, const DeviceIdentity& id);

    SettingsModel& mModel;
    IUserDialogs& mDialogs;
    ChosenPort mPort;
    uint32_t mHandle = 0;
    int mGatewayModel = 0;
    hs_xsettings_t mHandsetRecord;
    gw_xsettings_t mGatewayRecord;
    std::optional<DeviceIdentity> mIdentity;
    std::vector<uint16_t> mWordsRead;
    std::vector<uint16_t> mWordsWritten;
    std::vector<uint16_t> mWordsReadBack;
    std::vector<uint16_t> mAddress;
    std::map<uint16_t, int> mRetries;
    std::optional<uint16_t> mFailedKey;
};

}  // namespace halyard
