// Names fixed in the program.
#pragma once

#include "Platform.h"

// The program's own service name; also its display name, description and
// event source.
constexpr const WCHAR* kServiceName = L"Tavrilex";
// The watched service's key name.
constexpr const WCHAR* kWatchedServiceName = L"quorbel";
