// The library the loaded test library opens through its own search path.
extern "C" __attribute__((visibility("default"))) int qm_leaf_answer() { return 42; }
