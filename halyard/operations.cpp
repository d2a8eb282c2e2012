#include "operations.h"

#include <velorum/velorum.h>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

namespace halyard {

namespace {

// Arguments of the device-path open: device kind, flags and read and write time-outs (ms).
constexpr int kDevicePathKind = 2;
constexpr int kOpenTimeoutMs = 1000;
constexpr int kAllStores = 1;
constexpr int kChipNameBuffer = 256;

const char* ModelText(int modelByte) {
    return modelByte == kModelVeltraByte ? " Veltra Plus" : " Kordo Plus";
}

}  // namespace

std::string FirmwareVersionText(uint16_t version) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d%d", (version >> 8) & 0xF, (version >> 4) & 0xF,
                  version & 0xF);
    return text;
}

bool ParseFirmwareVersion(const std::string& text, uint16_t& version) {
    const auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 2 || text.size() != dot + 3) {
        return false;
    }
    int major = 0;
    for (size_t i = 0; i < dot; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        major = major * 10 + (text[i] - '0');
    }
    const char minor = text[dot + 1];
    const char sub = text[dot + 2];
    if (major > 15 || minor < '0' || minor > '9' || sub < '0' || sub > '9') {
        return false;
    }
    version = static_cast<uint16_t>((major << 8) | ((minor - '0') << 4) | (sub - '0'));
    return true;
}

DeviceProgrammer::DeviceProgrammer(SettingsModel& model)
    : sleep([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }),
      mModel(model),
      mDialogs(model.Dialogs()) {}

void DeviceProgrammer::LogDeviceError() {
    // An addition of the simulated library: another vendor's may not have it, so it is looked up
    // at run time and, where it is missing, the log simply says nothing more.
    using LastError = int (*)(int, char*);
    static const auto lastError =
        reinterpret_cast<LastError>(dlsym(RTLD_DEFAULT, "GetLastDeviceError"));
    char text[512] = {};
    if (lastError != nullptr && lastError(static_cast<int>(sizeof text), text) == 1) {
        mDialogs.AddLogLine(std::string("Device access: ") + text);
    }
}

void DeviceProgrammer::Open() {
    if (!mPort.valid) {
        mHandle = 0;
    } else if (mPort.devicePath) {
        mHandle = OpenByDevicePath(kDevicePathKind, mPort.entry.connection.c_str(), 0,
                                   kOpenTimeoutMs, kOpenTimeoutMs);
    } else {
        mHandle = OpenByTransport(mPort.entry.connection.c_str(), 0);
    }
}

void DeviceProgrammer::Close() {
    if (mHandle != 0) {
        CloseConnection(mHandle);
        mHandle = 0;
    }
}

