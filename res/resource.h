// Resource identifiers shared by kelvane.rc and the code that loads them.
// Plain defines only: the resource compiler reads this file too.
#pragma once

// kelvane.ico (64, 48, 32, 24 and 16 px): the window class's icon and, at the
// size of the screen's DPI, the window's small one.
#define IDI_KELVANE 101
// kelvane-small.ico (64, 48, 32, 24 and 16 px): the large icon the window sets
// once it is shown, at the size of the screen's DPI.
#define IDI_KELVANE_SMALL 102
