// varnak-device: creates and inspects simulated Varnak devices in the device directory
// ($VELORUM_DEVICE_DIR, else ${XDG_STATE_HOME:-$HOME/.local/state}/halyard/devices).
//   varnak-device create NAME --kind handset|gateway|old-handset|old-gateway|unknown
//                             --model veltra|kordo [--firmware 3.04] [--chip TEXT]
//                             [--delay MS] [--force]
//   varnak-device show NAME
//   varnak-device unplug NAME | plug NAME
//   varnak-device list
// NAME "MVT0" is the built-in USB device "\\.\MVT0"; every other device is a programming port.
// Exit codes: 0 success, 1 failure, 2 usage error.
#include <halyard/catalogue.h>
#include <halyard/records.h>
#include <halyard/settingsmodel.h>
#include <varnakcli.h>
#include <velorum/devicefile.h>

#include "deviceargs.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using varnak::sim::DeviceImage;
using varnak_device::ParseFirmware;

// Collects what the settings model reports while decoding, to print it as warnings.
class CollectedMessages : public halyard::IUserDialogs {
  public:
    halyard::DialogButton ShowMessage(const halyard::DialogRequest& request) override {
        messages.push_back(request.text);
        return halyard::mbOK;
    }
    void ShowPlainMessage(const std::string& text) override { messages.push_back(text); }
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
    std::vector<std::string> messages;
};

const std::map<std::string, int> kKinds = {{"handset", halyard::kKindHandset},
                                           {"gateway", halyard::kKindGateway},
                                           {"old-handset", halyard::kKindOldHandset},
                                           {"old-gateway", halyard::kKindOldGateway},
                                           {"unknown", 0x51}};

std::string KindText(int kind) {
    switch (kind) {
        case halyard::kKindHandset:
            return "handset, Plus series";
        case halyard::kKindGateway:
            return "gateway, Plus series";
        case halyard::kKindOldHandset:
            return "handset, earlier series";
        case halyard::kKindOldGateway:
            return "gateway, earlier series";
        default:
            return "unknown device";
    }
}

std::string Hex(uint16_t w) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", w);
    return buf;
}

struct CreateOptions {
    std::string name;
    std::string kind;
    std::string model;
    std::string firmware = "3.04";
    std::string chip = "MVT4120";
    int delayMs = 0;
    bool force = false;
};

int Create(const CreateOptions& options) {
    uint16_t version = 0;
    if (!ParseFirmware(options.firmware, version)) {
        std::cerr << "varnak-device: firmware must look like 3.04\n";
        return varnak::cli::kExitUsage;
    }
    const auto dir = varnak::sim::DeviceDirectory();
    const auto path = varnak::sim::DevicePath(dir, options.name);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Checked and written under the device's lock, so a program using the device meanwhile
    // sees the old device or the new one.
    const varnak::sim::DeviceLock lock(path);
    if (!lock.Locked()) {
        std::cerr << "varnak-device: " << lock.Error() << "\n";
        return varnak::cli::kExitFailure;
    }
    if (!options.force && std::filesystem::exists(path, ec)) {
        std::cerr << "varnak-device: " << path.string() << " exists already (use --force)\n";
        return varnak::cli::kExitFailure;
    }
    const int kind = kKinds.at(options.kind);
    const bool veltra = options.model == "veltra";
    DeviceImage image;
    image.chip = options.chip;
    image.delayMs = options.delayMs;
    image.keys[halyard::PSKEY_USR31] = {
        static_cast<uint16_t>((kind << 8) | (veltra ? halyard::kModelVeltraByte : 1))};
    image.keys[halyard::PSKEY_USR35] = {version};
    // The chip's address, drawn for each device so that every unit has a serial of its own.
    std::random_device random;
    image.keys[halyard::PSKEY_ADDRESS] = {static_cast<uint16_t>(random()),
                                          static_cast<uint16_t>(random()),
                                          static_cast<uint16_t>(random())};

    CollectedMessages messages;
    halyard::SettingsModel model(messages);
    model.SelectModel(veltra ? halyard::DeviceModel::Veltra : halyard::DeviceModel::Kordo);
    if (kind == halyard::kKindHandset || kind == halyard::kKindOldHandset) {
        const auto record = model.HandsetRecordFromControls();
        image.keys[halyard::PSKEY_USR33].assign(record.word, record.word + halyard::kRecordWords);
    } else if (kind == halyard::kKindGateway || kind == halyard::kKindOldGateway) {
        if (!veltra) {
            // A Kordo Plus gateway has no Veltra-only options: the programmer clears them on
            // every read and program, so a factory record holding them could not be kept.
            model.GWMultiOperationalMicsCheckBox.checked = false;
            model.GWRemoteFindMeCheckBox.checked = false;
        }
        auto record = model.GatewayRecordFromControls();
        if (veltra) {
            record.word[halyard::GW_FLAGS] |= halyard::kGatewayVeltraBit;
        }
        image.keys[halyard::PSKEY_USR32].assign(record.word, record.word + halyard::kRecordWords);
    }
    std::string error;
    if (!varnak::sim::SaveDevice(path, image, &error)) {
        std::cerr << "varnak-device: " << error << "\n";
        return varnak::cli::kExitFailure;
    }
    std::cout << "created " << path.string() << "\n";
    return varnak::cli::kExitSuccess;
}

