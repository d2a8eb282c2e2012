// The keyward tool's power-table command: shows a transmit-power table and edits it.
#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <type_traits>

namespace keyward_tool {

namespace {

template <class Table>
void PrintTable(const Table& table) {
    using Setting = std::remove_cvref_t<decltype(table.settings[0])>;
    const auto& fields = FieldsOf<Setting>();
    std::ostringstream out;
    out << "index";
    for (const auto& f : fields) {
        out << "  " << f.name;
    }
    out << '\n';
    for (int i = 0; i < table.size(); ++i) {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%5d", i);
        out << cell;
        for (const auto& f : fields) {
            std::snprintf(cell, sizeof cell, "  %*d", static_cast<int>(std::string(f.name).size()),
                          f.get(table.settings[i]));
            out << cell;
        }
        out << '\n';
    }
    std::cout << out.str();
}

// Reads the table of `key`, applies the edits, writes it back when edited and prints it.
template <class Table>
int EditTable(const Options& options, uint16_t key, const TableEdits& edits,
              bool (CKeyWarder::*get)(uint16_t, Table&),
              bool (CKeyWarder::*set)(uint16_t, const Table&)) {
    using Setting = std::remove_cvref_t<decltype(std::declval<Table>().settings[0])>;
    std::vector<Setting> added;
    for (const std::string& text : edits.adds) {
        added.push_back(ParseSetting<Setting>(text));
    }
    return WithChip(options, edits.Any() ? Access::WRITE : Access::READ, [&](ChipSession& session) {
        Table table;
        const int errorsBefore = session.Errors();
        const bool got = (session.Keys().*get)(key, table);
        if (session.Errors() != errorsBefore) {
            return false;
        }
        if (!got && !edits.Any()) {
            Fail("key " + KeyName(key) + " has no value");
            return false;
        }
        std::vector<int> deletes = edits.deletes;
        std::sort(deletes.rbegin(), deletes.rend());
        deletes.erase(std::unique(deletes.begin(), deletes.end()), deletes.end());
        for (int index : deletes) {
            if (!table.deleteElement(index)) {
                Fail("there is no setting " + std::to_string(index) + " to delete (the table has " +
                     std::to_string(table.size()) + ")");
                return false;
            }
        }
        int at = edits.at;
        for (const Setting& setting : added) {
            const bool stored =
                at < 0 ? table.addElement(setting) : table.insertElement(at++, setting);
            if (!stored) {
                Fail(table.size() >= Table::MAX_SETTINGS
                         ? "the table is full (" + std::to_string(Table::MAX_SETTINGS) +
                               " settings)"
                         : "--at " + std::to_string(edits.at) + " lies outside the table (0 to " +
                               std::to_string(table.size()) + ")");
                return false;
            }
        }
        if (edits.sort) {
            table.Sort();
        }
        if (edits.Any() && !(session.Keys().*set)(key, table)) {
            return false;
        }
        if (session.Errors() != errorsBefore) {
            return false;
        }
        PrintTable(table);
        return true;
    });
}

}  // namespace

int PowerTableCommand(const Options& options, uint16_t key, std::string kind,
                      const TableEdits& edits) {
    if (kind.empty()) {
        switch (key) {
            case 0x001E:  // PSKEY_LC_POWER_TABLE
                kind = "basic";
                break;
            case 0x0031:  // PSKEY_LC_ENHANCED_POWER_TABLE
                kind = "enhanced";
                break;
            case 0x241A:  // PSKEY_BT_POWER_TABLE_V0
                kind = "v0";
                break;
            default:
                throw UsageError{"say which format " + KeyName(key) +
                                 " holds with --kind basic, enhanced or v0"};
        }
    }
    if (kind == "basic") {
        return EditTable<CPowerTable>(options, key, edits, &CKeyWarder::pskv_get_power_table,
                                      &CKeyWarder::pskv_set_power_table);
    }
    if (kind == "enhanced") {
        return EditTable<CEnhancedPowerTable>(options, key, edits,
                                              &CKeyWarder::pskv_get_enhanced_power_table,
                                              &CKeyWarder::pskv_set_enhanced_power_table);
    }
    return EditTable<CBluetoothPowerTableV0>(options, key, edits,
                                             &CKeyWarder::pskv_get_bluetooth_power_table_v0,
                                             &CKeyWarder::pskv_set_bluetooth_power_table_v0);
}

}  // namespace keyward_tool
