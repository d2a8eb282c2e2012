// Loads arbitrary bytes as a settings file into the settings model, the way halyard-cli judges
// and programs files (the window's load is the same load, which then shows the stop or the
// version warning of the report). Then checks the report, that every control is still in a
// state the window can show, and that the records and the file text can be built, all without
// a message: a message there would be an item text the model cannot map.
#include <halyard/catalogue.h>
#include <halyard/settingsfile.h>
#include <halyard/settingsmodel.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "../driver/check.h"

namespace {

using fuzz::Check;

class CountedDialogs : public halyard::IUserDialogs {
  public:
    halyard::DialogButton ShowMessage(const halyard::DialogRequest&) override {
        ++shown;
        return halyard::mbOK;
    }
    void ShowPlainMessage(const std::string&) override { ++shown; }
    void AddLogLine(const std::string&) override {}
    void CloseProgram() override {}

    int shown = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CountedDialogs dialogs;
    halyard::SettingsModel model(dialogs);
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const halyard::LoadReport report = halyard::LoadSettingsQuietly(model, in);
    Check(report.result != halyard::LoadResult::OpenFailed);
    Check((report.result == halyard::LoadResult::Stopped) == !report.stopMessage.empty());
    // Capped, whatever the file holds: 20 lines' warnings, "... and more", then the missing
    // entries and the version.
    Check(report.warnings.size() <= 23);
    Check(report.settingsApplied <= static_cast<int>(size));

    for (const halyard::CatalogueEntry& entry : halyard::SettingsCatalogue()) {
        const auto control = entry.Resolve(model);
        if (const auto* combo = std::get_if<halyard::ComboBox*>(&control)) {
            Check((*combo)->index >= 0 &&
                  (*combo)->index < static_cast<int>((*combo)->Items().size()));
        } else if (const auto* upDown = std::get_if<halyard::UpDown*>(&control)) {
            Check((*upDown)->position >= (*upDown)->min && (*upDown)->position <= (*upDown)->max);
        }
    }
    for (const halyard::LineControls& line : model.lines) {
        Check((line.function.Items().size() == 4) == (line.io.index == 0));
    }
    const halyard::gw_xsettings_t gw = model.GatewayRecordFromControls();
    Check(gw.word[23] == 0 && gw.word[24] == 0);
    Check(gw.word[halyard::GW_LINES] == 0xC001);
    model.HandsetRecordFromControls();
    Check(!halyard::FormatSettingsFile(model).empty());
    Check(dialogs.shown == 0);
    return 0;
}
