// Loads arbitrary bytes as a settings file into the settings model, then checks that every
// control is still in a state the window can show and that the records can be built, and that
// the quiet load halyard-cli judges files with leaves the same settings.
#include <halyard/catalogue.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

class QuietDialogs : public halyard::IUserDialogs {
  public:
    halyard::DialogButton ShowMessage(const halyard::DialogRequest&) override {
        return halyard::mbOK;
    }
    void ShowPlainMessage(const std::string&) override {}
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QuietDialogs dialogs;
    halyard::SettingsModel model(dialogs);
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    const halyard::LoadResult result = halyard::LoadSettings(model, in);

    halyard::SettingsModel quiet(dialogs);
    std::istringstream again(text);
    const halyard::LoadReport report = halyard::LoadSettingsQuietly(quiet, again);
    Check(report.result == result);
    Check(report.warnings.size() <= 22);  // capped, whatever the file holds
    Check(halyard::FormatSettingsFile(quiet) == halyard::FormatSettingsFile(model));

    for (const halyard::CatalogueEntry& entry : halyard::SettingsCatalogue()) {
        const auto control = entry.Resolve(model);
        if (const auto* combo = std::get_if<halyard::ComboBox*>(&control)) {
            Check((*combo)->index >= 0 &&
                  (*combo)->index < static_cast<int>((*combo)->items.size()));
        } else if (const auto* upDown = std::get_if<halyard::UpDown*>(&control)) {
            Check((*upDown)->position >= (*upDown)->min && (*upDown)->position <= (*upDown)->max);
        }
    }
    for (const halyard::LineControls& line : model.lines) {
        Check((line.function.items.size() == 4) == (line.io.index == 0));
    }
    const halyard::gw_xsettings_t gw = model.GatewayRecordFromControls();
    Check(gw.word[23] == 0 && gw.word[24] == 0);
    Check(gw.word[halyard::GW_LINES] == 0xC001);
    model.HandsetRecordFromControls();
    halyard::FormatSettingsFile(model);
    return 0;
}
