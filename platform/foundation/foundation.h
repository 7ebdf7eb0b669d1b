#pragma once

// The stand-in for Foundation, Dispatch and UniformTypeIdentifiers: only what the extension and the tool
// use, with the operating system's semantics.
#include "ContentType.h"
#include "Date.h"
#include "Dispatch.h"
#include "Error.h"
#include "Files.h"
#include "ProcessInfo.h"
#include "Progress.h"
#include "URLSession.h"
