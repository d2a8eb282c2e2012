#include <transports/stringutil.h>

#include <ostrel/ostrel.h>

#include <cctype>

namespace stringutil {

bool StringToMap(const std::string& text, char separator, char delimiter,
                 std::map<std::string, std::string>& map) {
    bool result = true;
    OSTREL_TRACE_RETURN(CMessageHandler::GROUP_STRING_UTILITY, result);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            const std::string piece = text.substr(start, end - start);
            const size_t split = piece.find(separator);
            if (split == std::string::npos) {
                result = false;
                return result;
            }
            map[piece.substr(0, split)] = piece.substr(split + 1);
        }
        start = end + 1;
    }
    return result;
}

std::string ToLower(const std::string& text) {
    OSTREL_TRACE(CMessageHandler::GROUP_STRING_UTILITY);
    std::string lower = text;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

}  // namespace stringutil
