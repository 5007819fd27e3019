// The product's identity, in one place for every layer: the window, the
// message boxes, the update session and the tests.
#pragma once

namespace tsl {

// Caption of the splash window and of every message box.
constexpr wchar_t product_title[] = L"Tessaly Reach";

// The product GUID: the session directory's name and the identity a remote
// configuration must carry.
constexpr wchar_t product_guid[] = L"0d3f6c21-7a4e-4b9d-a1c5-52e8f0b7c9a4";

// The version the support log names; the same as the version block of
// ui/resources/tessaly.rc.
constexpr char product_version[] = "1.0.0.0";
// The site caption the splash window shows at the lower right.
constexpr wchar_t product_site_caption[] = L"\u00abtessaly-reach.com\u00bb";

}  // namespace tsl
