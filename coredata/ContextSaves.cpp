// The chain save and the context-level save operations of DSManagedObjectContext.
#include <exception>

#include "coredata/ContextCategories.h"
#include "coredata/DataStackLog.h"
#include "platform/dispatch/Queue.h"

using foundation::Error;

namespace {

using Completion = DSSaveCompletion;

// Completions always arrive asynchronously on the main queue, whatever thread saved.
void deliver(const Completion& completion, bool success, const std::optional<Error>& error) {
  if (!completion) return;
  dispatch::mainQueue()->async([completion, success, error] { completion(success, error); });
}

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

bool hasChanges(const DSContextPtr& context) {
  bool changes = false;
  context->performAndWait([&] { changes = context->hasChanges(); });
  return changes;
}

// Saves `context` itself (on its queue) and hands a success on to its parent when asked.
void saveStep(const DSContextPtr& context, unsigned options, bool synchronous, Completion completion) {
  const bool saveParents = (options & DSSaveOptions::kParentContexts) != 0;
  dslog::log(dslog::kInfo, "→ Saving %@", DSManagedObjectContext::DS_description(context));
  dslog::log(dslog::kVerbose, "→ Save Parents? %@", yesNo(saveParents));
  dslog::log(dslog::kVerbose, "→ Save Synchronously? %@", yesNo(synchronous));

  Error error;
  bool saved = false;
  bool failedWithError = false;
  try {
    saved = context->save(&error);
    failedWithError = !saved;
  } catch (const std::exception& exception) {
    dslog::log(dslog::kError, "Unable to perform save: %@", exception.what());
  }
  if (failedWithError) DataStack::handleErrors(error);

  const DSContextPtr parent = context->parentContext();
  if (saved && saveParents && parent) {
    const unsigned parentOptions =
        synchronous ? (options | DSSaveOptions::kSynchronously) : (options & ~DSSaveOptions::kSynchronously);
    DSManagedObjectContext::DS_saveWithOptions(parent, parentOptions, std::move(completion));
    return;
  }
  if (saved) dslog::log(dslog::kVerbose, "→ Finished saving: %@", DSManagedObjectContext::DS_description(context));
  deliver(completion, saved, failedWithError ? std::optional<Error>(error) : std::nullopt);
}

void errorOnlyOnFailure(const std::optional<Error>& error, bool success,
                        const DSManagedObjectContext::ErrorCallback& handler) {
  if (!success && handler) handler(error);
}

}  // namespace

void DSManagedObjectContext::DS_saveWithOptions(const DSContextPtr& context, unsigned options,
                                                DSSaveCompletion completion) {
  if (!context) {
    deliver(completion, false, std::nullopt);
    return;
  }
  if (!hasChanges(context)) {
    dslog::log(dslog::kVerbose, "NO CHANGES IN ** %@ ** CONTEXT - NOT SAVING", DS_workingName(context));
    deliver(completion, false, std::nullopt);
    return;
  }
  const bool waitForSelf = (options & DSSaveOptions::kSynchronously) != 0;
  const bool exceptRoot = (options & DSSaveOptions::kSynchronouslyExceptRootContext) != 0;
  const bool synchronous = (waitForSelf && !exceptRoot) || (exceptRoot && context != DS_rootSavingContext());
  if (synchronous) {
    context->performAndWait([&] { saveStep(context, options, true, completion); });
    return;
  }
  context->perform([context, options, completion] { saveStep(context, options, false, completion); });
}

void DSManagedObjectContext::DS_saveOnlySelfWithCompletion(const DSContextPtr& context, DSSaveCompletion completion) {
  DS_saveWithOptions(context, DSSaveOptions::kNone, std::move(completion));
}

void DSManagedObjectContext::DS_saveOnlySelfAndWait(const DSContextPtr& context) {
  DS_saveWithOptions(context, DSSaveOptions::kSynchronously, {});
}

