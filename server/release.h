// The release this program is, as the build names it.
#pragma once

const char* serverRelease();
