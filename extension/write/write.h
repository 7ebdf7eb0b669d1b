#pragma once

// The write path: the host write client, the writer, and the mapping of host refusals.
#include "FPHostErrorMap.h"
#include "FPHostWrites.h"
#include "FPWriter.h"
