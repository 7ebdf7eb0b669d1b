#pragma once

// Enumeration and change tracking: the enumerator, sync anchors, delivered revisions and the publication
// of pending kept-local changes.
#include "DeliveredRevs.h"
#include "SyncAnchor.h"
#include "WLEnumerator.h"
