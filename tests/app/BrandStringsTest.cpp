// Built once per family offset: each build must speak as its own family.
#include <gtest/gtest.h>

#include "explorer/res/Strings.h"

namespace {

struct Family {
  const char* title;
  const char* device;
  const char* admin;
  const char* about;
  const char* password;
};

Family Expected() {
  switch (BrandOffset()) {
    case 0: return {"Quillbox Explorer", "Quillbox", "Root", "&About Quillbox Explorer", "kqe"};
    case 96: return {"Marlin Relay Explorer", "Marlin Relay", "Admin", "&About Marlin Relay Explorer", "harbour"};
    default: return {"Osprey Panel Explorer", "Osprey Panel", "Root", "&About Osprey Panel Explorer", "kqe"};
  }
}

TEST(BrandStrings, FamilyBlockIsTheOneTheBuildSelects) {
  ASSERT_TRUE(BrandOffset() == 0 || BrandOffset() == 96 || BrandOffset() == 116);
  const Family f = Expected();
  EXPECT_EQ(LoadBrandString(IDS_TITLE), f.title);
  EXPECT_EQ(LoadBrandString(IDS_DEVICE_NAME), f.device);
  EXPECT_EQ(LoadBrandString(IDS_ADMIN_USER), f.admin);
  EXPECT_EQ(LoadBrandString(IDS_ABOUT_MENU), f.about);
  EXPECT_EQ(LoadBrandString(IDS_DEFAULT_PASSWORD), f.password);
  EXPECT_EQ(LoadBrandString(IDS_VERSION), "1.0.0");
  EXPECT_FALSE(LoadBrandString(IDS_COPYRIGHT).empty());
}

TEST(BrandStrings, GapsAndUnknownIdsAreEmpty) {
  EXPECT_EQ(LoadBrandString(214), "");
  EXPECT_EQ(LoadResString(214), "");
  EXPECT_EQ(LoadResString(310), "");
  EXPECT_EQ(LoadResString(330), "");
  EXPECT_EQ(LoadResString(0), "");
  EXPECT_EQ(LoadBrandString(-5000), "");
}

TEST(BrandStrings, EveryFamilyBlockIsInTheTableWhateverTheBuild) {
  // The other families' blocks stay reachable by absolute id.
  EXPECT_EQ(LoadResString(208), "Quillbox Explorer");
  EXPECT_EQ(LoadResString(304), "Marlin Relay Explorer");
  EXPECT_EQ(LoadResString(324), "Osprey Panel Explorer");
  EXPECT_EQ(LoadResString(309), "harbour");
  EXPECT_EQ(LoadResString(IDS_SOCKETS_INIT_FAILED), "Windows sockets initialization failed.");
}

}  // namespace
