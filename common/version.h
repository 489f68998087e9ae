#pragma once

#define APP_NAME "lanternhill"
#define PACKAGE_NAME "lanternhill"
#define APP_VERSION "1.0.812"
