// Reading and checking the PS key database source files (keys.txt and enums.txt; their headers
// describe the format).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace psdb_gen {

// One record of keys.txt. `line` is where it was read, for messages.
struct KeyRecord {
    int line = 0;
    uint16_t key = 0;
    int32_t kind = 0;
    std::string identifier;  // as stored, trailing blanks included
    int32_t structure = 0;
    int32_t aux = 0;
    uint16_t base = 0;
    uint16_t offset = 0;
    uint16_t width = 0;
    int32_t constraint = 0;
    int32_t minimum = 0;
    uint32_t maximum = 0;
    int32_t present = 0;
};

struct Enumerator {
    int32_t value = 0;
    std::string text;  // as stored, trailing blanks included
};

struct EnumList {
    int line = 0;
    std::vector<Enumerator> items;
};

struct Database {
    std::vector<KeyRecord> keys;  // in database order
    std::vector<EnumList> lists;  // list i at index i
};

// "0x%04X": how key numbers appear in messages and descriptions.
std::string Hex4(uint32_t value);

// Reads both files and checks every field and every relation between records (unique key
// numbers and identifiers, valid list indices, presentation keys and their base keys).
// Returns false when anything is wrong; `errors` then holds one "file:line: text" per fault.
bool LoadDatabase(const std::string& keys_path, const std::string& enums_path, Database& db,
                  std::vector<std::string>& errors);

}  // namespace psdb_gen
