// Host-side settings of the orvexLuaEngine library, for C++ hosts: the C
// interface (OrvexEngine.h) declares them, with the engine calls of C hosts.
#pragma once

#include "LuaEngineInterface.h"
#include "OrvexEngine.h"
