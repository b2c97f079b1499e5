#pragma once
// The client's archivable classes (the request and response serializers, the security policy and
// the session managers) become known to the keyed archiver and unarchiver through one explicit
// call, made before anything of theirs is archived or unarchived. Making a request serializer or
// a session manager makes that call too.

// Registers each class under its own name, with its superclass and secure coding. Calling it
// again registers them again (restoring any a caller unregistered) and changes nothing else.
// Thread-safe.
void RLRegisterArchivableClasses();
