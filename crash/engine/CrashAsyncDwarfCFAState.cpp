#include "crash/engine/CrashAsyncDwarfCFAState.h"

#include "crash/engine/CrashAsyncDwarfExpression.h"
#include "crash/engine/CrashAsyncDwarfOpstream.h"

namespace crash::async {

namespace {

// Call-frame instructions. The first three carry their operand in the low six bits.
enum : std::uint8_t {
  DW_CFA_advance_loc = 0x40,
  DW_CFA_offset = 0x80,
  DW_CFA_restore = 0xc0,
  DW_CFA_nop = 0x00,
  DW_CFA_set_loc = 0x01,
  DW_CFA_advance_loc1 = 0x02,
  DW_CFA_advance_loc2 = 0x03,
  DW_CFA_advance_loc4 = 0x04,
  DW_CFA_offset_extended = 0x05,
  DW_CFA_restore_extended = 0x06,
  DW_CFA_undefined = 0x07,
  DW_CFA_same_value = 0x08,
  DW_CFA_register = 0x09,
  DW_CFA_remember_state = 0x0a,
  DW_CFA_restore_state = 0x0b,
  DW_CFA_def_cfa = 0x0c,
  DW_CFA_def_cfa_register = 0x0d,
  DW_CFA_def_cfa_offset = 0x0e,
  DW_CFA_def_cfa_expression = 0x0f,
  DW_CFA_expression = 0x10,
  DW_CFA_offset_extended_sf = 0x11,
  DW_CFA_def_cfa_sf = 0x12,
  DW_CFA_def_cfa_offset_sf = 0x13,
  DW_CFA_val_offset = 0x14,
  DW_CFA_val_offset_sf = 0x15,
  DW_CFA_val_expression = 0x16,
  // The size of the arguments pushed for a call; only exception handling needs it.
  DW_CFA_GNU_args_size = 0x2e,
};

constexpr std::uint8_t kNone = DWARF_CFA_STATE_INVALID_ENTRY_IDX;

}  // namespace

template <typename machine_ptr>
dwarf_cfa_state<machine_ptr>::dwarf_cfa_state() : table_depth_(0), free_list_(0) {
  for (std::uint8_t level = 0; level < DWARF_CFA_STATE_MAX_STATES; ++level) {
    cfa_stack_[level] = {DWARF_CFA_STATE_CFA_TYPE_UNDEFINED, 0, 0, 0, 0};
    register_count_[level] = 0;
    for (std::uint8_t bucket = 0; bucket < DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) table_stack_[level][bucket] = kNone;
  }
  for (std::uint8_t i = 0; i < DWARF_CFA_STATE_MAX_REGISTERS; ++i) {
    entries_[i] = {0, 0, CRASH_DWARF_CFA_REG_RULE_OFFSET,
                   static_cast<std::uint8_t>(i + 1 < DWARF_CFA_STATE_MAX_REGISTERS ? i + 1 : kNone)};
  }
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::set_register(std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t rule,
                                                machine_ptr value) {
  std::uint8_t* link = &table_stack_[table_depth_][regnum % DWARF_CFA_STATE_BUCKET_COUNT];
  while (*link != kNone) {
    entry& existing = entries_[*link];
    if (existing.regnum == regnum) {
      existing.rule = rule;
      existing.value = value;
      return true;
    }
    link = &existing.next;
  }
  if (free_list_ == kNone) return false;
  const std::uint8_t index = free_list_;
  free_list_ = entries_[index].next;
  entries_[index] = {value, regnum, rule, kNone};
  *link = index;
  register_count_[table_depth_]++;
  return true;
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::get_register_rule(std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t* rule,
                                                     machine_ptr* value) const {
  for (std::uint8_t i = table_stack_[table_depth_][regnum % DWARF_CFA_STATE_BUCKET_COUNT]; i != kNone;
       i = entries_[i].next) {
    if (entries_[i].regnum == regnum) {
      *rule = entries_[i].rule;
      *value = entries_[i].value;
      return true;
    }
  }
  return false;
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::remove_register(std::uint32_t regnum) {
  std::uint8_t* link = &table_stack_[table_depth_][regnum % DWARF_CFA_STATE_BUCKET_COUNT];
  while (*link != kNone) {
    const std::uint8_t index = *link;
    if (entries_[index].regnum == regnum) {
      *link = entries_[index].next;
      entries_[index].next = free_list_;
      free_list_ = index;
      register_count_[table_depth_]--;
      return;
    }
    link = &entries_[index].next;
  }
}

template <typename machine_ptr>
std::uint8_t dwarf_cfa_state<machine_ptr>::get_register_count() const {
  return register_count_[table_depth_];
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_register(std::uint32_t regnum, machine_ptr offset) {
  cfa_stack_[table_depth_] = {DWARF_CFA_STATE_CFA_TYPE_REGISTER, regnum, offset, 0, 0};
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_register_signed(std::uint32_t regnum,
                                                           std::make_signed_t<machine_ptr> offset) {
  cfa_stack_[table_depth_] = {DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, regnum, static_cast<machine_ptr>(offset), 0, 0};
}

template <typename machine_ptr>
void dwarf_cfa_state<machine_ptr>::set_cfa_expression(machine_ptr address, std::uint64_t length) {
  cfa_stack_[table_depth_] = {DWARF_CFA_STATE_CFA_TYPE_EXPRESSION, 0, 0, address, length};
}

template <typename machine_ptr>
dwarf_cfa_rule<machine_ptr> dwarf_cfa_state<machine_ptr>::get_cfa_rule() const {
  return cfa_stack_[table_depth_];
}

template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::push_state() {
  if (table_depth_ + 1 >= DWARF_CFA_STATE_MAX_STATES) return false;
  const std::uint8_t below = table_depth_;
  table_depth_++;
  cfa_stack_[table_depth_] = cfa_stack_[below];
  register_count_[table_depth_] = 0;
  for (std::uint8_t bucket = 0; bucket < DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) {
    table_stack_[table_depth_][bucket] = kNone;
  }
  for (std::uint8_t bucket = 0; bucket < DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) {
    for (std::uint8_t i = table_stack_[below][bucket]; i != kNone; i = entries_[i].next) {
      if (!set_register(entries_[i].regnum, entries_[i].rule, entries_[i].value)) {
        pop_state();  // gives back what the copy took
        return false;
      }
    }
  }
  return true;
}

// The dropped row's entries go back to the pool: a program with many remember/restore pairs
// would otherwise run it dry.
template <typename machine_ptr>
bool dwarf_cfa_state<machine_ptr>::pop_state() {
  if (table_depth_ == 0) return false;
  for (std::uint8_t bucket = 0; bucket < DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) {
    std::uint8_t i = table_stack_[table_depth_][bucket];
    while (i != kNone) {
      const std::uint8_t next = entries_[i].next;
      entries_[i].next = free_list_;
      free_list_ = i;
      i = next;
    }
    table_stack_[table_depth_][bucket] = kNone;
  }
  register_count_[table_depth_] = 0;
  table_depth_--;
  return true;
}

template <typename machine_ptr>
crash_error_t dwarf_cfa_state<machine_ptr>::eval_program(const crash_async_mobject* mobj, machine_ptr pc,
                                                         machine_ptr initial_pc,
                                                         const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
                                                         const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                         const crash_async_byteorder* byteorder, std::uint64_t address,
                                                         std::uint64_t offset, std::uint64_t length) {
  using machine_ptr_s = std::make_signed_t<machine_ptr>;

  // The row before the program runs: the restore instructions return registers to it.
  dwarf_cfa_state initial;
  {
    dwarf_cfa_state_iterator<machine_ptr> iterator(this);
    std::uint32_t regnum = 0;
    crash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value = 0;
    while (iterator.next(&regnum, &rule, &value)) {
      if (!initial.set_register(regnum, rule, value)) {
        CRASH_ASYNC_LOG("Hit register allocation limit while saving initial state");
        return CRASH_ENOMEM;
      }
    }
  }

  const gnu_ehptr_reader<machine_ptr> absolute_reader(byteorder);
  const gnu_ehptr_reader<machine_ptr>* set_loc_reader = &absolute_reader;
  DW_EH_PE_t set_loc_encoding = DW_EH_PE_absptr;
  if (cie_info->eh_augmentation.data_available && ptr_reader != nullptr &&
      cie_info->eh_augmentation.has_pointer_encoding) {
    set_loc_encoding = static_cast<DW_EH_PE_t>(cie_info->eh_augmentation.pointer_encoding);
    set_loc_reader = ptr_reader;
  }

  dwarf_opstream stream;
  crash_error_t error = stream.init(mobj, byteorder, address, offset, length);
  if (error != CRASH_ESUCCESS) return error;

  const std::uint64_t code_align = cie_info->code_alignment_factor;
  const std::int64_t data_align = cie_info->data_alignment_factor;
  machine_ptr location = initial_pc;

  auto readRegnum = [&](std::uint32_t* regnum) -> crash_error_t {
    std::uint64_t value = 0;
    if (!stream.read_uleb128(&value)) {
      CRASH_ASYNC_LOG("Read of ULEB128 value failed");
      return CRASH_EINVAL;
    }
    if (value > DWARF_CFA_STATE_REGNUM_MAX) {
      CRASH_ASYNC_LOG("Register number %llu exceeds DWARF_CFA_STATE_REGNUM_MAX", static_cast<unsigned long long>(value));
      return CRASH_ENOTSUP;
    }
    *regnum = static_cast<std::uint32_t>(value);
    return CRASH_ESUCCESS;
  };
  auto readUleb = [&](std::uint64_t* value) -> crash_error_t {
    if (stream.read_uleb128(value)) return CRASH_ESUCCESS;
    CRASH_ASYNC_LOG("Read of ULEB128 value failed");
    return CRASH_EINVAL;
  };
  auto readSleb = [&](std::int64_t* value) -> crash_error_t {
    if (stream.read_sleb128(value)) return CRASH_ESUCCESS;
    CRASH_ASYNC_LOG("Read of SLEB128 value failed");
    return CRASH_EINVAL;
  };
  auto setRule = [&](std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t rule, machine_ptr value) -> crash_error_t {
    if (set_register(regnum, rule, value)) return CRASH_ESUCCESS;
    CRASH_ASYNC_LOG("Exhausted available register slots while evaluating CFA opcodes");
    return CRASH_ENOMEM;
  };
  auto restore = [&](std::uint32_t regnum) -> crash_error_t {
    crash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value = 0;
    if (initial.get_register_rule(regnum, &rule, &value)) return setRule(regnum, rule, value);
    remove_register(regnum);
    return CRASH_ESUCCESS;
  };
  auto scaled = [&](std::int64_t factor_units) {
    return static_cast<machine_ptr>(static_cast<std::uint64_t>(factor_units) * static_cast<std::uint64_t>(data_align));
  };
  // The target address of the stream's next byte, which must be a target address of this width.
  auto expressionAddress = [&](const char* where, machine_ptr* out) -> crash_error_t {
    const std::uint64_t target = stream.get_target_address();
    if (target > static_cast<machine_ptr>(~machine_ptr{0})) {
      CRASH_ASYNC_LOG("DWARF expression position exceeds CRASH_VM_ADDRESS_MAX/CRASH_VM_OFF_MAX in %s", where);
      return CRASH_ENOTSUP;
    }
    *out = static_cast<machine_ptr>(target);
    return CRASH_ESUCCESS;
  };
  // Skips an expression of `length` bytes; one that runs past the instructions is malformed.
  auto skipExpression = [&](std::uint64_t expression_length) -> crash_error_t {
    if (static_cast<std::int64_t>(expression_length) < 0) {
      CRASH_ASYNC_LOG("DWARF expression length exceeds CRASH_VM_SIZE_MAX/CRASH_VM_OFF_MAX in DW_CFA_def_cfa_expression operand");
      return CRASH_ENOTSUP;
    }
    if (expression_length > stream.remaining()) {
      CRASH_ASYNC_LOG("DWARF expression of %llu bytes runs past the end of the instructions",
                      static_cast<unsigned long long>(expression_length));
      return CRASH_EINVAL;
    }
    stream.skip(static_cast<std::int64_t>(expression_length));
    return CRASH_ESUCCESS;
  };

  while (true) {
    if (pc != 0 && pc < location) return CRASH_ESUCCESS;
    if (stream.remaining() == 0) return CRASH_ESUCCESS;

    std::uint8_t opcode = 0;
    stream.read_intU(&opcode);
    const std::uint8_t operand = opcode & 0x3f;
    std::uint32_t regnum = 0;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;

    switch (opcode & 0xc0) {
      case DW_CFA_advance_loc:
        location = static_cast<machine_ptr>(location + operand * code_align);
        continue;
      case DW_CFA_offset:
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        if ((error = setRule(operand, CRASH_DWARF_CFA_REG_RULE_OFFSET,
                             scaled(static_cast<std::int64_t>(unsigned_value)))) != CRASH_ESUCCESS) {
          return error;
        }
        continue;
      case DW_CFA_restore:
        if ((error = restore(operand)) != CRASH_ESUCCESS) return error;
        continue;
      default:
        break;
    }

    switch (opcode) {
      case DW_CFA_nop:
        break;
      case DW_CFA_set_loc: {
        if (cie_info->segment_size != 0) {
          CRASH_ASYNC_LOG("Segment support has not been implemented");
          return CRASH_ENOTSUP;
        }
        machine_ptr target = 0;
        if (!stream.read_gnueh_ptr(set_loc_reader, set_loc_encoding, &target)) {
          CRASH_ASYNC_LOG("DW_CFA_set_loc failed to read the target pointer value");
          return CRASH_EINVAL;
        }
        location = target;
        break;
      }
      case DW_CFA_advance_loc1:
      case DW_CFA_advance_loc2:
      case DW_CFA_advance_loc4: {
        std::uint64_t delta = 0;
        bool read = false;
        if (opcode == DW_CFA_advance_loc1) {
          std::uint8_t v = 0;
          read = stream.read_intU(&v);
          delta = v;
        } else if (opcode == DW_CFA_advance_loc2) {
          std::uint16_t v = 0;
          read = stream.read_intU(&v);
          delta = v;
        } else {
          std::uint32_t v = 0;
          read = stream.read_intU(&v);
          delta = v;
        }
        if (!read) return CRASH_EINVAL;
        location = static_cast<machine_ptr>(location + delta * code_align);
        break;
      }
      case DW_CFA_offset_extended:
      case DW_CFA_val_offset:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        error = setRule(regnum,
                        opcode == DW_CFA_val_offset ? CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET : CRASH_DWARF_CFA_REG_RULE_OFFSET,
                        scaled(static_cast<std::int64_t>(unsigned_value)));
        if (error != CRASH_ESUCCESS) return error;
        break;
      case DW_CFA_offset_extended_sf:
      case DW_CFA_val_offset_sf:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = readSleb(&signed_value)) != CRASH_ESUCCESS) return error;
        error = setRule(regnum,
                        opcode == DW_CFA_val_offset_sf ? CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET
                                                       : CRASH_DWARF_CFA_REG_RULE_OFFSET,
                        scaled(signed_value));
        if (error != CRASH_ESUCCESS) return error;
        break;
      case DW_CFA_restore_extended:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = restore(regnum)) != CRASH_ESUCCESS) return error;
        break;
      case DW_CFA_undefined:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        remove_register(regnum);
        break;
      case DW_CFA_same_value:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = setRule(regnum, CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0)) != CRASH_ESUCCESS) return error;
        break;
      case DW_CFA_register: {
        std::uint32_t source = 0;
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = readRegnum(&source)) != CRASH_ESUCCESS) return error;
        if ((error = setRule(regnum, CRASH_DWARF_CFA_REG_RULE_REGISTER, source)) != CRASH_ESUCCESS) return error;
        break;
      }
      case DW_CFA_remember_state:
        if (!push_state()) {
          CRASH_ASYNC_LOG("DW_CFA_remember_state exeeded the allocated CFA stack size");
          return CRASH_ENOMEM;
        }
        break;
      case DW_CFA_restore_state:
        if (!pop_state()) {
          CRASH_ASYNC_LOG("DW_CFA_restore_state was issued on an empty CFA stack");
          return CRASH_EINVAL;
        }
        break;
      case DW_CFA_def_cfa:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        set_cfa_register(regnum, static_cast<machine_ptr>(unsigned_value));
        break;
      case DW_CFA_def_cfa_sf:
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        if ((error = readSleb(&signed_value)) != CRASH_ESUCCESS) return error;
        set_cfa_register_signed(regnum, static_cast<machine_ptr_s>(scaled(signed_value)));
        break;
      case DW_CFA_def_cfa_register: {
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        dwarf_cfa_rule<machine_ptr>& rule = cfa_stack_[table_depth_];
        if (rule.type != DWARF_CFA_STATE_CFA_TYPE_REGISTER && rule.type != DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED) {
          CRASH_ASYNC_LOG("DW_CFA_def_cfa_register emitted for a non-register CFA rule state");
          return CRASH_EINVAL;
        }
        rule.regnum = regnum;
        break;
      }
      case DW_CFA_def_cfa_offset:
      case DW_CFA_def_cfa_offset_sf: {
        const dwarf_cfa_rule<machine_ptr> rule = cfa_stack_[table_depth_];
        if (rule.type != DWARF_CFA_STATE_CFA_TYPE_REGISTER && rule.type != DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED) {
          CRASH_ASYNC_LOG("DW_CFA_def_cfa_offset emitted for a non-register CFA rule state");
          return CRASH_EINVAL;
        }
        if (opcode == DW_CFA_def_cfa_offset) {
          if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
          set_cfa_register(rule.regnum, static_cast<machine_ptr>(unsigned_value));
        } else {
          if ((error = readSleb(&signed_value)) != CRASH_ESUCCESS) return error;
          set_cfa_register_signed(rule.regnum, static_cast<machine_ptr_s>(scaled(signed_value)));
        }
        break;
      }
      case DW_CFA_def_cfa_expression: {
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        machine_ptr expression = 0;
        if ((error = expressionAddress("CFA opcode stream", &expression)) != CRASH_ESUCCESS) return error;
        if ((error = skipExpression(unsigned_value)) != CRASH_ESUCCESS) return error;
        set_cfa_expression(expression, unsigned_value);
        break;
      }
      case DW_CFA_expression:
      case DW_CFA_val_expression: {
        if ((error = readRegnum(&regnum)) != CRASH_ESUCCESS) return error;
        // The rule keeps the address of the length prefix; the expression follows it.
        machine_ptr prefix = 0;
        if ((error = expressionAddress("DW_CFA_expression evaluation", &prefix)) != CRASH_ESUCCESS) return error;
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        if ((error = skipExpression(unsigned_value)) != CRASH_ESUCCESS) return error;
        error = setRule(regnum,
                        opcode == DW_CFA_expression ? CRASH_DWARF_CFA_REG_RULE_EXPRESSION
                                                    : CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                        prefix);
        if (error != CRASH_ESUCCESS) return error;
        break;
      }
      case DW_CFA_GNU_args_size:
        // Compilers emit it around calls with pushed arguments; the CFA rules already account
        // for those bytes, so unwinding only has to step over the operand.
        if ((error = readUleb(&unsigned_value)) != CRASH_ESUCCESS) return error;
        break;
      default:
        CRASH_ASYNC_LOG("Unsupported opcode 0x%hhx", opcode);
        return CRASH_ENOTSUP;
    }
  }
}

