// Tests of the ntwsync module.
#include "testutil.h"
