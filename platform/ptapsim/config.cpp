#include "ptapsim.h"

#include "common/numbers.h"
#include "common/userfiles.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <sstream>

namespace ptapsim {

namespace {

class LineParser {
  public:
    explicit LineParser(const std::string& line) : mStream(line) {}

    bool Word(std::string& word) { return static_cast<bool>(mStream >> word); }

    // The next word as a decimal or 0x-hexadecimal number no larger than `max`.
    bool Number(uint64_t max, uint64_t& value) {
        std::string word;
        if (!Word(word)) {
            return false;
        }
        if (!varnak::ParseUnsigned(word, max, value)) {
            mRejected = word;
            return false;
        }
        return true;
    }
    // The last word Number refused, for the message; empty when the line ended instead.
    const std::string& Rejected() const { return mRejected; }

    bool AtEnd() {
        std::string rest;
        return !(mStream >> rest);
    }

    // The rest of the line without its leading and trailing blanks.
    std::string Rest() {
        std::string rest;
        std::getline(mStream, rest);
        const size_t first = rest.find_first_not_of(" \t");
        const size_t last = rest.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
    }

  private:
    std::istringstream mStream;
    std::string mRejected;
};

bool ParseFault(LineParser& line, Fault& fault, std::string& problem) {
    std::string kind;
    if (!line.Word(kind)) {
        problem = "fault needs a kind";
        return false;
    }
    uint64_t value = 0;
    if (kind == "silent") {
        fault.silent = true;
    } else if (kind == "hangup") {
        fault.hangup = true;
    } else if (kind == "delay" && line.Number(600000, value)) {
        fault.delayMs = static_cast<int>(value);
    } else if (kind == "reply-id" && line.Number(0xffff, value)) {
        fault.replyId = static_cast<uint16_t>(value);
    } else if (kind == "status" && line.Number(0xffff, value)) {
        fault.status = static_cast<uint16_t>(value);
    } else if (kind == "cut" && line.Number(65536, value)) {
        fault.cutTo = static_cast<size_t>(value);
    } else if (kind == "pad" && line.Number(65536, value)) {
        fault.padTo = static_cast<size_t>(value);
    } else {
        problem = "unknown fault or bad value: " + kind;
        return false;
    }
    return true;
}

}  // namespace

Config Config::Default() {
    Config config;
    config.hifs = {{0, 1, "usb"}, {1, 2, "spi"}};
    config.services = {
        {1, 0x0100, 0, SERVICE_STARTED | SERVICE_AVAILABLE_BIT, 64},
        {2, 0x0200, 1, SERVICE_MAPPED | SERVICE_AVAILABLE_BIT, 128},
        {3, 0x0300, 0, SERVICE_UNMAPPED, 0},
    };
    config.counters = {{1, 1200}, {2, 3400}, {16, 7}};
    return config;
}

bool Config::Parse(const std::string& text, Config& config, std::string& error) {
    Config parsed;
    std::istringstream lines(text);
    std::string raw;
    int number = 0;
    while (std::getline(lines, raw)) {
        ++number;
        const std::string content = raw.substr(0, raw.find('#'));
        LineParser line(content);
        std::string directive;
        if (!line.Word(directive)) {
            continue;
        }
        std::string problem;
        uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
        if (directive == "hif") {
            if (!line.Number(0xff, a) || !line.Number(0xff, b)) {
                problem = "hif needs ID KIND NAME with ID and KIND from 0 to 255";
            } else {
                std::string name = line.Rest();
                // A control character (a NUL above all) would not survive the written
                // configuration, nor the NUL-terminated name field of the reply.
                const bool control = std::any_of(name.begin(), name.end(), [](char ch) {
                    const auto c = static_cast<unsigned char>(ch);
                    return (c < 0x20 && c != '\t') || c == 0x7f;
                });
                if (name.empty() || name.size() > 32) {
                    problem = "hif name must have 1 to 32 characters";
                } else if (control) {
                    problem = "hif name must not hold control characters";
                } else {
                    parsed.hifs.push_back(
                        {static_cast<uint8_t>(a), static_cast<uint8_t>(b), std::move(name)});
                }
            }
        } else if (directive == "service") {
            if (!line.Number(0xffff, a) || !line.Number(0xffff, b) || !line.Number(0xffff, c) ||
                !line.Number(0xffff, d) || !line.Number(0xffff, e) || !line.AtEnd()) {
                problem = "service needs ID W1 W2 W3 W4, each from 0 to 0xffff";
            } else {
                parsed.services.push_back({static_cast<uint16_t>(a), static_cast<uint16_t>(b),
                                           static_cast<uint16_t>(c), static_cast<uint16_t>(d),
                                           static_cast<uint16_t>(e)});
            }
        } else if (directive == "counter") {
            if (!line.Number(0xffff, a) || !line.Number(std::numeric_limits<uint64_t>::max(), b) ||
                !line.AtEnd()) {
                problem = "counter needs ID VALUE";
            } else {
                parsed.counters[static_cast<uint16_t>(a)] = b;
            }
        } else if (directive == "fault") {
            if (!line.Number(0xffff, a)) {
                problem = "fault needs a message id from 0 to 0xffff";
            } else if (ParseFault(line, parsed.faults[static_cast<uint16_t>(a)], problem) &&
                       !line.AtEnd()) {
                problem = "unexpected text after the fault";
            }
        } else {
            problem = "unknown directive: " + directive;
        }
        if (!problem.empty()) {
            error = "line " + std::to_string(number) + ": " + problem;
            if (!line.Rejected().empty()) {
                error += ", not '" + line.Rejected() + "'";
            }
            return false;
        }
    }
    config = std::move(parsed);
    return true;
}

bool Config::Load(const std::string& path, Config& config, std::string& error) {
    // A folder must not pass for an empty device, nor a FIFO hold the simulator.
    std::string text;
    if (!varnak::ReadRegularFile(path, text, &error)) {
        return false;
    }
    if (!Parse(text, config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string Config::ToText() const {
    std::ostringstream out;
    char line[160];
    for (const Hif& hif : hifs) {
        std::snprintf(line, sizeof line, "hif %u %u %s\n", hif.id, hif.kind, hif.name.c_str());
        out << line;
    }
    for (const Service& s : services) {
        std::snprintf(line, sizeof line, "service %u 0x%04x 0x%04x 0x%04x 0x%04x\n", s.id, s.word1,
                      s.word2, s.word3, s.word4);
        out << line;
    }
    for (const auto& [id, value] : counters) {
        std::snprintf(line, sizeof line, "counter %u %" PRIu64 "\n", id, value);
        out << line;
    }
    for (const auto& entry : faults) {
        const auto id = entry.first;  // a named copy: lambdas may not capture bindings in clang 14
        const auto& fault = entry.second;
        auto put = [&](const std::string& what) {
            std::snprintf(line, sizeof line, "fault 0x%02x %s\n", id, what.c_str());
            out << line;
        };
        if (fault.silent) {
            put("silent");
        }
        if (fault.hangup) {
            put("hangup");
        }
        if (fault.delayMs > 0) {
            put("delay " + std::to_string(fault.delayMs));
        }
        if (fault.replyId) {
            put("reply-id " + std::to_string(*fault.replyId));
        }
        if (fault.status) {
            put("status " + std::to_string(*fault.status));
        }
        if (fault.cutTo) {
            put("cut " + std::to_string(*fault.cutTo));
        }
        if (fault.padTo) {
            put("pad " + std::to_string(*fault.padTo));
        }
    }
    return out.str();
}

}  // namespace ptapsim
