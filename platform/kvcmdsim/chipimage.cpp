// The chip image: a text file holding a simulated chip's stores, firmware and settings.
#include "state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "common/atomicfile.h"

namespace kvcmdsim {

namespace {

// The stores an image keeps, in search order.
constexpr uint16_t kKeptStores[] = {STORE_IMPLEMENTATION, STORE_FACTORY, STORE_ROM, STORE_DEFAULTS};
constexpr size_t kRangesPerLine = 8;
// Images of this format end with an "end" line, so that one cut short is told from a whole one.
constexpr int kImageFormat = 2;
constexpr size_t kWordsPerLine = 8;
// The table forms by TableLayout::Form.
constexpr const char* kTableForms[] = {"plain", "short", "fixed", "extended"};

std::string Hex(uint32_t value, int digits = 4) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

const char* OnOff(bool on) {
    return on ? "on" : "off";
}

// The blanks of the image format: what std::isspace calls white space in the "C" locale.
constexpr const char* kBlanks = " \t\r\n\v\f";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// A whole token as a number of the given base, at most `max`.
bool Number(const std::string& token, int base, unsigned long max, unsigned long& value) {
    if (token.empty() || token[0] == '-' || token[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtoul(token.c_str(), &end, base);
    return errno == 0 && end != nullptr && *end == '\0' && value <= max;
}

bool Hex16(const std::string& token, uint16_t& value) {
    unsigned long number = 0;
    if (!Number(token, 16, 0xFFFF, number)) {
        return false;
    }
    value = static_cast<uint16_t>(number);
    return true;
}

// One to four hex digits, as words of a PS-file key line.
bool Word(const std::string& token, uint16_t& value) {
    if (token.empty() || token.size() > 4 ||
        token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    value = static_cast<uint16_t>(std::strtoul(token.c_str(), nullptr, 16));
    return true;
}

bool OnOffValue(const std::vector<std::string>& words, bool& value) {
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
        return false;
    }
    value = words[1] == "on";
    return true;
}

// The rest of `line` after its first word.
std::string Rest(const std::string& line) {
    const std::string trimmed = Trim(line);
    const size_t blank = trimmed.find_first_of(kBlanks);
    return blank == std::string::npos ? std::string() : Trim(trimmed.substr(blank));
}

}  // namespace

std::string FormatImage(const ChipContent& chip) {
    std::ostringstream out;
    out << "# kvcmdsim chip image\n";
    out << "image-format " << kImageFormat << '\n';
    out << "firmware-id " << chip.firmwareId << '\n';
    out << "firmware-name " << keyward::Narrow(chip.firmwareName) << '\n';
    out << "chip-words " << Hex(chip.versionWord) << ' ' << Hex(chip.secondWord) << ' '
        << Hex(chip.subId) << '\n';
    out << "secure " << OnOff(chip.secure) << '\n';
    out << "write-protected " << OnOff(chip.writeProtected) << '\n';
    out << "layer-a " << OnOff(chip.layerA) << '\n';
    out << "max-pdu-words " << chip.maxPduWords << '\n';
    for (const auto& [name, value] : chip.vars) {
        out << "var " << name << ' ' << value << '\n';
    }

    if (chip.firmwareKeys == StandardFirmwareKeys()) {
        out << "firmware-keys default\n";
    } else if (chip.firmwareKeys == OrdinaryFirmwareKeys()) {
        out << "firmware-keys ordinary\n";
    } else if (chip.firmwareKeys.Empty()) {
        out << "firmware-keys none\n";
    } else {
        const std::vector<KeyRange>& ranges = chip.firmwareKeys.Ranges();
        for (size_t i = 0; i < ranges.size(); i += kRangesPerLine) {
            out << "firmware-keys";
            for (size_t j = i; j < ranges.size() && j < i + kRangesPerLine; ++j) {
                out << ' ' << Hex(ranges[j].first);
                if (ranges[j].last != ranges[j].first) {
                    out << '-' << Hex(ranges[j].last);
                }
            }
            out << '\n';
        }
    }
    if (chip.presentation == StandardPresentationKeys()) {
        out << "presentation default\n";
    } else if (chip.presentation.Empty()) {
        out << "presentation none\n";
    } else {
        for (const auto& [key, field] : chip.presentation) {
            out << "presentation " << Hex(key) << ' ' << Hex(field.base_key) << ' '
                << field.bit_offset << ' ' << field.bit_width << '\n';
        }
    }

    if (chip.layout.present) {
        out << "table " << Hex(chip.layout.space, 1) << ' ' << Hex(chip.layout.header) << ' '
            << Hex(chip.layout.entries) << ' ' << Hex(chip.layout.key_list) << '\n';
        if (chip.layout.form != TableLayout::PLAIN) {
            out << "table-form " << kTableForms[chip.layout.form] << '\n';
        }
        if (chip.layout.redirect_space != 0) {
            out << "table-redirect " << Hex(chip.layout.redirect_space, 1) << ' '
                << Hex(chip.layout.redirect_at) << '\n';
        }
        if (chip.layout.pointer_at != 0) {
            out << "table-pointer " << Hex(chip.layout.pointer_at) << '\n';
        }
    } else {
        out << "table none\n";
    }
    for (const auto& [id, value] : chip.symbols) {
        out << "symbol " << Hex(id) << ' ' << Hex(value) << '\n';
    }
    for (const auto& [space, words] : chip.spaces) {
        if (space != DATA_SPACE || words != 0x10000) {
            out << "memory-space " << Hex(space, 1) << ' ' << Hex(words, 1) << '\n';
        }
    }
    for (const auto& [space, words] : chip.written) {
        auto it = words.begin();
        while (it != words.end()) {
            const uint32_t start = it->first;
            out << "mem " << Hex(space, 1) << ' ' << Hex(start);
            size_t count = 0;
            for (; it != words.end() && it->first == start + count && count < kWordsPerLine;
                 ++it, ++count) {
                out << ' ' << Hex(it->second);
            }
            out << '\n';
        }
    }

    for (uint16_t store : kKeptStores) {
        const auto s = chip.stores.find(store);
        if (s == chip.stores.end() || s->second.empty()) {
            continue;
        }
        out << "store " << Hex(store) << '\n';
        for (const auto& [key, value] : s->second) {
            out << '&' << Hex(key) << " =";
            for (uint16_t word : value) {
                out << ' ' << Hex(word);
            }
            out << '\n';
        }
    }
    out << "end\n";
    return out.str();
}

bool ParseImage(const std::string& text, ChipContent& chip, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool explicitKeys = false;
    bool explicitFields = false;
    int store = -1;
    bool ended = false;
    bool formatted = false;  // an image-format line: the image must end with its end line
    bool directives = false;
    // Firmware keys and presentation fields are gathered and put in order once at the end: an
    // image may list many, in any order.
    std::vector<KeyRange> keyRanges;
    std::vector<FieldMap::Entry> fields;
    // In an image that has its format line, a last line without its line end is taken for a
    // cut, whatever else is wrong with it.
    const auto fail = [&](const std::string& what) {
        error = formatted && !ended && in.eof() && text.back() != '\n'
                    ? std::string("the image ends in the middle of a line: it was cut short")
                    : "line " + std::to_string(number) + ": " + what;
        return false;
    };

    while (std::getline(in, line)) {
        ++number;
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        if (ended) {
            return fail("text after the end line");
        }
        directives = true;
        if (trimmed == "end") {
            ended = true;
            continue;
        }
        if (trimmed[0] == '&') {
            if (store < 0) {
                return fail("a key line comes before any store line");
            }
            const size_t equals = trimmed.find('=');
            if (equals == std::string::npos) {
                return fail("a key line needs '=' after the key");
            }
            uint16_t key = 0;
            if (!Word(Trim(trimmed.substr(1, equals - 1)), key) || key == 0) {
                return fail("invalid key '" + Trim(trimmed.substr(1, equals - 1)) + "'");
            }
            Value value;
            for (const std::string& token : Split(trimmed.substr(equals + 1))) {
                uint16_t word = 0;
                if (!Word(token, word)) {
                    return fail("invalid word '" + token + "' (one to four hex digits)");
                }
                value.push_back(word);
            }
            if (value.size() > 0xFFFF) {
                return fail("the value is longer than 65535 words");
            }
            chip.stores[static_cast<uint16_t>(store)][key] = std::move(value);
            continue;
        }

        const std::vector<std::string> words = Split(trimmed);
        if (words.empty()) {
            continue;
        }
        const std::string& directive = words[0];
        unsigned long value = 0;
        if (directive == "image-format") {
            if (words.size() != 2 || words[1].find_first_not_of("0123456789") != std::string::npos) {
                return fail("image-format needs one decimal number");
            }
            if (words[1] != std::to_string(kImageFormat)) {
                return fail("the image is of format " + words[1] + "; this program reads format " +
                            std::to_string(kImageFormat));
            }
            formatted = true;
        } else if (directive == "firmware-id") {
            char* end = nullptr;
            errno = 0;
            const long id = words.size() == 2 ? std::strtol(words[1].c_str(), &end, 10) : 0;
            if (words.size() != 2 || errno != 0 || *end != '\0' || id < INT32_MIN ||
                id > INT32_MAX) {
                return fail("firmware-id needs one decimal number");
            }
            chip.firmwareId = static_cast<int>(id);
        } else if (directive == "firmware-name") {
            chip.firmwareName = keyward::Widen(Rest(trimmed));
        } else if (directive == "chip-words") {
            if (words.size() != 4 || !Hex16(words[1], chip.versionWord) ||
                !Hex16(words[2], chip.secondWord) || !Hex16(words[3], chip.subId)) {
                return fail("chip-words needs three hex words");
            }
        } else if (directive == "secure") {
            if (!OnOffValue(words, chip.secure)) {
                return fail("secure needs on or off");
            }
        } else if (directive == "write-protected") {
            if (!OnOffValue(words, chip.writeProtected)) {
                return fail("write-protected needs on or off");
            }
        } else if (directive == "layer-a") {
            if (!OnOffValue(words, chip.layerA)) {
                return fail("layer-a needs on or off");
            }
        } else if (directive == "max-pdu-words") {
            if (words.size() != 2 || !Number(words[1], 10, 0xFFFF, value) || value < 9) {
                return fail("max-pdu-words needs a decimal number from 9 to 65535");
            }
            chip.maxPduWords = static_cast<uint16_t>(value);
        } else if (directive == "var") {
            if (words.size() < 2) {
                return fail("var needs a name");
            }
            chip.vars[words[1]] = Rest(Rest(trimmed));
        } else if (directive == "firmware-keys") {
            if (!explicitKeys) {
                chip.firmwareKeys.Clear();
                explicitKeys = true;
            }
            for (size_t i = 1; i < words.size(); ++i) {
                if (words[i] == "default" || words[i] == "ordinary") {
                    const KeySet& keys =
                        words[i] == "default" ? StandardFirmwareKeys() : OrdinaryFirmwareKeys();
                    keyRanges.insert(keyRanges.end(), keys.Ranges().begin(), keys.Ranges().end());
                    continue;
                }
                if (words[i] == "none") {
                    continue;
                }
                const size_t dash = words[i].find('-');
                uint16_t first = 0;
                uint16_t last = 0;
                const bool ok = dash == std::string::npos
                                    ? Hex16(words[i], first) && Hex16(words[i], last)
                                    : Hex16(words[i].substr(0, dash), first) &&
                                          Hex16(words[i].substr(dash + 1), last);
                if (!ok || first == 0 || last < first) {
                    return fail("invalid key range '" + words[i] + "'");
                }
                keyRanges.push_back(KeyRange{first, last});
            }
        } else if (directive == "presentation") {
            explicitFields = true;
            if (words.size() == 2 && words[1] == "default") {
                fields.assign(StandardPresentationKeys().begin(), StandardPresentationKeys().end());
            } else if (words.size() == 2 && words[1] == "none") {
                fields.clear();
            } else {
                uint16_t key = 0;
                PresentationField field{};
                unsigned long offset = 0;
                unsigned long width = 0;
                if (words.size() != 5 || !Hex16(words[1], key) ||
                    !Hex16(words[2], field.base_key) || !Number(words[3], 10, 0xFFFF, offset) ||
                    !Number(words[4], 10, 16, width)) {
                    return fail(
                        "presentation needs a key, a base key (hex), a bit offset and a width "
                        "of 0 to 16 (decimal)");
                }
                field.bit_offset = static_cast<uint16_t>(offset);
                field.bit_width = static_cast<uint16_t>(width);
                fields.emplace_back(key, field);
            }
        } else if (directive == "table") {
            if (words.size() == 2 && words[1] == "none") {
                chip.layout.present = false;
            } else {
                unsigned long space = 0;
                unsigned long header = 0;
                unsigned long entries = 0;
                unsigned long keyList = 0;
                if (words.size() != 5 || !Number(words[1], 16, 0xFFFFFFFF, space) ||
                    !Number(words[2], 16, 0xFFFFFF, header) ||
                    !Number(words[3], 16, 0xFFFF, entries) ||
                    !Number(words[4], 16, 0xFFFF, keyList)) {
                    return fail(
                        "table needs a space, a header address and entries and key list "
                        "addresses of at most ffff (hex), or none");
                }
                chip.layout.present = true;
                chip.layout.space = static_cast<uint32_t>(space);
                chip.layout.header = static_cast<uint32_t>(header);
                chip.layout.entries = static_cast<uint32_t>(entries);
                chip.layout.key_list = static_cast<uint32_t>(keyList);
            }
        } else if (directive == "table-form") {
            size_t form = 0;
            while (form < std::size(kTableForms) &&
                   (words.size() != 2 || words[1] != kTableForms[form])) {
                ++form;
            }
            if (form == std::size(kTableForms)) {
                return fail("table-form needs plain, short, fixed or extended");
            }
            chip.layout.form = static_cast<TableLayout::Form>(form);
        } else if (directive == "table-redirect") {
            unsigned long space = 0;
            unsigned long at = 0;
            if (words.size() == 2 && words[1] == "none") {
                chip.layout.redirect_space = 0;
            } else if (words.size() != 3 || !Number(words[1], 16, 0xFF, space) || space == 0 ||
                       !Number(words[2], 16, 0x7FFFFF, at)) {
                return fail(
                    "table-redirect needs a space of 1 to ff and a word address of at most "
                    "7fffff (hex), or none");
            } else {
                chip.layout.redirect_space = static_cast<uint32_t>(space);
                chip.layout.redirect_at = static_cast<uint32_t>(at);
            }
        } else if (directive == "table-pointer") {
            unsigned long at = 0;
            if (words.size() == 2 && words[1] == "none") {
                chip.layout.pointer_at = 0;
            } else if (words.size() != 2 || !Number(words[1], 16, 0xFFFE, at)) {
                return fail("table-pointer needs a word address of at most fffe (hex), or none");
            } else {
                chip.layout.pointer_at = static_cast<uint32_t>(at);
            }
        } else if (directive == "symbol") {
            uint16_t id = 0;
            uint16_t symbol = 0;
            if (words.size() != 3 || !Hex16(words[1], id) || !Hex16(words[2], symbol) || id == 0) {
                return fail("symbol needs a non-zero id and a value (hex)");
            }
            chip.symbols[id] = symbol;
        } else if (directive == "memory-space") {
            unsigned long space = 0;
            unsigned long size = 0;
            if (words.size() != 3 || !Number(words[1], 16, 0xFFFFFFFF, space) ||
                !Number(words[2], 16, 0x1000000, size)) {
                return fail("memory-space needs a space and a size of at most 1000000 words (hex)");
            }
            chip.spaces[static_cast<uint32_t>(space)] = static_cast<uint32_t>(size);
        } else if (directive == "mem") {
            unsigned long space = 0;
            unsigned long address = 0;
            if (words.size() < 3 || !Number(words[1], 16, 0xFFFFFFFF, space) ||
                !Number(words[2], 16, 0xFFFFFFFF, address)) {
                return fail("mem needs a space, a word address and words (hex)");
            }
            const auto s = chip.spaces.find(static_cast<uint32_t>(space));
            if (s == chip.spaces.end() || address > s->second ||
                words.size() - 3 > s->second - address) {
                return fail("mem words lie outside memory space " + words[1]);
            }
            for (size_t i = 3; i < words.size(); ++i) {
                uint16_t word = 0;
                if (!Word(words[i], word)) {
                    return fail("invalid word '" + words[i] + "' (one to four hex digits)");
                }
                chip.written[static_cast<uint32_t>(space)][static_cast<uint32_t>(address + i - 3)] =
                    word;
            }
        } else if (directive == "store") {
            uint16_t bit = 0;
            if (words.size() != 2 || !Hex16(words[1], bit)) {
                return fail("store needs a store bit (hex)");
            }
            if (bit == STORE_TRANSIENT) {
                return fail("the transient store (0008) is not kept in an image");
            }
            if (bit != STORE_IMPLEMENTATION && bit != STORE_FACTORY && bit != STORE_ROM &&
                bit != STORE_DEFAULTS) {
                return fail("unknown store " + words[1] + " (0001, 0002, 0004 or 0010)");
            }
            store = bit;
        } else {
            return fail("unknown directive '" + directive + "'");
        }
    }
    // A cut image (or an empty one) must not pass for a chip that lost the rest of its keys.
    // Images written before the end line existed (no image-format line) and images written by
    // hand without it are still read, when their last line is whole.
    if (!directives) {
        error = number == 0 ? "the image is empty"
                            : "the image holds only comments: it is empty or was cut short";
        return false;
    }
    if (!ended && formatted) {
        error = "the image ends before its end line: it was cut short";
        return false;
    }
    if (!ended && text.back() != '\n') {
        error = "the image ends in the middle of a line: it was cut short";
        return false;
    }
    if (explicitFields) {
        chip.presentation.Assign(std::move(fields));
    }
    for (const auto& s : chip.stores) {
        for (const auto& k : s.second) {
            keyRanges.push_back(KeyRange{k.first, k.first});
        }
    }
    chip.firmwareKeys.Insert(std::move(keyRanges));
    return true;
}

bool SimChip::Save(const std::string& path, std::string* error) const {
    std::string text;
    {
        std::lock_guard<std::mutex> guard(mLock);
        text = FormatImage(mState->content);
    }
    std::string why;
    if (!varnak::WriteFileAtomically(path, text, &why)) {
        if (error != nullptr) {
            *error = "cannot save chip image: " + why;
        }
        return false;
    }
    return true;
}

}  // namespace kvcmdsim
