// The state of the window's controls, without widgets: what a check box, combo box and
// up-down hold, so the settings can be edited, converted, saved and tested with no display.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace halyard {

struct CheckBox {
    bool checked = false;
    bool enabled = true;
};

// The item list of a combo box. Lists are shared, never changed once made: every box that
// shows the same list holds the same one, so setting up a model or switching a line's list
// copies no text.
using ItemList = std::shared_ptr<const std::vector<std::string>>;

inline ItemList MakeItemList(std::vector<std::string> items) {
    return std::make_shared<const std::vector<std::string>>(std::move(items));
}

struct ComboBox {
    int index = 0;  // -1: no selection
    bool enabled = true;

    const std::vector<std::string>& Items() const {
        static const std::vector<std::string> none;
        return mItems ? *mItems : none;
    }
    // The selected item; empty with no selection.
    const std::string& Text() const {
        static const std::string none;
        return index >= 0 && index < static_cast<int>(Items().size()) ? Items()[index] : none;
    }
    // Selects the first item that contains text; with none, the selection stays as it was.
    bool SelectContaining(std::string_view text) {
        const std::vector<std::string>& items = Items();
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
        if (i < 0 || i >= static_cast<int>(Items().size())) {
            return false;
        }
        index = i;
        return true;
    }
    // Shows `list` with its first item selected.
    void SetItems(ItemList list) {
        mItems = std::move(list);
        index = Items().empty() ? -1 : 0;
    }
    void SetItems(std::vector<std::string> items) { SetItems(MakeItemList(std::move(items))); }

  private:
    ItemList mItems;
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
