#include "crash/engine/CrashMachExceptionPort.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/kernel/ExceptionPorts.h"
#include "platform/kernel/MachineContext.h"
#include "tests/support/MachPorts.h"

namespace {

using namespace kernel;

constexpr exception_behavior_t kDefault64 = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;

TEST(CrashMachExceptionPort, HoldsOneReferenceWhileItLives) {
  const mach_port_t port = test::portWithSendRight();
  {
    CrashMachExceptionPort registration(port, EXC_MASK_BAD_ACCESS, kDefault64, x86_THREAD_STATE);
    EXPECT_EQ(test::sendRefs(port), 2u);
    EXPECT_EQ(registration.server_port(), port);
    EXPECT_EQ(registration.mask(), EXC_MASK_BAD_ACCESS);
    EXPECT_EQ(registration.behavior(), kDefault64);
    EXPECT_EQ(registration.flavor(), x86_THREAD_STATE);
  }
  EXPECT_EQ(test::sendRefs(port), 1u);
  // Null and dead names have no references to take.
  CrashMachExceptionPort none(MACH_PORT_NULL, 0, kDefault64, x86_THREAD_STATE);
  CrashMachExceptionPort dead(MACH_PORT_DEAD, 0, kDefault64, x86_THREAD_STATE);
}

// Registering hands back the replaced registrations as a set; the references they came with end
// up held by the set's port objects, and are gone with the set.
TEST(CrashMachExceptionPort, RegisteringReturnsWhatItReplaced) {
  const mach_port_t first = test::portWithSendRight();
  const mach_port_t second = test::portWithSendRight();
  CrashMachExceptionPort a(first, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, kDefault64, x86_THREAD_STATE);
  ASSERT_TRUE(a.registerForTask(task_self(), nullptr, nullptr));
  EXPECT_EQ(test::sendRefs(first), 2u) << "the caller's and the port object's; the process holds its own elsewhere";

  CrashMachExceptionPort b(second, EXC_MASK_BAD_ACCESS, EXCEPTION_STATE, x86_THREAD_STATE64);
  std::shared_ptr<CrashMachExceptionPortSet> previous;
  foundation::Error error;
  ASSERT_TRUE(b.registerForTask(task_self(), &previous, &error)) << error.description();
  ASSERT_NE(previous, nullptr);
  const crash_mach_exception_port_set record = previous->asyncSafeRepresentation();
  ASSERT_EQ(record.count, 1u);
  EXPECT_EQ(record.ports[0], first);
  EXPECT_EQ(record.masks[0], EXC_MASK_BAD_ACCESS);
  EXPECT_EQ(record.behaviors[0], kDefault64);
  EXPECT_EQ(record.flavors[0], x86_THREAD_STATE);
  ASSERT_EQ(previous->set().size(), 1u);
  EXPECT_EQ((*previous->begin())->server_port(), first);
  EXPECT_EQ(test::sendRefs(first), 3u);
  previous.reset();
  EXPECT_EQ(test::sendRefs(first), 2u);

  const auto now = CrashMachExceptionPort::exceptionPortsForTask(task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC,
                                                                 nullptr);
  ASSERT_NE(now, nullptr);
  const crash_mach_exception_port_set current = now->asyncSafeRepresentation();
  ASSERT_EQ(current.count, 2u);
  EXPECT_EQ(current.ports[0], second);
  EXPECT_EQ(current.behaviors[0], EXCEPTION_STATE);
  EXPECT_EQ(current.ports[1], first);

  // Per thread, the same.
  ASSERT_TRUE(b.registerForThread(thread_self(), &previous, nullptr));
  EXPECT_EQ(previous->asyncSafeRepresentation().ports[0], MACH_PORT_NULL);
  const auto own = CrashMachExceptionPort::exceptionPortsForThread(thread_self(), EXC_MASK_BAD_ACCESS, nullptr);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->asyncSafeRepresentation().ports[0], second);

  CrashMachExceptionPort none(MACH_PORT_NULL, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, kDefault64, x86_THREAD_STATE);
  EXPECT_TRUE(none.registerForTask(task_self(), nullptr, nullptr));
  EXPECT_TRUE(none.registerForThread(thread_self(), nullptr, nullptr));
}

TEST(CrashMachExceptionPort, FailuresCarryTheKernelsResult) {
  const mach_port_t port = test::portWithSendRight();
  foundation::Error error;
  CrashMachExceptionPort invalid(port, 1u << 20, kDefault64, x86_THREAD_STATE);
  EXPECT_FALSE(invalid.registerForTask(task_self(), nullptr, &error));
  EXPECT_EQ(error.domain(), foundation::kMachErrorDomain);
  EXPECT_EQ(error.code(), KERN_INVALID_ARGUMENT);
  EXPECT_EQ(error.localizedDescription(), "Failed to swap mach exception ports");

  EXPECT_EQ(CrashMachExceptionPort::exceptionPortsForTask(task_self() + 1, EXC_MASK_BAD_ACCESS, &error), nullptr);
  EXPECT_EQ(error.localizedDescription(), "Failed to fetch mach exception ports");
  EXPECT_EQ(CrashMachExceptionPort::exceptionPortsForThread(0x7FFFFFF0, EXC_MASK_BAD_ACCESS, &error), nullptr);
  EXPECT_EQ(error.code(), KERN_INVALID_ARGUMENT);
}

TEST(CrashMachExceptionPortSet, FromObjectsAndBackToARecord) {
  const mach_port_t port = test::portWithSendRight();
  auto a = std::make_shared<CrashMachExceptionPort>(port, EXC_MASK_BAD_ACCESS, kDefault64, x86_THREAD_STATE);
  auto b = std::make_shared<CrashMachExceptionPort>(MACH_PORT_NULL, EXC_MASK_GUARD, EXCEPTION_STATE, 13);
  const CrashMachExceptionPortSet set({a, b, a});
  EXPECT_EQ(set.set().size(), 2u) << "a port object is a member once";
  const crash_mach_exception_port_set record = set.asyncSafeRepresentation();
  EXPECT_EQ(record.count, 2u);
  EXPECT_EQ(record.ports[0], port);
  EXPECT_EQ(record.masks[1], EXC_MASK_GUARD);
  EXPECT_EQ(record.behaviors[1], EXCEPTION_STATE);
  EXPECT_EQ(record.flavors[1], 13);
  EXPECT_EQ(test::sendRefs(port), 2u) << "the set adds no references";

  CrashMachExceptionPortSet::Ports fifteen;
  for (int i = 0; i < 15; ++i) {
    fifteen.push_back(std::make_shared<CrashMachExceptionPort>(MACH_PORT_NULL, 0, kDefault64, x86_THREAD_STATE));
  }
  try {
    CrashMachExceptionPortSet tooMany(fifteen);
    ADD_FAILURE() << "15 members accepted";
  } catch (const std::invalid_argument& failure) {
    EXPECT_STREQ(failure.what(), "Set size of 15 exceeds EXC_TYPES_COUNT (14)");
  }
  crash_mach_exception_port_set tooLong{};
  tooLong.count = 15;
  try {
    CrashMachExceptionPortSet fromRecord(tooLong);
    ADD_FAILURE() << "a count of 15 accepted";
  } catch (const std::invalid_argument& failure) {
    EXPECT_STREQ(failure.what(), "Count of 15 exceeds EXC_TYPES_COUNT (14)");
  }
}

}  // namespace
