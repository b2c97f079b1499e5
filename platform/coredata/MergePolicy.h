#pragma once
// MergePolicy stands in for the platform's merge policies: what a context does when saving an
// object that the store changed since the context loaded it (optimistic locking).
//
// - Error (the default): the save fails with kManagedObjectMergeError and changes nothing.
// - MergeByPropertyObjectTrump: the context's changed properties overwrite the store's; the
//   store's changes to properties the context did not change are kept.
// Only a context attached to a coordinator meets such conflicts; a child pushes into its parent
// without them.
namespace coredata {

enum class MergePolicy { Error, MergeByPropertyObjectTrump };

}  // namespace coredata