void ShowRecord(const DeviceImage& image, uint16_t key, bool gateway) {
    const auto it = image.keys.find(key);
    if (it == image.keys.end()) {
        return;
    }
    const std::vector<uint16_t>& words = it->second;
    std::cout << (gateway ? "gateway" : "handset") << " settings (PS key 0x" << Hex(key) << ", "
              << words.size() << " words):\n ";
    for (uint16_t w : words) {
        std::cout << ' ' << Hex(w);
    }
    std::cout << "\n";
    CollectedMessages messages;
    halyard::SettingsModel model(messages);
    if (gateway) {
        halyard::gw_xsettings_t record;
        std::copy_n(words.begin(), std::min<size_t>(words.size(), halyard::kRecordWords),
                    record.word);
        std::cout << "  Veltra flag (device-owned): "
                  << ((record.word[halyard::GW_FLAGS] & halyard::kGatewayVeltraBit) ? 1 : 0)
                  << "\n";
        model.ShowGatewayRecord(record);
    } else {
        halyard::hs_xsettings_t record;
        std::copy_n(words.begin(), std::min<size_t>(words.size(), halyard::kRecordWords),
                    record.word);
        std::cout << "  flag bit 2 (device-owned): "
                  << ((record.word[halyard::HS_FLAGS] & halyard::kHandsetDeviceOwnedBit) ? 1 : 0)
                  << "\n";
        model.ShowHandsetRecord(record);
    }
    if (gateway) {
        // Not a settings-file entry, so not in the catalogue.
        std::printf("  %-36s %s\n", "GWRemoteFindMeCheckBox",
                    model.GWRemoteFindMeCheckBox.checked ? "on" : "off");
    }
    for (const auto& entry : halyard::SettingsCatalogue()) {
        if (entry.name.empty() || entry.IsGateway() != gateway) {
            continue;
        }
        std::printf("  %-36s %s\n", entry.name.c_str(),
                    halyard::DescribeControl(entry.Resolve(model)).c_str());
    }
    for (const std::string& m : messages.messages) {
        std::cout << "  warning: " << m << "\n";
    }
}

int Show(const std::string& name) {
    const auto path = varnak::sim::DevicePath(varnak::sim::DeviceDirectory(), name);
    DeviceImage image;
    std::string error;
    if (!varnak::sim::LoadDevice(path, image, &error)) {
        std::cerr << "varnak-device: " << error << "\n";
        return varnak::cli::kExitFailure;
    }
    std::cout << "device   " << path.string() << "\n";
    std::cout << "chip     " << image.chip << "\n";
    if (const auto id = image.keys.find(halyard::PSKEY_USR31);
        id != image.keys.end() && !id->second.empty()) {
        const int kind = id->second[0] >> 8;
        const int modelByte = id->second[0] & 0xFF;
        std::cout << "kind     " << KindText(kind) << " (0x"
                  << Hex(static_cast<uint16_t>(kind)).substr(2) << ")\n";
        std::cout << "model    "
                  << (modelByte == halyard::kModelVeltraByte ? "Veltra Plus" : "Kordo Plus") << " ("
                  << modelByte << ")\n";
    } else {
        std::cout << "kind     no identity key\n";
    }
    if (const auto fw = image.keys.find(halyard::PSKEY_USR35);
        fw != image.keys.end() && !fw->second.empty()) {
        const uint16_t v = fw->second[0];
        std::printf("firmware V%d.%d%d (0x%04X)\n", (v >> 8) & 0xF, (v >> 4) & 0xF, v & 0xF, v);
    }
    if (const auto address = image.keys.find(halyard::PSKEY_ADDRESS); address != image.keys.end()) {
        std::cout << "address ";
        for (uint16_t w : address->second) {
            std::cout << ' ' << Hex(w);
        }
        std::cout << "\n";
    }
    if (image.silent) {
        std::cout << "silent   the device does not answer\n";
    }
    if (image.hang) {
        std::cout << "hang     "
                  << (image.hangKey ? "reads and writes of 0x" + Hex(*image.hangKey)
                                    : std::string("every answer"))
                  << " never return\n";
    }
    if (image.crash) {
        std::cout << "crash    opening the device crashes the program\n";
    }
    if (image.delayMs > 0) {
        std::cout << "delay    " << image.delayMs << " ms per answer\n";
    }
    for (const auto& [key, count] : image.failRead) {
        std::cout << "fail-read  0x" << Hex(key) << " next " << count << "\n";
    }
    for (const auto& [key, count] : image.failWrite) {
        std::cout << "fail-write 0x" << Hex(key) << " next " << count << "\n";
    }
    for (const auto& [key, count] : image.loseWrite) {
        std::cout << "lose-write 0x" << Hex(key) << " next " << count << "\n";
    }
    std::cout << "restarts " << image.restarts << "\n";
    ShowRecord(image, halyard::PSKEY_USR33, false);
    ShowRecord(image, halyard::PSKEY_USR32, true);
    return 0;
}

