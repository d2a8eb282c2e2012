// Test helpers: a data-callback target that records what the worker delivers, and readers of
// the recorded error text.
#pragma once

#include <ostrel/ostrel.h>
#include <varnak/comminterfaces.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_ptap {

struct Delivery {
    std::vector<unsigned char> bytes;
    unsigned int size = 0;
    comm::DataReceiveResultEnum result = comm::DATA_OK;
    std::thread::id thread;
};

class Receiver {
  public:
    comm::DataCallback Callback() {
        return comm::DataCallback::from_method<Receiver, &Receiver::OnData>(this);
    }

    void OnData(unsigned char* data, unsigned int size, comm::DataReceiveResultEnum result) {
        Delivery d;
        if (data != nullptr) {
            d.bytes.assign(data, data + size);
        }
        d.size = size;
        d.result = result;
        d.thread = std::this_thread::get_id();
        std::lock_guard<std::mutex> guard(mLock);
        mDeliveries.push_back(std::move(d));
        mChanged.notify_all();
    }

    // Waits until `count` deliveries have arrived; false on time-out.
    bool WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, limit, [&] { return mDeliveries.size() >= count; });
    }

    std::vector<Delivery> Deliveries() {
        std::lock_guard<std::mutex> guard(mLock);
        return mDeliveries;
    }

    size_t Count() {
        std::lock_guard<std::mutex> guard(mLock);
        return mDeliveries.size();
    }

  private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Delivery> mDeliveries;
};

inline CMessageHandler& CommHandler() {
    return CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION, "test");
}

inline std::string LastError() {
    return CommHandler().GetErrorMsg();
}

inline std::vector<unsigned char> Bytes(std::initializer_list<unsigned> values) {
    std::vector<unsigned char> out;
    for (unsigned v : values) {
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

}  // namespace testing_ptap
