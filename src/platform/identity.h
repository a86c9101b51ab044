// The application's identity as the user sees it: the title every message box carries unless it
// names its own caption, and the version the executable reports.
#pragma once

namespace identity {

inline constexpr char kApplicationTitle[] = "Pellimor Wharfline";
inline constexpr char kCompanyName[] = "Pellimor Software";
inline constexpr char kProductName[] = "Pellimor Wharfline";
inline constexpr char kFileDescription[] = "Import EML, EMLX Messages to Outlook";
inline constexpr char kVersion[] = "5.06";  // file and product version text
inline constexpr int kVersionNumbers[4] = {5, 6, 0, 0};

}  // namespace identity
