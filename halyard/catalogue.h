// Every stored control of the settings pages with its settings-file key, in file order. The
// settings file is written and read through it, and varnak-device prints records with it.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "settingsmodel.h"

namespace halyard {

enum class LinePart { Direction, Active, Function, Pulse, Reserved };

struct CatalogueEntry {
    int key = 0;       // settings-file key: 1..54 handset, 1001..1055 gateway
    std::string name;  // control name; empty for entries that are always 0
    // Plain controls name their member; line entries their line and part.
    CheckBox SettingsModel::*check = nullptr;
    ComboBox SettingsModel::*combo = nullptr;
    UpDown SettingsModel::*upDown = nullptr;
    int button = -1;  // handset button combo: HandsetButton, part 0..2 in comboPart
    int comboPart = 0;
    int line = -1;  // gateway line: GatewayLine, part in linePart
    LinePart linePart = LinePart::Reserved;

    using Control = std::variant<std::monostate, CheckBox*, ComboBox*, UpDown*>;
    Control Resolve(SettingsModel& model) const;
    bool IsGateway() const { return key >= 1000; }
};

// Handset entries 1..54, then gateway entries 1001..1055. The remote find-me check box is
// not among them: a settings file does not carry it.
const std::vector<CatalogueEntry>& SettingsCatalogue();

// The control's value as readable text: "on"/"off", the selected item, or the position.
std::string DescribeControl(const CatalogueEntry::Control& control);

}  // namespace halyard
