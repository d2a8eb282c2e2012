// PDU handles, word access and the KVCMD command layouts.
#include "support.h"

#include <limits>
#include <utility>

namespace {

TEST(Pdu, CopiesShareOneBodyAndTheLastHandleFreesIt) {
    PDU a(2, 4);
    EXPECT_EQ(a.use_count(), 1);
    {
        PDU b(a);
        PDU c;
        c = b;
        EXPECT_TRUE(a.shares_body(c));
        EXPECT_EQ(a.use_count(), 3);
        c.set_uint16(0, 0xBEEF);
    }
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(a.get_uint16(0), 0xBEEF) << "a write through one handle is seen by all";
    a = a;
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(a.get_uint16(0), 0xBEEF);
}

TEST(Pdu, NullPduHasChannelZeroAndStaysEmpty) {
    PDU none;
    EXPECT_EQ(none.channel(), 0);
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(none.data(), nullptr);
    EXPECT_TRUE(none.shares_body(PDU::null_pdu()));
    none.set_uint16(0, 1);
    EXPECT_EQ(PDU::null_pdu().get_uint16(0), 0);

    // Growing a handle on the null PDU gives it a body of its own.
    none.grow(4);
    EXPECT_FALSE(none.shares_body(PDU::null_pdu()));
    EXPECT_EQ(PDU::null_pdu().size(), 0);
    EXPECT_EQ(none.size(), 4);
}

TEST(Pdu, AMoveHandsOverTheBodyAndLeavesTheNullPdu) {
    PDU a(2, 4);
    a.set_uint16(0, 0x1234);
    const uint8_t* bytes = a.data();
    PDU b(std::move(a));
    EXPECT_EQ(b.data(), bytes);
    EXPECT_EQ(b.use_count(), 1) << "a move adds no handle";
    EXPECT_TRUE(a.shares_body(PDU::null_pdu()));
    EXPECT_EQ(a.channel(), 0);

    PDU c(2, 2);
    c = std::move(b);
    EXPECT_EQ(c.get_uint16(0), 0x1234);
    EXPECT_EQ(c.use_count(), 1) << "the body c had before is dropped, not shared";

    // A view made from a received PDU takes it over the same way.
    const KVCMD_PDU view(std::move(c));
    EXPECT_EQ(view.get_uint16(0), 0x1234);
    EXPECT_EQ(view.use_count(), 1);
    EXPECT_EQ(PDU::null_pdu().use_count(), 0) << "handles on the null PDU are not counted";
}

TEST(Pdu, ARecycledBodyIsUsedOnlyWhenNoOtherHandleHoldsIt) {
    PDU spare(2, 24);
    spare.set_uint16(22, 0xFFFF);
    const uint8_t* bytes = spare.data();
    PDU built(2, 18, std::move(spare));
    EXPECT_EQ(built.data(), bytes) << "no new body";
    EXPECT_EQ(built.size(), 18);
    EXPECT_EQ(built.get_uint16(16), 0) << "as new: zero-filled";
    EXPECT_EQ(built.use_count(), 1);
    EXPECT_TRUE(spare.shares_body(PDU::null_pdu()));

    // Someone still holds the spare: its bytes stay as they are and the PDU gets its own.
    PDU kept(2, 18);
    kept.set_uint16(10, 0x0205);
    PDU shared(kept);
    PDU fresh(2, 18, std::move(shared));
    EXPECT_FALSE(fresh.shares_body(kept));
    EXPECT_EQ(kept.get_uint16(10), 0x0205);
    EXPECT_EQ(fresh.get_uint16(10), 0);

    // Bytes that do not fit inside a body are not built in one.
    PDU small(2, 18);
    PDU large(2, 200, std::move(small));
    EXPECT_EQ(large.size(), 200);
    EXPECT_EQ(large.get_uint16(198), 0);
    PDU fromNull(2, 18, PDU());
    EXPECT_EQ(fromNull.size(), 18);
    EXPECT_EQ(PDU::null_pdu().size(), 0) << "the null PDU is never built in";

    const KVCMD_PSSIZE_PDU request(0x01F9, 0x0080, std::move(fromNull));
    EXPECT_EQ(request.get_varid(), KVCMD_PSSIZE_PDU::VARID);
    EXPECT_EQ(request.get_length(), 9);
    EXPECT_EQ(request.get_uint16(14), 0x0080);
}

TEST(Pdu, WordsAreLittleEndianAndBoundsChecked) {
    const uint8_t bytes[] = {0x34, 0x12, 0x78, 0x56, 0x9A};
    PDU pdu(2, bytes, 5);
    EXPECT_EQ(pdu.get_uint16(0), 0x1234);
    EXPECT_EQ(pdu.get_uint16(1), 0x7812) << "any byte offset";
    EXPECT_EQ(pdu.get_uint16(2), 0x5678);
    EXPECT_EQ(pdu.get_uint16(4), 0) << "a word that only starts inside the buffer reads 0";
    EXPECT_EQ(pdu.get_uint16(-1), 0);
    EXPECT_EQ(pdu.get_uint16(std::numeric_limits<int>::min()), 0);
    EXPECT_EQ(pdu.get_uint16(std::numeric_limits<int>::max()), 0);
    EXPECT_EQ(PDU().get_uint16(0), 0) << "the null PDU has no words";
    pdu.set_uint16(4, 0xFFFF);
    pdu.set_uint16(-2, 0xFFFF);
    pdu.set_uint16(-1, 0xFFFF);
    pdu.set_uint16(std::numeric_limits<int>::max() - 1, 0xFFFF);
    EXPECT_EQ(pdu.data()[4], 0x9A) << "writes past the end are ignored";
    EXPECT_EQ(pdu.data()[0], 0x34) << "so are writes before the start";
    pdu.set_uint16(2, 0xCDAB);
    EXPECT_EQ(pdu.data()[2], 0xAB);
    EXPECT_EQ(pdu.data()[3], 0xCD);
}

TEST(Pdu, GrowKeepsTheBytesZeroFillsTheRestAndIsSeenByEveryHandle) {
    PDU a(2, 2);
    a.set_uint16(0, 0x1111);
    PDU b(a);
    a.grow(6);
    a.grow(4);  // never shrinks
    EXPECT_EQ(b.size(), 6);
    EXPECT_EQ(b.get_uint16(0), 0x1111);
    EXPECT_EQ(b.get_uint16(4), 0);
    EXPECT_EQ(PDU(2, -5).size(), 0);

    // Short PDUs keep their bytes in the body; growing past that moves them, twice over.
    const uint8_t bytes[] = {1, 2, 3, 4};
    PDU c(2, bytes, 4);
    c.grow(32);
    c.set_uint16(30, 0x3130);
    c.grow(40);
    c.grow(400);
    EXPECT_EQ(c.size(), 400);
    EXPECT_EQ(c.get_uint16(2), 0x0403);
    EXPECT_EQ(c.get_uint16(30), 0x3130);
    EXPECT_EQ(c.get_uint16(398), 0);
}

TEST(KvcmdPdu, HeaderFieldsAndMinimumSize) {
    KVCMD_PDU pdu(0x7003, KVCMD_PDU::TYPE_SET_REQ, 4);
    EXPECT_EQ(pdu.channel(), 2);
    EXPECT_EQ(pdu.size(), 18);
    EXPECT_EQ(pdu.get_type(), 2);
    EXPECT_EQ(pdu.get_length(), 9);
    EXPECT_EQ(pdu.get_varid(), 0x7003);
    EXPECT_EQ(pdu.get_seq_no(), 0);
    pdu.set_seq_no(77);
    pdu.set_status(5);
    EXPECT_EQ(pdu.get_uint16(4), 77);
    EXPECT_EQ(pdu.get_uint16(8), 5);
}

TEST(KvcmdPdu, PsRequestLayoutAndDataWriterGrowth) {
    KVCMD_PS_PDU get(KVCMD_PDU::TYPE_GET_REQ, 0x01F9, 0, 0x0081);
    EXPECT_EQ(get.size(), 18) << "max length 0 still sends 18 bytes";
    EXPECT_EQ(get.get_key(), 0x01F9);
    EXPECT_EQ(get.get_len(), 0);
    EXPECT_EQ(get.get_stores(), 0x0081);

    KVCMD_PS_PDU big(KVCMD_PDU::TYPE_GET_REQ, 1, 5, 0);
    EXPECT_EQ(big.size(), 26);
    EXPECT_EQ(big.get_length(), 13);

    KVCMD_PS_PDU set(KVCMD_PDU::TYPE_SET_REQ, 0x0001, 1, 0);
    const uint16_t words[] = {0x0078, 0x9ABC, 0x0056, 0x1234};
    set.set_data(words, 4);
    EXPECT_EQ(set.size(), 24);
    EXPECT_EQ(set.get_length(), 12) << "the length field follows the growth";
    uint16_t back[6] = {};
    EXPECT_EQ(set.get_data(back, 6), 4);
    EXPECT_EQ(back[3], 0x1234);
    EXPECT_EQ(set.get_data(back, 2), 2);
}

TEST(KvcmdPdu, CommandClassesFixTheirVaridsAndPayload) {
    EXPECT_EQ(KVCMD_PSNEXT_PDU(5, 0x0010).get_varid(), 0x3005);
    EXPECT_EQ(KVCMD_PSNEXT_PDU(5, 0x0010).get_stores(), 0x0010);
    EXPECT_EQ(KVCMD_PSNEXT_ALL_PDU(5).get_varid(), 0x3013);
    const KVCMD_PSSIZE_PDU size(0x0205, 0x0080);
    EXPECT_EQ(size.get_varid(), 0x3006);
    EXPECT_EQ(size.get_uint16(12), 0);
    EXPECT_EQ(size.get_uint16(14), 0x0080);
    EXPECT_EQ(KVCMD_PSCLR_PDU(9).get_varid(), 0x4818);
    EXPECT_EQ(KVCMD_PSCLR_PDU(9).get_type(), KVCMD_PDU::TYPE_SET_REQ);
    EXPECT_EQ(KVCMD_PSCLRS_PDU(9, 3).get_uint16(12), 3);
    EXPECT_EQ(KVCMD_PSCLRS_PDU(9, 3).get_varid(), 0x500C);
    EXPECT_EQ(KVCMD_PS_FACTORY_SET_PDU().get_varid(), 0x000C);
    EXPECT_EQ(KVCMD_PS_FACTORY_RESTORE_PDU().get_varid(), 0x400D);
    EXPECT_EQ(KVCMD_PS_FACTORY_RESTORE_ALL_PDU().get_varid(), 0x400E);
    const KVCMD_MEMORY_PDU memory(KVCMD_PDU::TYPE_GET_REQ, 0xFF9A, 1);
    EXPECT_EQ(memory.get_varid(), 0x1001);
    EXPECT_EQ(memory.get_address(), 0xFF9A);
    EXPECT_EQ(memory.get_len(), 1);
    EXPECT_EQ(memory.size(), 18);
}

TEST(KvcmdPdu, AViewSharesAHeldResponseAndTakesOverAMovedOne) {
    PDU received(KVCMD_PDU::CHANNEL, 18);
    received.set_uint16(KVCMD_PDU::OFFSET_PAYLOAD1, 7);
    {
        const KVCMD_PSSIZE_PDU shared(received);
        EXPECT_TRUE(shared.shares_body(received));
        EXPECT_EQ(received.use_count(), 2);
        EXPECT_EQ(shared.get_size(), 7);
        const KVCMD_PS_PDU again(shared);  // a view of a view shares the body too
        EXPECT_EQ(received.use_count(), 3);
    }
    EXPECT_EQ(received.use_count(), 1) << "dropping the views releases their claims";

    const uint8_t* bytes = received.data();
    const KVCMD_PSSIZE_PDU taken(std::move(received));
    EXPECT_EQ(taken.data(), bytes);
    EXPECT_EQ(taken.use_count(), 1) << "a moved response is taken over, not shared";
    EXPECT_TRUE(received.shares_body(PDU::null_pdu()));
    EXPECT_EQ(taken.get_size(), 7);
}

TEST(KvcmdPdu, ViewOfAShortReceivedPduReadsZeroBeyondIt) {
    const uint8_t bytes[] = {1, 0, 2, 0, 0, 0, 3, 0x70};
    const KVCMD_PS_PDU view{PDU(2, bytes, 8)};
    EXPECT_EQ(view.size(), 8) << "a view is not grown";
    EXPECT_EQ(view.get_varid(), 0x7003);
    EXPECT_EQ(view.get_status(), 0);
    EXPECT_EQ(view.get_key(), 0);
    EXPECT_EQ(view.data_words(), 0);
    uint16_t out = 0x5555;
    EXPECT_EQ(view.get_data(&out, 1), 0);
    EXPECT_EQ(out, 0x5555);
}

}  // namespace
