// Enumeration of host interfaces and services against the simulated device.
#include "quillon_fixture.h"

#include <quillon/ptapenumeration.h>

#include <cstring>

namespace {

using comm::ptap::CPtapEnumeration;
using namespace testing_quillon;

ptapsim::Config TwoHifsNoServices() {
    ptapsim::Config config;
    config.hifs = {{3, 2, "YZ"}, {1, 0, "X"}};
    return config;
}

class Enumeration : public OnDevice {
  protected:
    Enumeration() : OnDevice(TwoHifsNoServices()) {}
};

// Buffers that show whether they were written.
struct Texts {
    char a[64], b[64], c[64], d[64], e[64], f[64];
    Texts() {
        for (char* t : {a, b, c, d, e, f}) {
            std::strcpy(t, "untouched");
        }
    }
};

TEST_F(Enumeration, HifTextsAreCommaSeparatedInIdOrder) {
    Texts t;
    unsigned short size = 5;
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapHifs(&size, t.a, t.b, t.c, &count), CPtapEnumeration::OK);
    EXPECT_STREQ(t.a, "1,3");
    EXPECT_STREQ(t.b, "0,2");
    EXPECT_STREQ(t.c, "X,YZ");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(size, 5);
}

TEST_F(Enumeration, ASmallBufferGetsTheNeededSizeAndNoText) {
    Texts t;
    unsigned short size = 4;
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapHifs(&size, t.a, t.b, t.c, &count), CPtapEnumeration::SHORT_STRINGS);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(t.a, "untouched");
    EXPECT_STREQ(t.c, "untouched");
}

TEST_F(Enumeration, NoServicesIsSuccessWithCountZero) {
    Texts t;
    unsigned short size = 64;
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapServices(&size, t.a, t.b, t.c, t.d, t.e, t.f, &count),
              CPtapEnumeration::OK);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(t.a, "untouched");
}

TEST_F(Enumeration, ANullPointerIsRefusedWithoutAsking) {
    Texts t;
    unsigned short size = 64;
    EXPECT_EQ(EnumeratePtapHifs(&size, t.a, t.b, t.c, nullptr), CPtapEnumeration::BAD_ARGUMENT);
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapServices(&size, t.a, nullptr, t.c, t.d, t.e, t.f, &count),
              CPtapEnumeration::BAD_ARGUMENT);
    EXPECT_EQ(count, 99);
    EXPECT_TRUE(device.Sim().Requests().empty());
}

TEST_F(Enumeration, AFailedQueryIsAFaultAndEmptiesTheMap) {
    ptapsim::Fault status;
    status.status = 3;
    device.Sim().SetFault(0x10, status);
    std::map<unsigned short, comm::ptap::CQueryHifs::HifInfo> hifs = {{9, {}}};
    EXPECT_FALSE(CPtapEnumeration::EnumerateHifs(hifs));
    EXPECT_TRUE(hifs.empty());

    Texts t;
    unsigned short size = 64;
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapHifs(&size, t.a, t.b, t.c, &count), CPtapEnumeration::FAULT);
    EXPECT_EQ(count, 99);
    EXPECT_STREQ(t.a, "untouched");
}

class ServiceEnumeration : public OnDevice {};

TEST_F(ServiceEnumeration, EveryFieldHasItsText) {
    Texts t;
    unsigned short size = 64;
    unsigned short count = 0;
    ASSERT_EQ(EnumeratePtapServices(&size, t.a, t.b, t.c, t.d, t.e, t.f, &count),
              CPtapEnumeration::OK);
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(t.a, "1,2,3");
    EXPECT_STREQ(t.b, "256,512,768");
    EXPECT_STREQ(t.c, "0,1,0");
    EXPECT_STREQ(t.d, "2,1,0");
    EXPECT_STREQ(t.e, "1,1,0");
    EXPECT_STREQ(t.f, "64,128,0");

    std::map<unsigned short, comm::ptap::CQueryServices::ServiceInfo> services;
    EXPECT_TRUE(CPtapEnumeration::EnumerateServices(services));
    EXPECT_EQ(services.size(), 3u);
}

TEST(EnumerationWithoutDevice, NoDeviceIsAFaultAndCountIsNotWritten) {
    ptapsim::TempDevice elsewhere(ptapsim::Config::Default(), "not-a-device");
    ASSERT_TRUE(elsewhere.Ok());
    setenv("PTAP_INTERFACE_DIR", elsewhere.Dir().c_str(), 1);
    char a[16], b[16], c[16];
    unsigned short size = 16;
    unsigned short count = 99;
    EXPECT_EQ(EnumeratePtapHifs(&size, a, b, c, &count), CPtapEnumeration::FAULT);
    EXPECT_EQ(count, 99);
    unsetenv("PTAP_INTERFACE_DIR");
}

}  // namespace