bool DeviceProgrammer::ChipCheck() {
    Open();
    if (mHandle == 0) {
        LogDeviceError();
        ShowError(mDialogs,
                  "Varnak not detected. Check cables and ensure Varnak is in programming mode.");
        return false;
    }
    char name[kChipNameBuffer] = {};
    if (GetChipName(mHandle, kChipNameBuffer, name) != 1) {
        LogDeviceError();
    }
    name[kChipNameBuffer - 1] = '\0';
    std::string chip(name);
    std::transform(chip.begin(), chip.end(), chip.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    Close();
    if (chip.find("MVT4120") != std::string::npos) {
        return true;
    }
    ShowError(mDialogs, "The chip is not MVT 4120. This program will terminate.");
    mDialogs.CloseProgram();
    return false;
}

void DeviceProgrammer::SleepAfterFailure(int attempt) {
    if (sleep) {
        sleep(attempt * kRetrySleepStepMs);
    }
}

bool DeviceProgrammer::ReadKey(uint16_t key, uint16_t* words, uint16_t& count) {
    for (int attempt = 1; attempt <= kPsKeyTries; ++attempt) {
        // Every try starts from a clean buffer: the device-access library may write into it on
        // a failed try, and a later, shorter answer must not pass those words on.
        std::fill(words, words + kReadCapacity, 0);
        count = 0;
        if (ReadPsKey(mHandle, key, kAllStores, kReadCapacity, words, &count) == 1) {
            count = std::min(count, kReadCapacity);
            return true;
        }
        ++mRetries[key];
        SleepAfterFailure(attempt);
    }
    LogDeviceError();
    // Nor does the last failure pass on what it left.
    std::fill(words, words + kReadCapacity, 0);
    count = 0;
    mFailedKey = key;
    return false;
}

bool DeviceProgrammer::WriteKey(uint16_t key, const uint16_t* words) {
    for (int attempt = 1; attempt <= kPsKeyTries; ++attempt) {
        if (WritePsKey(mHandle, key, kAllStores, kRecordWords, words) == 1) {
            return true;
        }
        ++mRetries[key];
        SleepAfterFailure(attempt);
    }
    LogDeviceError();
    mFailedKey = key;
    return false;
}

bool DeviceProgrammer::ReadIdentity(DeviceIdentity& id) {
    uint16_t words[kReadCapacity];
    uint16_t count = 0;
    if (!ReadKey(PSKEY_USR31, words, count)) {
        ShowError(mDialogs, "Fail to read pskey");
        return false;
    }
    id.word = words[0];
    id.kind = words[0] >> 8;
    id.modelByte = words[0] & 0xFF;
    // A failed read leaves version 0, and the operation goes on.
    id.versionRead = ReadKey(PSKEY_USR35, words, count);
    if (!id.versionRead) {
        mFailedKey.reset();
    }
    id.version = words[0];
    if (readAddress &&
        ReadPsKey(mHandle, PSKEY_ADDRESS, kAllStores, kReadCapacity, words, &count) == 1) {
        mAddress.assign(words, words + std::min(count, kReadCapacity));
    }
    mIdentity = id;
    Reached(Stage::IdentityRead);
    return true;
}

void DeviceProgrammer::ForgetLastOperation() {
    mIdentity.reset();
    mWordsRead.clear();
    mWordsWritten.clear();
    mWordsReadBack.clear();
    mAddress.clear();
    mRetries.clear();
    mFailedKey.reset();
}

void DeviceProgrammer::Reached(Stage stage) {
    if (hooks.reached) {
        hooks.reached(stage);
    }
}

bool DeviceProgrammer::Admitted(const std::string& refusal) {
    if (refusal.empty()) {
        return true;
    }
    ShowError(mDialogs, refusal);
    return false;
}

std::string DeviceProgrammer::VersionText(const char* prefix, const DeviceIdentity& id) {
    return std::string(prefix) + ": V" + FirmwareVersionText(id.version) + ModelText(id.modelByte);
}

void DeviceProgrammer::LogWords(const char* prefix, const uint16_t* words, size_t count) {
    std::string line = prefix;
    for (size_t i = 0; i < count; ++i) {
        char word[8];
        std::snprintf(word, sizeof word, "%04X ", words[i]);
        line += word;
    }
    mDialogs.AddLogLine(line);
}

bool DeviceProgrammer::ReadDevice() {
    ForgetLastOperation();
    if (!ChipCheck()) {
        return false;
    }
    Reached(Stage::Connected);
    Open();
    DeviceIdentity id;
    bool ok = false;
    if (ReadIdentity(id)) {
        if (id.kind == kKindHandset) {
            mModel.masterPage = HandsetTab;
            ok = ReadHandset(id);
        } else if (id.kind == kKindGateway) {
            mModel.masterPage = GatewayTab;
            ok = ReadGateway(id);
        } else if (id.kind == kKindOldHandset || id.kind == kKindOldGateway) {
            ShowError(mDialogs,
                      "This programmer is for Plus series only. Please use version 2.xx for this "
                      "Varnak model.");
        } else {
            ShowError(mDialogs, std::string("Unknown Varnak found. Please see ") +
                                    kProductWebAddress + " for correct programmer.");
        }
    }
    Close();
    return ok;
}

bool DeviceProgrammer::ReadHandset(const DeviceIdentity& id) {
    const std::string version = VersionText("HS", id);
    mModel.SelectModel(id.modelByte == kModelVeltraByte ? DeviceModel::Veltra : DeviceModel::Kordo);
    mDialogs.AddLogLine(version);
    mModel.HSSwVersionLabel = version;
    mModel.GWSwVersionLabel.clear();
    mModel.HandsfreeFunctionCheckBox.enabled = true;

    uint16_t words[kReadCapacity];
    uint16_t count = 0;
    const bool ok = ReadKey(PSKEY_USR33, words, count);
    mWordsRead.assign(words, words + count);
    LogWords("Read  - ", words, count);
    // A failed read shows the zero-filled buffer, as the device's record is unknown.
    std::copy_n(words, kRecordWords, mHandsetRecord.word);
    mModel.ShowHandsetRecord(mHandsetRecord);
    mModel.InternalMicOnlyCheckBox.enabled = true;
    mModel.PTTToggleCheckBox.enabled = true;
    mModel.RelayModeComboBox.enabled = true;
    if (ok) {
        Reached(Stage::RecordRead);
        ShowNote(mDialogs, "Success to read Varnak Handset settings.", true);
    } else {
        ShowError(mDialogs, "Fail to read Varnak Handset settings.");
    }
    return ok;
}

bool DeviceProgrammer::ReadGateway(const DeviceIdentity& id) {
    uint16_t words[kReadCapacity];
    uint16_t count = 0;
    const bool ok = ReadKey(PSKEY_USR32, words, count);
    mWordsRead.assign(words, words + count);
    std::copy_n(words, kRecordWords, mGatewayRecord.word);
    mGatewayModel = (mGatewayRecord.word[GW_FLAGS] & kGatewayVeltraBit) ? 2 : 1;
    const std::string version = VersionText("GW", id);
    mDialogs.AddLogLine(version);
    mModel.GWSwVersionLabel = version;
    mModel.HSSwVersionLabel.clear();
    mModel.SelectModel(mGatewayModel == 2 ? DeviceModel::Veltra : DeviceModel::Kordo);
    LogWords("Read  - ", words, count);
    mModel.ShowGatewayRecord(mGatewayRecord);
    if (mGatewayModel == 1) {
        mModel.GWMultiOperationalMicsCheckBox.checked = false;
        mModel.GWPublicAddressModeCheckBox.checked = false;
    }
    if (ok) {
        Reached(Stage::RecordRead);
        ShowNote(mDialogs, "Success to read Varnak Gateway settings.", true);
    } else {
        ShowError(mDialogs, "Fail to read Varnak Gateway settings.");
    }
    return ok;
}

bool DeviceProgrammer::ModelMatches(int modelByte) {
    if (modelByte == kModelVeltraByte && mModel.model == DeviceModel::Kordo) {
        ShowError(mDialogs, "Veltra Plus detected, not Kordo Plus as selected.");
        return false;
    }
    if (modelByte != kModelVeltraByte && mModel.model == DeviceModel::Veltra) {
        ShowError(mDialogs, "Kordo Plus detected, not Veltra Plus as selected.");
        return false;
    }
    return true;
}

bool DeviceProgrammer::ReadCurrentRecord(uint16_t key, uint16_t* record) {
    uint16_t words[kReadCapacity];
    uint16_t count = 0;
    if (!ReadKey(key, words, count)) {
        // Without the device's own record the bits it owns are unknown: write nothing.
        ShowError(mDialogs, "Fail to read pskey");
        return false;
    }
    mWordsRead.assign(words, words + count);
    std::copy_n(words, kRecordWords, record);
    Reached(Stage::RecordRead);
    return Admitted(hooks.admitRecord ? hooks.admitRecord(mWordsRead) : "");
}

bool DeviceProgrammer::VerifyWritten(uint16_t key, const uint16_t* written,
                                     uint16_t deviceOwnedBits, const char* const* wordNames) {
    uint16_t words[kReadCapacity];
    uint16_t count = 0;
    if (!ReadKey(key, words, count)) {
        ShowError(mDialogs, "Verify failed: the settings written could not be read back.");
        return false;
    }
    mWordsReadBack.assign(words, words + count);
    LogWords("Check - ", words, count);
    std::string differences;
    if (count != kRecordWords) {
        differences = " the device holds " + std::to_string(count) + " words, not " +
                      std::to_string(kRecordWords) + ";";
    }
    for (int i = 0; i < kRecordWords; ++i) {
        const uint16_t owned = i == 0 ? static_cast<uint16_t>(~deviceOwnedBits) : 0xFFFF;
        if (((words[i] ^ written[i]) & owned) != 0) {
            char line[128];
            std::snprintf(line, sizeof line, " word %d (%s) reads %04X, written %04X;", i,
                          wordNames[i], words[i], written[i]);
            differences += line;
        }
    }
    if (differences.empty()) {
        return true;
    }
    differences.back() = '.';
    ShowError(mDialogs,
              "Verify failed: the device does not hold the settings written:" + differences);
    return false;
}

std::optional<bool> DeviceProgrammer::ProgramHandset(const DeviceIdentity& id) {
    if (id.kind != kKindHandset) {
        ShowError(mDialogs, "The device is not Varnak Handset.");
        return std::nullopt;
    }
    if (!ReadCurrentRecord(PSKEY_USR33, mHandsetRecord.word) || !ModelMatches(id.modelByte)) {
        return std::nullopt;
    }
    const uint16_t kept = mHandsetRecord.word[HS_FLAGS] & kHandsetDeviceOwnedBit;
    const std::string version = VersionText("HS", id);
    mDialogs.AddLogLine(version);
    mModel.HSSwVersionLabel = version;
    mModel.GWSwVersionLabel.clear();
    mModel.HandsfreeFunctionCheckBox.enabled = true;
    if (id.modelByte != kModelVeltraByte) {
        mModel.InternalMicOnlyCheckBox.checked = false;
    }
    mHandsetRecord = mModel.HandsetRecordFromControls();
    mHandsetRecord.word[HS_FLAGS] =
        static_cast<uint16_t>((mHandsetRecord.word[HS_FLAGS] & ~kHandsetDeviceOwnedBit) | kept);
    LogWords(dryRun ? "Dry run, not written - " : "Write - ", mHandsetRecord.word, kRecordWords);
    mWordsWritten.assign(mHandsetRecord.word, mHandsetRecord.word + kRecordWords);
    return dryRun || WriteKey(PSKEY_USR33, mHandsetRecord.word);
}

std::optional<bool> DeviceProgrammer::ProgramGateway(const DeviceIdentity& id) {
    if (id.kind != kKindGateway) {
        ShowError(mDialogs, "The device is not Varnak Gateway.");
        return std::nullopt;
    }
    if (!ReadCurrentRecord(PSKEY_USR32, mGatewayRecord.word)) {
        return std::nullopt;
    }
    const uint16_t kept = mGatewayRecord.word[GW_FLAGS] & kGatewayVeltraBit;
    mGatewayModel = kept ? 2 : 1;
    if (!ModelMatches(id.modelByte)) {
        return std::nullopt;
    }
    const std::string version = VersionText("GW", id);
    mDialogs.AddLogLine(version);
    mModel.GWSwVersionLabel = version;
    mModel.HSSwVersionLabel.clear();
    if (mGatewayModel == 1) {
        for (CheckBox* box :
             {&mModel.GWMultiOperationalMicsCheckBox, &mModel.GWRemoteFindMeCheckBox}) {
            box->enabled = false;
            box->checked = false;
        }
    }
    mModel.ForceRadioPTTLine();
    mGatewayRecord = mModel.GatewayRecordFromControls();
    mGatewayRecord.word[GW_FLAGS] =
        static_cast<uint16_t>((mGatewayRecord.word[GW_FLAGS] & ~kGatewayVeltraBit) | kept);
    LogWords(dryRun ? "Dry run, not written - " : "Write - ", mGatewayRecord.word, kRecordWords);
    mWordsWritten.assign(mGatewayRecord.word, mGatewayRecord.word + kRecordWords);
    return dryRun || WriteKey(PSKEY_USR32, mGatewayRecord.word);
}

bool DeviceProgrammer::ProgramDevice() {
    ForgetLastOperation();
    if (!ChipCheck()) {
        return false;
    }
    Reached(Stage::Connected);
    Open();
    DeviceIdentity id;
    bool written = false;
    if (ReadIdentity(id) && Admitted(hooks.admitIdentity ? hooks.admitIdentity(id) : "")) {
        // Locked settings go to whichever device is connected.
        if (mModel.settingsLocked) {
            mModel.masterPage = id.kind == kKindHandset ? HandsetTab : GatewayTab;
        }
        const bool handset = mModel.masterPage == HandsetTab;
        const std::string what = handset ? "Handset" : "Gateway";
        const std::optional<bool> result = handset ? ProgramHandset(id) : ProgramGateway(id);
        if (result) {
            written = *result;
            if (!written) {
                ShowError(mDialogs, "Fail to write Varnak " + what + " settings.");
            } else if (!dryRun) {  // a dry run wrote nothing: nothing to verify or restart
                Reached(Stage::Written);
                written = !verifyAfterWrite ||
                          (handset ? VerifyWritten(PSKEY_USR33, mHandsetRecord.word,
                                                   kHandsetDeviceOwnedBit, kHandsetWordNames)
                                   : VerifyWritten(PSKEY_USR32, mGatewayRecord.word,
                                                   kGatewayVeltraBit, kGatewayWordNames));
                if (written && verifyAfterWrite) {
                    Reached(Stage::Verified);
                }
                if (written &&
                    mDialogs.ShowMessage(
                        {"Success writing Varnak " + what + " settings.\nReset device?", "NOTE",
                         DialogIcon::Information, mbYes | mbNo, 1, false}) == mbYes) {
                    ResetChip(mHandle, 0);
                    Reached(Stage::Restarted);
                }
            }
        }
    }
    Close();
    return written;
}

bool DeviceProgrammer::RestartDevice() {
    ForgetLastOperation();
    Open();
    if (mHandle == 0) {
        LogDeviceError();
        return false;
    }
    Reached(Stage::Connected);
    ResetChip(mHandle, 0);
    Reached(Stage::Restarted);
    Close();
    return true;
}

}  // namespace halyard
