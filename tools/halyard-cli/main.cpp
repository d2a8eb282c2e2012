// halyard-cli: the Varnak Plus programmer for production lines, without a window.
//   halyard-cli ports
//   halyard-cli read [--port NAME] [--save FILE.wpx]
//   halyard-cli program FILE.wpx [--port NAME] [--reset]
//   halyard-cli restart [--port NAME]
// NAME is a port name as "halyard-cli ports" lists it; without --port the first port of the
// table is used, as in the window. Messages the window shows as dialogs are printed with their
// caption (errors to standard error), log entries go to standard output, and the answer to
// "Reset device?" comes from --reset. The exit code is 0 only on success.
#include <halyard/operations.h>
#include <halyard/ports.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

using namespace halyard;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

class ConsoleDialogs : public IUserDialogs {
  public:
    DialogButton ShowMessage(const DialogRequest& request) override {
        std::ostream& out = request.icon == DialogIcon::Error ? std::cerr : std::cout;
        out << request.caption << ": " << request.text;
        DialogButton answer = mbOK;
        if (request.buttons & mbYes) {
            answer = resetAnswer ? mbYes : mbNo;
            out << " " << (answer == mbYes ? "Yes" : "No") << " (--reset)";
        }
        out << std::endl;
        return answer;
    }
    void ShowPlainMessage(const std::string& text) override { std::cerr << text << std::endl; }
    void AddLogLine(const std::string& text) override {
        std::cout << TimestampedLogLine(text) << std::endl;
    }
    void CloseProgram() override { closeRequested = true; }

    bool resetAnswer = false;
    bool closeRequested = false;
};

// Chooses the named port, or the first of the table.
bool ChoosePort(DeviceProgrammer& programmer, const std::string& name) {
    PortTable ports;
    ports.List();
    size_t index = 0;
    if (!name.empty()) {
        const auto found = ports.Find(name);
        if (!found) {
            std::cerr << "halyard-cli: no port named '" << name << "'; ports:";
            for (const PortEntry& entry : ports.Entries()) {
                std::cerr << " '" << entry.name << "'";
            }
            std::cerr << std::endl;
            return false;
        }
        index = *found;
    }
    programmer.SetPort(ChosenPort::From(ports.Entries()[index]));
    std::cout << "Transport = " << ports.Entries()[index].name << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Varnak Plus programmer for production lines"};
    app.set_version_flag("--version", VARNAK_VERSION);
    app.require_subcommand(1);
    std::string port;
    std::string file;
    std::string save;
    bool reset = false;

    app.add_subcommand("ports", "list the port table");
    auto* read = app.add_subcommand("read", "read the device's settings");
    read->add_option("--port", port, "port name from 'halyard-cli ports'");
    read->add_option("--save", save, "save the settings read to this settings file");
    auto* program = app.add_subcommand("program", "program a settings file into the device");
    program->add_option("FILE", file, "settings file (.wpx)")->required();
    program->add_option("--port", port, "port name from 'halyard-cli ports'");
    program->add_flag("--reset", reset, "restart the device after programming");
    auto* restart = app.add_subcommand("restart", "restart the device");
    restart->add_option("--port", port, "port name from 'halyard-cli ports'");
    CLI11_PARSE(app, argc, argv);

    ConsoleDialogs dialogs;
    dialogs.resetAnswer = reset;
    SettingsModel model(dialogs);
    DeviceProgrammer programmer(model);

    if (app.got_subcommand("ports")) {
        PortTable ports;
        ports.List();
        for (const PortEntry& entry : ports.Entries()) {
            std::cout << entry.name << "\t" << entry.connection << "\n";
        }
        return 0;
    }
    if (!ChoosePort(programmer, port)) {
        return kExitUsage;
    }
    if (read->parsed()) {
        if (!programmer.ReadDevice()) {
            return kExitFailure;
        }
        if (!save.empty()) {
            if (!SaveSettingsFile(model, save)) {
                return kExitFailure;
            }
            std::cout << "saved " << save << std::endl;
        }
        return 0;
    }
    if (program->parsed()) {
        if (LoadSettingsFile(model, file) != LoadResult::Loaded) {
            return kExitFailure;
        }
        // Batch programming: the settings go to whichever device kind is connected.
        model.ToggleSettingsLock();
        return programmer.ProgramDevice() ? 0 : kExitFailure;
    }
    if (!programmer.RestartDevice()) {
        std::cerr << "ERROR: Varnak not detected. Check cables and ensure Varnak is in "
                     "programming mode."
                  << std::endl;
        return kExitFailure;
    }
    std::cout << "restarted" << std::endl;
    return 0;
}
