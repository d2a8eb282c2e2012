#include <quillon/ptapenumeration.h>

#include <ostrel/ostrel.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace comm::ptap {

namespace {

constexpr auto kGeneral = CMessageHandler::GROUP_GENERAL;

// Fills the caller's buffers with the texts (each built with a comma after every value), or
// stores the size they need. The result code of the plain functions.
int WriteTexts(const std::vector<std::string>& texts, const std::vector<char*>& buffers,
               size_t entries, unsigned short* size, unsigned short* count) {
    size_t needed = 0;
    for (const std::string& text : texts) {
        needed = std::max(needed, text.size());  // the final comma's place holds the NUL
    }
    int result = CPtapEnumeration::OK;
    if (*size < needed) {
        *size = static_cast<unsigned short>(
            std::min<size_t>(needed, std::numeric_limits<unsigned short>::max()));
        result = CPtapEnumeration::SHORT_STRINGS;
    } else {
        for (size_t i = 0; i < texts.size(); ++i) {
            std::memcpy(buffers[i], texts[i].data(), texts[i].size() - 1);
            buffers[i][texts[i].size() - 1] = '\0';
        }
    }
    *count = static_cast<unsigned short>(entries);
    return result;
}

template <typename Query, typename Map>
bool Enumerate(Map& map, const Map& (Query::*entries)() const) {
    Query query;
    const bool sent = query.Send();
    if (sent) {
        map = (query.*entries)();
    } else {
        map.clear();
    }
    return sent;
}

}  // namespace

CPtapEnumeration::CPtapEnumeration() = default;
CPtapEnumeration::~CPtapEnumeration() = default;

bool CPtapEnumeration::EnumerateHifs(std::map<unsigned short, CQueryHifs::HifInfo>& hifs) {
    bool result = false;
    OSTREL_TRACE_RETURN(kGeneral, result);
    result = Enumerate(hifs, &CQueryHifs::Hifs);
    return result;
}

bool CPtapEnumeration::EnumerateServices(
    std::map<unsigned short, CQueryServices::ServiceInfo>& services) {
    bool result = false;
    OSTREL_TRACE_RETURN(kGeneral, result);
    result = Enumerate(services, &CQueryServices::Services);
    return result;
}

}  // namespace comm::ptap

using comm::ptap::CPtapEnumeration;

extern "C" int EnumeratePtapHifs(unsigned short* size, char* ids, char* kinds, char* names,
                                 unsigned short* count) {
    int result = CPtapEnumeration::BAD_ARGUMENT;
    OSTREL_TRACE_RETURN(comm::ptap::kGeneral, result);
    if (size == nullptr || ids == nullptr || kinds == nullptr || names == nullptr ||
        count == nullptr) {
        return result;
    }
    std::map<unsigned short, comm::ptap::CQueryHifs::HifInfo> hifs;
    if (!CPtapEnumeration::EnumerateHifs(hifs)) {
        result = CPtapEnumeration::FAULT;
        return result;
    }
    if (hifs.empty()) {
        *count = 0;
        result = CPtapEnumeration::OK;
        return result;
    }
    std::vector<std::string> texts(3);
    for (const auto& [id, hif] : hifs) {
        texts[0] += std::to_string(hif.hifId) + ",";
        texts[1] += std::to_string(hif.hifKind) + ",";
        texts[2] += hif.hifName + ",";
    }
    result = comm::ptap::WriteTexts(texts, {ids, kinds, names}, hifs.size(), size, count);
    return result;
}

extern "C" int EnumeratePtapServices(unsigned short* size, char* ids, char* words1, char* words2,
                                     char* lows, char* bits, char* words4, unsigned short* count) {
    int result = CPtapEnumeration::BAD_ARGUMENT;
    OSTREL_TRACE_RETURN(comm::ptap::kGeneral, result);
    if (size == nullptr || ids == nullptr || words1 == nullptr || words2 == nullptr ||
        lows == nullptr || bits == nullptr || words4 == nullptr || count == nullptr) {
        return result;
    }
    std::map<unsigned short, comm::ptap::CQueryServices::ServiceInfo> services;
    if (!CPtapEnumeration::EnumerateServices(services)) {
        result = CPtapEnumeration::FAULT;
        return result;
    }
    if (services.empty()) {
        *count = 0;
        result = CPtapEnumeration::OK;
        return result;
    }
    std::vector<std::string> texts(6);
    for (const auto& [id, service] : services) {
        texts[0] += std::to_string(service.serviceId) + ",";
        texts[1] += std::to_string(service.word1) + ",";
        texts[2] += std::to_string(service.word2) + ",";
        texts[3] += std::to_string(service.low7) + ",";
        texts[4] += service.bit7 ? "1," : "0,";
        texts[5] += std::to_string(service.word4) + ",";
    }
    result = comm::ptap::WriteTexts(texts, {ids, words1, words2, lows, bits, words4},
                                    services.size(), size, count);
    return result;
}
