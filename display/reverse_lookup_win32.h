// The reverse-lookup relay: hop names from WSAAsyncGetHostByAddr, delivered only to the window that asked.
#pragma once

#include "core/trace_table.h"

// Makes, on the user-interface thread, the window at which reverse lookups end. Until then no lookup starts.
void prepareReverseLookups();
// Asks, from any thread, for the name of hops[hop].address on behalf of the slot's present window; the name reaches
// that window as MSG_HOP_NAME_BASE + hop, and only while the slot holds it.
void requestReverseLookup(TraceSlot& slot, int hop);
// True while a reverse lookup of the slot's hop is out or asked for (for tests).
bool reverseLookupPending(const TraceSlot& slot, int hop);
