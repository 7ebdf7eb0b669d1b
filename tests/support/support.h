#pragma once

// Test-only helpers: a scripted HTTP host on 127.0.0.1, recording observers, a fake System backend, and
// waiting helpers for asynchronous code.
#include "FakeSystem.h"
#include "Observers.h"
#include "ScriptedHost.h"
#include "Waiting.h"
