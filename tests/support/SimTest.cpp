#include "SimTest.h"
