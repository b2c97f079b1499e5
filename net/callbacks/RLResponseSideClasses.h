#pragma once
// The archivable classes of the client's response side (the response serializers and the
// security policy) become known to the keyed archiver and unarchiver through one explicit call,
// made before anything of theirs is archived or unarchived.

// Registers each class under its own name, with its superclass and secure coding. Calling it
// again changes nothing. Thread-safe.
void RLRegisterResponseSideClasses();
