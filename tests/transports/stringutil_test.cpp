#include <transports/stringutil.h>

#include <gtest/gtest.h>

namespace {

using Map = std::map<std::string, std::string>;

TEST(StringToMap, SplitsPairsAtTheFirstSeparator) {
    Map map;
    EXPECT_TRUE(stringutil::StringToMap("trans=ptap;port=a=b", '=', ';', map));
    EXPECT_EQ(map, (Map{{"trans", "ptap"}, {"port", "a=b"}}));
}

TEST(StringToMap, SkipsEmptyPiecesAndKeepsTheLaterOfRepeatedKeys) {
    Map map;
    EXPECT_TRUE(stringutil::StringToMap(";;k=1;;k=2;;", '=', ';', map));
    EXPECT_EQ(map, (Map{{"k", "2"}}));
    Map empty;
    EXPECT_TRUE(stringutil::StringToMap("", '=', ';', empty));
    EXPECT_TRUE(empty.empty());
}

TEST(StringToMap, KeepsTextAsGiven) {
    Map map;
    EXPECT_TRUE(stringutil::StringToMap(" Key = V ;=x;y=", '=', ';', map));
    EXPECT_EQ(map, (Map{{" Key ", " V "}, {"", "x"}, {"y", ""}}));
}

TEST(StringToMap, FailsAtAPieceWithoutSeparatorKeepingEarlierPairs) {
    Map map;
    EXPECT_FALSE(stringutil::StringToMap("trans=ptap;debug;port=1", '=', ';', map));
    EXPECT_EQ(map, (Map{{"trans", "ptap"}}));
}

TEST(ToLower, LowersEveryCharacter) {
    EXPECT_EQ(stringutil::ToLower("PtAP-9_Z"), "ptap-9_z");
    EXPECT_EQ(stringutil::ToLower(""), "");
}

}  // namespace
