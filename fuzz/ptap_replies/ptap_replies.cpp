// Feeds arbitrary reply bytes to the reply processing of every PTAP message class.
//
// Input: byte 0 chooses the message, byte 1 the outcome the transport reports (mostly DATA_OK),
// the rest is the reply as the device would send it. A socket that answers at once hands the
// reply to the message, which then checks, parses and exposes it; the message is sent twice,
// since every send replaces the reply of the one before.
#include <quillon/ptapmessages.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using namespace comm::ptap;

class ReplySocket : public comm::ISocket {
  public:
    ReplySocket(const uint8_t* data, size_t size, comm::DataReceiveResultEnum result)
        : mReply(data, data + size), mResult(result) {}

    void Send(const unsigned char* /*data*/, unsigned int /*size*/, comm::DataCallback callback,
              ItemActionEnum action) override {
        if (action != SEND_NO_RESPONSE) {
            Deliver(callback);
        }
    }
    void Send(const unsigned char* data, unsigned int size, comm::DataCallback callback) override {
        Send(data, size, callback, SEND);
    }
    void Receive(comm::DataCallback callback) override { Deliver(callback); }
    void* Handle() override { return nullptr; }

  private:
    void Deliver(comm::DataCallback callback) {
        // A buffer of exactly the reply's size, so that reading past it is caught.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[mReply.size() + 1]);
        std::copy(mReply.begin(), mReply.end(), copy.get());
        if (!callback.empty()) {
            callback(mResult == comm::DATA_OK ? copy.get() : nullptr,
                     mResult == comm::DATA_OK ? static_cast<unsigned int>(mReply.size()) : 0,
                     mResult);
        }
    }

    std::vector<uint8_t> mReply;
    comm::DataReceiveResultEnum mResult;
};

volatile uint64_t gSink;  // keeps the parsed values alive

void Touch(const CDataUp& up) {
    gSink = gSink + up.Class() + up.Sid() + up.ConId() + up.Payload().size() +
            (up.Payload().empty() ? 0 : up.Payload().back());
}

void Exercise(CBasePtapMessage& message, ReplySocket& socket) {
    for (int i = 0; i < 2; ++i) {
        message.Send(socket);
        gSink = gSink + message.Status();
        if (auto* hifs = dynamic_cast<CQueryHifs*>(&message)) {
            for (const auto& [id, hif] : hifs->Hifs()) {
                gSink = gSink + id + hif.hifKind + hif.hifName.size();
            }
        } else if (auto* services = dynamic_cast<CQueryServices*>(&message)) {
            for (const auto& [id, s] : services->Services()) {
                gSink = gSink + id + s.word1 + s.word2 + s.low7 + s.bit7 + s.word4;
            }
        } else if (auto* stats = dynamic_cast<CQueryStats*>(&message)) {
            for (const auto& [id, value] : stats->Stats()) {
                gSink = gSink + id + value;
            }
        } else if (auto* down = dynamic_cast<CDataDown*>(&message)) {
            if (down->Response() != nullptr) {
                Touch(*down->Response());
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static const comm::DataReceiveResultEnum outcomes[] = {
        comm::DATA_OK, comm::DATA_OK, comm::DATA_SEND_FAILED, comm::DATA_RECEIVE_FAILED};
    ReplySocket socket(data + 2, size - 2, outcomes[data[1] & 3]);
    static const unsigned short ids[] = {1, 2, 3, 0x8000};
    static const unsigned char payload[] = {1, 2, 3};
    switch (data[0] % 16) {
        case 0: {
            CQueryHifs m;
            Exercise(m, socket);
            break;
        }
        case 1: {
            CQueryServices m;
            Exercise(m, socket);
            break;
        }
        case 2: {
            CQueryStats m(0, ids, 4);
            Exercise(m, socket);
            break;
        }
        case 3: {
            CServiceMap m(1);
            Exercise(m, socket);
            break;
        }
        case 4: {
            CServiceUnmap m(1);
            Exercise(m, socket);
            break;
        }
        case 5: {
            CServiceStart m(1);
            Exercise(m, socket);
            break;
        }
        case 6: {
            CServiceStop m(1);
            Exercise(m, socket);
            break;
        }
        case 7: {
            CServiceAvailable m(1);
            Exercise(m, socket);
            break;
        }
        case 8: {
            CServiceUnavailable m(1);
            Exercise(m, socket);
            break;
        }
        case 9: {
            CQueuePairAttach m(1, 2, 3, 4);
            Exercise(m, socket);
            break;
        }
        case 10: {
            CQueuePairDetach m(1, 2);
            Exercise(m, socket);
            break;
        }
        case 11: {
            CDataDown m(1, 2, 3, payload, sizeof payload);
            Exercise(m, socket);
            break;
        }
        case 12: {
            CDataUp m;
            m.Receive(socket);
            Touch(m);
            m.Receive(socket);
            Touch(m);
            break;
        }
        case 13: {
            CPtestStart m(1, "C:\\test");
            Exercise(m, socket);
            break;
        }
        case 14: {
            CDataUp m(data + 2, static_cast<unsigned int>(size - 2));
            Touch(m);
            break;
        }
        default: {
            CQueryStats m(0, nullptr, 7);
            Exercise(m, socket);
            break;
        }
    }
    return 0;
}