template <typename machine_ptr>
crash_error_t dwarf_cfa_state<machine_ptr>::compute_cfa(kernel::task_t task, const crash_async_thread_state* thread_state,
                                                        const crash_async_byteorder* byteorder,
                                                        machine_ptr* cfa) const {
  const dwarf_cfa_rule<machine_ptr> rule = get_cfa_rule();
  switch (rule.type) {
    case DWARF_CFA_STATE_CFA_TYPE_UNDEFINED:
      CRASH_ASYNC_LOG("No canonical frame address specified in the CFA state; can't apply state");
      return CRASH_EINVAL;
    case DWARF_CFA_STATE_CFA_TYPE_EXPRESSION: {
      crash_async_mobject mobj;
      crash_error_t error = crash_async_mobject_init(&mobj, task, rule.expression_address, rule.expression_length, true);
      if (error != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Could not map CFA expression range");
        return error;
      }
      error = crash_async_dwarf_expression_eval<machine_ptr>(&mobj, task, thread_state, byteorder,
                                                             rule.expression_address, 0, rule.expression_length,
                                                             nullptr, 0, cfa);
      crash_async_mobject_free(&mobj);
      if (error != CRASH_ESUCCESS) CRASH_ASYNC_LOG("CFA value expression evaluation failed: %d", error);
      return error;
    }
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER:
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
      crash_regnum_t id = 0;
      if (!crash_async_thread_state_map_dwarf_to_reg(thread_state, rule.regnum, &id)) {
        CRASH_ASYNC_LOG("CFA rule references an unsupported DWARF register: 0x%x", rule.regnum);
        return CRASH_ENOTSUP;
      }
      if (!crash_async_thread_state_has_reg(thread_state, id)) {
        CRASH_ASYNC_LOG("CFA rule references a register that is not available from the current thread state: %s",
                        crash_async_thread_state_get_reg_name(thread_state, id));
        return CRASH_ENOTFOUND;
      }
      // Both kinds add in two's complement at the target's width.
      *cfa = static_cast<machine_ptr>(crash_async_thread_state_get_reg(thread_state, id) + rule.offset);
      return CRASH_ESUCCESS;
    }
  }
  return CRASH_EINVAL;
}

