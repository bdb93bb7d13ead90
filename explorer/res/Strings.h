#pragma once
#include <string>

// Family-specific texts are asked for by base id (208..215); the build's
// BRAND_OFFSET selects the family.
enum BrandId {
  IDS_TITLE = 208,
  IDS_DEVICE_NAME = 209,
  IDS_ADMIN_USER = 210,
  IDS_ABOUT_MENU = 211,
  IDS_COPYRIGHT = 212,
  IDS_DEFAULT_PASSWORD = 213,
  IDS_VERSION = 215,
};
constexpr int IDS_SOCKETS_INIT_FAILED = 103;

std::string LoadBrandString(int baseId);
// Any id of the string table; empty when there is none.
std::string LoadResString(int id);
int BrandOffset();
