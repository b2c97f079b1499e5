// The save blocks of DataStack: caller code run in a fresh child of the root saving context (or
// the current thread's context), then saved up the chain.
#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"

namespace {

// Names the context after the operation, runs the caller's block in it and saves it.
void runAndSave(const DSContextPtr& context, const char* operationName, const DSSaveBlock& block, unsigned options,
                DSSaveCompletion completion) {
  DSManagedObjectContext::DS_setWorkingName(context, operationName);
  if (block) block(context);
  DSManagedObjectContext::DS_saveWithOptions(context, options, std::move(completion));
}

void inBackground(const DSContextPtr& context, const char* operationName, DSSaveBlock block, unsigned options,
                  DSSaveCompletion completion) {
  if (!context) {
    // Nothing set up: report "not saved" the way every completion arrives.
    DSManagedObjectContext::DS_saveWithOptions(nullptr, options, std::move(completion));
    return;
  }
  context->perform([context, operationName, options, block = std::move(block), completion = std::move(completion)] {
    runAndSave(context, operationName, block, options, completion);
  });
}

void andWait(const DSContextPtr& context, const char* operationName, const DSSaveBlock& block, unsigned options) {
  if (!context) return;
  context->performAndWait([&] { runAndSave(context, operationName, block, options, {}); });
}

constexpr unsigned kToStore = DSSaveOptions::kParentContexts;
constexpr unsigned kToStoreAndWait = DSSaveOptions::kParentContexts | DSSaveOptions::kSynchronously;

}  // namespace

void DataStack::saveWithBlock(DSSaveBlock block) { saveWithBlock(std::move(block), {}); }

void DataStack::saveWithBlock(DSSaveBlock block, DSSaveCompletion completion) {
  inBackground(DSManagedObjectContext::DS_context(), "saveWithBlock:completion:", std::move(block), kToStore,
               std::move(completion));
}

void DataStack::saveWithBlockAndWait(DSSaveBlock block) {
  andWait(DSManagedObjectContext::DS_context(), "saveWithBlockAndWait:", block, kToStoreAndWait);
}

void DataStack::saveUsingCurrentThreadContextWithBlock(DSSaveBlock block, DSSaveCompletion completion) {
  inBackground(DSManagedObjectContext::DS_contextForCurrentThread(),
               "saveUsingCurrentThreadContextWithBlock:completion:", std::move(block), kToStore, std::move(completion));
}

void DataStack::saveUsingCurrentThreadContextWithBlockAndWait(DSSaveBlock block) {
  andWait(DSManagedObjectContext::DS_contextForCurrentThread(), "saveUsingCurrentThreadContextWithBlockAndWait:",
          block, kToStoreAndWait);
}

void DataStack::saveInBackgroundWithBlock(DSSaveBlock block) { saveWithBlock(std::move(block), {}); }

void DataStack::saveInBackgroundWithBlock(DSSaveBlock block, std::function<void()> completion) {
  DSContextPtr context = DSManagedObjectContext::DS_context();
  context->perform([context, block = std::move(block), completion = std::move(completion)] {
    DSManagedObjectContext::DS_setWorkingName(context, "saveInBackgroundWithBlock:completion:");
    if (block) block(context);
    DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context);
    if (completion) completion();
  });
}

void DataStack::saveInBackgroundUsingCurrentContextWithBlock(
    DSSaveBlock block, std::function<void()> completion,
    std::function<void(const std::optional<foundation::Error>&)> errorHandler) {
  inBackground(DSManagedObjectContext::DS_contextForCurrentThread(),
               "saveInBackgroundUsingCurrentContextWithBlock:completion:errorHandler:", std::move(block), kToStore,
               [completion, errorHandler](bool success, const std::optional<foundation::Error>& error) {
                 if (success) {
                   if (completion) completion();
                 } else if (errorHandler) {
                   errorHandler(error);
                 }
               });
}