namespace {

// Reads one register-sized word (4 or 8 bytes) at `address`, zero-extended.
crash_error_t readRegisterWord(kernel::task_t task, std::uint64_t address, std::uint64_t size, std::uint64_t* value) {
  std::uint64_t word = 0;
  const crash_error_t error = crash_async_task_memcpy(task, address, 0, &word, size == 4 ? 4 : 8);
  if (error == CRASH_ESUCCESS) *value = word;
  return error;
}

// Evaluates the expression whose ULEB128 length prefix lies at `prefix` in the task, with `cfa`
// pushed first, at the width of the thread's registers.
crash_error_t evalRuleExpression(kernel::task_t task, const crash_async_thread_state* thread_state,
                                 const crash_async_byteorder* byteorder, std::uint64_t prefix, std::uint64_t cfa,
                                 std::uint64_t* result) {
  std::uint64_t length = 0;
  std::uint64_t size = 0;
  crash_error_t error = crash_async_dwarf_read_task_uleb128(task, prefix, 0, &length, &size);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read uleb128 length header for rule expression");
    return error;
  }
  std::uint64_t start = 0;
  if (__builtin_add_overflow(prefix, size, &start)) {
    CRASH_ASYNC_LOG("Overflow applying the ULEB128 length to our expression base address");
    return CRASH_EINVAL;
  }
  crash_async_mobject mobj;
  if ((error = crash_async_mobject_init(&mobj, task, start, length, true)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not map CFA expression range");
    return error;
  }
  if (crash_async_thread_state_get_greg_size(thread_state) == 4) {
    const std::uint32_t initial = static_cast<std::uint32_t>(cfa);
    std::uint32_t value = 0;
    error = crash_async_dwarf_expression_eval<std::uint32_t>(&mobj, task, thread_state, byteorder, start, 0, length,
                                                             &initial, 1, &value);
    if (error != CRASH_ESUCCESS) CRASH_ASYNC_LOG("CFA eval_32 failed");
    *result = value;
  } else {
    error = crash_async_dwarf_expression_eval<std::uint64_t>(&mobj, task, thread_state, byteorder, start, 0, length,
                                                             &cfa, 1, result);
    if (error != CRASH_ESUCCESS) CRASH_ASYNC_LOG("CFA eval_64 failed");
  }
  crash_async_mobject_free(&mobj);
  return error;
}

}  // namespace

