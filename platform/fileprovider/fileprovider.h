#pragma once

// The stand-in for the File Provider framework: identifiers, versions, option sets, the item, enumerator
// and observer interfaces, domains, the extension interfaces and the domain manager.
#include "Domain.h"
#include "Enumeration.h"
#include "Extension.h"
#include "Identifiers.h"
#include "Item.h"
#include "Manager.h"
#include "Registry.h"
#include "Types.h"
