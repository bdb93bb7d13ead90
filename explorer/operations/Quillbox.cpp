#include "explorer/operations/Quillbox.h"

#include "explorer/res/Strings.h"

CQuillbox::CQuillbox()
    : httpClient(LoadBrandString(IDS_DEVICE_NAME) + " manager"),
      password(LoadBrandString(IDS_DEFAULT_PASSWORD)) {}

CQuillbox::~CQuillbox() = default;
