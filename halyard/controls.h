// The state of the window's controls, without widgets: what a check box, combo box and
// up-down hold, so the settings can be edited, converted, saved and tested with no display.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace halyard {

struct CheckBox {
    bool checked = false;
    bool enabled = true;
};

struct ComboBox {
    std::vector<std::string> items;
    int index = 0;  // -1: no selection
    bool enabled = true;

    std::string Text() const {
        return index >= 0 && index < static_cast<int>(items.size()) ? items[index] : std::string();
    }
    // Selects the first item that contains text; with none, the selection stays as it was.
    bool SelectContaining(std::string_view text) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].find(text) != std::string::npos) {
                index = static_cast<int>(i);
                return true;
            }
        }
        return false;
    }
    // Selects an item by position; a position outside the list leaves the selection as it was.
    bool SelectIndex(int i) {
        if (i < 0 || i >= static_cast<int>(items.size())) {
            return false;
        }
        index = i;
        return true;
    }
    void SetItems(std::vector<std::string> list) {
        items = std::move(list);
        index = items.empty() ? -1 : 0;
    }
};

// An up-down with its value text and label; enabled and visible apply to all three.
struct UpDown {
    int min = 0;
    int max = 100;
    int step = 1;
    int position = 0;
    bool enabled = true;
    bool visible = true;

    // Positions outside the range are brought to its nearest end.
    void SetPosition(int value) { position = std::clamp(value, min, max); }
    void SetRange(int low, int high) {
        min = low;
        max = high;
        SetPosition(position);
    }
};

}  // namespace halyard
