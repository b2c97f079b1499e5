#pragma once
// The crash service's archivable classes, registered with the keyed archiver under the names its
// stored logs carry, so that the log store and the crash-time buffer can read them back. Every
// component that archives or unarchives crash service objects calls this first.

// Registers the SDK core's classes, then the error logs and the records inside them, all with
// secure coding; the first call does the work, later ones return at once. Thread-safe.
void TLRegisterCrashesArchivableClasses();
