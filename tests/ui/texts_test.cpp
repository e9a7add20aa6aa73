// The language choice and the texts built from a pair and a value.
#include <gtest/gtest.h>

#include "app/ui/texts.h"

namespace cindral {
namespace {

TEST(InterfaceLanguageTest, EveryDutchSubLanguageAndNoOther) {
  EXPECT_TRUE(IsDutchLanguage(MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH)));
  EXPECT_TRUE(IsDutchLanguage(MAKELANGID(LANG_DUTCH, SUBLANG_DUTCH_BELGIAN)));
  EXPECT_TRUE(IsDutchLanguage(MAKELANGID(LANG_DUTCH, SUBLANG_NEUTRAL)));
  EXPECT_FALSE(IsDutchLanguage(MAKELANGID(LANG_AFRIKAANS, SUBLANG_AFRIKAANS_SOUTH_AFRICA)));
  EXPECT_FALSE(IsDutchLanguage(MAKELANGID(LANG_FRISIAN, SUBLANG_FRISIAN_NETHERLANDS)));
  EXPECT_FALSE(IsDutchLanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
  // The primary language is the low ten bits, whatever the sub-language.
  EXPECT_TRUE(IsDutchLanguage(0xFC13));
  EXPECT_FALSE(IsDutchLanguage(0x0813 + 0x0400 - 0x0013));
}

class TextsTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = IsDutchInterface(); }
  void TearDown() override { SetDutchInterface(saved_); }
  bool saved_ = false;
};

TEST_F(TextsTest, TheFlagChoosesAtThePointOfUse) {
  SetDutchInterface(false);
  EXPECT_STREQ(Text(kTextWorking), L"Working\u2026");
  FlipInterfaceLanguage();
  EXPECT_TRUE(IsDutchInterface());
  EXPECT_STREQ(Text(kTextWorking), L"Bezig\u2026");
  EXPECT_STREQ(Text(kTextCouldNotFinish), L"Vantle \u00B7 niet voltooid");
  FlipInterfaceLanguage();
  EXPECT_STREQ(Text(kTextCouldNotFinish), L"Vantle \u00B7 could not finish");
  EXPECT_STREQ(Text(kTextHeadlineIdle), L"Unpack it. One click.");
}

TEST_F(TextsTest, DropZoneAndCoreCount) {
  for (const bool dutch : {false, true}) {
    SetDutchInterface(dutch);
    EXPECT_EQ(DropZoneText({L"C:\\Users\\me\\photos.zip"}), L"photos.zip");
    EXPECT_EQ(DropZoneText({L"photos.7z"}), L"photos.7z");
  }
  SetDutchInterface(false);
  EXPECT_EQ(DropZoneText({L"C:\\a.zip", L"C:\\b.zip"}), L"2 selected items");
  EXPECT_EQ(DropZoneText({}), L"Drop a ZIP or 7z archive here");
  EXPECT_EQ(CoresAvailableText(16), L"16 cores available \u00B7 load depends on the codec");
  SetDutchInterface(true);
  EXPECT_EQ(DropZoneText({L"C:\\a.zip", L"C:\\b.zip", L"C:\\c"}), L"3 geselecteerde items");
  EXPECT_EQ(CoresAvailableText(2), L"2 cores beschikbaar \u00B7 codec bepaalt de belasting");
}

}  // namespace
}  // namespace cindral
