// Value structures of the PS key database: a structure code names the shape of a key's value.
// Shared by the accessors and by the table generator, so both agree on every length.
#pragma once

namespace keyward::psdb {

constexpr int kStructureCount = 53;  // codes 0 to 52
constexpr int kVariableLength = -1;

// Length in 16-bit words of a value of each structure code; kVariableLength where the value
// has no fixed length.
constexpr int kStructureLengths[kStructureCount] = {
    3,  -1, -1, 4,  10, -1,  5,  2, 2, -1,  // 0-9
    2,  5,  4,  2,  1,  200, 1,  1, 1, 1,   // 10-19
    1,  -1, 1,  -1, 1,  1,   1,  2, 1, 1,   // 20-29
    1,  3,  1,  1,  1,  1,   -1, 2, 3, -1,  // 30-39
    2,  1,  -1, 2,  -1, 1,   -1, 8, 3, -1,  // 40-49
    -1, 1,  4,                              // 50-52
};

// Codes outside 0..52 are taken as a single word.
constexpr int StructureLength(int structure) {
    return structure >= 0 && structure < kStructureCount ? kStructureLengths[structure] : 1;
}

}  // namespace keyward::psdb
