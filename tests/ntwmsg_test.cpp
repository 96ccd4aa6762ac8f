// Tests of the ntwmsg module.
#include "testutil.h"
