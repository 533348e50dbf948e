// The headers that nearly every test program includes, compiled once per
// build tree and reused by every test target (tests/CMakeLists.txt): parsing
// GoogleTest and windows.h anew took most of each test's compile time.
// GoogleTest's Notification stand-in comes first, before GoogleTest's own.
#pragma once

#include "gtest_win32_notification.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>
