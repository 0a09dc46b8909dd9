// dcu_selftest built into a test program: its main becomes
// dcu_selftest_main, so that a test can run the whole program in a child
// process against the in-process simulated network.
#define main dcu_selftest_main
#include "tools/dcu_selftest.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main
