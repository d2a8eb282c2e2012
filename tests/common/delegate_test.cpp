#include <varnak/comminterfaces.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Receiver {
    std::vector<unsigned char> bytes;
    unsigned int size = 0;
    comm::DataReceiveResultEnum result = comm::DATA_OK;
    int calls = 0;

    void OnData(unsigned char* data, unsigned int count, comm::DataReceiveResultEnum outcome) {
        bytes.assign(data, data + count);
        size = count;
        result = outcome;
        ++calls;
    }
};

using Callback = comm::DataCallback;

TEST(Delegate3, DefaultIsEmpty) {
    Callback c;
    EXPECT_TRUE(c.empty());
    EXPECT_FALSE(static_cast<bool>(c));
    EXPECT_EQ(sizeof(Callback), 2 * sizeof(void*)) << "object pointer and stub, nothing else";
}

TEST(Delegate3, BoundCallsTheMemberOfItsObject) {
    Receiver r;
    Callback c = Callback::from_method<Receiver, &Receiver::OnData>(&r);
    ASSERT_FALSE(c.empty());
    unsigned char data[] = {1, 2, 3};
    c(data, 3, comm::DATA_RECEIVE_FAILED);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.bytes, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(r.result, comm::DATA_RECEIVE_FAILED);
}

TEST(Delegate3, CopiesCallTheSameObject) {
    Receiver a, b;
    Callback toA = Callback::from_method<Receiver, &Receiver::OnData>(&a);
    Callback copy = toA;
    Callback assigned;
    assigned = Callback::from_method<Receiver, &Receiver::OnData>(&b);
    EXPECT_TRUE(copy == toA);
    EXPECT_FALSE(assigned == toA);
    unsigned char byte = 9;
    copy(&byte, 1, comm::DATA_OK);
    assigned(&byte, 1, comm::DATA_SEND_FAILED);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(b.result, comm::DATA_SEND_FAILED);
}

TEST(CommEnums, ValuesAreTheWireValues) {
    EXPECT_EQ(SEND, 0);
    EXPECT_EQ(SEND_NO_RESPONSE, 1);
    EXPECT_EQ(RECEIVE, 2);
    EXPECT_EQ(comm::DATA_OK, 0);
    EXPECT_EQ(comm::DATA_SEND_FAILED, 1);
    EXPECT_EQ(comm::DATA_RECEIVE_FAILED, 2);
}

}  // namespace
