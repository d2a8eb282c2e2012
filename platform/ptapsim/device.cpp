#include "ptapsim.h"

#include <algorithm>
#include <cstring>

namespace ptapsim {

namespace {

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put64(Bytes& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

Bytes Response(uint16_t id, uint16_t status) {
    Bytes out;
    Put16(out, static_cast<uint16_t>(id | RESPONSE_MASK));
    Put16(out, status);
    return out;
}

}  // namespace

Device::Device(Config config) : mConfig(std::move(config)) {}

Service* Device::FindService(uint16_t id) {
    for (Service& service : mConfig.services) {
        if (service.id == id) {
            return &service;
        }
    }
    return nullptr;
}

Device::Answer Device::Handle(const uint8_t* data, size_t size) {
    Answer answer;
    if (size < 2) {
        return answer;  // not even a message id: nothing to answer
    }
    const uint16_t id = Read16(data);
    answer.bytes = Respond(id, data, size);
    answer.reply = true;

    auto found = mConfig.faults.find(id);
    if (found == mConfig.faults.end()) {
        return answer;
    }
    const Fault& fault = found->second;
    if (fault.status) {
        if (answer.bytes.size() < 4 || (Read16(answer.bytes.data()) & RESPONSE_MASK) == 0) {
            answer.bytes = Response(id, *fault.status);  // an indication becomes a response
        } else {
            answer.bytes[2] = static_cast<uint8_t>(*fault.status);
            answer.bytes[3] = static_cast<uint8_t>(*fault.status >> 8);
        }
    }
    if (fault.replyId) {
        answer.bytes[0] = static_cast<uint8_t>(*fault.replyId);
        answer.bytes[1] = static_cast<uint8_t>(*fault.replyId >> 8);
    }
    if (fault.padTo && answer.bytes.size() < *fault.padTo) {
        answer.bytes.resize(*fault.padTo, 0);
    }
    if (fault.cutTo && answer.bytes.size() > *fault.cutTo) {
        answer.bytes.resize(*fault.cutTo);
    }
    answer.delayMs = fault.delayMs;
    answer.reply = !fault.silent && !fault.hangup;
    answer.hangup = fault.hangup;
    return answer;
}

Bytes Device::Respond(uint16_t id, const uint8_t* data, size_t size) {
    switch (id) {
        case QUERY_HIFS: {
            Bytes out = Response(id, STATUS_SUCCESS);
            for (const Hif& hif : mConfig.hifs) {
                uint8_t record[36] = {hif.id, 0, hif.kind, 0};
                std::memcpy(record + 4, hif.name.data(), std::min<size_t>(hif.name.size(), 32));
                out.insert(out.end(), record, record + sizeof record);
            }
            return out;
        }
        case QUERY_SERVICES: {
            Bytes out = Response(id, STATUS_SUCCESS);
            for (const Service& s : mConfig.services) {
                for (uint16_t word : {s.id, s.word1, s.word2, s.word3, s.word4}) {
                    Put16(out, word);
                }
            }
            return out;
        }
        case QUERY_STATS: {
            if (size < 4 || size % 2 != 0) {
                return Response(id, STATUS_BAD_REQUEST);
            }
            Bytes out = Response(id, STATUS_SUCCESS);
            for (size_t at = 4; at + 2 <= size; at += 2) {
                const uint16_t counter = Read16(data + at);
                auto it = mConfig.counters.find(counter);
                Put16(out, counter);
                Put64(out, it == mConfig.counters.end() ? 0 : it->second);
            }
            return out;
        }
        case SERVICE_MAP:
        case SERVICE_UNMAP:
        case SERVICE_START:
        case SERVICE_STOP:
        case SERVICE_AVAILABLE:
        case SERVICE_UNAVAILABLE:
            return ServiceChange(id, data, size);
        case QUEUE_PAIR_ATTACH: {
            if (size < 12) {
                return Response(id, STATUS_BAD_REQUEST);
            }
            const uint16_t service = Read16(data + 2);
            const uint16_t queue = Read16(data + 4);  // the hif id and value are taken as given
            if (FindService(service) == nullptr) {
                return Response(id, STATUS_UNKNOWN_SERVICE);
            }
            if (!mQueuePairs.insert({service, queue}).second) {
                return Response(id, STATUS_QUEUE_PAIR_ATTACHED);
            }
            return Response(id, STATUS_SUCCESS);
        }
        case QUEUE_PAIR_DETACH: {
            if (size < 6) {
                return Response(id, STATUS_BAD_REQUEST);
            }
            const bool removed = mQueuePairs.erase({Read16(data + 2), Read16(data + 4)}) > 0;
            return Response(id, removed ? STATUS_SUCCESS : STATUS_QUEUE_PAIR_NOT_ATTACHED);
        }
        case DATA_DOWN: {
            if (size < 8) {
                return Response(id, STATUS_BAD_REQUEST);
            }
            const Service* service = FindService(Read16(data + 4));
            if (service == nullptr) {
                return Response(id, STATUS_UNKNOWN_SERVICE);
            }
            if ((service->word3 & SERVICE_STATE_MASK) != SERVICE_STARTED) {
                return Response(id, STATUS_WRONG_STATE);
            }
            Bytes out(data, data + size);  // class, sid, conid and payload as they came
            out[0] = static_cast<uint8_t>(DATA_UP);
            out[1] = 0;
            return out;
        }
        case PTEST_START: {
            if (size < 6) {
                return Response(id, STATUS_BAD_REQUEST);
            }
            const uint16_t count = Read16(data + 4);
            const bool valid = count > 0 && count % 2 == 0 && size - 6 == count;
            return Response(id, valid ? STATUS_SUCCESS : STATUS_BAD_REQUEST);
        }
        default:
            return Response(static_cast<uint16_t>(id & ~RESPONSE_MASK), STATUS_UNKNOWN_MESSAGE);
    }
}

Bytes Device::ServiceChange(uint16_t id, const uint8_t* data, size_t size) {
    if (size < 4) {
        return Response(id, STATUS_BAD_REQUEST);
    }
    Service* service = FindService(Read16(data + 2));
    if (service == nullptr) {
        return Response(id, STATUS_UNKNOWN_SERVICE);
    }
    const uint16_t state = service->word3 & SERVICE_STATE_MASK;
    auto move = [&](uint16_t from, uint16_t to) {
        if (state != from) {
            return Response(id, STATUS_WRONG_STATE);
        }
        service->word3 = static_cast<uint16_t>((service->word3 & ~SERVICE_STATE_MASK) | to);
        return Response(id, STATUS_SUCCESS);
    };
    switch (id) {
        case SERVICE_MAP:
            return move(SERVICE_UNMAPPED, SERVICE_MAPPED);
        case SERVICE_UNMAP:
            return move(SERVICE_MAPPED, SERVICE_UNMAPPED);
        case SERVICE_START:
            return move(SERVICE_MAPPED, SERVICE_STARTED);
        case SERVICE_STOP:
            return move(SERVICE_STARTED, SERVICE_MAPPED);
        case SERVICE_AVAILABLE:
            service->word3 |= SERVICE_AVAILABLE_BIT;
            return Response(id, STATUS_SUCCESS);
        default:  // SERVICE_UNAVAILABLE
            service->word3 &= static_cast<uint16_t>(~SERVICE_AVAILABLE_BIT);
            return Response(id, STATUS_SUCCESS);
    }
}

}  // namespace ptapsim
