#pragma once

// The ETW controller, consumer and TDH calls the capture code uses: the platform's own on
// Windows, our stand-in elsewhere (fed by dnstap), with the same names and structures.
#if defined(_WIN32)
#include <windows.h>
// windows.h first: the ETW headers rely on its types.
#include <evntcons.h>
#include <evntrace.h>
#include <tdh.h>
#else
#include "net/standin/etw_linux.hpp"
#endif