int Plug(const std::string& name, bool in) {
    std::string error;
    if (!varnak::sim::PlugDevice(varnak::sim::DevicePath(varnak::sim::DeviceDirectory(), name), in,
                                 &error)) {
        std::cerr << "varnak-device: " << error << "\n";
        return varnak::cli::kExitFailure;
    }
    std::cout << (in ? "plugged in " : "unplugged ") << name << "\n";
    return varnak::cli::kExitSuccess;
}

int List() {
    const auto dir = varnak::sim::DeviceDirectory();
    std::cout << "device directory " << dir.string() << "\n";
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::filesystem::path& path = entry.path();
        if (path.extension() == varnak::sim::kDeviceExtension) {
            names.push_back(path.stem().string());
        } else if (path.extension() == ".unplugged" && path.stem().extension() == ".vdev") {
            names.push_back(path.stem().stem().string() + " (unplugged)");
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::cout << "  " << n << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Creates and inspects simulated Varnak devices"};
    app.set_version_flag("--version", VARNAK_VERSION);
    app.require_subcommand(1);
    app.footer(varnak::cli::kExitStatusHelp);
    auto validName = CLI::Validator(
        [](std::string& name) {
            return varnak::sim::IsValidDeviceName(name)
                       ? std::string()
                       : std::string("a device name holds letters, digits, '-', '_' and '.'");
        },
        "NAME");

    CreateOptions options;
    auto* create = app.add_subcommand("create", "write a device with factory settings");
    create->add_option("NAME", options.name, "device name (MVT0 is the USB device)")
        ->required()
        ->check(validName);
    create->add_option("--kind", options.kind, "device kind")
        ->required()
        ->check(CLI::IsMember({"handset", "gateway", "old-handset", "old-gateway", "unknown"}));
    create->add_option("--model", options.model, "device model")
        ->required()
        ->check(CLI::IsMember({"veltra", "kordo"}));
    create->add_option("--firmware", options.firmware, "firmware version, e.g. 3.04");
    create->add_option("--chip", options.chip, "chip name the device reports");
    create->add_option("--delay", options.delayMs, "milliseconds the device takes per answer")
        ->transform(varnak::cli::DecimalNumber())
        ->check(CLI::Range(0, 600000));
    create->add_flag("--force", options.force, "replace an existing device");
    create->footer(varnak::cli::kExitStatusHelp);

    std::string name;
    auto* show = app.add_subcommand("show", "decode a device's identity, firmware and settings");
    show->add_option("NAME", name, "device name")->required()->check(validName);
    show->footer(varnak::cli::kExitStatusHelp);

    auto* unplug = app.add_subcommand(
        "unplug", "unplug a device: it is no longer listed or opened, and keeps its state");
    unplug->add_option("NAME", name, "device name")->required()->check(validName);
    unplug->footer(varnak::cli::kExitStatusHelp);
    auto* plug = app.add_subcommand("plug", "plug an unplugged device back in");
    plug->add_option("NAME", name, "device name")->required()->check(validName);
    plug->footer(varnak::cli::kExitStatusHelp);

    app.add_subcommand("list", "list the devices in the device directory")
        ->footer(varnak::cli::kExitStatusHelp);

    if (const auto code = varnak::cli::ParseCommandLine(app, argc, argv)) {
        return *code;
    }
    if (create->parsed()) {
        return Create(options);
    }
    if (show->parsed()) {
        return Show(name);
    }
    if (unplug->parsed() || plug->parsed()) {
        return Plug(name, plug->parsed());
    }
    return List();
}
