// The install: the Vesk's marks, the accessory flags of the new driver and
// one enumeration of the local ports.
#pragma once

#include "qvzvesk/qvzvesk_string.h"

bool InstallHelper(const CQvCiString& sDriverName);
bool SetAccessoryFlags(const CQvCiString& sDriverName);
bool EnumerateLocalPorts();