template <typename machine_ptr>
crash_error_t dwarf_cfa_state<machine_ptr>::apply_register(
    kernel::task_t task, const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
    const crash_async_thread_state* thread_state, const crash_async_byteorder* byteorder, machine_ptr cfa,
    std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t rule, machine_ptr value,
    crash_async_thread_state* new_thread_state) const {
  const bool is_return_address = regnum == cie_info->return_address_register;
  crash_regnum_t target = 0;
  if (!crash_async_thread_state_map_dwarf_to_reg(thread_state, regnum, &target)) {
    if (!is_return_address) {
      CRASH_ASYNC_LOG("Register rule references an unsupported DWARF register: 0x%llx",
                      static_cast<unsigned long long>(regnum));
      return CRASH_EINVAL;
    }
    target = 0;  // the return-address column is the caller's instruction pointer
  }
  const std::uint64_t word = crash_async_thread_state_get_greg_size(thread_state);
  std::uint64_t result = 0;
  crash_error_t error = CRASH_ESUCCESS;
  switch (rule) {
    case CRASH_DWARF_CFA_REG_RULE_OFFSET:
      if ((error = readRegisterWord(task, static_cast<machine_ptr>(cfa + value), word, &result)) != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Failed to read offset(N) register value: %d", error);
        return error;
      }
      break;
    case CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
      result = static_cast<machine_ptr>(cfa + value);
      break;
    case CRASH_DWARF_CFA_REG_RULE_REGISTER: {
      crash_regnum_t source = 0;
      if (!crash_async_thread_state_map_dwarf_to_reg(thread_state, value, &source)) {
        CRASH_ASYNC_LOG("Register rule references an unsupported DWARF register: 0x%llx",
                        static_cast<unsigned long long>(value));
        return CRASH_EINVAL;
      }
      if (!crash_async_thread_state_has_reg(thread_state, source)) {
        CRASH_ASYNC_LOG("Register rule references a register that is not available from the current thread state: %s",
                        crash_async_thread_state_get_reg_name(thread_state, source));
        return CRASH_ENOTFOUND;
      }
      result = crash_async_thread_state_get_reg(thread_state, source);
      break;
    }
    case CRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
      if (!crash_async_thread_state_has_reg(thread_state, target)) {
        CRASH_ASYNC_LOG("Same-value rule references a register that is not available from the current thread state");
        return CRASH_ENOTFOUND;
      }
      result = crash_async_thread_state_get_reg(thread_state, target);
      break;
    case CRASH_DWARF_CFA_REG_RULE_EXPRESSION:
    case CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
      std::uint64_t computed = 0;
      if ((error = evalRuleExpression(task, thread_state, byteorder, value, cfa, &computed)) != CRASH_ESUCCESS) {
        return error;
      }
      if (rule == CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION) {
        result = computed;
      } else if ((error = readRegisterWord(task, computed, word, &result)) != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Failed to read register value from expression result: %d", error);
        return error;
      }
      break;
    }
  }
  crash_async_thread_state_set_reg(new_thread_state, target, result);
  if (is_return_address && target != 0) crash_async_thread_state_set_reg(new_thread_state, 0, result);
  return CRASH_ESUCCESS;
}

