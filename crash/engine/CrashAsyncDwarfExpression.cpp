#include "crash/engine/CrashAsyncDwarfExpression.h"

#include <type_traits>

#include "crash/engine/CrashAsyncDwarfOpstream.h"

namespace crash::async {

namespace {

// DWARF expression operations the evaluator knows by name.
enum : std::uint8_t {
  DW_OP_deref = 0x06,
  DW_OP_const1u = 0x08,
  DW_OP_const1s = 0x09,
  DW_OP_const2u = 0x0a,
  DW_OP_const2s = 0x0b,
  DW_OP_const4u = 0x0c,
  DW_OP_const4s = 0x0d,
  DW_OP_const8u = 0x0e,
  DW_OP_const8s = 0x0f,
  DW_OP_constu = 0x10,
  DW_OP_consts = 0x11,
  DW_OP_dup = 0x12,
  DW_OP_drop = 0x13,
  DW_OP_over = 0x14,
  DW_OP_pick = 0x15,
  DW_OP_swap = 0x16,
  DW_OP_rot = 0x17,
  DW_OP_xderef = 0x18,
  DW_OP_abs = 0x19,
  DW_OP_and = 0x1a,
  DW_OP_div = 0x1b,
  DW_OP_minus = 0x1c,
  DW_OP_mod = 0x1d,
  DW_OP_mul = 0x1e,
  DW_OP_neg = 0x1f,
  DW_OP_not = 0x20,
  DW_OP_or = 0x21,
  DW_OP_plus = 0x22,
  DW_OP_plus_uconst = 0x23,
  DW_OP_shl = 0x24,
  DW_OP_shr = 0x25,
  DW_OP_shra = 0x26,
  DW_OP_xor = 0x27,
  DW_OP_bra = 0x28,
  DW_OP_eq = 0x29,
  DW_OP_ge = 0x2a,
  DW_OP_gt = 0x2b,
  DW_OP_le = 0x2c,
  DW_OP_lt = 0x2d,
  DW_OP_ne = 0x2e,
  DW_OP_skip = 0x2f,
  DW_OP_lit0 = 0x30,
  DW_OP_lit31 = 0x4f,
  DW_OP_breg0 = 0x70,
  DW_OP_breg31 = 0x8f,
  DW_OP_bregx = 0x92,
  DW_OP_deref_size = 0x94,
  DW_OP_xderef_size = 0x95,
  DW_OP_nop = 0x96,
};

template <typename machine_ptr>
class ValueStack {
 public:
  bool push(machine_ptr value) {
    if (depth_ == CRASH_ASYNC_DWARF_EXPRESSION_STACK_SIZE) {
      CRASH_ASYNC_LOG("Hit stack limit; cannot push further values");
      return false;
    }
    values_[depth_++] = value;
    return true;
  }
  bool pop(machine_ptr* value) {
    if (depth_ == 0) {
      CRASH_ASYNC_LOG("Pop on an empty stack");
      return false;
    }
    *value = values_[--depth_];
    return true;
  }
  std::size_t depth() const { return depth_; }
  // The value `index` places below the top (0 = top); the caller checks the depth.
  machine_ptr& at(std::size_t index) { return values_[depth_ - 1 - index]; }

