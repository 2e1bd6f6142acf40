#pragma once

#define KELVANE_VERSION "8.2.0"
