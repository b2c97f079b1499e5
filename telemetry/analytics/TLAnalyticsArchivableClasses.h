#pragma once
// The analytics service's archivable classes, registered with the keyed archiver under the names
// its stored logs carry, so that the log store can read them back. Every component that archives
// or unarchives analytics logs calls this first.

// Registers the SDK core's classes, then the event, page and start-session logs and the typed
// property bag, all with secure coding; the first call does the work, later ones return at once.
// Thread-safe.
void TLRegisterAnalyticsArchivableClasses();