 private:
  machine_ptr values_[CRASH_ASYNC_DWARF_EXPRESSION_STACK_SIZE];
  std::size_t depth_ = 0;
};

template <typename machine_ptr>
crash_error_t readRegister(const crash_async_thread_state* state, std::uint64_t dwarf_reg, machine_ptr* value) {
  crash_regnum_t id = 0;
  if (!crash_async_thread_state_map_dwarf_to_reg(state, dwarf_reg, &id)) {
    CRASH_ASYNC_LOG("Unsupported DWARF register value of 0x%llx", static_cast<unsigned long long>(dwarf_reg));
    return CRASH_ENOTSUP;
  }
  if (!crash_async_thread_state_has_reg(state, id)) {
    CRASH_ASYNC_LOG("Register value of %s unavailable in the current frame.",
                    crash_async_thread_state_get_reg_name(state, id));
    return CRASH_ENOTFOUND;
  }
  *value = static_cast<machine_ptr>(crash_async_thread_state_get_reg(state, id));
  return CRASH_ESUCCESS;
}

// Reads `size` bytes (1, 2, 4 or 8, at most a target word) at `address`, zero-extended.
template <typename machine_ptr>
crash_error_t readMemory(kernel::task_t task, machine_ptr address, std::uint8_t size, machine_ptr* value) {
  std::uint64_t wide = 0;
  const crash_error_t error = crash_async_task_memcpy(task, address, 0, &wide, size);
  if (error == CRASH_ESUCCESS) *value = static_cast<machine_ptr>(wide);  // little-endian host: low bytes first
  return error;
}

}  // namespace

template <typename machine_ptr>
crash_error_t crash_async_dwarf_expression_eval(const crash_async_mobject* mobj, kernel::task_t task,
                                                const crash_async_thread_state* state,
                                                const crash_async_byteorder* byteorder, std::uint64_t address,
                                                std::uint64_t offset, std::uint64_t length,
                                                const machine_ptr initial_state[], std::size_t initial_count,
                                                machine_ptr* result) {
  using machine_ptr_s = std::make_signed_t<machine_ptr>;
  constexpr unsigned kBits = sizeof(machine_ptr) * 8;

  dwarf_opstream stream;
  crash_error_t error = stream.init(mobj, byteorder, address, offset, length);
  if (error != CRASH_ESUCCESS) return error;

  ValueStack<machine_ptr> stack;
  for (std::size_t i = 0; i < initial_count; ++i) {
    if (!stack.push(initial_state[i])) return CRASH_EINTERNAL;
  }

#define DW_PUSH(value)                                    \
  do {                                                    \
    if (!stack.push(static_cast<machine_ptr>(value))) return CRASH_EINTERNAL; \
  } while (0)
#define DW_POP(value)                          \
  do {                                         \
    if (!stack.pop(&(value))) return CRASH_EINTERNAL; \
  } while (0)
#define DW_READ(type, value)                                    \
  do {                                                          \
    if (!stream.read_intU<type>(&(value))) return CRASH_EINVAL; \
  } while (0)

  std::size_t executed = 0;
  while (stream.remaining() > 0) {
    if (++executed > CRASH_ASYNC_DWARF_EXPRESSION_MAX_OPS) {
      CRASH_ASYNC_LOG("Expression exceeded %zu operations", CRASH_ASYNC_DWARF_EXPRESSION_MAX_OPS);
      return CRASH_EINVAL;
    }
    std::uint8_t opcode = 0;
    DW_READ(std::uint8_t, opcode);

    if (opcode >= DW_OP_lit0 && opcode <= DW_OP_lit31) {
      DW_PUSH(opcode - DW_OP_lit0);
      continue;
    }
    if (opcode >= DW_OP_breg0 && opcode <= DW_OP_breg31) {
      std::int64_t addend = 0;
      if (!stream.read_sleb128(&addend)) return CRASH_EINVAL;
      machine_ptr value = 0;
      if ((error = readRegister(state, opcode - DW_OP_breg0, &value)) != CRASH_ESUCCESS) return error;
      DW_PUSH(value + static_cast<machine_ptr>(addend));
      continue;
    }

    machine_ptr top = 0;
    machine_ptr second = 0;
    switch (opcode) {
      case DW_OP_deref:
      case DW_OP_xderef: {
        if (opcode == DW_OP_xderef && stack.depth() < 2) {
          CRASH_ASYNC_LOG("DW_OP_xderef on stack with < 2 elements");
          return CRASH_EINVAL;
        }
        DW_POP(top);
        if (opcode == DW_OP_xderef) DW_POP(second);  // the address space: one flat space here
        machine_ptr value = 0;
        if ((error = readMemory(task, top, sizeof(machine_ptr), &value)) != CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("DW_OP_deref referenced an invalid target address 0x%llx", static_cast<unsigned long long>(top));
          return error;
        }
        DW_PUSH(value);
        break;
      }
      case DW_OP_const1u: { std::uint8_t v = 0; DW_READ(std::uint8_t, v); DW_PUSH(v); break; }
      case DW_OP_const1s: { std::int8_t v = 0; DW_READ(std::int8_t, v); DW_PUSH(static_cast<machine_ptr_s>(v)); break; }
      case DW_OP_const2u: { std::uint16_t v = 0; DW_READ(std::uint16_t, v); DW_PUSH(v); break; }
      case DW_OP_const2s: { std::int16_t v = 0; DW_READ(std::int16_t, v); DW_PUSH(static_cast<machine_ptr_s>(v)); break; }
      case DW_OP_const4u: { std::uint32_t v = 0; DW_READ(std::uint32_t, v); DW_PUSH(v); break; }
      case DW_OP_const4s: { std::int32_t v = 0; DW_READ(std::int32_t, v); DW_PUSH(static_cast<machine_ptr_s>(v)); break; }
      case DW_OP_const8u: { std::uint64_t v = 0; DW_READ(std::uint64_t, v); DW_PUSH(v); break; }
      case DW_OP_const8s: { std::int64_t v = 0; DW_READ(std::int64_t, v); DW_PUSH(v); break; }
      case DW_OP_constu: {
        std::uint64_t v = 0;
        if (!stream.read_uleb128(&v)) return CRASH_EINVAL;
        DW_PUSH(v);
        break;
      }
      case DW_OP_consts: {
        std::int64_t v = 0;
        if (!stream.read_sleb128(&v)) return CRASH_EINVAL;
        DW_PUSH(v);
        break;
      }
      case DW_OP_dup:
        if (stack.depth() < 1) {
          CRASH_ASYNC_LOG("DW_OP_dup on an empty stack");
          return CRASH_EINVAL;
        }
        DW_PUSH(stack.at(0));
        break;
      case DW_OP_drop:
        if (stack.depth() < 1) {
          CRASH_ASYNC_LOG("DW_OP_drop on an empty stack");
          return CRASH_EINVAL;
        }
        DW_POP(top);
        break;
      case DW_OP_over:
        if (stack.depth() < 2) {
          CRASH_ASYNC_LOG("DW_OP_over on stack with < 2 elements");
          return CRASH_EINVAL;
        }
        DW_PUSH(stack.at(1));
        break;
      case DW_OP_pick: {
        std::uint8_t index = 0;
        DW_READ(std::uint8_t, index);
        if (index >= stack.depth()) {
          CRASH_ASYNC_LOG("DW_OP_pick on invalid index");
          return CRASH_EINVAL;
        }
        DW_PUSH(stack.at(index));
        break;
      }
      case DW_OP_swap:
        if (stack.depth() < 2) {
          CRASH_ASYNC_LOG("DW_OP_swap on stack with < 2 elements");
          return CRASH_EINVAL;
        }
        top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = top;
        break;
      case DW_OP_rot:
        if (stack.depth() < 3) {
          CRASH_ASYNC_LOG("DW_OP_rot on stack with < 3 elements");
          return CRASH_EINVAL;
        }
        top = stack.at(0);
        stack.at(0) = stack.at(1);
        stack.at(1) = stack.at(2);
        stack.at(2) = top;
        break;
      case DW_OP_abs:
        DW_POP(top);
        DW_PUSH(static_cast<machine_ptr_s>(top) < 0 ? machine_ptr(0) - top : top);
        break;
      case DW_OP_neg:
        DW_POP(top);
        DW_PUSH(machine_ptr(0) - top);
        break;
      case DW_OP_not:
        DW_POP(top);
        DW_PUSH(~top);
        break;
      case DW_OP_plus_uconst: {
        std::uint64_t addend = 0;
        if (!stream.read_uleb128(&addend)) return CRASH_EINVAL;
        DW_POP(top);
        DW_PUSH(top + static_cast<machine_ptr>(addend));
        break;
      }
      case DW_OP_and:
      case DW_OP_div:
      case DW_OP_minus:
      case DW_OP_mod:
      case DW_OP_mul:
      case DW_OP_or:
      case DW_OP_plus:
      case DW_OP_shl:
      case DW_OP_shr:
      case DW_OP_shra:
      case DW_OP_xor:
      case DW_OP_eq:
      case DW_OP_ge:
      case DW_OP_gt:
      case DW_OP_le:
      case DW_OP_lt:
      case DW_OP_ne: {
        DW_POP(top);
        DW_POP(second);
        const auto a = static_cast<machine_ptr_s>(second);
        const auto b = static_cast<machine_ptr_s>(top);
        const unsigned shift = static_cast<unsigned>(top % kBits);
        machine_ptr value = 0;
        switch (opcode) {
          case DW_OP_and: value = second & top; break;
          case DW_OP_div:
            if (top == 0) {
              CRASH_ASYNC_LOG("DW_OP_div attempted divide by zero");
              return CRASH_EINVAL;
            }
            // The most negative value divided by -1 overflows (and traps on x86); it wraps here.
            value = b == -1 ? machine_ptr(0) - second : static_cast<machine_ptr>(a / b);
            break;
          case DW_OP_minus: value = second - top; break;
          case DW_OP_mod:
            if (top == 0) {
              CRASH_ASYNC_LOG("DW_OP_mod attempted divide by zero");
              return CRASH_EINVAL;
            }
            value = second % top;
            break;
          case DW_OP_mul: value = static_cast<machine_ptr>(second * top); break;
          case DW_OP_or: value = second | top; break;
          case DW_OP_plus: value = second + top; break;
          case DW_OP_shl: value = static_cast<machine_ptr>(second << shift); break;
          case DW_OP_shr: value = second >> shift; break;
          case DW_OP_shra: value = static_cast<machine_ptr>(a >> shift); break;
          case DW_OP_xor: value = second ^ top; break;
          case DW_OP_eq: value = a == b; break;
          case DW_OP_ge: value = a >= b; break;
          case DW_OP_gt: value = a > b; break;
          case DW_OP_le: value = a <= b; break;
          case DW_OP_lt: value = a < b; break;
          case DW_OP_ne: value = a != b; break;
        }
        DW_PUSH(value);
        break;
      }
      case DW_OP_bra:
      case DW_OP_skip: {
        std::int16_t jump = 0;
        DW_READ(std::int16_t, jump);
        bool taken = true;
        if (opcode == DW_OP_bra) {
          DW_POP(top);
          taken = top != 0;
        }
        if (taken && !stream.skip(jump)) {
          if (opcode == DW_OP_bra) {
            CRASH_ASYNC_LOG("DW_OP_bra offset %hd falls outside of opcode range", jump);
          } else {
            CRASH_ASYNC_LOG("DW_OP_skip offset %hd falls outside of opcode range", jump);
          }
          return CRASH_EINVAL;
        }
        break;
      }
      case DW_OP_bregx: {
        std::uint64_t reg = 0;
        std::int64_t addend = 0;
        if (!stream.read_uleb128(&reg) || !stream.read_sleb128(&addend)) return CRASH_EINVAL;
        machine_ptr value = 0;
        if ((error = readRegister(state, reg, &value)) != CRASH_ESUCCESS) return error;
        DW_PUSH(value + static_cast<machine_ptr>(addend));
        break;
      }
      case DW_OP_deref_size:
      case DW_OP_xderef_size: {
        std::uint8_t size = 0;
        DW_READ(std::uint8_t, size);
        if (opcode == DW_OP_xderef_size && stack.depth() < 2) {
          CRASH_ASYNC_LOG("DW_OP_xderef_size on stack with < 2 elements");
          return CRASH_EINVAL;
        }
        if (size > sizeof(machine_ptr)) {
          CRASH_ASYNC_LOG("DW_OP_deref_size specified a size larger than the native machine word");
          return CRASH_EINVAL;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          CRASH_ASYNC_LOG("DW_OP_deref_size specified an unsupported size of %hhu", size);
          return CRASH_EINVAL;
        }
        DW_POP(top);
        if (opcode == DW_OP_xderef_size) DW_POP(second);
        machine_ptr value = 0;
        if ((error = readMemory(task, top, size, &value)) != CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("DW_OP_deref_size referenced an invalid target address 0x%llx",
                          static_cast<unsigned long long>(top));
          return error;
        }
        DW_PUSH(value);
        break;
      }
      case DW_OP_nop:
        break;
      default:
        CRASH_ASYNC_LOG("Unsupported opcode 0x%hhx", opcode);
        return CRASH_ENOTSUP;
    }
  }
#undef DW_PUSH
#undef DW_POP
#undef DW_READ

  if (stack.depth() == 0) {
    CRASH_ASYNC_LOG("Expression did not provide a result value.");
    return CRASH_EINVAL;
  }
  stack.pop(result);
  return CRASH_ESUCCESS;
}

template crash_error_t crash_async_dwarf_expression_eval<std::uint32_t>(
    const crash_async_mobject*, kernel::task_t, const crash_async_thread_state*, const crash_async_byteorder*,
    std::uint64_t, std::uint64_t, std::uint64_t, const std::uint32_t[], std::size_t, std::uint32_t*);
template crash_error_t crash_async_dwarf_expression_eval<std::uint64_t>(
    const crash_async_mobject*, kernel::task_t, const crash_async_thread_state*, const crash_async_byteorder*,
    std::uint64_t, std::uint64_t, std::uint64_t, const std::uint64_t[], std::size_t, std::uint64_t*);

}  // namespace crash::async
