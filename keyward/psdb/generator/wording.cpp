#include "wording.h"

#include <keyward/psdb/structures.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string_view>

namespace psdb_gen {
namespace {

// Identifier words shown other than in lower case: abbreviations kept in capitals, and
// run-together or shortened words spelled out.
const std::map<std::string_view, std::string_view> kWords = {
    // Abbreviations.
    {"ACCMD", "ACCMD"},
    {"ACL", "ACL"},
    {"ACLS", "ACLs"},
    {"ACR", "ACR"},
    {"ADC", "ADC"},
    {"AFH", "AFH"},
    {"AGC", "AGC"},
    {"AIO", "AIO"},
    {"AMUX", "AMUX"},
    {"API", "API"},
    {"ARP", "ARP"},
    {"BCD", "BCD"},
    {"BDR", "BDR"},
    {"BLE", "BLE"},
    {"CCFC", "CCFC"},
    {"CDAC", "CDAC"},
    {"CDL", "CDL"},
    {"CDMA", "CDMA"},
    {"CPU", "CPU"},
    {"CRC", "CRC"},
    {"CRCS", "CRCs"},
    {"CSCAN", "CSCAN"},
    {"CTS", "CTS"},
    {"CVSD", "CVSD"},
    {"DAC", "DAC"},
    {"DCRS", "DCRS"},
    {"DFU", "DFU"},
    {"DSP", "DSP"},
    {"DUT", "DUT"},
    {"DWA", "DWA"},
    {"ECC", "ECC"},
    {"EDR", "EDR"},
    {"ESCO", "eSCO"},
    {"FEC", "FEC"},
    {"FIR", "FIR"},
    {"GPS", "GPS"},
    {"GSM", "GSM"},
    {"HAL", "HAL"},
    {"HCI", "HCI"},
    {"HFP", "HFP"},
    {"HI", "high"},
    {"HID", "HID"},
    {"HTOL", "HTOL"},
    {"IAC", "IAC"},
    {"IIR", "IIR"},
    {"KVCMD", "KVCMD"},
    {"KVCO", "KVCO"},
    {"KVSP", "KVSP"},
    {"LDO", "LDO"},
    {"LED", "LED"},
    {"LMP", "LMP"},
    {"LNA", "LNA"},
    {"LPC", "LPC"},
    {"LSB", "LSB"},
    {"LUT", "LUT"},
    {"MDNS", "mDNS"},
    {"MMI", "MMI"},
    {"MMU", "MMU"},
    {"MPU", "MPU"},
    {"MPX", "MPX"},
    {"MSB", "MSB"},
    {"MSPI", "MSPI"},
    {"PCM", "PCM"},
    {"PHC", "PHC"},
    {"PID", "PID"},
    {"PIO", "PIO"},
    {"PIOS", "PIOs"},
    {"PLL", "PLL"},
    {"PMU", "PMU"},
    {"PSFS", "PSFS"},
    {"PSKV", "PSKV"},
    {"PSU", "PSU"},
    {"RBDS", "RBDS"},
    {"RDS", "RDS"},
    {"RMS", "RMS"},
    {"RSSI", "RSSI"},
    {"RTS", "RTS"},
    {"RFCOMM", "RFCOMM"},
    {"RTX", "RTX"},
    {"SCL", "SCL"},
    {"SCO", "SCO"},
    {"SCOS", "SCOs"},
    {"SDA", "SDA"},
    {"SDIO", "SDIO"},
    {"SDP", "SDP"},
    {"SMPS", "SMPS"},
    {"SNR", "SNR"},
    {"SOD", "SOD"},
    {"SPDIF", "S/PDIF"},
    {"SPI", "SPI"},
    {"SRAM", "SRAM"},
    {"SSP", "SSP"},
    {"TAVLO", "Tavlo"},
    {"TBUS", "TBUS"},
    {"TCXO", "TCXO"},
    {"TTL", "TTL"},
    {"UART", "UART"},
    {"ULP", "ULP"},
    {"USB", "USB"},
    {"VBUS", "VBUS"},
    {"VCHG", "VCHG"},
    {"VCO", "VCO"},
    {"VOUT", "VOUT"},
    {"VREG", "VREG"},
    {"VS", "vs"},
    {"WLAN", "WLAN"},
    // Abbreviations that carry digits.
    {"AM2", "AM2"},
    {"DOT11", "802.11"},
    {"E2", "E2"},
    {"FIR2", "FIR2"},
    {"H4", "H4"},
    {"H4DS", "H4DS"},
    {"H5", "H5"},
    {"HC2H", "HC2H"},
    {"I2C", "I2C"},
    {"I2I", "I2I"},
    {"I2S", "I2S"},
    {"I2S2", "I2S2"},
    {"IPV4", "IPv4"},
    {"IPV6", "IPv6"},
    {"L2CAPDM", "L2CAP DM"},
    {"P256", "P-256"},
    {"R2N", "R2N"},
    {"SP2", "SP2"},
    {"T1", "T1"},
    {"T2", "T2"},
    {"V0", "V0"},
    {"V1", "V1"},
    // Shortened or run-together words.
    {"ADCRATE", "ADC rate"},
    {"ANA", "analogue"},
    {"ADDR", "address"},
    {"ADJ", "adjust"},
    {"AMADDR", "AM address"},
    {"ATTEN", "attenuation"},
    {"BANDSCAN", "band scan"},
    {"BAUDRATE", "baud rate"},
    {"BDADDR", "device address"},
    {"BIASTRIM", "bias trim"},
    {"BITRATE", "bit rate"},
    {"BREDR", "BR/EDR"},
    {"BUF", "buffer"},
    {"BW", "bandwidth"},
    {"CAL", "calibration"},
    {"CALS", "calibrations"},
    {"CHAN", "channel"},
    {"CHGREF", "charger reference"},
    {"CLASSOFDEVICE", "class of device"},
    {"CLK", "clock"},
    {"CLOCKSKEW", "clock skew"},
    {"CNT", "count"},
    {"CONNLIB", "connection library"},
    {"COUNTRYCODE", "country code"},
    {"CTRL", "control"},
    {"DCNULL", "DC null"},
    {"DEEPSLEEP", "deep sleep"},
    {"DESC", "descriptor"},
    {"DESTR", "destruction"},
    {"DFUENC", "DFU encryption"},
    {"DIG", "digital"},
    {"DIV", "divider"},
    {"DSPMANAGER", "DSP manager"},
    {"EN", "enable"},
    {"ENC", "encryption"},
    {"EXT", "external"},
    {"EXTN", "extension"},
    {"FMTX", "FM TX"},
    {"FREEZETIME", "freeze time"},
    {"FREQ", "frequency"},
    {"FREQS", "frequencies"},
    {"GBL", "global"},
    {"HIDIO", "HID I/O"},
    {"HOSTIF", "host interface"},
    {"HOSTIO", "host I/O"},
    {"HYST", "hysteresis"},
    {"LEN", "length"},
    {"LOWPOWER", "low power"},
    {"LVL", "level"},
    {"MANUF", "manufacturer"},
    {"MAX", "maximum"},
    {"MAXMMUPMALLOCS", "maximum MMU pmallocs"},
    {"MAXWU", "maximum wake-up"},
    {"MHZ", "MHz"},
    {"MIN", "minimum"},
    {"MSG", "message"},
    {"NUM", "number"},
    {"ONCHIPKVMGR", "on-chip KV manager"},
    {"PAGETABLE", "page table"},
    {"PKT", "packet"},
    {"PKTS", "packets"},
    {"POSTFILTER", "post-filter"},
    {"PWR", "power"},
    {"RATEMATCHING", "rate matching"},
    {"REF", "reference"},
    {"REFCLK", "reference clock"},
    {"RXLVL", "RX level"},
    {"SEL", "select"},
    {"SELFCAL", "self-calibration"},
    {"SINEGEN", "sine generator"},
    {"TEMP", "temperature"},
    {"THRES", "threshold"},
    {"THRESH", "threshold"},
    {"TONEREJ", "tone rejection"},
    {"TXDATA", "TX data"},
    {"TXLVL", "TX level"},
    {"TXRX", "TX/RX"},
    {"USR", "user"},
    {"VBATT", "battery voltage"},
    {"VMAPP", "VM application"},
    {"VREGENABLE", "VREG enable"},
    {"WBRSSI", "wideband RSSI"},
    {"WINSIZE", "window size"},
    {"XTAL", "crystal"},
};

// Short English words that stay in lower case although two-letter words are otherwise taken
// as abbreviations (TX, LO, IQ, ...).
bool IsShortEnglishWord(std::string_view word) {
    for (std::string_view w : {"AS", "AT", "BY", "IN", "IS", "NO", "OF", "ON", "OR", "TO", "UP"}) {
        if (word == w) {
            return true;
        }
    }
    return false;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool AllLetters(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalpha(c); });
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// One word of an identifier as it reads in a label.
std::string LabelWord(std::string_view word) {
    if (const auto known = kWords.find(word); known != kWords.end()) {
        return std::string(known->second);
    }
    if (AllDigits(word)) {
        return std::string(word);
    }
    // A number with a unit: 12DB, 16MHZ, 10BIT, and supply voltages such as 1V8.
    const size_t digits = word.find_first_not_of("0123456789");
    if (digits != 0 && digits != std::string_view::npos) {
        const std::string_view number = word.substr(0, digits);
        const std::string_view unit = word.substr(digits);
        if (unit == "DB") {
            return std::string(number) + " dB";
        }
        if (unit == "MHZ") {
            return std::string(number) + " MHz";
        }
        if (unit == "BIT") {
            return std::string(number) + "-bit";
        }
        if (unit[0] == 'V' && AllDigits(unit.substr(1))) {
            return std::string(number) + "." + std::string(unit.substr(1)) + " V";
        }
        return Lower(word);
    }
    // A numbered instance: NAME0, USR12, PCM2.
    const size_t last_letter = word.find_last_not_of("0123456789");
    if (last_letter != std::string_view::npos && last_letter + 1 < word.size() &&
        AllLetters(word.substr(0, last_letter + 1))) {
        const std::string_view stem = word.substr(0, last_letter + 1);
        // The numbered user keys read as "user key 12"; a lone USR elsewhere is "user".
        return (stem == "USR" ? std::string("user key") : LabelWord(stem)) + " " +
               std::string(word.substr(last_letter + 1));
    }
    if (AllLetters(word) && word.size() <= 2 && !IsShortEnglishWord(word)) {
        return std::string(word);
    }
    return Lower(word);
}

std::string TrimTrailingBlanks(const std::string& text) {
    const size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// The shape of a value of each structure code, completing "Its value ... is".
std::string_view Shape(int structure) {
    static constexpr std::string_view kShapes[keyward::psdb::kStructureCount] = {
        "a settings block of three 16-bit words",                                       // 0
        "a variable-length table of 16-bit words, one per time slot",                   // 1
        "a variable-length table of 16-bit trigger words",                              // 2
        "a settings block of four 16-bit words",                                        // 3
        "a settings block of ten 16-bit words",                                         // 4
        "a variable-length list of 16-bit level values",                                // 5
        "a record of five 16-bit words",                                                // 6
        "a pair of 16-bit words",                                                       // 7
        "an unsigned 32-bit time held in two words, most significant word first",       // 8
        "a variable-length list of 16-bit time values",                                 // 9
        "a pair of 16-bit level words",                                                 // 10
        "a block of five 16-bit words",                                                 // 11
        "a device address in four 16-bit words",                                        // 12
        "a value held in two 16-bit words, most significant word first",                // 13
        "a single 16-bit word used as a flag",                                          // 14
        "a text block of 200 16-bit words",                                             // 15
        "a single 16-bit word giving a percentage",                                     // 16
        "a single 16-bit word holding one of a set of named values",                    // 17
        "a single 16-bit word holding one of a set of named values",                    // 18
        "a single 16-bit word holding one of a set of named values",                    // 19
        "a single 16-bit word holding one of a set of named values",                    // 20
        "a variable-length power table of 16-bit words",                                // 21
        "a single 16-bit word holding one of a set of named values",                    // 22
        "a variable-length list of 16-bit frequencies",                                 // 23
        "a single 16-bit word holding one of a set of named values",                    // 24
        "a signed 16-bit value in one word",                                            // 25
        "a single 16-bit word of packed settings",                                      // 26
        "a signed 32-bit value held in two words, most significant word first",         // 27
        "a small signed value, -128 to 127, held in one 16-bit word",                   // 28
        "a single 16-bit word of calibration values",                                   // 29
        "a single 16-bit word holding one of a set of named values",                    // 30
        "three 16-bit words",                                                           // 31
        "the device's local name read as one text",                                     // 32
        "one piece of the device's local name, up to 14 16-bit words of text",          // 33
        "a single 16-bit word selecting a clock rate",                                  // 34
        "a single 16-bit word holding one of a set of named values",                    // 35
        "a variable-length power table of 16-bit words",                                // 36
        "two 16-bit words of calibration data",                                         // 37
        "three 16-bit words of calibration data",                                       // 38
        "a variable-length table of temperature and correction pairs in 16-bit words",  // 39
        "a pair of 16-bit words",                                                       // 40
        "a single 16-bit word",                                                         // 41
        "a variable-length array of 16-bit words",                                      // 42
        "an unsigned 32-bit value held in two words, most significant word first",      // 43
        "a variable-length list of 16-bit values",                                      // 44
        "an 8-bit value held in one 16-bit word",                                       // 45
        "a variable-length string of bytes packed into 16-bit words",                   // 46
        "a text of eight 16-bit words",                                                 // 47
        "three 16-bit words: class, subclass and protocol codes",                       // 48
        "a variable-length text of 16-bit words",                                       // 49
        "a variable-length array of 16-bit log words",                                  // 50
        "a single 16-bit word holding one of a set of named values",                    // 51
        "a block of four 16-bit words",                                                 // 52
    };
    if (structure >= 0 && structure < keyward::psdb::kStructureCount) {
        return kShapes[structure];
    }
    return "a single 16-bit word";
}

// An unsigned bound, with its hexadecimal form when it is beyond one word.
std::string Unsigned(uint32_t value) {
    std::string text = std::to_string(value);
    if (value > 0xFFFF) {
        char hex[16];
        std::snprintf(hex, sizeof hex, " (0x%08X)", static_cast<unsigned>(value));
        text += hex;
    }
    return text;
}

std::string Constraint(const KeyRecord& rec, const Database& db) {
    switch (rec.constraint) {
        case 1: {
            // Beside a negative minimum the maximum is a signed bound too.
            const std::string high = rec.minimum < 0
                                         ? std::to_string(static_cast<int32_t>(rec.maximum))
                                         : Unsigned(rec.maximum);
            return "Allowed values run from " + std::to_string(rec.minimum) + " to " + high + ".";
        }
        case 2:
            return "Allowed values are " + std::to_string(rec.minimum) + " and above.";
        case 3:
            return "Allowed values go up to " + Unsigned(rec.maximum) + ".";
        case 4: {
            const EnumList& list = db.lists[static_cast<size_t>(rec.minimum)];
            std::string text = "Its values are named (list " + std::to_string(rec.minimum) + "): ";
            for (size_t i = 0; i < list.items.size(); ++i) {
                text += i == 0 ? "" : ", ";
                text += std::to_string(list.items[i].value) + " = " +
                        TrimTrailingBlanks(list.items[i].text);
            }
            return text + ".";
        }
        default:
            return {};
    }
}

// Where a bit field lies: "bits 0 to 15 of word 1", "bit 3 of word 0", "bit offset 0 on".
std::string FieldPlace(const KeyRecord& rec) {
    const int word = rec.offset / 16;
    const int low = rec.offset % 16;
    if (rec.width == 0) {
        return "from bit offset " + std::to_string(rec.offset) + " on";
    }
    if (rec.width == 1) {
        return "bit " + std::to_string(low) + " of word " + std::to_string(word);
    }
    return "bits " + std::to_string(low) + " to " + std::to_string(low + rec.width - 1) +
           " of word " + std::to_string(word);
}

const KeyRecord* FindKey(const Database& db, uint16_t key) {
    for (const KeyRecord& rec : db.keys) {
        if (rec.key == key) {
            return &rec;
        }
    }
    return nullptr;
}

}  // namespace

std::string MakeLabel(const std::string& identifier) {
    std::string_view name = identifier;
    const size_t end = name.find_last_not_of(' ');
    name = name.substr(0, end == std::string_view::npos ? 0 : end + 1);
    if (name.substr(0, 6) == "PSKEY_") {
        name.remove_prefix(6);
    }
    std::string label;
    while (!name.empty()) {
        const size_t cut = name.find('_');
        const std::string_view word = name.substr(0, cut);
        if (!word.empty()) {
            label += label.empty() ? "" : " ";
            label += LabelWord(word);
        }
        name = cut == std::string_view::npos ? std::string_view() : name.substr(cut + 1);
    }
    if (label.empty()) {
        return TrimTrailingBlanks(identifier);
    }
    label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    return label;
}

std::vector<std::string> MakeDescription(const Database& db, size_t index) {
    const KeyRecord& rec = db.keys[index];
    const std::string name = TrimTrailingBlanks(rec.identifier);
    std::vector<std::string> paragraphs;
    paragraphs.push_back(MakeLabel(rec.identifier) + ": PS key " + Hex4(rec.key) + " (" +
                         std::to_string(rec.key) + "), " + name + ".");

    paragraphs.push_back("Its value (structure " + std::to_string(rec.structure) + ") is " +
                         std::string(Shape(rec.structure)) + ".");

    if (std::string allowed = Constraint(rec, db); !allowed.empty()) {
        paragraphs.push_back(allowed);
    }

    if (rec.kind == 2) {
        const KeyRecord* base = FindKey(db, rec.base);
        const std::string holder =
            (base ? TrimTrailingBlanks(base->identifier) + " " : std::string()) + "(" +
            Hex4(rec.base) + ")";
        if (rec.width == 0) {
            paragraphs.push_back(
                "A presentation key with no storage of its own and no fixed width: it stands "
                "for the value of " +
                holder + " " + FieldPlace(rec) + ".");
        } else {
            paragraphs.push_back("A presentation key with no storage of its own: it stands for " +
                                 FieldPlace(rec) + " (bit offset " + std::to_string(rec.offset) +
                                 ", width " + std::to_string(rec.width) + ") of " + holder +
                                 ". Reading it reads that key; writing it rewrites that key "
                                 "with only the field changed.");
        }
    }

    std::string fields;
    for (const KeyRecord& other : db.keys) {
        if (other.kind == 2 && other.base == rec.key) {
            fields += fields.empty() ? "" : "; ";
            fields += TrimTrailingBlanks(other.identifier) + " (" + Hex4(other.key) + ", " +
                      FieldPlace(other) + ")";
        }
    }
    if (!fields.empty()) {
        paragraphs.push_back(
            "Fields of its value can also be read and written as presentation keys: " + fields +
            ".");
    }

    if (rec.present == 1) {
        paragraphs.push_back(
            "When the PS server cannot tell which keys the chip holds, this key is assumed to be "
            "present.");
    }

    for (size_t i = 1; i < paragraphs.size(); ++i) {
        paragraphs[i].insert(0, "\n\n");
    }
    return paragraphs;
}

}  // namespace psdb_gen
