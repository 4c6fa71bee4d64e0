#include "server/release.h"

const char* serverRelease() { return GAMESERVER_RELEASE; }