template <typename machine_ptr>
crash_error_t dwarf_cfa_state<machine_ptr>::apply_state(kernel::task_t task,
                                                        const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
                                                        const crash_async_thread_state* thread_state,
                                                        const crash_async_byteorder* byteorder,
                                                        crash_async_thread_state* new_thread_state) const {
  crash_async_thread_state_copy(new_thread_state, thread_state);
  crash_async_thread_state_clear_volatile_regs(new_thread_state);

  machine_ptr cfa = 0;
  crash_error_t error = compute_cfa(task, thread_state, byteorder, &cfa);
  if (error != CRASH_ESUCCESS) return error;
  crash_async_thread_state_set_reg(new_thread_state, 2, cfa);

  dwarf_cfa_state_iterator<machine_ptr> iterator(this);
  std::uint32_t regnum = 0;
  crash_dwarf_cfa_reg_rule_t rule;
  machine_ptr value = 0;
  while (iterator.next(&regnum, &rule, &value)) {
    error = apply_register(task, cie_info, thread_state, byteorder, cfa, regnum, rule, value, new_thread_state);
    if (error != CRASH_ESUCCESS) return error;
  }

  if (!crash_async_thread_state_has_reg(new_thread_state, 0)) {
    crash_regnum_t id = 0;
    if (!crash_async_thread_state_map_dwarf_to_reg(thread_state, cie_info->return_address_register, &id)) {
      // The return address lives only in the column, and the row leaves it undefined: this is
      // the outermost frame. Saying so here keeps the walk from guessing a caller elsewhere.
      crash_async_thread_state_set_reg(new_thread_state, 0, 0);
      return CRASH_ESUCCESS;
    }
    if (!crash_async_thread_state_has_reg(thread_state, id)) {
      CRASH_ASYNC_LOG("CIE return_address_register references a register that is not available from the current "
                      "thread state: %s",
                      crash_async_thread_state_get_reg_name(thread_state, id));
      return CRASH_EINVAL;
    }
    crash_async_thread_state_set_reg(new_thread_state, 0, crash_async_thread_state_get_reg(thread_state, id));
  }
  return CRASH_ESUCCESS;
}

