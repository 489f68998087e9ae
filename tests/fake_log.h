#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

#include "log.h"

extern std::vector<std::string> loggedLines;