void DSManagedObjectContext::DS_saveToPersistentStoreWithCompletion(const DSContextPtr& context,
                                                                    DSSaveCompletion completion) {
  DS_saveWithOptions(context, DSSaveOptions::kParentContexts, std::move(completion));
}

void DSManagedObjectContext::DS_saveToPersistentStoreAndWait(const DSContextPtr& context) {
  DS_saveWithOptions(context, DSSaveOptions::kParentContexts | DSSaveOptions::kSynchronously, {});
}

void DSManagedObjectContext::DS_saveWithBlock(const DSContextPtr& context, DSSaveBlock block,
                                              DSSaveCompletion completion) {
  DSContextPtr local = DS_contextWithParent(context);
  local->perform([local, block = std::move(block), completion = std::move(completion)] {
    DS_setWorkingName(local, "DS_saveWithBlock:completion:");
    if (block) block(local);
    DS_saveWithOptions(local, DSSaveOptions::kParentContexts, completion);
  });
}

void DSManagedObjectContext::DS_saveWithBlockAndWait(const DSContextPtr& context, DSSaveBlock block) {
  DSContextPtr local = DS_contextWithParent(context);
  local->performAndWait([&] {
    DS_setWorkingName(local, "DS_saveWithBlockAndWait:");
    if (block) block(local);
    DS_saveWithOptions(local, DSSaveOptions::kParentContexts | DSSaveOptions::kSynchronously, {});
  });
}

// --- Older saves -----------------------------------------------------------------------------------

void DSManagedObjectContext::DS_saveWithErrorCallback(const DSContextPtr& context, ErrorCallback errorCallback) {
  DS_saveWithOptions(context, DSSaveOptions::kParentContexts | DSSaveOptions::kSynchronously,
                     [errorCallback](bool success, const std::optional<Error>& error) {
                       errorOnlyOnFailure(error, success, errorCallback);
                     });
}

void DSManagedObjectContext::DS_saveInBackgroundCompletion(const DSContextPtr& context,
                                                           std::function<void()> completion) {
  DS_saveOnlySelfWithCompletion(context, [completion](bool success, const std::optional<Error>&) {
    if (success && completion) completion();
  });
}

void DSManagedObjectContext::DS_saveInBackgroundErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler) {
  DS_saveOnlySelfWithCompletion(context, [errorHandler](bool success, const std::optional<Error>& error) {
    errorOnlyOnFailure(error, success, errorHandler);
  });
}

namespace {

// A completion after a success when one is given; the handler, with the error (empty after a
// success), in every other case.
DSSaveCompletion completionOrHandler(DSManagedObjectContext::ErrorCallback errorHandler,
                                     std::function<void()> completion) {
  return [errorHandler, completion](bool success, const std::optional<Error>& error) {
    if (success && completion) {
      completion();
      return;
    }
    if (errorHandler) errorHandler(error);
  };
}

}  // namespace

void DSManagedObjectContext::DS_saveInBackgroundErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler,
                                                             std::function<void()> completion) {
  DS_saveOnlySelfWithCompletion(context, completionOrHandler(std::move(errorHandler), std::move(completion)));
}

void DSManagedObjectContext::DS_saveNestedContexts(const DSContextPtr& context) {
  DS_saveToPersistentStoreWithCompletion(context, {});
}

void DSManagedObjectContext::DS_saveNestedContextsErrorHandler(const DSContextPtr& context,
                                                               ErrorCallback errorHandler) {
  DS_saveToPersistentStoreWithCompletion(context, [errorHandler](bool success, const std::optional<Error>& error) {
    errorOnlyOnFailure(error, success, errorHandler);
  });
}

void DSManagedObjectContext::DS_saveNestedContextsErrorHandler(const DSContextPtr& context,
                                                               ErrorCallback errorHandler,
                                                               std::function<void()> completion) {
  DS_saveToPersistentStoreWithCompletion(context, completionOrHandler(std::move(errorHandler), std::move(completion)));
}
