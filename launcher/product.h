// The product's identity, shared by the window, message boxes and the entry.
#pragma once

namespace tsl {

// Caption of the splash window and of every message box.
constexpr wchar_t product_title[] = L"Tessaly Reach";

// The product GUID: the session directory's name and the identity a remote
// configuration must carry.
constexpr wchar_t product_guid[] = L"0d3f6c21-7a4e-4b9d-a1c5-52e8f0b7c9a4";

}  // namespace tsl
