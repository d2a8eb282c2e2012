// Test helpers: a dialogs receiver that records everything, and a private device directory.
#pragma once

#include <halyard/dialogs.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace halyard::test {

// The records a Veltra Plus handset and gateway hold with the programmer's defaults, worked
// out bit by bit (the gateway's Veltra flag, set by the device, not included).
inline const std::vector<uint16_t> kVeltraHandsetRecord = {
    0xA700, 0x0008, 0x0DAC, 0x0005, 0x0000, 0x0006, 0x0009, 0x0006, 0x0009,
    0x0005, 0x0000, 0x0000, 0x0000, 0x0001, 0x07D0, 0x1000, 0x3000, 0x1800,
    0x010A, 0x0140, 0x0001, 0x00C8, 0x1000, 0x0000, 0x004B};
inline const std::vector<uint16_t> kVeltraGatewayRecord = {
    0x6000, 0x0009, 0x0003, 0x0000, 0x0046, 0xC001, 0x0000, 0xC002, 0x0000,
    0x0001, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0xC000, 0x0000, 0xC000,
    0x0000, 0x8008, 0x0000, 0x8006, 0x0000, 0x0000, 0x0000};

class RecordingDialogs : public IUserDialogs {
  public:
    DialogButton ShowMessage(const DialogRequest& request) override {
        requests.push_back(request);
        if (!answers.empty()) {
            const DialogButton answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return mbOK;
    }
    void ShowPlainMessage(const std::string& text) override { plainMessages.push_back(text); }
    void AddLogLine(const std::string& text) override { log.push_back(text); }
    void CloseProgram() override { closeRequested = true; }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& r : requests) {
            out.push_back(r.text);
        }
        return out;
    }
    void Clear() {
        requests.clear();
        plainMessages.clear();
        log.clear();
    }

    std::vector<DialogRequest> requests;
    std::deque<DialogButton> answers;  // answers to the next questions, mbOK when empty
    std::vector<std::string> plainMessages;
    std::vector<std::string> log;
    bool closeRequested = false;
};

// Points VELORUM_DEVICE_DIR at a fresh temporary folder for the life of the object; `base`
// is the folder it is made in (a memory file system makes many device writes cheap).
class TempDeviceDir {
  public:
    explicit TempDeviceDir(const std::string& base = "/tmp") {
        std::string name = base + "/halyard_devices_XXXXXX";
        path = mkdtemp(name.data());
        setenv("VELORUM_DEVICE_DIR", path.c_str(), 1);
    }
    ~TempDeviceDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
        unsetenv("VELORUM_DEVICE_DIR");
    }
    TempDeviceDir(const TempDeviceDir&) = delete;
    TempDeviceDir& operator=(const TempDeviceDir&) = delete;

    std::filesystem::path File(const std::string& name) const { return path / (name + ".vdev"); }

    std::filesystem::path path;
};

}  // namespace halyard::test
