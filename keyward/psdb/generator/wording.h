// The label and the long description of each PS key, written from its record.
#pragma once

#include "records.h"

#include <string>
#include <vector>

namespace psdb_gen {

// A short readable label from the identifier: "PSKEY_UART_BAUD_RATE" gives "UART baud rate".
// Never empty for an identifier that passed LoadDatabase.
std::string MakeLabel(const std::string& identifier);

// The description of db.keys[index] as paragraphs: what the key is, the shape of its value,
// its allowed values, the bit field it stands for (presentation keys), the presentation keys
// that share its value (base keys), and whether it is assumed present. Joined in order, the
// paragraphs form the text; every paragraph after the first begins with a blank line.
std::vector<std::string> MakeDescription(const Database& db, size_t index);

}  // namespace psdb_gen
