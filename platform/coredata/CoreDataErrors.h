#pragma once
// The error codes and user-info keys the Core Data stand-in reports, with the platform's values.
// Every error is in the Cocoa domain (foundation::kCocoaErrorDomain); store errors carry the
// SQLite failure as their underlying error in kSQLiteErrorDomain.
#include <string>

#include "platform/foundation/Error.h"

namespace coredata {

// A property value that fails validation (wrong type for its attribute).
inline constexpr long kManagedObjectValidationError = 1550;
// Several validation failures at once; the single errors are under kDetailedErrorsKey.
inline constexpr long kValidationMultipleErrorsError = 1560;
// A mandatory (non-optional) property without a value.
inline constexpr long kValidationMissingMandatoryPropertyError = 1570;
// An object that does not exist (deleted, or never saved) in the store or the parent context.
inline constexpr long kManagedObjectReferentialIntegrityError = 133000;
// Optimistic-locking failure: the store changed an object that the context also changed, and the
// merge policy is the error policy. Conflicts are listed under kConflictListKey.
inline constexpr long kManagedObjectMergeError = 133020;
// The store type is unknown.
inline constexpr long kPersistentStoreInvalidTypeError = 134000;
// Writing the store failed (disk full, read-only file, I/O error); the store is unchanged.
inline constexpr long kPersistentStoreSaveError = 134030;
// General failure: no persistent store to save into or fetch from, a fetch without an entity.
inline constexpr long kCoreDataError = 134060;
// The store cannot be opened (missing folder, permissions).
inline constexpr long kPersistentStoreOpenError = 134080;
// The store was written by a different model and migration was not asked for.
inline constexpr long kPersistentStoreIncompatibleVersionHashError = 134100;
// Migration was asked for but failed or cannot be inferred (e.g. an attribute changed its type).
inline constexpr long kMigrationError = 134110;
// Migration was asked for but the store holds no description of the model that wrote it.
inline constexpr long kMigrationMissingSourceModelError = 134130;
// Automatic migration was asked for without inference, and there is no mapping to apply.
inline constexpr long kMigrationMissingMappingModelError = 134140;
// The file is not a store (not SQLite, or damaged); the file is left untouched.
inline constexpr long kFileReadCorruptFileError = 259;

inline constexpr const char* kSQLiteErrorDomain = "NSSQLiteErrorDomain";

// User-info keys of validation and merge errors.
inline constexpr const char* kValidationObjectErrorKey = "NSValidationErrorObject";
inline constexpr const char* kValidationKeyErrorKey = "NSValidationErrorKey";
inline constexpr const char* kValidationValueErrorKey = "NSValidationErrorValue";
inline constexpr const char* kDetailedErrorsKey = "NSDetailedErrors";
inline constexpr const char* kConflictListKey = "conflictList";
inline constexpr const char* kAffectedStoresErrorKey = "NSAffectedStoresErrorKey";

// A Cocoa-domain error with a description.
foundation::Error coreDataError(long code, const std::string& description,
                                foundation::Dictionary extraUserInfo = {});

}  // namespace coredata