template <typename machine_ptr>
dwarf_cfa_state_iterator<machine_ptr>::dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr>* state)
    : state_(state), bucket_idx_(0), cur_entry_idx_(kNone) {}

template <typename machine_ptr>
bool dwarf_cfa_state_iterator<machine_ptr>::next(std::uint32_t* regnum, crash_dwarf_cfa_reg_rule_t* rule,
                                                 machine_ptr* value) {
  const std::uint8_t level = state_->table_depth_;
  if (cur_entry_idx_ != kNone) cur_entry_idx_ = state_->entries_[cur_entry_idx_].next;
  while (cur_entry_idx_ == kNone) {
    if (bucket_idx_ >= DWARF_CFA_STATE_BUCKET_COUNT) return false;
    cur_entry_idx_ = state_->table_stack_[level][bucket_idx_++];
  }
  const auto& entry = state_->entries_[cur_entry_idx_];
  *regnum = entry.regnum;
  *rule = entry.rule;
  *value = entry.value;
  return true;
}

template class dwarf_cfa_state<std::uint32_t>;
template class dwarf_cfa_state<std::uint64_t>;
template class dwarf_cfa_state_iterator<std::uint32_t>;
template class dwarf_cfa_state_iterator<std::uint64_t>;

}  // namespace crash::async
