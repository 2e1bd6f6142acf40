// The maker's web pages the program opens in the browser.
#pragma once

#define KELVANE_MAKER_WEB_HOST "https://kelvane.example.com"

inline constexpr const char* TUTORIAL_URL = KELVANE_MAKER_WEB_HOST "/help.html";
inline constexpr const char* HOME_URL = KELVANE_MAKER_WEB_HOST "/";
inline constexpr const char* CONVERSION_GUIDE_URL = KELVANE_MAKER_WEB_HOST "/convert.html";
inline constexpr const char* UNZIP_HELP_URL = KELVANE_MAKER_WEB_HOST "/unzip.html";
