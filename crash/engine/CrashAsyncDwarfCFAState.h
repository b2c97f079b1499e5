#pragma once
// One row of the DWARF call-frame table: the rule that gives the canonical frame address (CFA)
// and a rule for each register that has one, with the stack of rows that DW_CFA_remember_state
// and DW_CFA_restore_state need. eval_program runs a CIE's or an FDE's instructions up to an
// instruction address and leaves that address's row in the state; apply_state computes the
// caller's registers from the row.
//
// Everything is fixed-size and lives on the caller's stack: 6 levels of rows, 14 hash buckets
// per level, and one pool of 100 register entries shared by all levels, linked by 8-bit indexes
// with 255 as the null index. A row that needs more fails with a code. Crash-safe; exists in a
// 32-bit and a 64-bit form (values of the target's width).
#include <cstdint>
#include <type_traits>

#include "crash/engine/CrashAsyncDwarfEntryInfo.h"
#include "crash/engine/CrashAsyncThreadState.h"

namespace crash::async {

// How a register of the caller is found.
enum crash_dwarf_cfa_reg_rule_t : std::uint32_t {
  CRASH_DWARF_CFA_REG_RULE_OFFSET = 0,          // saved at CFA + N
  CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,      // the value is CFA + N
  CRASH_DWARF_CFA_REG_RULE_REGISTER = 2,        // held in register R
  CRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,      // saved at the address an expression computes
  CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,  // the value is what an expression computes
  CRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,      // unchanged
};

inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_STATES = 6;
inline constexpr std::uint8_t DWARF_CFA_STATE_BUCKET_COUNT = 14;
inline constexpr std::uint8_t DWARF_CFA_STATE_MAX_REGISTERS = 100;
inline constexpr std::uint8_t DWARF_CFA_STATE_INVALID_ENTRY_IDX = 255;
inline constexpr std::uint64_t DWARF_CFA_STATE_REGNUM_MAX = 0xFFFFFFFF;

// How the CFA is computed.
enum dwarf_cfa_rule_type : std::uint32_t {
  DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
  DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,       // an expression's value
  DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,         // register + unsigned offset
  DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,  // register + signed offset
};

template <typename machine_ptr>
struct dwarf_cfa_rule {
  dwarf_cfa_rule_type type;
  std::uint32_t regnum;             // register kinds
  machine_ptr offset;               // register kinds; for the signed kind, two's complement
  machine_ptr expression_address;   // expression kind: task address of the bytes
  std::uint64_t expression_length;  // expression kind
};

template <typename machine_ptr>
class dwarf_cfa_state {
 public:
  // Level 0 with an undefined CFA, no registers, every pool entry free.
  dwarf_cfa_state();
  dwarf_cfa_state(const dwarf_cfa_state&) = delete;
  dwarf_cfa_state& operator=(const dwarf_cfa_state&) = delete;

  // Gives `regnum` a rule in the current row, replacing its old one. False when the pool is full.
  bool set_register(std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
  // The rule of `regnum` in the current row; false when it has none (it is undefined).
  bool get_register_rule(std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const;
  // Drops the rule of `regnum`, returning its entry to the pool; nothing when it has none.
  void remove_register(std::uint32_t regnum);
  std::uint8_t get_register_count() const;

  void set_cfa_register(std::uint32_t regnum, machine_ptr offset);
  void set_cfa_register_signed(std::uint32_t regnum, std::make_signed_t<machine_ptr> offset);
  void set_cfa_expression(machine_ptr address, std::uint64_t length);
  dwarf_cfa_rule<machine_ptr> get_cfa_rule() const;

  // Makes a copy of the current row the new current row. False at the deepest level, or when the
  // pool cannot hold the copy (the state is then as before).
  bool push_state();
  // Drops the current row, returning its entries to the pool. False at level 0.
  bool pop_state();

  // Runs the `length` instruction bytes at `address` + `offset` in `mobj` from `initial_pc` while
  // the location stays at or below `pc` (all of them when `pc` is 0). DW_CFA_set_loc reads the
  // CIE's pointer encoding with `ptr_reader` when one is given. Returns 0; 3 when the pool or the
  // row stack is exhausted; 5 for an operand past the end, an invalid CFA change or an empty row
  // stack; 4 for an unsupported instruction. On failure the row is partial and must be dropped.
  crash_error_t eval_program(const crash_async_mobject* mobj, machine_ptr pc, machine_ptr initial_pc,
                             const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
                             const gnu_ehptr_reader<machine_ptr>* ptr_reader, const crash_async_byteorder* byteorder,
                             std::uint64_t address, std::uint64_t offset, std::uint64_t length);

  // Computes the caller's registers of `thread_state` from the current row into `new_thread_state`:
  // the CFA becomes its stack pointer, each rule gives a register, and the CIE's return-address
  // column its instruction pointer. A row without a rule for a return-address column that is no
  // machine register (16 on x86-64; DW_CFA_undefined, at a thread's entry point) says the frame has
  // no caller: the new instruction pointer is 0, which ends a walk. Returns 0; 5 without a CFA
  // rule, for an unmappable register or a return-address register the state lacks; 4 for a CFA
  // register that does not map; 8 for a register the current state lacks; a read's or an
  // expression's code.
  crash_error_t apply_state(kernel::task_t task, const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
                            const crash_async_thread_state* thread_state, const crash_async_byteorder* byteorder,
                            crash_async_thread_state* new_thread_state) const;

 private:
  template <typename>
  friend class dwarf_cfa_state_iterator;

  struct entry {
    machine_ptr value;
    std::uint32_t regnum;
    crash_dwarf_cfa_reg_rule_t rule;
    std::uint8_t next;
  };

  crash_error_t apply_register(kernel::task_t task, const crash_async_dwarf_cie_info<machine_ptr>* cie_info,
                               const crash_async_thread_state* thread_state, const crash_async_byteorder* byteorder,
                               machine_ptr cfa, std::uint32_t regnum, crash_dwarf_cfa_reg_rule_t rule,
                               machine_ptr value, crash_async_thread_state* new_thread_state) const;
  crash_error_t compute_cfa(kernel::task_t task, const crash_async_thread_state* thread_state,
                            const crash_async_byteorder* byteorder, machine_ptr* cfa) const;

  dwarf_cfa_rule<machine_ptr> cfa_stack_[DWARF_CFA_STATE_MAX_STATES];
  std::uint8_t register_count_[DWARF_CFA_STATE_MAX_STATES];
  std::uint8_t table_stack_[DWARF_CFA_STATE_MAX_STATES][DWARF_CFA_STATE_BUCKET_COUNT];
  std::uint8_t table_depth_;
  std::uint8_t free_list_;
  entry entries_[DWARF_CFA_STATE_MAX_REGISTERS];
};

// Visits every register entry of a state's current row: bucket 0 to 13, each chain in order.
template <typename machine_ptr>
class dwarf_cfa_state_iterator {
 public:
  explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr>* state);
  // The next entry; false when every entry was visited.
  bool next(std::uint32_t* regnum, crash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value);

 private:
  const dwarf_cfa_state<machine_ptr>* state_;
  std::uint8_t bucket_idx_;
  std::uint8_t cur_entry_idx_;
};

extern template class dwarf_cfa_state<std::uint32_t>;
extern template class dwarf_cfa_state<std::uint64_t>;
extern template class dwarf_cfa_state_iterator<std::uint32_t>;
extern template class dwarf_cfa_state_iterator<std::uint64_t>;

}  // namespace crash::async
