// The program's own name, fixed.
#pragma once

#include "Platform.h"

// The program's own service name; also its display name, description and
// event source.
constexpr const WCHAR* kServiceName = L"Tavrilex";
