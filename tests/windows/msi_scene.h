#pragma once

#include <string>

#include "service_harness.h"

// The installer under Wine's own msiexec: install with options, a player and
// a console line, a major upgrade with a player connected, uninstall.
// olderMsi and newerMsi are the same server packed as two releases; the
// newer one's version is newerVersion.
bool runMsiScene(SC_HANDLE manager, const std::string& olderMsi, const std::string& newerMsi,
                 const std::string& newerVersion);
