#include <gtest/gtest.h>
#include <halyard/ports.h>

#include <cstring>
#include <fstream>

#include "support.h"

namespace halyard {
namespace {

// A port listing that answers with fixed lists, asking for more room when they do not fit.
struct FakeListing {
    FakeListing() = default;
    FakeListing(std::string n, std::string t, uint16_t c, bool term = true)
        : names(std::move(n)), transports(std::move(t)), count(c), terminate(term) {}

    std::string names;
    std::string transports;
    uint16_t count = 0;
    bool terminate = true;
    int calls = 0;
    std::vector<uint16_t> lengths;

    int operator()(uint16_t* length, char* n, char* t, uint16_t* c) {
        ++calls;
        lengths.push_back(*length);
        const size_t needed = std::max(names.size(), transports.size()) + (terminate ? 1 : 0);
        if (needed > *length) {
            *length = static_cast<uint16_t>(needed);
            return 1;
        }
        std::memcpy(n, names.data(), names.size());
        std::memcpy(t, transports.data(), transports.size());
        if (terminate) {
            n[names.size()] = '\0';
            t[transports.size()] = '\0';
        }
        *c = count;
        return 0;
    }
};

std::vector<std::string> Names(const PortTable& table) {
    std::vector<std::string> out;
    for (const PortEntry& e : table.Entries()) {
        out.push_back(e.name);
    }
    return out;
}

ListPortsFunction Use(FakeListing& fake) {
    return [&fake](uint16_t* l, char* n, char* t, uint16_t* c) { return fake(l, n, t, c); };
}

TEST(PortTableTest, WithoutPortsOnlyTheUsbDevicePathIsThere) {
    FakeListing none;
    PortTable table;
    table.List(Use(none));
    ASSERT_EQ(table.Entries().size(), 1u);
    EXPECT_EQ(table.Entries()[0].name, "\\\\.\\MVT0");
    EXPECT_EQ(table.Entries()[0].connection, "\\\\.\\MVT0");
    const ChosenPort chosen = ChosenPort::From(table.Entries()[0]);
    EXPECT_TRUE(chosen.devicePath);
}

TEST(PortTableTest, OnePortComesFirstAndLptPortsNeverAppear) {
    FakeListing fake{"LPT1,COM3", "SIM:LPT1,SIM:COM3", 2};
    PortTable table;
    table.List(Use(fake));
    EXPECT_EQ(Names(table), (std::vector<std::string>{"COM3", "\\\\.\\MVT0"}));
    EXPECT_EQ(table.Entries()[0].connection, "SIM:COM3");
    EXPECT_FALSE(ChosenPort::From(table.Entries()[0]).devicePath);
    EXPECT_EQ(fake.calls, 1);
}

TEST(PortTableTest, RetriesOnceWithTheReportedLength) {
    FakeListing fake;
    for (int i = 0; i < 8; ++i) {
        fake.names += (i ? "," : "") + std::string(40, static_cast<char>('a' + i));
        fake.transports +=
            (i ? "," : "") + std::string("SIM:") + std::string(40, static_cast<char>('a' + i));
    }
    fake.count = 8;
    PortTable table;
    table.List(Use(fake));
    EXPECT_EQ(fake.calls, 2);
    EXPECT_EQ(fake.lengths,
              (std::vector<uint16_t>{256, static_cast<uint16_t>(fake.transports.size() + 1)}));
    EXPECT_EQ(table.Entries().size(), 9u);
    EXPECT_EQ(table.Entries()[7].name, std::string(40, 'h'));

    // A listing that fails again, or asks for no length, leaves only the USB device.
    int calls = 0;
    table.List([&calls](uint16_t* length, char*, char*, uint16_t*) {
        ++calls;
        *length = 4000;
        return 1;
    });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(table.Entries().size(), 1u);
    table.List([](uint16_t* length, char*, char*, uint16_t*) {
        *length = 0;
        return 1;
    });
    EXPECT_EQ(table.Entries().size(), 1u);
}

TEST(PortTableTest, TheTableNeverOverflows) {
    FakeListing fake;
    for (int i = 0; i < 30; ++i) {
        fake.names += (i ? ",P" : "P") + std::to_string(i);
        fake.transports += (i ? ",SIM:P" : "SIM:P") + std::to_string(i);
    }
    fake.names += "," + std::string(400, 'n');
    fake.transports += "," + std::string(400, 't');
    fake.count = 31;
    PortTable table;
    table.List(Use(fake));
    ASSERT_EQ(table.Entries().size(), PortTable::kCapacity);
    EXPECT_EQ(table.Entries()[10].name, "P10");
    EXPECT_EQ(table.Entries().back().name, "\\\\.\\MVT0");
    ASSERT_EQ(table.LeftOut().size(), 20u) << "P11 to P29 and the long one";
    EXPECT_EQ(table.LeftOut().front().name, "P11");
    EXPECT_EQ(table.LeftOut().front().connection, "SIM:P11");

    // halyard-cli's table holds every listed port.
    table.List(Use(fake), PortTable::kUnlimited);
    EXPECT_EQ(table.Entries().size(), 32u);
    EXPECT_EQ(table.ProgrammingPortCount(), 31u);
    EXPECT_EQ(table.Entries()[29].name, "P29");
    EXPECT_EQ(table.Entries()[30].name.size(), PortTable::kMaxText);
    EXPECT_TRUE(table.LeftOut().empty());

    FakeListing longOne{std::string(400, 'n'), std::string(300, 't'), 1};
    table.List(Use(longOne));
    EXPECT_EQ(table.Entries()[0].name.size(), PortTable::kMaxText);
    EXPECT_EQ(table.Entries()[0].connection.size(), PortTable::kMaxText);
}

TEST(PortTableTest, BuffersWithoutTerminatorOrCountAreHandled) {
    FakeListing unterminated{std::string(256, 'x'), std::string(256, 'y'), 1, false};
    PortTable table;
    table.List(Use(unterminated));
    ASSERT_EQ(table.Entries().size(), 2u);
    EXPECT_EQ(table.Entries()[0].connection.size(), PortTable::kMaxText);

    FakeListing noCount{"COM1", "SIM:COM1", 0};
    table.List(Use(noCount));
    EXPECT_EQ(table.Entries().size(), 1u) << "a zero port count means no ports";

    FakeListing fewerNames{"A", "SIM:A,SIM:B", 2};
    table.List(Use(fewerNames));
    EXPECT_EQ(Names(table), (std::vector<std::string>{"A", "", "\\\\.\\MVT0"}));
    EXPECT_EQ(table.Find("A"), 0u);
    EXPECT_EQ(table.Find("nothing"), std::nullopt);
}

TEST(PortTableTest, SimulatedDevicesAreListedThroughThePortListing) {
    test::TempDeviceDir dir;
    std::ofstream(dir.File("LPT1")) << "chip MVT4120\n";
    std::ofstream(dir.File("Line2")) << "chip MVT4120\n";
    std::ofstream(dir.File("Line1")) << "chip MVT4120\n";
    PortTable table;
    table.List();
    EXPECT_EQ(Names(table), (std::vector<std::string>{"Line1", "Line2", "\\\\.\\MVT0"}));
    EXPECT_EQ(table.Entries()[1].connection, "SIM:Line2");
}

}  // namespace
}  // namespace halyard
