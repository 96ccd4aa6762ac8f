// Tests of the ntwmain module.
#include "testutil.h"
