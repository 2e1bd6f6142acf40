// Resource identifiers shared by kelvane.rc and the code that loads them.
// Plain defines only: the resource compiler reads this file too.
#pragma once

// kelvane.ico (48, 32, 24 and 16 px): the window class's icon.
#define IDI_KELVANE 101
// kelvane-small.ico (32 and 16 px): the icon the window sets once it is shown.
#define IDI_KELVANE_SMALL 102
