#pragma once
// The telemetry SDK's archivable classes, registered with the keyed archiver under the names its
// stored logs and histories carry. Every component that archives or unarchives telemetry objects
// calls TLRegisterArchivableClasses first.

// Registers every archivable class of the SDK core, all with secure coding; the first call does
// the work, later ones return at once. Thread-safe.
void TLRegisterArchivableClasses();
