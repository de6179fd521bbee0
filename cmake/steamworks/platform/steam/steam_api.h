// Builds the SDK against a studio's Steamworks SDK (NIMO_STEAMWORKS_SDK) instead
// of our stand-in: this folder comes first in the include path.
#pragma once

#include <steam/steam_api.h>
