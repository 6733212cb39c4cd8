#include "setup_state.h"

// Static lifetime, zero at start.
SetupState setupState;
